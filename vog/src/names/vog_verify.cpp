// Vog::verify: the whole file's consistency report.
//
// The namespace layer walks the directory tree from the root, reading every
// directory stream straight from the stream layer (never from the directory
// cache), and collects the stream ID of every directory and stream the tree
// names, in depth-first order with repeats kept. The stream layer then checks
// those IDs against its descriptors and passes its own and the lower layers'
// lines back.
//
// An entry whose name no path can reach (empty, "." or "..", or holding "/"
// or NUL past a directory's one trailing "/") gets a line naming its
// directory by path and by stream; it is claimed and walked like any other,
// so that what lies below it is not also reported as orphaned.
//
// Report order: the walk's lines (a directory's own before those of the
// directories listed after it), then one line per repeated ID, then the
// stream layer's lines. Every layer adds to one VerifyReport, which keeps the
// first lines and only counts the rest, so a file with millions of problems
// costs no more memory than one with a few.
//
// Invariants of the walk, which no damaged file can break:
//   1. The walk's depth lives in a vector, not on the call stack, so a tree
//      nested arbitrarily deep costs memory, never a stack overflow.
//   2. A directory entry naming a directory on the current path is a cycle:
//      it is claimed and reported, never entered.
//   3. A directory whose entries were already walked once is claimed again but
//      not walked again, so the walk reads each directory stream at most once
//      and its length is bounded by the entries actually stored.
// Locking: the tree lock is held shared (no directory is removed or moved
// meanwhile); each directory stream is opened for reading, waiting for a
// writer, one at a time. The state mutex is not taken.
#include <shared_mutex>
#include <unordered_set>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "format.hpp"
#include "path.hpp"
#include "stream_layer.hpp"
#include "text.hpp"
#include "verify_report.hpp"
#include "vog.hpp"
#include "vog_state.hpp"

namespace vog {
namespace {

// One directory of the path the walk is on, and how far through it the walk is.
struct WalkFrame {
  StreamId dir;
  std::string path;  // as first reached; "" for the root
  std::vector<StreamEntry> entries;
  std::size_t next = 0;
};

bool names_directory(const StreamEntry& entry) {
  return !entry.name.empty() && entry.name.back() == '/';
}

}  // namespace

Result<void> Vog::collect_stream_ids_recursive(std::uint32_t dir, std::vector<std::uint32_t>& claimed,
                                               VerifyReport& report) {
  std::vector<WalkFrame> path;
  std::unordered_set<StreamId> on_path;
  std::unordered_set<StreamId> walked;

  // Claims `id` and, when it can be read, puts its entries on the path.
  auto enter = [&](StreamId id, std::string dir_path) -> Result<void> {
    claimed.push_back(id);
    if (walked.contains(id)) return {};
    auto open = OpenDirectory::open(*streams_, id, /*for_write=*/false);
    if (!open) {
      report.add("L4: failed to open directory stream {} for verification: {}", id,
                 open.error().to_string());
      return {};
    }
    auto entries = [&]() -> Result<std::vector<StreamEntry>> {
      VOG_TRY(bytes, read_directory(open->dir()));
      return parse_entries(id, *bytes);
    }();
    if (!entries) {
      report.add("L4: failed to read entries from directory stream {}: {}", id,
                 entries.error().to_string());
      (void)open->close();  // the unreadable directory is what gets reported
      return {};
    }
    VOG_CHECK(open->close());
    walked.insert(id);
    on_path.insert(id);
    path.push_back({id, std::move(dir_path), std::move(*entries)});
    return {};
  };

  VOG_CHECK(enter(dir, ""));
  while (!path.empty()) {
    WalkFrame& frame = path.back();
    if (frame.next == frame.entries.size()) {
      on_path.erase(frame.dir);
      path.pop_back();
      continue;
    }
    const StreamEntry& entry = frame.entries[frame.next++];
    if (!is_reachable_name(entry.name))
      report.add(
          "L4: directory \"{}\" (stream {}) holds an entry whose name cannot be a path "
          "component: \"{}\"",
          escaped(frame.path), frame.dir, escaped(entry.name));
    if (!names_directory(entry)) {
      claimed.push_back(entry.stream_id);
    } else if (on_path.contains(entry.stream_id)) {
      claimed.push_back(entry.stream_id);
      report.add("L4: directory stream {} is its own ancestor (cycle)", entry.stream_id);
    } else {
      std::string leaf(entry.name, 0, entry.name.size() - 1);
      // May grow `path`: `frame` is not used after this.
      VOG_CHECK(enter(entry.stream_id, frame.path.empty() ? leaf : frame.path + "/" + leaf));
    }
  }
  return {};
}

Result<std::vector<std::string>> Vog::verify() { return verify(kDefaultVerifyLineLimit); }

Result<std::vector<std::string>> Vog::verify(std::size_t max_lines) {
  VOG_TRY(section, ReadSection::enter(*this, *streams_, *state_));
  std::vector<StreamId> claimed;
  VerifyReport report(max_lines);
  {
    std::shared_lock tree(state_->tree_mu);
    VOG_CHECK(collect_stream_ids_recursive(root_stream_id_, claimed, report));
  }

  std::unordered_set<StreamId> seen;
  seen.reserve(claimed.size());
  for (StreamId id : claimed)
    if (!seen.insert(id).second)
      report.add("L4: stream ID {} appears in multiple directory entries", id);

  VOG_CHECK(streams_->verify(claimed, report));
  return std::move(report).finish();
}

}  // namespace vog
