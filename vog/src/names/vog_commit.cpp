// Commit points: which operations end in a commit, and how a commit is kept
// from cutting through calls running on other threads.
//
// Every call that changes the file holds VogState::commit_mu shared for its
// whole length; commit() takes it exclusively, so it runs between calls, never
// inside one. A commit saves the descriptors of writable handles still open
// (the stream layer's commit) and then makes the file's contents the state a
// crash returns to (the file layer's commit, a journal reset).
//
// Invariants:
//   1. A commit-point operation commits after it ran, failed or not: its
//      failure paths also leave the file as callers see it.
//   2. At Durability::Off only sync() commits, so the file is written exactly
//      as without a journal.
//   3. A read-only Vog never commits.
//   4. While a transaction is open, only its outermost commit commits
//      (vog_transaction.cpp); after a rollback failed half way, nothing does.
#include <mutex>
#include <shared_mutex>

#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {

template <class Change>
auto Vog::uncommitted(Change change) -> decltype(change()) {
  std::shared_lock changing(state_->commit_mu);
  return change();
}

template <class Change>
auto Vog::committed(Change change) -> decltype(change()) {
  auto result = uncommitted(change);
  if (durability_ == Durability::Off) return result;
  auto done = commit();
  if (result && !done) return std::unexpected(std::move(done).error());
  return result;
}

Result<void> Vog::commit() {
  if (!writable_) return {};
  std::unique_lock exclusive(state_->commit_mu);
  if (state_->broken) return std::unexpected(*state_->broken);
  if (state_->transaction.depth > 0) return {};
  return streams_->commit();
}

Result<void> Vog::sync() { return commit(); }

Result<void> Vog::mkdir(std::string_view path) {
  return committed([&] { return raw_mkdir(path); });
}

Result<void> Vog::rmdir(std::string_view path) {
  return committed([&] { return raw_rmdir(path); });
}

Result<void> Vog::rename_dir(std::string_view old_path, std::string_view new_path) {
  return committed([&] { return raw_rename_dir(old_path, new_path); });
}

Result<StreamHandle> Vog::create_stream(std::string_view path, bool compressed) {
  return committed([&] { return raw_create_stream(path, compressed); });
}

Result<void> Vog::close_stream(StreamHandle handle) {
  bool writable = false;
  {
    std::lock_guard lock(state_->mu);
    if (auto found = state_->open_streams.find(handle); found != state_->open_streams.end())
      writable = found->second.writable;
  }
  if (!writable) return raw_close_stream(handle);
  return committed([&] { return raw_close_stream(handle); });
}

Result<void> Vog::delete_stream(std::string_view path) {
  return committed([&] { return raw_delete_stream(path); });
}

Result<void> Vog::rename_stream(std::string_view old_path, std::string_view new_path) {
  return committed([&] { return raw_rename_stream(old_path, new_path); });
}

Result<std::size_t> Vog::write(StreamHandle handle, std::span<const std::byte> data) {
  return uncommitted([&] { return raw_write(handle, data); });
}

Result<void> Vog::truncate(StreamHandle handle, std::uint64_t new_len) {
  return uncommitted([&] { return raw_truncate(handle, new_len); });
}

Result<void> Vog::reserve(StreamHandle handle, std::uint64_t n_bytes) {
  return uncommitted([&] { return raw_reserve(handle, n_bytes); });
}

Result<void> Vog::flush_open_streams() {
  return committed([&] { return raw_flush_open_streams(); });
}

}  // namespace vog
