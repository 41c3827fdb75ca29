// optimize: rewrite a Vog file without its free blocks.
//
// The source is opened for writing (so it holds the exclusive lock and nobody
// else can open it meanwhile); the destination is created at path +
// ".optimize.tmp" with the source's geometry and the caller's password, and the
// tree is copied into it through the ordinary namespace operations: every
// directory (empty ones too), then every stream's bytes in one sequential pass
// of 256 KiB pieces. Stream IDs, block numbers and reservations are not carried
// over; compressed streams stay compressed.
//
// Durability: the temporary file is forced to stable storage before the rename
// and the containing directory after it, so `path` never names a half-written
// file, even after a crash.
//
// Access: the temporary file is made private to this process and then given
// the source's permission bits, owner and group (those two where the process
// may set them) before anything is written into it, so the rewritten file is
// exactly as readable as the one it replaces, and never more so meanwhile.
//
// Invariants:
//   1. A failure before the rename leaves the file at `path` untouched.
//   2. The temporary path belongs to this operation: when the destination
//      cannot be created, whatever is there is removed.
//   3. The walk keeps its depth in a vector, and a directory entry naming a
//      directory on the current path (a damaged file) fails the copy before
//      anything of it is written, instead of copying forever.
//   4. A failure met while reading the source, or a name clash that only a
//      damaged source can cause, fails with "file is damaged (<failure>): use
//      salvage to copy what can be read": optimize copies all or nothing, and
//      salvage is the tool that keeps what can be read.

#include <algorithm>
#include <optional>
#include <shared_mutex>
#include <unordered_set>

#include "directory_stream.hpp"
#include "file_system.hpp"
#include "format.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

constexpr std::size_t kCopyBufferSize = 262144;
constexpr std::string_view kTemporarySuffix = ".optimize.tmp";

std::uint64_t file_size_or_zero(const std::string& path) {
  auto size = os_file_system().file_size(path);
  return size ? *size : 0;
}

void remove_quietly(const std::string& path) { (void)os_file_system().remove(path); }

VogError damaged(const VogError& found) {
  return VogError::io(
      format("file is damaged ({}): use salvage to copy what can be read", found.to_string()));
}

// `result`, with a failure turned into the damaged-file error.
template <class T>
Result<T> from_source(Result<T> result) {
  if (!result) return std::unexpected(damaged(result.error()));
  return result;
}

// As from_source, for the refusals of a destination step that only a source
// name can cause: a fresh file already holds a name only when a source
// directory names it twice, and a sound directory holds only valid names.
template <class T>
Result<T> refusal_is_damage(Result<T> result) {
  if (!result && (result.error().kind() == ErrorKind::AlreadyExists ||
                  result.error().kind() == ErrorKind::InvalidPath))
    return std::unexpected(damaged(result.error()));
  return result;
}

// Flushes (outcome ignored) and drops a handle on a path that has already failed.
void abandon(std::shared_ptr<Vog>& vog) {
  (void)vog->flush_open_streams();
  vog.reset();
}

// Closes every stream of `vog` and drops it; the flush's failure is returned,
// the handle is gone in any case.
Result<void> finish(std::shared_ptr<Vog>& vog) {
  auto flushed = vog->flush_open_streams();
  vog.reset();
  return flushed;
}

Result<void> sync_file(const std::string& path) {
  VOG_TRY(file, os_file_system().open(path, OpenHow::OpenExisting, AccessMode::ReadOnly));
  return (*file)->sync();
}

// The operating system's file system, where every file a call creates gets
// `access` before the call returns it.
class CreatingWithAccess final : public FileSystem {
 public:
  explicit CreatingWithAccess(const FileAccess& access) noexcept : access_(access) {}

  Result<std::unique_ptr<PlainFile>> open(const std::string& path, OpenHow how,
                                          AccessMode mode) override {
    if (how == OpenHow::OpenExisting) return base_.open(path, how, mode);
    VOG_TRY(file, base_.open_private(path, how, mode));
    VOG_CHECK((*file)->set_access(access_));
    return std::move(*file);
  }
  Result<bool> exists(const std::string& path) override { return base_.exists(path); }
  Result<std::uint64_t> file_size(const std::string& path) override {
    return base_.file_size(path);
  }
  Result<void> remove(const std::string& path) override { return base_.remove(path); }
  Result<void> replace(const std::string& from, const std::string& to) override {
    return base_.replace(from, to);
  }
  Result<void> sync_directory_of(const std::string& path) override {
    return base_.sync_directory_of(path);
  }

 private:
  FileSystem& base_ = os_file_system();
  const FileAccess access_;
};

// The access of the file at `path`, as the system records it.
Result<std::optional<FileAccess>> access_of(const std::string& path) {
  constexpr std::string_view kAction = "failed to read the Vog file's permissions: ";
  auto file = os_file_system().open(path, OpenHow::OpenExisting, AccessMode::ReadOnly);
  if (!file) return std::unexpected(with_action(kAction, file.error()));
  auto access = (*file)->access();
  if (!access) return std::unexpected(with_action(kAction, access.error()));
  return access;
}

}  // namespace

// Copies directories of a source Vog into a destination Vog. Both trees are
// walked by directory stream ID (a friend of Vog): the walk can tell a source
// directory met again on its own path, and no path is resolved from the root
// once per directory, which would make deep trees quadratic. Streams and every
// directory edit go through the same steps as the public operations.
class TreeCopy {
 public:
  TreeCopy(Vog& source, Vog& destination) noexcept : source_(source), destination_(destination) {}

  // Copies the contents of `directory` ("" for the root), depth-first in
  // listing order. `directory` must exist in both.
  [[nodiscard]] Result<void> copy_tree_recursive(std::string_view directory);

 private:
  struct Child {
    std::string name;  // leaf name, without the directory mark
    StreamId stream_id = 0;
    bool directory = false;
  };
  struct Frame {
    std::string path;
    StreamId dir = 0;          // in the source
    StreamId copy = 0;         // the same directory in the destination
    std::vector<Child> children;
    std::size_t next = 0;
  };

  // The entries of a source directory in the order Vog::list gives them.
  [[nodiscard]] Result<std::vector<Child>> listing(StreamId dir);
  [[nodiscard]] Result<void> copy_stream(const std::string& path);

  Vog& source_;
  Vog& destination_;
};

Result<std::vector<TreeCopy::Child>> TreeCopy::listing(StreamId dir) {
  VOG_TRY(content, from_source(source_.get_dir_content(dir)));
  VOG_TRY(entries, from_source(parse_entries(dir, *content)));
  std::vector<Child> children;
  children.reserve(entries->size());
  for (StreamEntry& entry : *entries) {
    bool directory = !entry.name.empty() && entry.name.back() == '/';
    if (directory) entry.name.pop_back();
    children.push_back({std::move(entry.name), entry.stream_id, directory});
  }
  std::stable_sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
    return std::string_view(a.name) < std::string_view(b.name);
  });
  return children;
}

Result<void> TreeCopy::copy_stream(const std::string& path) {
  VOG_TRY(from, from_source(source_.open_stream(path, OpenMode::Read)));
  VOG_TRY(compressed, from_source(source_.is_stream_compressed(*from)));
  VOG_TRY(length, from_source(source_.stream_length(*from)));
  VOG_TRY(to, refusal_is_damage(destination_.create_stream(path, *compressed)));
  std::vector<std::byte> buffer(kCopyBufferSize);
  for (std::uint64_t left = *length; left != 0;) {
    auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    VOG_TRY(got, from_source(source_.read(*from, std::span(buffer).first(want))));
    if (*got == 0) break;
    VOG_CHECK(destination_.write(*to, std::span(buffer).first(*got)));
    left -= *got;
  }
  VOG_CHECK(from_source(source_.close_stream(*from)));
  return destination_.close_stream(*to);
}

Result<void> TreeCopy::copy_tree_recursive(std::string_view directory) {
  std::vector<Frame> path;
  std::unordered_set<StreamId> on_path;
  auto enter = [&](std::string dir_path, StreamId dir, StreamId copy) -> Result<void> {
    VOG_TRY(children, listing(dir));
    on_path.insert(dir);
    path.push_back({std::move(dir_path), dir, copy, std::move(*children)});
    return {};
  };

  VOG_TRY(top, source_.resolve_dir_stream_id(directory));
  VOG_TRY(top_copy, destination_.resolve_dir_stream_id(directory));
  VOG_CHECK(enter(std::string(directory), *top, *top_copy));
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.children.size()) {
      on_path.erase(frame.dir);
      path.pop_back();
      continue;
    }
    const Child& child = frame.children[frame.next++];
    std::string child_path = frame.path.empty() ? child.name : frame.path + "/" + child.name;
    const bool slash_in_name = child.name.find('/') != std::string::npos;
    auto slash_error = [&] {
      return std::unexpected(damaged(VogError::io(
          format("directory stream {} holds an entry whose name contains '/'", frame.dir))));
    };
    if (!child.directory) {
      if (slash_in_name) return slash_error();
      VOG_CHECK(copy_stream(child_path));
      continue;
    }
    if (on_path.contains(child.stream_id))
      return std::unexpected(damaged(VogError::io(
          format("directory stream {} is its own ancestor (cycle)", child.stream_id))));
    // What mkdir checks of the path, in its order, before the parent (known
    // here) would be resolved; names that fail them, and a stored name holding
    // "/", can only come from a damaged directory.
    if (child_path.empty())
      return std::unexpected(damaged(VogError::invalid_path("cannot create root directory")));
    VOG_CHECK(from_source(validate_path(child_path)));
    if (slash_in_name) return slash_error();
    std::string stored = child.name + "/";
    VOG_CHECK(from_source(check_stored_name(stored)));
    auto copy = refusal_is_damage([&] {
      std::shared_lock tree(destination_.state_->tree_mu);
      return destination_.make_directory_in(frame.copy, stored, child_path);
    }());
    if (!copy) return std::unexpected(std::move(copy).error());
    VOG_CHECK(enter(std::move(child_path), child.stream_id, *copy));  // `frame` is not used after this
  }
  return {};
}

Result<std::uint64_t> optimize(const std::string& path,
                               std::optional<std::span<const std::byte>> password) {
  // A writer without a journal keeps every other opener out, readers too.
  OpenOptions exclusive;
  exclusive.password = password;
  exclusive.durability = Durability::Off;
  VOG_TRY(source, Vog::open(path, OpenMode::Write, exclusive));
  CreateOptions options;
  options.password = password;
  options.block_size_shift = (*source)->block_size_shift();
  options.compressed_block_size_shift = (*source)->compressed_block_size_shift();
  // The copy is forced to disk whole before it replaces anything; a journal adds nothing.
  options.durability = Durability::Off;
  const std::string temporary = path + std::string(kTemporarySuffix);
  auto access = access_of(path);
  if (!access) {
    abandon(*source);
    return std::unexpected(std::move(access).error());
  }
  std::optional<CreatingWithAccess> like_source;
  if (*access) options.file_system = &like_source.emplace(**access);

  auto destination = Vog::create(temporary, options);
  if (!destination) {
    abandon(*source);
    remove_quietly(temporary);
    return std::unexpected(std::move(destination).error());
  }
  if (auto copied = TreeCopy(**source, **destination).copy_tree_recursive(""); !copied) {
    abandon(*source);
    abandon(*destination);
    remove_quietly(temporary);
    return std::unexpected(std::move(copied).error());
  }

  const std::uint64_t old_size = file_size_or_zero(path);
  if (auto flushed = finish(*source); !flushed) {
    destination->reset();
    return std::unexpected(std::move(flushed).error());
  }
  VOG_CHECK(finish(*destination));
  if (auto synced = sync_file(temporary); !synced)
    return std::unexpected(with_action("failed to sync optimized file: ", synced.error()));
  const std::uint64_t new_size = file_size_or_zero(temporary);

  // The rename and the sync of the directory after it are one step.
  if (auto replaced = os_file_system().replace(temporary, path); !replaced)
    return std::unexpected(with_action("failed to rename optimized file: ", replaced.error()));
  return new_size < old_size ? old_size - new_size : 0;
}

}  // namespace vog
