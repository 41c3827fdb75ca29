// Directory streams edited in place through an open stream-layer handle.
//
// A lookup reads the footer, the name table and only the entries whose hash
// matches; an add writes the new entry, the table and the footer; a removal
// moves the entries behind the removed one down and rewrites the table and
// footer. Nothing here rebuilds a whole directory.
//
// Thread safety: none of its own. The caller holds the directory stream open
// for writing (edits) or reading (lookups); the stream layer's per-stream lock
// serialises all edits of one directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "directory_stream.hpp"
#include "error.hpp"
#include "stream_layer.hpp"

namespace vog {

// An open directory stream: the layer, the directory's stream ID and the handle.
struct DirectoryHandle {
  StreamLayer& streams;
  StreamId id;
  BlockStreamHandle handle;
};

// Told after every complete edit of a directory, so that cached copies of it go.
// A cache that keeps whole copies may lend one to an edit instead: the edit
// then reads nothing, changes the copy as it changes the stream, and hands it
// back, so that a run of edits to one directory never reads it again.
class DirectoryCache {
 public:
  virtual void invalidate_dir_cache(StreamId dir) = 0;
  // The whole stream of `dir`, taken out of the cache (and read through `dir`
  // when it was not there), or nothing when this cache lends no copies.
  // REQUIRES: `dir` is open for writing, so the copy stays true until handed back.
  [[nodiscard]] virtual Result<std::optional<std::vector<std::byte>>> take_dir_copy(
      const DirectoryHandle&) {
    return std::nullopt;
  }
  // Hands a taken copy back; the stream equals `bytes` now.
  virtual void return_dir_copy(StreamId dir, std::vector<std::byte>) { invalidate_dir_cache(dir); }

 protected:
  ~DirectoryCache() = default;
};

struct NameTable {
  std::vector<std::byte> bytes;  // 8 bytes per slot
  std::size_t slot_count = 0;    // K
  std::uint32_t entries_end = 0;  // E
};

// REQUIRES: length is the stream's length and not 0.
[[nodiscard]] Result<NameTable> read_name_table(const DirectoryHandle& dir, std::uint64_t length);
[[nodiscard]] Result<std::optional<EntryLocation>> find_entry_in_name_table(
    const DirectoryHandle& dir, const NameTable& table, std::string_view name);
// Nothing is read when `length` is 0.
[[nodiscard]] Result<std::optional<StreamId>> find_name_in_handle(const DirectoryHandle& dir,
                                                                  std::uint64_t length,
                                                                  std::string_view name);

// Adds `name` -> `stream_id`. Fails with AlreadyExists(full_path) when the name
// or its twin (the same leaf of the other type) is present.
// REQUIRES: the directory is open for writing.
[[nodiscard]] Result<void> add_entry_to_dir_handle(const DirectoryHandle& dir,
                                                   DirectoryCache& cache, std::string_view name,
                                                   StreamId stream_id, std::string_view full_path);
// Removes `name` and returns the stream ID it named; NotFound(full_path) when absent.
// REQUIRES: the directory is open for writing.
[[nodiscard]] Result<StreamId> remove_entry_from_dir_handle(const DirectoryHandle& dir,
                                                            DirectoryCache& cache,
                                                            std::string_view name,
                                                            std::string_view full_path);

// Owns one open directory stream. The stream is opened waiting for its lock,
// as every directory stream is; close() reports the close, the destructor
// closes quietly on paths that never reached close().
class OpenDirectory {
 public:
  [[nodiscard]] static Result<OpenDirectory> open(StreamLayer& streams, StreamId id,
                                                  bool for_write);

  OpenDirectory(OpenDirectory&& other) noexcept
      : streams_(other.streams_), id_(other.id_), handle_(other.handle_),
        open_(std::exchange(other.open_, false)) {}
  OpenDirectory& operator=(OpenDirectory&&) = delete;
  OpenDirectory(const OpenDirectory&) = delete;
  OpenDirectory& operator=(const OpenDirectory&) = delete;
  ~OpenDirectory();

  [[nodiscard]] DirectoryHandle dir() const noexcept { return {*streams_, id_, handle_}; }

  [[nodiscard]] Result<void> close();

  // Closes the stream and hands `outcome` back, unless closing fails: a failed
  // close replaces whatever the operation had produced.
  template <class T>
  [[nodiscard]] Result<T> close_with(Result<T> outcome) {
    if (auto closed = close(); !closed) return std::unexpected(std::move(closed).error());
    return outcome;
  }

 private:
  OpenDirectory(StreamLayer& streams, StreamId id, BlockStreamHandle handle) noexcept
      : streams_(&streams), id_(id), handle_(handle), open_(true) {}

  StreamLayer* streams_;
  StreamId id_;
  BlockStreamHandle handle_;
  bool open_;
};

// The whole directory stream through an open handle, in chunks, so that a
// corrupt length costs no more memory than the bytes actually there.
[[nodiscard]] Result<std::vector<std::byte>> read_directory(const DirectoryHandle& dir);

}  // namespace vog
