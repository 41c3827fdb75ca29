// The namespace layer: a tree of directories over the numbered streams below.
//
// On disk this layer owns admin slot 1 (the 11-byte L4 header naming the root
// directory's stream) and the bytes of every directory stream
// (directory_stream.hpp). Everything else a Vog knows lives in VogState and
// starts empty at every open.
//
// Invariants:
//   1. Every directory stream an operation opens is closed before it returns,
//      and a failed close replaces the operation's own result
//      (OpenDirectory::close_with).
//   2. A cached directory copy equals the stream as of its generation; an edit
//      takes the copy out (or invalidates) before writing and puts the edited
//      copy back only after a complete edit, before releasing the directory's
//      lock. Lookups search the cached copy in place, never copying it.
//   3. The state mutex is never held across a stream-layer call.
// Locking: see vog_state.hpp.
#include "vog.hpp"

#include <algorithm>
#include <cstdio>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "fork_guard.hpp"
#include "format.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

constexpr std::uint8_t kL4Slot = 1;

VogError read_only() { return VogError::read_only("Vog file is opened for reading"); }

// Runs `use` on the directory's bytes: on the cached copy under the state
// mutex when there is one, else on bytes from `read`, which enter the cache
// unless an edit raced with the read (the read is still returned to its caller).
template <class ReadFn, class UseFn>
auto with_dir_content(VogState& state, StreamId dir, ReadFn read, UseFn use)
    -> decltype(use(std::span<const std::byte>())) {
  std::uint64_t generation;
  {
    std::lock_guard lock(state.mu);
    if (const auto* hit = state.dir_cache.find(dir)) return use(*hit);
    generation = state.generations.of(dir);
  }
  VOG_TRY(bytes, read());
  auto result = use(*bytes);
  std::lock_guard lock(state.mu);
  if (state.generations.of(dir) == generation) state.dir_cache.put(dir, std::move(*bytes));
  return result;
}

// Through the caller's open handle of the directory, or opening it for reading.
Result<std::vector<std::byte>> read_whole_directory(StreamLayer& streams, StreamId dir,
                                                    std::optional<BlockStreamHandle> handle) {
  if (handle) return read_directory(DirectoryHandle{streams, dir, *handle});
  VOG_TRY(open, OpenDirectory::open(streams, dir, /*for_write=*/false));
  return open->close_with(read_directory(open->dir()));
}

}  // namespace

Vog::Vog(std::unique_ptr<StreamLayer> streams, std::uint32_t root_stream_id, bool writable)
    : streams_(std::move(streams)), state_(std::make_unique<VogState>()),
      root_stream_id_(root_stream_id), writable_(writable), fork_generation_(fork_generation()) {}

Vog::~Vog() {
  if (is_forked_copy()) {
    // Another thread of the parent may have held any of the layers' mutexes
    // at the fork, so the copy is never torn down: its memory and descriptors
    // go with the child, and the parent keeps its lock and journal.
    (void)streams_.release();
    (void)state_.release();
    return;
  }
  if (auto flushed = flush_open_streams(); !flushed) {
    // Written whole, so a message quoting a path with any byte in it stays intact.
    std::string line = "Vog Drop: error flushing open streams: " + flushed.error().to_string() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

Result<std::shared_ptr<Vog>> Vog::create_on(std::unique_ptr<StreamLayer> streams) {
  VOG_TRY(root, streams->create_stream(/*compressed=*/false));
  VOG_CHECK(streams->block_layer().write_admin_slot(kL4Slot, serialize_header(*root)));
  return std::shared_ptr<Vog>(new Vog(std::move(streams), *root, /*writable=*/true));
}

Result<std::shared_ptr<Vog>> Vog::open_on(std::unique_ptr<StreamLayer> streams, OpenMode mode) {
  VOG_TRY(slot, streams->block_layer().read_admin_slot(kL4Slot));
  VOG_TRY(root, deserialize_header(*slot));
  return std::shared_ptr<Vog>(new Vog(std::move(streams), *root, mode == OpenMode::Write));
}

bool Vog::is_forked_copy() const noexcept { return fork_generation() != fork_generation_; }

bool Vog::is_encrypted() const noexcept { return streams_->block_layer().is_encrypted(); }

std::uint8_t Vog::block_size_shift() const noexcept {
  return streams_->block_layer().block_size_shift();
}

std::uint8_t Vog::compressed_block_size_shift() const noexcept {
  return streams_->compressed_block_size_shift();
}

Result<std::vector<std::byte>> Vog::get_dir_content(std::uint32_t dir) {
  return with_dir_content(*state_, dir, [&] { return read_whole_directory(*streams_, dir, {}); },
                          [](std::span<const std::byte> bytes) -> Result<std::vector<std::byte>> {
                            return std::vector<std::byte>(bytes.begin(), bytes.end());
                          });
}

Result<std::optional<std::uint32_t>> Vog::find_in_dir(std::uint32_t dir, std::string_view name,
                                                      std::optional<std::uint64_t> dir_handle) {
  return with_dir_content(
      *state_, dir, [&] { return read_whole_directory(*streams_, dir, dir_handle); },
      [&](std::span<const std::byte> bytes) { return find_name_in_buffer(dir, bytes, name); });
}

void Vog::invalidate_dir_cache(std::uint32_t dir) { state_->invalidate_dir_cache(dir); }

Result<std::uint32_t> Vog::resolve_dir_stream_id(std::string_view path) {
  StreamId current = root_stream_id_;
  if (path.empty()) return current;
  std::string stored;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t slash = std::min(path.find('/', start), path.size());
    stored.assign(path.substr(start, slash - start)).push_back('/');
    VOG_TRY(found, find_in_dir(current, stored));
    if (!*found) return std::unexpected(VogError::not_found("parent directory does not exist"));
    current = **found;
    start = slash + 1;
  }
  return current;
}

Result<std::vector<DirEntry>> Vog::list(std::string_view path) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  if (!path.empty()) VOG_CHECK(validate_path(path));
  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(dir, resolve_dir_stream_id(path));
  VOG_TRY(content, get_dir_content(*dir));
  VOG_TRY(entries, parse_entries(*dir, *content));
  std::vector<DirEntry> listing;
  listing.reserve(entries->size());
  for (StreamEntry& entry : *entries) {
    if (!entry.name.empty() && entry.name.back() == '/') {
      entry.name.pop_back();
      listing.push_back({std::move(entry.name), EntryType::Directory});
    } else {
      listing.push_back({std::move(entry.name), EntryType::Stream});
    }
  }
  std::stable_sort(listing.begin(), listing.end(), [](const DirEntry& a, const DirEntry& b) {
    return std::string_view(a.name) < std::string_view(b.name);  // unsigned bytes
  });
  return listing;
}

Result<void> Vog::raw_mkdir(std::string_view path) {
  if (!writable_) return std::unexpected(read_only());
  if (path.empty()) return std::unexpected(VogError::invalid_path("cannot create root directory"));
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);
  std::string stored = std::string(leaf) + "/";
  VOG_CHECK(check_stored_name(stored));

  std::shared_lock tree(state_->tree_mu);
  VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
  VOG_CHECK(make_directory_in(*parent_id, stored, path));
  return {};
}

Result<std::uint32_t> Vog::make_directory_in(std::uint32_t parent_id, std::string_view stored,
                                             std::string_view path) {
  VOG_TRY(new_id, streams_->create_stream(/*compressed=*/false));
  auto parent = OpenDirectory::open(*streams_, parent_id, /*for_write=*/true);
  if (!parent) {
    (void)streams_->delete_stream(*new_id);
    return std::unexpected(std::move(parent).error());
  }
  auto added = add_entry_to_dir_handle(parent->dir(), *state_, stored, *new_id, path);
  if (!added) {
    VOG_CHECK(parent->close());
    (void)streams_->delete_stream(*new_id);  // the add's failure is the one to report
    return std::unexpected(std::move(added).error());
  }
  VOG_CHECK(parent->close());
  return *new_id;
}

Result<void> Vog::raw_rmdir(std::string_view path) {
  if (!writable_) return std::unexpected(read_only());
  if (path.empty()) return std::unexpected(VogError::invalid_path("cannot remove root directory"));
  VOG_CHECK(validate_path(path));
  auto [parent_path, leaf] = split_parent_leaf(path);
  std::string stored = std::string(leaf) + "/";

  std::unique_lock tree(state_->tree_mu);
  VOG_TRY(parent_id, resolve_dir_stream_id(parent_path));
  VOG_TRY(parent, OpenDirectory::open(*streams_, *parent_id, /*for_write=*/true));
  auto removed = [&]() -> Result<StreamId> {
    VOG_TRY(found, find_in_dir(*parent_id, stored, parent->dir().handle));
    if (!*found) return std::unexpected(VogError::not_found(std::string(path)));
    // Waiting for a read lock on the directory this call holds for writing
    // would never end; only a damaged entry can name its own directory.
    if (**found == *parent_id)
      return std::unexpected(corrupt_directory(
          *parent_id, format("entry '{}' names the directory itself", stored)));
    VOG_TRY(child, OpenDirectory::open(*streams_, **found, /*for_write=*/false));
    VOG_TRY(child_length, child->close_with(streams_->stream_length(child->dir().handle)));
    if (*child_length != 0) return std::unexpected(VogError::not_empty(std::string(path)));
    return remove_entry_from_dir_handle(parent->dir(), *state_, stored, path);
  }();
  VOG_TRY(child_id, parent->close_with(std::move(removed)));
  invalidate_dir_cache(*child_id);
  return streams_->delete_stream(*child_id);
}

Result<void> Vog::raw_rename_dir(std::string_view old_path, std::string_view new_path) {
  if (!writable_) return std::unexpected(read_only());
  if (old_path.empty() || new_path.empty())
    return std::unexpected(VogError::invalid_path("cannot rename root directory"));
  VOG_CHECK(validate_path(old_path));
  VOG_CHECK(validate_path(new_path));
  auto [old_parent, old_leaf] = split_parent_leaf(old_path);
  auto [new_parent, new_leaf] = split_parent_leaf(new_path);
  std::string old_stored = std::string(old_leaf) + "/";
  std::string new_stored = std::string(new_leaf) + "/";
  VOG_CHECK(check_stored_name(new_stored));

  std::unique_lock tree(state_->tree_mu);
  VOG_TRY(old_parent_id, resolve_dir_stream_id(old_parent));
  VOG_TRY(new_parent_id, resolve_dir_stream_id(new_parent));
  // Paths have no "." or "..", so a directory's subtree is exactly the paths
  // it prefixes; the exclusive tree lock keeps that true until the move is done.
  if (new_path.size() > old_path.size() && new_path.starts_with(old_path) &&
      new_path[old_path.size()] == '/')
    return std::unexpected(VogError::invalid_path("cannot move a directory into its own subtree"));
  if (*old_parent_id == *new_parent_id)
    return rename_entry(*old_parent_id, old_stored, old_path, new_stored, new_path);
  return move_entry(*old_parent_id, old_stored, old_path, *new_parent_id, new_stored, new_path);
}

Result<void> Vog::rename_entry(std::uint32_t dir, std::string_view from_name,
                               std::string_view from_path, std::string_view to_name,
                               std::string_view to_path) {
  VOG_TRY(parent, OpenDirectory::open(*streams_, dir, /*for_write=*/true));
  auto renamed = [&]() -> Result<void> {
    VOG_TRY(id, remove_entry_from_dir_handle(parent->dir(), *state_, from_name, from_path));
    auto added = add_entry_to_dir_handle(parent->dir(), *state_, to_name, *id, to_path);
    if (!added)
      (void)add_entry_to_dir_handle(parent->dir(), *state_, from_name, *id, from_path);
    return added;
  }();
  return parent->close_with(std::move(renamed));
}

Result<void> Vog::move_entry(std::uint32_t from_dir, std::string_view from_name,
                             std::string_view from_path, std::uint32_t to_dir,
                             std::string_view to_name, std::string_view to_path) {
  StreamId id;
  Result<void> source_closed;
  {
    VOG_TRY(source, OpenDirectory::open(*streams_, from_dir, /*for_write=*/true));
    auto removed = remove_entry_from_dir_handle(source->dir(), *state_, from_name, from_path);
    if (!removed)
      return source->close_with(Result<void>(std::unexpected(std::move(removed).error())));
    id = *removed;
    source_closed = source->close();
  }
  bool added = false;
  Result<void> moved = [&]() -> Result<void> {
    VOG_CHECK(source_closed);
    VOG_TRY(target, OpenDirectory::open(*streams_, to_dir, /*for_write=*/true));
    auto add = add_entry_to_dir_handle(target->dir(), *state_, to_name, id, to_path);
    added = add.has_value();
    return target->close_with(std::move(add));
  }();
  if (!moved && !added) {
    // The entry is in neither directory: put it back, so the reported failure
    // does not also lose the subtree or stream. The restoring add's own result
    // is not the caller's concern, but a directory that cannot be opened or
    // closed again is, as for every directory this operation opens.
    VOG_TRY(source, OpenDirectory::open(*streams_, from_dir, /*for_write=*/true));
    (void)add_entry_to_dir_handle(source->dir(), *state_, from_name, id, from_path);
    VOG_CHECK(source->close());
  }
  return moved;
}

Result<void> Vog::raw_flush_open_streams() {
  std::map<StreamHandle, OpenStreamInfo> taken;
  {
    std::lock_guard lock(state_->mu);
    taken.swap(state_->open_streams);
  }
  Result<void> first;
  for (const auto& [handle, info] : taken) {
    auto closed = streams_->close_stream(info.stream_handle);
    if (!closed && first) first = std::move(closed);
  }
  return first;
}

}  // namespace vog
