// File-like access for callers that keep their own positions, and stat by path.
//
// read_at, write_at and resize work on the stream layer's handle of an open
// stream handle and leave its position alone (resize lowers it as truncate
// does). stat finds a name through the cached directory contents, under the
// parent directory's read lock as open_stream does, so the stream ID it finds
// cannot be freed and reused before it is described.
// Locking: see vog_state.hpp.
#include <optional>
#include <shared_mutex>
#include <string>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

// Stream-layer handles of a stream held by this Vog cannot lose their stream
// to another opener, but may be closed by another thread: describing the
// stream looks again a few times before giving up.
constexpr int kDescribeAttempts = 3;

struct HandleInfo {
  BlockStreamHandle stream_handle;
  bool writable;
};

Result<HandleInfo> stream_handle_of(VogState& state, StreamHandle handle) {
  std::lock_guard lock(state.mu);
  auto found = state.open_streams.find(handle);
  if (found == state.open_streams.end())
    return std::unexpected(VogError::not_found("invalid stream handle"));
  if (found->second.gone) return std::unexpected(gone_error(found->second));
  return HandleInfo{found->second.stream_handle, found->second.writable};
}

// REQUIRES: the caller holds the commit lock shared.
Result<std::size_t> write_through(StreamLayer& streams, VogState& state, StreamHandle handle,
                                  std::uint64_t offset, std::span<const std::byte> data) {
  VOG_TRY(info, stream_handle_of(state, handle));
  if (!info->writable)
    return std::unexpected(VogError::lock_conflict("stream is not opened for writing"));
  return streams.write(info->stream_handle, offset, data);
}

// A stream-layer handle that this Vog holds on stream `id`, if any. While a
// writer holds the stream, only its handle sees the current descriptor.
std::optional<BlockStreamHandle> held_handle(VogState& state, StreamId id) {
  std::lock_guard lock(state.mu);
  for (const auto& [number, info] : state.open_streams)
    if (info.stream_id == id) return info.stream_handle;
  return std::nullopt;
}

Result<PathInfo> describe(StreamLayer& streams, BlockStreamHandle handle) {
  VOG_TRY(length, streams.stream_length(handle));
  VOG_TRY(reserved, streams.stream_reserved(handle));
  VOG_TRY(compressed, streams.is_stream_compressed(handle));
  return PathInfo{EntryType::Stream, *length, *reserved, *compressed};
}

PathInfo directory_info(StreamId id) {
  PathInfo info{EntryType::Directory};
  info.stream_id = id;
  return info;
}

Result<PathInfo> describe_stream(StreamLayer& streams, VogState& state, StreamId id) {
  for (int attempt = 1;; ++attempt) {
    const bool last = attempt == kDescribeAttempts;
    if (auto held = held_handle(state, id)) {
      auto info = describe(streams, *held);
      if (info || info.error().kind() != ErrorKind::NotFound || last) return info;
      continue;  // closed meanwhile
    }
    auto opened = streams.open_stream_inner(id, /*for_write=*/false, /*wait=*/false);
    if (opened) {
      auto info = describe(streams, *opened);
      auto closed = streams.close_stream(*opened);
      if (!closed && info) return std::unexpected(std::move(closed).error());
      return info;
    }
    // A writer that opened it meanwhile is found in the handle table next time.
    if (opened.error().kind() != ErrorKind::LockConflict || last)
      return std::unexpected(std::move(opened).error());
  }
}

}  // namespace

Result<std::size_t> Vog::read_at(StreamHandle handle, std::uint64_t offset,
                                 std::span<std::byte> buffer) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, stream_handle_of(*state_, handle));
  return streams_->read(info->stream_handle, offset, buffer);
}

Result<std::size_t> Vog::write_at(StreamHandle handle, std::uint64_t offset,
                                  std::span<const std::byte> data) {
  std::shared_lock changing(state_->commit_mu);
  return write_through(*streams_, *state_, handle, offset, data);
}

Result<void> Vog::resize(StreamHandle handle, std::uint64_t new_len) {
  // One hold of the commit lock for the whole change: a commit between its
  // steps would save a stream that is neither the old length nor the new.
  std::shared_lock changing(state_->commit_mu);
  VOG_TRY(info, stream_handle_of(*state_, handle));
  VOG_TRY(length, streams_->stream_length(info->stream_handle));
  if (new_len <= *length) return raw_truncate(handle, new_len);
  // A write of the last byte fills everything before it with zeros.
  const std::byte zero{0};
  VOG_CHECK(write_through(*streams_, *state_, handle, new_len - 1, std::span(&zero, 1)));
  return {};
}

Result<PathInfo> Vog::stat(std::string_view path) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  if (path.empty()) return directory_info(root_stream_id_);
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);

  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
  VOG_TRY(parent, OpenDirectory::open(*streams_, *parent_id, /*for_write=*/false));
  // The leaf is captured by copy: clang before 16 cannot capture a structured binding.
  auto described = [&, leaf = leaf]() -> Result<PathInfo> {
    VOG_TRY(stream, find_in_dir(*parent_id, leaf, parent->dir().handle));
    if (*stream) {
      VOG_TRY(info, describe_stream(*streams_, *state_, **stream));
      info->stream_id = **stream;
      return *info;
    }
    VOG_TRY(dir, find_in_dir(*parent_id, std::string(leaf) + "/", parent->dir().handle));
    if (*dir) return directory_info(**dir);
    return std::unexpected(VogError::not_found(std::string(path)));
  }();
  return parent->close_with(std::move(described));
}

}  // namespace vog
