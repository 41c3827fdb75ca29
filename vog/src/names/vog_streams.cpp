// Streams by path and by handle: the namespace layer's stream handle table.
//
// A stream handle maps to an OpenStreamInfo in VogState: the stream layer's
// handle (which holds that layer's read or write lock on the stream), the
// position and the stream ID. Handle numbers come from one counter, taken only
// when an open has succeeded, so numbers are dense and never reused.
//
// By-handle operations copy what they need under the state mutex, call the
// stream layer without it, and take it again to move the position. A handle
// closed by another thread meanwhile is simply no longer there to update.
// Locking: see vog_state.hpp.
#include <optional>
#include <utility>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "format.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

VogError read_only() { return VogError::read_only("Vog file is opened for reading"); }
VogError empty_stream_path() { return VogError::invalid_path("stream path cannot be empty"); }
VogError not_writable() { return VogError::lock_conflict("stream is not opened for writing"); }

Result<OpenStreamInfo> lookup(VogState& state, StreamHandle handle) {
  std::lock_guard lock(state.mu);
  auto found = state.open_streams.find(handle);
  if (found == state.open_streams.end())
    return std::unexpected(VogError::not_found("invalid stream handle"));
  if (found->second.gone) return std::unexpected(gone_error(found->second));
  return found->second;
}

// Applies `change` to the handle's entry if it is still open.
template <class ChangeFn>
void update(VogState& state, StreamHandle handle, ChangeFn change) {
  std::lock_guard lock(state.mu);
  if (auto found = state.open_streams.find(handle); found != state.open_streams.end())
    change(found->second);
}

using Opened = std::pair<BlockStreamHandle, StreamId>;

// Opens `leaf` as the cached copy of its parent names it, without opening the
// parent. Sound because a stream ID is freed only after its entry is removed,
// which bumps the parent's generation: when the generation is the same after
// the open as at the lookup, the entry held throughout. Nothing (nullopt) when
// the parent is not cached or changed meanwhile: the caller then takes the
// parent's lock instead.
std::optional<Result<Opened>> open_through_cache(VogState& state, StreamLayer& streams,
                                                 StreamId parent, std::string_view leaf,
                                                 std::string_view path, bool for_write) {
  StreamId id;
  std::uint64_t generation;
  {
    std::lock_guard lock(state.mu);
    const auto* hit = state.dir_cache.find(parent);
    if (hit == nullptr) return std::nullopt;
    generation = state.generations.of(parent);
    auto found = find_name_in_buffer(parent, *hit, leaf);
    if (!found) return Result<Opened>(std::unexpected(std::move(found).error()));
    if (!*found) return Result<Opened>(std::unexpected(VogError::not_found(std::string(path))));
    id = **found;
  }
  auto handle = streams.open_stream_inner(id, for_write, /*wait=*/false);
  {
    std::lock_guard lock(state.mu);
    if (state.generations.of(parent) == generation) {
      if (!handle) return Result<Opened>(std::unexpected(std::move(handle).error()));
      return Result<Opened>(Opened{*handle, id});
    }
  }
  if (handle) (void)streams.close_stream(*handle);
  return std::nullopt;
}

}  // namespace

Result<StreamHandle> Vog::add_open_stream(std::string_view path, std::uint64_t handle,
                                          std::uint32_t stream_id, bool writable) {
  std::lock_guard lock(state_->mu);
  StreamHandle number = state_->next_handle++;
  state_->open_streams.emplace(number,
                               OpenStreamInfo{std::string(path), handle, 0, stream_id, writable});
  return number;
}

bool Vog::is_open_stream(std::uint32_t stream_id) {
  std::lock_guard lock(state_->mu);
  for (const auto& [number, info] : state_->open_streams)
    if (info.stream_id == stream_id) return true;
  return false;
}

Result<StreamHandle> Vog::raw_create_stream(std::string_view path, bool compressed) {
  if (!writable_) return std::unexpected(read_only());
  if (path.empty()) return std::unexpected(empty_stream_path());
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);
  VOG_CHECK(check_stored_name(leaf));

  StreamId new_id;
  {
    std::shared_lock tree(state_->tree_mu);
    VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
    VOG_TRY(created, streams_->create_stream(compressed));
    new_id = *created;
    auto parent = OpenDirectory::open(*streams_, *parent_id, /*for_write=*/true);
    if (!parent) {
      (void)streams_->delete_stream(new_id);
      return std::unexpected(std::move(parent).error());
    }
    auto added = add_entry_to_dir_handle(parent->dir(), *state_, leaf, new_id, path);
    if (!added) {
      VOG_CHECK(parent->close());
      (void)streams_->delete_stream(new_id);  // the add's failure is the one to report
      return std::unexpected(std::move(added).error());
    }
    VOG_CHECK(parent->close());
  }
  VOG_TRY(handle, streams_->open_stream_inner(new_id, /*for_write=*/true, /*wait=*/false));
  return add_open_stream(path, *handle, new_id, /*writable=*/true);
}

Result<StreamHandle> Vog::open_stream(std::string_view path, OpenMode mode) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  const bool for_write = mode == OpenMode::Write;
  if (for_write && !writable_) return std::unexpected(read_only());
  if (path.empty()) return std::unexpected(empty_stream_path());
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);

  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
  if (auto fast = open_through_cache(*state_, *streams_, *parent_id, leaf, path, for_write)) {
    VOG_TRY(opened, std::move(*fast));
    return add_open_stream(path, opened->first, opened->second, for_write);
  }
  // The parent's read lock spans the lookup and the open, so the ID found
  // cannot be deleted and handed to another stream in between.
  VOG_TRY(parent, OpenDirectory::open(*streams_, *parent_id, /*for_write=*/false));
  // The leaf is captured by copy: clang before 16 cannot capture a structured binding.
  auto opened = [&, leaf = leaf]() -> Result<Opened> {
    VOG_TRY(found, find_in_dir(*parent_id, leaf, parent->dir().handle));
    if (!*found) return std::unexpected(VogError::not_found(std::string(path)));
    VOG_TRY(handle, streams_->open_stream_inner(**found, for_write, /*wait=*/false));
    return std::pair{*handle, **found};
  }();
  if (auto closed = parent->close(); !closed) {
    if (opened) (void)streams_->close_stream(opened->first);  // no number was issued for it
    return std::unexpected(std::move(closed).error());
  }
  if (!opened) return std::unexpected(std::move(opened).error());
  return add_open_stream(path, opened->first, opened->second, for_write);
}

Result<void> Vog::raw_close_stream(StreamHandle handle) {
  BlockStreamHandle stream_handle;
  {
    std::lock_guard lock(state_->mu);
    auto found = state_->open_streams.find(handle);
    if (found == state_->open_streams.end())
      return std::unexpected(VogError::not_found("invalid stream handle"));
    stream_handle = found->second.stream_handle;
    state_->open_streams.erase(found);
  }
  return streams_->close_stream(stream_handle);
}

Result<void> Vog::raw_delete_stream(std::string_view path) {
  if (!writable_) return std::unexpected(read_only());
  if (path.empty()) return std::unexpected(empty_stream_path());
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);

  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
  VOG_TRY(parent, OpenDirectory::open(*streams_, *parent_id, /*for_write=*/true));
  auto removed = [&, leaf = leaf]() -> Result<StreamId> {  // a copy, as in open_stream
    VOG_TRY(found, find_in_dir(*parent_id, leaf, parent->dir().handle));
    if (!*found) return std::unexpected(VogError::not_found(std::string(path)));
    if (is_open_stream(**found))
      return std::unexpected(VogError::lock_conflict("cannot delete an open stream"));
    return remove_entry_from_dir_handle(parent->dir(), *state_, leaf, path);
  }();
  VOG_TRY(id, parent->close_with(std::move(removed)));
  return streams_->delete_stream(*id);
}

Result<void> Vog::raw_rename_stream(std::string_view old_path, std::string_view new_path) {
  if (!writable_) return std::unexpected(read_only());
  if (old_path.empty() || new_path.empty()) return std::unexpected(empty_stream_path());
  VOG_CHECK(validate_path(old_path));
  VOG_CHECK(validate_path(new_path));
  auto [old_parent, old_leaf] = split_parent_leaf(old_path);
  auto [new_parent, new_leaf] = split_parent_leaf(new_path);
  VOG_CHECK(check_stored_name(new_leaf));

  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(old_parent_id, resolve_dir_stream_id(old_parent));
  VOG_TRY(new_parent_id, resolve_dir_stream_id(new_parent));
  VOG_TRY(found, find_in_dir(*old_parent_id, old_leaf));
  if (!*found) return std::unexpected(VogError::not_found(std::string(old_path)));
  if (is_open_stream(**found))
    return std::unexpected(VogError::lock_conflict("cannot rename an open stream"));
  if (*old_parent_id == *new_parent_id)
    return rename_entry(*old_parent_id, old_leaf, old_path, new_leaf, new_path);
  return move_entry(*old_parent_id, old_leaf, old_path, *new_parent_id, new_leaf, new_path);
}

Result<std::size_t> Vog::read(StreamHandle handle, std::span<std::byte> buffer) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, lookup(*state_, handle));
  VOG_TRY(count, streams_->read(info->stream_handle, info->position, buffer));
  update(*state_, handle, [&](OpenStreamInfo& open) { open.position += *count; });
  return count;
}

Result<std::size_t> Vog::raw_write(StreamHandle handle, std::span<const std::byte> data) {
  VOG_TRY(info, lookup(*state_, handle));
  if (!info->writable) return std::unexpected(not_writable());
  VOG_TRY(count, streams_->write(info->stream_handle, info->position, data));
  update(*state_, handle, [&](OpenStreamInfo& open) { open.position += *count; });
  return count;
}

Result<void> Vog::seek(StreamHandle handle, std::uint64_t pos) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, lookup(*state_, handle));
  VOG_TRY(length, streams_->stream_length(info->stream_handle));
  if (pos > *length)
    return std::unexpected(VogError::seek_out_of_bounds(
        format("position {} exceeds stream length {}", pos, *length)));
  update(*state_, handle, [&](OpenStreamInfo& open) { open.position = pos; });
  return {};
}

Result<std::uint64_t> Vog::tell(StreamHandle handle) {
  VOG_TRY(info, lookup(*state_, handle));
  return info->position;
}

Result<void> Vog::raw_truncate(StreamHandle handle, std::uint64_t new_len) {
  VOG_TRY(info, lookup(*state_, handle));
  if (!info->writable) return std::unexpected(not_writable());
  VOG_CHECK(streams_->truncate(info->stream_handle, new_len));
  update(*state_, handle, [&](OpenStreamInfo& open) {
    if (new_len < open.position) open.position = new_len;
  });
  return {};
}

Result<void> Vog::raw_reserve(StreamHandle handle, std::uint64_t n_bytes) {
  VOG_TRY(info, lookup(*state_, handle));
  if (!info->writable) return std::unexpected(not_writable());
  return streams_->reserve(info->stream_handle, n_bytes);
}

Result<std::uint64_t> Vog::stream_length(StreamHandle handle) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, lookup(*state_, handle));
  return streams_->stream_length(info->stream_handle);
}

Result<std::uint64_t> Vog::stream_reserved(StreamHandle handle) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, lookup(*state_, handle));
  return streams_->stream_reserved(info->stream_handle);
}

Result<bool> Vog::is_stream_compressed(StreamHandle handle) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  VOG_TRY(info, lookup(*state_, handle));
  return streams_->is_stream_compressed(info->stream_handle);
}

}  // namespace vog
