// What a Vog changes after opening: open stream handles and cached directories.
//
// Locking (outermost first):
//   0. commit_mu: shared by every call that changes the file, for its whole
//      length; exclusive for a commit, which so sees no change half done, and
//      for beginning and ending a transaction. A call never takes it twice,
//      and a commit holds nothing else when it asks for it.
//   1. view_mu: shared by every read (ReadSection); exclusive while a
//      reader's refresh or a writer's rollback drops what the layers hold.
//   2. tree_mu: shared by every operation that resolves a path and then acts
//      on the directory IDs it found; exclusive for rmdir (which frees a
//      directory's stream ID for reuse) and rename_dir (which changes which
//      directory lies above which). So no operation can act on the ID of a
//      directory removed meanwhile, and no two moves can build a cycle.
//   3. the stream layer's per-stream locks of directory streams, at most one at
//      a time except rmdir's parent-then-child.
//   4. mu: guards the fields below it. Held only for map operations and the
//      handle counter, never across a stream-layer call.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "directory_copies.hpp"
#include "directory_handle.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"

namespace vog {

struct OpenStreamInfo {
  std::string path;                  // as given when opened; for reference only
  BlockStreamHandle stream_handle = 0;  // holds the stream layer's lock on the stream
  std::uint64_t position = 0;
  StreamId stream_id = 0;
  bool writable = false;
  // A reader's stream that another open's writer deleted or replaced: every
  // call but close fails (ReadSection).
  bool gone = false;
};

// NotFound for a handle whose stream another open deleted or replaced.
[[nodiscard]] inline VogError gone_error(const OpenStreamInfo& info) {
  return VogError::not_found(info.path + ": deleted or replaced by another process");
}

// The transaction open on a Vog, if any (vog_transaction.cpp).
struct TransactionState {
  unsigned depth = 0;        // Transaction objects not yet ended; 0: none open
  std::uint64_t serial = 0;  // counts the transactions begun
};

struct VogState final : DirectoryCache {
  std::shared_mutex commit_mu;
  TransactionState transaction;  // guarded by commit_mu
  // What a rollback that failed half way left: nothing of it may be
  // committed, and the next open rolls it back from the journal.
  std::optional<VogError> broken;  // guarded by commit_mu
  std::shared_mutex tree_mu;
  // Shared by every read (ReadSection), exclusive while the caches are
  // dropped: a read-only Vog's refresh after another open's commit, a
  // writable Vog's rollback.
  std::shared_mutex view_mu;
  // The generation this Vog's caches hold; none before the first read.
  std::atomic<std::uint64_t> seen_generation{kNoGeneration};
  static constexpr std::uint64_t kNoGeneration = ~std::uint64_t{0};

  std::mutex mu;
  std::map<StreamHandle, OpenStreamInfo> open_streams;  // guarded by mu
  // Whole copies of directory streams, searched in place under mu. A copy
  // lives until its directory changes or the budget needs its room, and an
  // edit through the cache (take_dir_copy) puts the edited copy back.
  DirectoryCopies dir_cache;  // guarded by mu
  // Bumped by every change of a directory: a read that started under an
  // older generation does not enter the cache.
  DirectoryGenerations generations;  // guarded by mu
  StreamHandle next_handle = 0;      // guarded by mu

  void invalidate_dir_cache(StreamId dir) override {
    std::lock_guard lock(mu);
    dir_cache.erase(dir);
    generations.bump(dir);
  }
  // Both bump the generation: a read that raced with the edit stays out.
  Result<std::optional<std::vector<std::byte>>> take_dir_copy(const DirectoryHandle& dir) override {
    {
      std::lock_guard lock(mu);
      generations.bump(dir.id);
      if (auto copy = dir_cache.take(dir.id)) return copy;
    }
    VOG_TRY(bytes, read_directory(dir));
    return std::optional(std::move(*bytes));
  }
  void return_dir_copy(StreamId dir, std::vector<std::byte> bytes) override {
    std::lock_guard lock(mu);
    generations.bump(dir);
    dir_cache.put(dir, std::move(bytes));
  }
};

// One read of a read-only Vog, beside a writer that may be at work in another
// open (doc/concurrency.md). While it lives, the file shows one commit and
// holds still, and this Vog's caches are of that commit: entering after
// another open's commit drops them all first (the layers' refresh, the
// directory cache). For a writable Vog it only holds off a rollback.
class ReadSection {
 public:
  [[nodiscard]] static Result<ReadSection> enter(Vog& vog, StreamLayer& streams, VogState& state);
  ReadSection(ReadSection&& other) noexcept
      : streams_(std::exchange(other.streams_, nullptr)), view_(std::move(other.view_)) {}
  ReadSection& operator=(ReadSection&&) = delete;
  ~ReadSection() {
    if (streams_ != nullptr) streams_->end_read();
  }

 private:
  ReadSection(StreamLayer* streams, std::shared_lock<std::shared_mutex> view) noexcept
      : streams_(streams), view_(std::move(view)) {}
  static void find_open_streams(Vog& vog, VogState& state);
  StreamLayer* streams_;  // null: nothing to end
  std::shared_lock<std::shared_mutex> view_;
};

}  // namespace vog
