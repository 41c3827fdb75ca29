// Directory streams and paths: the parser, both lookups (in a whole buffer and
// through an open handle of a real stream layer in memory) and the in-place
// add and remove, on any bytes.
// Input: a name's length (one byte), the name, then the directory stream; the
// whole input is also read as a namespace header, which must round-trip.
//
// On any stream the two lookups agree whenever both succeed, and reading the
// stream back through a handle gives its bytes. On a well-formed stream (one
// that build_directory_stream makes from its own entries, names unique) every
// entry is found, an add of an absent name is found afterwards, and removing
// it again restores the stream byte for byte.
#include <algorithm>
#include <set>

#include "directory_handle.hpp"
#include "fuzz_support.hpp"
#include "path.hpp"

namespace vog::fuzz {
namespace {

constexpr StreamId kAddedId = 0xA11D;

struct NoCache final : DirectoryCache {
  void invalidate_dir_cache(StreamId) override {}
};

std::string twin_of(const std::string& name) {
  return name.ends_with('/') ? name.substr(0, name.size() - 1) : name + "/";
}

// The entries, when `stream` is exactly what the engine would build for them.
std::optional<std::vector<StreamEntry>> well_formed(std::span<const std::byte> stream,
                                                    const Result<std::vector<StreamEntry>>& parsed) {
  if (!parsed) return std::nullopt;
  std::set<std::string> names;
  for (const StreamEntry& entry : *parsed)
    if (!names.insert(entry.name).second || names.contains(twin_of(entry.name))) return std::nullopt;
  auto built = build_directory_stream(*parsed);
  if (!std::equal(built.begin(), built.end(), stream.begin(), stream.end())) return std::nullopt;
  return *parsed;
}

std::optional<StreamId> expected_id(const std::vector<StreamEntry>& entries, std::string_view name) {
  for (const StreamEntry& entry : entries)
    if (entry.name == name) return entry.stream_id;
  return std::nullopt;
}

Result<std::optional<StreamId>> lookup(const DirectoryHandle& dir, std::string_view name) {
  VOG_TRY(length, dir.streams.stream_length(dir.handle));
  return find_name_in_handle(dir, *length, name);
}

void check_paths(const std::string& path) {
  (void)check_stored_name(path);
  if (!validate_path(path)) return;
  ParentLeaf split = split_parent_leaf(path);
  FUZZ_CHECK(!split.leaf.empty() && split.leaf.find('/') == std::string_view::npos,
             "a valid path splits into an empty leaf or one with '/'");
  std::string joined =
      split.parent.empty() ? std::string(split.leaf) : std::string(split.parent) + "/" + std::string(split.leaf);
  FUZZ_CHECK(joined == path, "parent and leaf do not make the path again");
  if (!split.parent.empty()) FUZZ_CHECK(bool(validate_path(split.parent)), "parent of a valid path invalid");
}

// Adds `name`, then removes it: on a well-formed stream both succeed exactly
// when the name and its twin are absent, and the stream comes back unchanged.
void add_and_remove(const DirectoryHandle& dir, const std::string& name,
                    std::span<const std::byte> stream,
                    const std::optional<std::vector<StreamEntry>>& entries) {
  NoCache cache;
  auto added = add_entry_to_dir_handle(dir, cache, name, kAddedId, "path");
  if (!entries) {
    if (added) (void)remove_entry_from_dir_handle(dir, cache, name, "path");
    return;
  }
  const bool free = check_stored_name(name) && !expected_id(*entries, name) &&
                    !expected_id(*entries, twin_of(name));
  FUZZ_CHECK(bool(added) == free, "add of '" + name + "' " + (added ? "succeeded" : "failed"));
  if (!added) return;
  auto found = lookup(dir, name);
  FUZZ_CHECK(found && *found == kAddedId, "an added name is not found");
  for (const StreamEntry& entry : *entries) {
    auto old = lookup(dir, entry.name);
    FUZZ_CHECK(old && *old == entry.stream_id, "an add lost '" + entry.name + "'");
  }
  auto removed = remove_entry_from_dir_handle(dir, cache, name, "path");
  FUZZ_CHECK(removed && *removed == kAddedId, "removing the added name failed");
  auto back = read_directory(dir);
  FUZZ_CHECK(back && std::equal(back->begin(), back->end(), stream.begin(), stream.end()),
             "add then remove changed the stream");
}

// Removes the first entry of a well-formed stream: every other one stays found.
void remove_first(const DirectoryHandle& dir, const std::vector<StreamEntry>& entries) {
  if (entries.empty()) return;
  NoCache cache;
  auto removed = remove_entry_from_dir_handle(dir, cache, entries.front().name, "path");
  FUZZ_CHECK(removed && *removed == entries.front().stream_id, "removing an entry failed");
  auto back = read_directory(dir);
  FUZZ_CHECK(bool(back), "a directory unreadable after a removal");
  auto parsed = parse_entries(1, *back);
  FUZZ_CHECK(parsed && std::equal(parsed->begin(), parsed->end(), entries.begin() + 1, entries.end()),
             "a removal changed the other entries");
  for (std::size_t i = 1; i < entries.size(); ++i) {
    auto found = lookup(dir, entries[i].name);
    FUZZ_CHECK(found && *found == entries[i].stream_id, "a removal lost '" + entries[i].name + "'");
  }
}

}  // namespace
}  // namespace vog::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vog;
  using namespace vog::fuzz;
  auto input = std::as_bytes(std::span(data, size));
  if (auto root = deserialize_header(input))
    FUZZ_CHECK(std::equal(input.begin(), input.begin() + kL4HeaderSize, serialize_header(*root).begin()),
               "L4 header does not round-trip");
  auto [name, stream] = split_directory_input(input);
  check_paths(name);

  auto parsed = parse_entries(1, stream);
  auto entries = well_formed(stream, parsed);
  auto in_buffer = find_name_in_buffer(1, stream, name);
  if (entries) {
    FUZZ_CHECK(in_buffer && *in_buffer == expected_id(*entries, name), "lookup of '" + name + "'");
    for (const StreamEntry& entry : *entries) {
      auto found = find_name_in_buffer(1, stream, entry.name);
      FUZZ_CHECK(found && *found == entry.stream_id, "entry '" + entry.name + "' not found");
    }
  }

  auto layer = create_streams(std::make_shared<std::vector<std::byte>>(), NewFile{});
  FUZZ_CHECK(bool(layer), "cannot make a stream layer");
  StreamLayer& streams = **layer;
  auto id = streams.create_stream(false);
  auto handle = id ? streams.open_stream_inner(*id, /*for_write=*/true, /*wait=*/false)
                   : Result<BlockStreamHandle>(std::unexpected(id.error()));
  FUZZ_CHECK(handle && streams.write(*handle, 0, stream), "cannot store the directory stream");
  DirectoryHandle dir{streams, *id, *handle};

  auto whole = read_directory(dir);
  FUZZ_CHECK(whole && std::equal(whole->begin(), whole->end(), stream.begin(), stream.end()),
             "read_directory gave other bytes");
  auto through_handle = lookup(dir, name);
  if (in_buffer && through_handle)
    FUZZ_CHECK(*in_buffer == *through_handle, "the two lookups of '" + name + "' disagree");

  add_and_remove(dir, name, stream, entries);
  if (entries) remove_first(dir, *entries);
  (void)streams.close_stream(*handle);
  return 0;
}
