// salvage: copy what can still be read from a damaged Vog file into a new one.
//
// The damaged file is opened for reading and walked from the root by stream
// ID, below the namespace operations: directories are read straight from the
// stream layer (no directory cache: only the entries of the directories on
// the current path are held) and streams by ID, never by resolving a path.
// Only the source path first copied from each ID is kept for the whole walk. The new file
// gets the damaged file's geometry and the caller's password, and is written
// through the ordinary namespace operations, as optimize writes.
//
// What is kept of a damaged thing:
//   - A directory whose bytes cannot be read or parsed is not created; its
//     path is reported and nothing below it is reached. An unreadable root
//     leaves the new file empty.
//   - A stream that cannot be opened is not created. A stream that fails
//     part-way, or whose tree ends before its length, keeps the prefix that
//     read back: after a failed 256 KiB read the same range is read again
//     unit by unit (a block, or a compressed block), so the prefix ends at
//     the last unit that could be read.
//   - An entry whose name no directory can hold, or which clashes with a name
//     already copied, is reported instead of copied.
//
// Invariants, which bound the work on any damage:
//   1. Each directory stream is copied at most once: an entry naming one on
//      the current path (a cycle) or one already copied is reported, never
//      walked again.
//   2. Each stream is copied at most once: a second entry naming it is
//      reported, so a damaged directory cannot repeat one large stream.
//   3. Every unit of a stream (a data block, or a compressed block's
//      redirector) needs a block of its own, so no stream holds more than
//      total_blocks units; one that claims more is copied that far and
//      reported. With 2, the bytes copied are at most that much per stream
//      ID the tree names. No budget is shared between streams: a damaged tree
//      that reads back garbage (from beyond a file cut short, say) must not
//      cost an intact stream its data.
//   4. The walk's depth lives in a vector, never on the call stack.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "format.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

constexpr std::uint64_t kCopyBufferSize = 262144;

std::uint64_t units_for(std::uint64_t bytes, std::uint64_t unit) {
  return bytes / unit + (bytes % unit != 0 ? 1 : 0);
}

bool names_directory(const StreamEntry& entry) {
  return !entry.name.empty() && entry.name.back() == '/';
}

// Whether `leaf`, stored as `stored`, can be entered at `child_path` in the new
// file; the checks are those of mkdir and create_stream, plus the "/" that a
// stored leaf never holds.
Result<void> check_name(std::string_view leaf, std::string_view stored,
                        std::string_view child_path) {
  if (leaf.find('/') != std::string_view::npos)
    return std::unexpected(VogError::invalid_path("name contains '/'"));
  VOG_CHECK(validate_path(child_path));
  return check_stored_name(stored);
}

// Closes a stream-layer handle of the damaged file on every way out; a failed
// close of a read handle has nothing left to lose.
class SourceStream {
 public:
  SourceStream(StreamLayer& streams, BlockStreamHandle handle) noexcept
      : streams_(streams), handle_(handle) {}
  SourceStream(const SourceStream&) = delete;
  SourceStream& operator=(const SourceStream&) = delete;
  ~SourceStream() { (void)streams_.close_stream(handle_); }
  [[nodiscard]] BlockStreamHandle get() const noexcept { return handle_; }

 private:
  StreamLayer& streams_;
  BlockStreamHandle handle_;
};

}  // namespace

class Salvage {
 public:
  Salvage(Vog& source, Vog& destination)
      : source_(source), destination_(destination),
        total_blocks_(source.streams_->block_layer().total_blocks()) {}

  // Fails only when the new file cannot be written; damage is reported.
  [[nodiscard]] Result<SalvageReport> run();

 private:
  struct Frame {
    std::string path;
    StreamId dir = 0;   // in the damaged file
    StreamId copy = 0;  // the same directory in the new file
    std::vector<StreamEntry> entries;
    std::size_t next = 0;
  };

  [[nodiscard]] Result<std::vector<StreamEntry>> read_entries(StreamId dir);
  // The new directory's ID, or nothing when its name is taken (reported).
  [[nodiscard]] Result<std::optional<StreamId>> make_directory(StreamId parent,
                                                               const std::string& stored,
                                                               const std::string& path);
  [[nodiscard]] Result<void> copy_stream(const std::string& path, StreamId id);
  void lose(std::string path, SalvageLossKind kind, std::string reason,
            std::uint64_t saved_bytes = 0) {
    report_.lost.push_back({std::move(path), kind, saved_bytes, std::move(reason)});
  }

  Vog& source_;
  Vog& destination_;
  SalvageReport report_;
  std::unordered_map<StreamId, std::string> saved_dirs_;     // ID -> where it was copied
  std::unordered_map<StreamId, std::string> saved_streams_;  // ID -> where it was copied
  const std::uint64_t total_blocks_;
};

Result<std::vector<StreamEntry>> Salvage::read_entries(StreamId dir) {
  VOG_TRY(open, OpenDirectory::open(*source_.streams_, dir, /*for_write=*/false));
  VOG_TRY(bytes, open->close_with(read_directory(open->dir())));
  return parse_entries(dir, *bytes);
}

Result<std::optional<StreamId>> Salvage::make_directory(StreamId parent, const std::string& stored,
                                                        const std::string& path) {
  auto made = [&] {
    std::shared_lock tree(destination_.state_->tree_mu);
    return destination_.make_directory_in(parent, stored, path);
  }();
  if (made) return *made;
  if (made.error().kind() != ErrorKind::AlreadyExists)
    return std::unexpected(std::move(made).error());
  lose(path, SalvageLossKind::Directory, made.error().to_string());
  return std::nullopt;
}

Result<void> Salvage::copy_stream(const std::string& path, StreamId id) {
  StreamLayer& from = *source_.streams_;
  auto opened = from.open_stream_inner(id, /*for_write=*/false, /*wait=*/false);
  if (!opened) {
    lose(path, SalvageLossKind::Stream, opened.error().to_string());
    return {};
  }
  SourceStream stream(from, *opened);
  auto compressed = from.is_stream_compressed(stream.get());
  auto length = compressed ? from.stream_length(stream.get()) : Result<std::uint64_t>(0);
  if (!compressed || !length) {
    lose(path, SalvageLossKind::Stream,
         (!compressed ? compressed.error() : length.error()).to_string());
    return {};
  }
  auto to = destination_.create_stream(path, *compressed);
  if (!to) {
    if (to.error().kind() != ErrorKind::AlreadyExists) return std::unexpected(std::move(to).error());
    lose(path, SalvageLossKind::Stream, to.error().to_string());
    return {};
  }
  saved_streams_.emplace(id, path);

  const std::uint64_t unit = *compressed
                                 ? std::uint64_t{1} << from.compressed_block_size_shift()
                                 : from.block_layer().block_size();
  std::uint64_t limit = *length;
  std::optional<std::string> cut;  // why the copy ends before the length
  if (units_for(limit, unit) > total_blocks_) {
    limit = total_blocks_ * unit;
    cut = format("its length of {} bytes is more than the file has blocks for", *length);
  }
  std::vector<std::byte> buffer(static_cast<std::size_t>(std::min(limit, kCopyBufferSize)));
  std::uint64_t step = buffer.size();
  std::uint64_t done = 0;
  while (done < limit) {
    auto piece = std::span(buffer).first(static_cast<std::size_t>(std::min(limit - done, step)));
    auto got = from.read(stream.get(), done, piece);
    if (!got) {
      if (step > std::min(unit, kCopyBufferSize)) {
        step = std::min(unit, kCopyBufferSize);
        continue;
      }
      cut = got.error().to_string();
      break;
    }
    if (*got == 0) {
      cut = format("its tree ends after {} of its {} bytes", done, *length);
      break;
    }
    VOG_CHECK(destination_.write(*to, piece.first(*got)));
    done += *got;
  }
  VOG_CHECK(destination_.close_stream(*to));
  if (cut)
    lose(path, SalvageLossKind::Truncated, std::move(*cut), done);
  else
    ++report_.streams_saved;
  return {};
}

Result<SalvageReport> Salvage::run() {
  std::vector<Frame> path;
  std::unordered_set<StreamId> on_path;

  const StreamId root = source_.root_stream_id_;
  if (auto entries = read_entries(root); !entries) {
    lose("", SalvageLossKind::Directory, entries.error().to_string());
  } else {
    ++report_.directories_saved;
    saved_dirs_.emplace(root, "");
    on_path.insert(root);
    path.push_back({"", root, destination_.root_stream_id_, std::move(*entries)});
  }

  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.entries.size()) {
      on_path.erase(frame.dir);
      path.pop_back();
      continue;
    }
    StreamEntry& entry = frame.entries[frame.next++];
    const bool directory = names_directory(entry);
    const SalvageLossKind kind = directory ? SalvageLossKind::Directory : SalvageLossKind::Stream;
    std::string_view leaf = entry.name;
    if (directory) leaf.remove_suffix(1);
    std::string child = frame.path.empty() ? std::string(leaf) : frame.path + "/" + std::string(leaf);
    if (auto named = check_name(leaf, entry.name, child); !named) {
      lose(std::move(child), kind, named.error().to_string());
      continue;
    }
    const auto& saved = directory ? saved_dirs_ : saved_streams_;
    if (on_path.contains(entry.stream_id) && directory) {
      lose(std::move(child), kind,
           format("directory stream {} is its own ancestor (cycle)", entry.stream_id));
      continue;
    }
    if (auto earlier = saved.find(entry.stream_id); earlier != saved.end()) {
      lose(std::move(child), kind,
           format("{} {} was already saved as '{}'", directory ? "directory stream" : "stream",
                  entry.stream_id, earlier->second));
      continue;
    }
    if (!directory) {
      VOG_CHECK(copy_stream(child, entry.stream_id));
      continue;
    }
    auto entries = read_entries(entry.stream_id);
    if (!entries) {
      lose(std::move(child), kind, entries.error().to_string());
      continue;
    }
    VOG_TRY(copy, make_directory(frame.copy, entry.name, child));
    if (!*copy) continue;
    ++report_.directories_saved;
    saved_dirs_.emplace(entry.stream_id, child);
    on_path.insert(entry.stream_id);
    // May reallocate `path`: `frame` and `entry` are not used after this.
    path.push_back({std::move(child), entry.stream_id, **copy, std::move(*entries)});
  }
  return std::move(report_);
}

Result<SalvageReport> salvage(const std::string& path, const std::string& new_path,
                              std::optional<std::span<const std::byte>> password) {
  VOG_TRY(source, Vog::open(path, OpenMode::Read, password));
  CreateOptions options;
  options.password = password;
  options.block_size_shift = (*source)->block_size_shift();
  options.compressed_block_size_shift = (*source)->compressed_block_size_shift();
  VOG_TRY(destination, Vog::create(new_path, options));

  auto report = Salvage(**source, **destination).run();
  auto flushed = (*destination)->flush_open_streams();
  destination->reset();
  if (!report || !flushed) {
    std::error_code ignored;
    std::filesystem::remove(new_path, ignored);
    return std::unexpected(!report ? std::move(report).error() : std::move(flushed).error());
  }
  return report;
}

}  // namespace vog
