// Paths, the L4 header record and directory streams, pure and through a handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "directory_handle.hpp"
#include "directory_stream.hpp"
#include "memory_stream_layer.hpp"
#include "path.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::error_of;
using testing::MemoryStreamLayer;
using testing::ok;
using testing::TransferRecord;

std::vector<std::byte> raw(std::initializer_list<unsigned> values) {
  std::vector<std::byte> out;
  for (unsigned v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

void append_u32(std::vector<std::byte>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

// ---------------------------------------------------------------------------
// Paths

TEST(ValidatePath, ReportsTheRuleBrokenFirstAndAcceptsAnyOtherCharacters) {
  struct Case {
    const char* path;
    const char* message;  // nullptr: valid
  };
  const Case cases[] = {
      {"a//b", "path contains empty component"},
      {"/a", "path must not start or end with /"},
      {"a/", "path must not start or end with /"},
      {"/", "path must not start or end with /"},
      {"/a//b", "path must not start or end with /"},
      {"a/./b", "path cannot contain . or .."},
      {"..", "path cannot contain . or .."},
      {".", "path cannot contain . or .."},
      {"a/../b//c", "path cannot contain . or .."},
      {"a//b/..", "path contains empty component"},
      {"", "path contains empty component"},
      {"a", nullptr},
      {"a/.b/..c", nullptr},
      {"...", nullptr},
      {"a b/c\\d", nullptr},
      {"\xC3\xBC/x y z", nullptr},
      {"a/b/c/d/e", nullptr},
  };
  for (const Case& c : cases) {
    if (c.message)
      EXPECT_EQ(error_of(validate_path(c.path)), VogError::invalid_path(c.message)) << c.path;
    else
      EXPECT_TRUE(validate_path(c.path)) << c.path;
  }
  // A NUL inside a component, met before the ".." after it.
  using namespace std::string_view_literals;
  EXPECT_EQ(error_of(validate_path("a/b\0c/.."sv)), VogError::invalid_path("path contains a NUL byte"));
  EXPECT_EQ(error_of(validate_path("a/../\0"sv)), VogError::invalid_path("path cannot contain . or .."));
}

// The longest name and the first too long are checked through mkdir (VogDirPaths).
TEST(CheckStoredName, RefusesNamesNoPathReachesAndMalformedUtf8) {
  using namespace std::string_view_literals;
  EXPECT_TRUE(check_stored_name("\xE2\x82\xAC\xF0\x9F\x98\x80"));
  for (std::string_view good : {"a/"sv, "..."sv, ".a/"sv, "\x1B"sv}) {
    EXPECT_TRUE(check_stored_name(good)) << good;
    EXPECT_TRUE(is_reachable_name(good)) << good;
  }
  struct Case {
    std::string_view name;
    const char* message;
  };
  const Case cases[] = {
      {"", "name is empty"},          {"/", "name is empty"},
      {".", "name cannot be . or .."}, {"../", "name cannot be . or .."},
      {"a/b", "name contains /"},      {"a//", "name contains /"},
      {"x\0/"sv, "name contains a NUL byte"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(check_stored_name(c.name)), VogError::invalid_path(c.message)) << c.name;
    EXPECT_FALSE(is_reachable_name(c.name)) << c.name;
  }
  for (const char* bad : {"\xFF", "a\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
    EXPECT_EQ(error_of(check_stored_name(bad)).kind(), ErrorKind::InvalidPath) << bad;
}

// ---------------------------------------------------------------------------
// L4 header record

TEST(L4Header, SerializesElevenBytesAndIgnoresWhatFollows) {
  auto bytes = serialize_header(0x04030201);
  EXPECT_EQ(std::vector<std::byte>(bytes.begin(), bytes.end()),
            raw({'f', 'i', 'l', 'i', 'n', 'g', 4, 1, 2, 3, 4}));
  EXPECT_EQ(ok(deserialize_header(bytes)), 0x04030201u);
  EXPECT_EQ(ok(deserialize_header(raw({'f', 'i', 'l', 'i', 'n', 'g', 4, 7, 0, 0, 0, 0xEE, 0xEE}))), 7u);
}

TEST(L4Header, ChecksLengthThenIdentifierThenVersion) {
  EXPECT_EQ(error_of(deserialize_header(raw({'x', 'i', 'l', 'i', 'n', 'g', 3, 0, 0, 0}))),
            VogError::io("L4 payload too short: 10 < 11"));
  EXPECT_EQ(error_of(deserialize_header(raw({'f', 'i', 'l', 'i', 'n', 'G', 3, 0, 0, 0, 0}))),
            VogError::io("expected L4 identifier 'filing', got 'filinG'"));
  // Bytes that are not UTF-8 show as replacement characters.
  EXPECT_EQ(error_of(deserialize_header(raw({'f', 0xFF, 'l', 0xC3, 'n', 'g', 4, 0, 0, 0, 0}))),
            VogError::io("expected L4 identifier 'filing', got 'f\xEF\xBF\xBDl\xEF\xBF\xBDng'"));
  // The version's own message is asserted through Vog::open_on (VogOpen).
}

// ---------------------------------------------------------------------------
// Pure directory stream routines

// Two stored names with the same FNV-1a hash.
constexpr const char* kCollideA = "costarring";
constexpr const char* kCollideB = "liquid";

TEST(NameHash, IsFnv1a32) {
  EXPECT_EQ(name_hash(""), 0x811C9DC5u);
  EXPECT_EQ(name_hash("a"), 0xE40C292Cu);
  EXPECT_EQ(name_hash("foobar"), 0xBF9CF968u);
  EXPECT_NE(name_hash("docs"), name_hash("docs/"));
  EXPECT_EQ(name_hash(kCollideA), name_hash(kCollideB));
}

TEST(BuildDirectoryStream, NoEntriesIsZeroBytesOneIsEntrySlotAndFooter) {
  EXPECT_TRUE(build_directory_stream({}).empty());
  StreamEntry entry{"x", 7};
  auto stream = build_directory_stream(std::span(&entry, 1));
  std::vector<std::byte> expected = raw({7, 0, 0, 0, 1, 0, 'x'});
  append_u32(expected, name_hash("x"));
  append_u32(expected, 0);
  append_u32(expected, 7);
  EXPECT_EQ(stream, expected);
}

TEST(BuildDirectoryStream, SortsSlotsByUnsignedHashKeepingEntryOrderForTies) {
  std::vector<StreamEntry> entries = {
      {"zeta", 1}, {kCollideA, 2}, {"alpha/", 3}, {kCollideB, 4}, {"m", 5}};
  auto stream = build_directory_stream(entries);
  std::uint32_t end = load_u32(stream, stream.size() - 4);
  std::size_t count = (stream.size() - 4 - end) / 8;
  ASSERT_EQ(count, entries.size());
  auto slots = parse_name_table_slots(std::span(stream).subspan(end), count);
  EXPECT_TRUE(std::is_sorted(slots.begin(), slots.end(),
                             [](const NameSlot& a, const NameSlot& b) { return a.hash < b.hash; }));
  // Equal hashes: the entry added first comes first in a freshly built table.
  auto first = std::find_if(slots.begin(), slots.end(),
                            [](const NameSlot& s) { return s.hash == name_hash(kCollideA); });
  ASSERT_NE(first, slots.end());
  ASSERT_NE(first + 1, slots.end());
  EXPECT_LT(first->offset, (first + 1)->offset);
  EXPECT_EQ(ok(parse_entries(0, stream)), entries);
}

TEST(ParseEntries, EmptyStreamsHaveNoEntriesAndEachMalformationIsReported) {
  EXPECT_TRUE(ok(parse_entries(0, {})).empty());
  EXPECT_TRUE(ok(parse_entries(0, raw({0, 0, 0, 0}))).empty());  // footer only
  // E = 3: no room for a 6-byte entry head.
  EXPECT_EQ(error_of(parse_entries(0, raw({1, 0, 0, 3, 0, 0, 0}))),
            VogError::io("truncated entry in directory stream"));
  // A head announcing 5 name bytes inside an 8-byte region.
  EXPECT_EQ(error_of(parse_entries(0, raw({1, 0, 0, 0, 5, 0, 'a', 'b', 8, 0, 0, 0}))),
            VogError::io("truncated entry name in directory stream"));
  auto bad_name = parse_entries(0, raw({1, 0, 0, 0, 2, 0, 'a', 0xFF, 8, 0, 0, 0}));
  EXPECT_EQ(error_of(bad_name).kind(), ErrorKind::IoError);
  EXPECT_TRUE(error_of(bad_name).detail().starts_with("invalid UTF-8 in entry name: "))
      << error_of(bad_name).detail();
  // A footer naming E beyond the stream is not followed.
  auto beyond = parse_entries(9, raw({1, 0, 0, 0, 0, 0, 200, 0, 0, 0}));
  EXPECT_EQ(error_of(beyond).kind(), ErrorKind::IoError);
  EXPECT_TRUE(error_of(beyond).detail().starts_with("directory stream 9: ")) << error_of(beyond).detail();
}

TEST(NameTable, RoundTripsAndFindsEveryRunOfEqualHashes) {
  std::vector<NameSlot> slots = {{1, 10}, {5, 0}, {5, 1}, {5, 2}, {9, 0}, {0x80000000u, 0},
                                 {0xFFFFFFFFu, 0xFFFFFFFFu}};
  auto table = serialize_table_and_footer(slots, 77);
  ASSERT_EQ(table.size(), slots.size() * 8 + 4);
  EXPECT_EQ(parse_name_table_slots(table, slots.size()), slots);
  EXPECT_EQ(load_u32(table, slots.size() * 8), 77u);
  struct Case {
    std::uint32_t hash;
    std::size_t lo, hi;
  };
  const Case cases[] = {{5, 1, 4},      {1, 0, 1},      {0, 0, 0},           {6, 4, 4},
                        {9, 4, 5},      {10, 5, 5},     {0x80000000u, 5, 6}, {0xFFFFFFFFu, 6, 7},
                        {0xFFFFFFFEu, 6, 6}};
  for (const Case& c : cases) {
    SlotRange range = find_hash_range(table, slots.size(), c.hash);
    EXPECT_EQ(range.lo, c.lo) << c.hash;
    EXPECT_EQ(range.hi, c.hi) << c.hash;
  }
  SlotRange none = find_hash_range({}, 0, 5);
  EXPECT_EQ(none.lo, none.hi);
}

TEST(FindNameInBuffer, FindsByExactStoredNameAndRefusesASlotOutsideTheEntries) {
  std::vector<StreamEntry> entries = {{"a", 1}, {"b/", 2}, {kCollideA, 3}, {kCollideB, 4}};
  auto stream = build_directory_stream(entries);
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, "a")), std::optional<StreamId>(1));
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, "b/")), std::optional<StreamId>(2));
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, "b")), std::nullopt);
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, "a/")), std::nullopt);
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, kCollideA)), std::optional<StreamId>(3));
  EXPECT_EQ(ok(find_name_in_buffer(0, stream, kCollideB)), std::optional<StreamId>(4));
  EXPECT_EQ(ok(find_name_in_buffer(0, {}, "a")), std::nullopt);
  // A stream shorter than its footer is refused through mkdir (VogList.CorruptDirectoryIsAnError).
  StreamEntry entry{"a", 1};
  auto broken = build_directory_stream(std::span(&entry, 1));
  store_u32(broken, 7 + 4, 5);  // the slot's offset: the head would cross E
  auto result = find_name_in_buffer(3, broken, "a");
  EXPECT_EQ(error_of(result).kind(), ErrorKind::IoError);
  EXPECT_TRUE(error_of(result).detail().starts_with("directory stream 3: ")) << error_of(result).detail();
}

// ---------------------------------------------------------------------------
// Through a handle

class CountingCache final : public DirectoryCache {
 public:
  void invalidate_dir_cache(StreamId dir) override { invalidated.push_back(dir); }
  std::vector<StreamId> invalidated;
};

class DirectoryHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    id_ = ok(layer_.create_stream(false));
    id_ = ok(layer_.create_stream(false));  // not 0, so IDs in bytes are visible
    handle_ = ok(layer_.open_stream_inner(id_, true, false));
  }

  DirectoryHandle dir() { return {layer_, id_, handle_}; }
  std::uint64_t length() { return ok(layer_.stream_length(handle_)); }
  std::vector<std::byte> bytes() {
    std::vector<std::byte> out(length());
    EXPECT_EQ(ok(layer_.read(handle_, 0, out)), out.size());
    return out;
  }
  void add(std::string_view name, StreamId id) {
    ok(add_entry_to_dir_handle(dir(), cache_, name, id, std::string("path/") + std::string(name)));
  }
  std::optional<StreamId> find(std::string_view name) {
    return ok(find_name_in_handle(dir(), length(), name));
  }
  // Stores raw bytes as the directory stream, as a corrupt file would hold.
  void corrupt_with(std::vector<std::byte> raw_bytes) {
    ok(layer_.close_stream(handle_));
    layer_.overwrite(id_, std::move(raw_bytes));
    handle_ = ok(layer_.open_stream_inner(id_, true, false));
  }

  MemoryStreamLayer layer_;
  CountingCache cache_;
  StreamId id_ = 0;
  BlockStreamHandle handle_ = 0;
};

TEST_F(DirectoryHandleTest, AddsKeepEntryOrderAndASortedTable) {
  std::vector<StreamEntry> entries;
  for (int i = 0; i < 40; ++i) {
    entries.push_back({"name" + std::to_string(i) + (i % 3 ? "" : "/"), static_cast<StreamId>(100 + i)});
    add(entries.back().name, entries.back().stream_id);
  }
  // Distinct hashes, so the edited stream is byte for byte a freshly built one.
  EXPECT_EQ(bytes(), build_directory_stream(entries));
  for (const StreamEntry& entry : entries) EXPECT_EQ(find(entry.name), entry.stream_id) << entry.name;
  EXPECT_EQ(find("name1/"), std::nullopt);
  EXPECT_EQ(find("missing"), std::nullopt);
}

TEST_F(DirectoryHandleTest, AddingOrRemovingTheLastEntryWritesOnlyItAndTheTable) {
  add("a", 1);
  add("bb", 2);
  layer_.clear_transfers();
  add("ccc", 3);
  // E was 7 + 8 = 15; the entry (9), three slots (24) and the footer (4) follow.
  EXPECT_EQ(layer_.writes(), (std::vector<TransferRecord>{{id_, 15, 9 + 24 + 4}}));
  layer_.clear_transfers();
  ok(remove_entry_from_dir_handle(dir(), cache_, "ccc", "ccc"));
  // No entry follows "ccc": nothing moves; two slots and the footer land at E - 9.
  EXPECT_EQ(layer_.writes(), (std::vector<TransferRecord>{{id_, 15, 2 * 8 + 4}}));
}

TEST_F(DirectoryHandleTest, TakenNameOrTwinIsRefusedWithTheFullPath) {
  add("x/", 1);
  add("y", 2);
  auto before = bytes();
  cache_.invalidated.clear();
  for (const char* name : {"x/", "x", "y", "y/"}) {
    auto result = add_entry_to_dir_handle(dir(), cache_, name, 5, "some/full/path");
    EXPECT_EQ(error_of(result), VogError::already_exists("some/full/path")) << name;
  }
  EXPECT_EQ(bytes(), before);
  EXPECT_TRUE(cache_.invalidated.empty());
}

TEST_F(DirectoryHandleTest, EqualHashesAreBothFoundNewestSlotFirst) {
  add(kCollideA, 1);
  add(kCollideB, 2);
  EXPECT_EQ(find(kCollideA), std::optional<StreamId>(1));
  EXPECT_EQ(find(kCollideB), std::optional<StreamId>(2));
  auto stream = bytes();
  std::uint32_t end = load_u32(stream, stream.size() - 4);
  auto slots = parse_name_table_slots(std::span(stream).subspan(end), 2);
  EXPECT_EQ(slots[0].offset, 6u + 10u);  // "liquid", added second
  EXPECT_EQ(slots[1].offset, 0u);
}

TEST_F(DirectoryHandleTest, LookupReadsFooterTableAndMatchingEntryOnlyAndNothingWhenEmpty) {
  EXPECT_EQ(find("a"), std::nullopt);
  EXPECT_TRUE(layer_.reads().empty());  // an empty directory has no footer to read
  for (int i = 0; i < 50; ++i) add("entry-" + std::to_string(i), static_cast<StreamId>(i));
  std::uint64_t total = length();
  auto stream = bytes();
  std::uint32_t end = load_u32(stream, stream.size() - 4);
  layer_.clear_transfers();
  EXPECT_EQ(find("entry-17"), std::optional<StreamId>(17));
  auto reads = layer_.reads();
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0], (TransferRecord{id_, total - 4, 4}));
  EXPECT_EQ(reads[1], (TransferRecord{id_, end, 50 * 8}));
  EXPECT_EQ(reads[2].length, 6u);
  EXPECT_EQ(reads[3], (TransferRecord{id_, reads[2].offset + 6, 8}));
}

TEST_F(DirectoryHandleTest, RemovingFirstLastMiddleAndTheOnlyEntryKeepsTheRest) {
  std::vector<StreamEntry> entries = {{"first", 1}, {"b", 2}, {"c", 3}, {"d/", 4}, {"last", 5}};
  for (const auto& e : entries) add(e.name, e.stream_id);
  EXPECT_EQ(ok(remove_entry_from_dir_handle(dir(), cache_, "first", "first")), 1u);
  EXPECT_EQ(ok(remove_entry_from_dir_handle(dir(), cache_, "last", "last")), 5u);
  EXPECT_EQ(ok(remove_entry_from_dir_handle(dir(), cache_, "c", "c")), 3u);
  std::vector<StreamEntry> rest = {{"b", 2}, {"d/", 4}};
  EXPECT_EQ(bytes(), build_directory_stream(rest));
  EXPECT_EQ(find("b"), std::optional<StreamId>(2));
  EXPECT_EQ(find("d/"), std::optional<StreamId>(4));
  EXPECT_EQ(find("first"), std::nullopt);
  EXPECT_EQ(ok(remove_entry_from_dir_handle(dir(), cache_, "b", "b")), 2u);
  EXPECT_EQ(ok(remove_entry_from_dir_handle(dir(), cache_, "d/", "p/d")), 4u);
  EXPECT_EQ(length(), 0u);  // no footer is left behind
  // Each of the five adds and five removals told the cache once.
  EXPECT_EQ(cache_.invalidated, std::vector<StreamId>(10, id_));
}

TEST_F(DirectoryHandleTest, RemovalMovesLargeRegionsInBoundedChunks) {
  std::vector<StreamEntry> entries = {{std::string(30000, 'a'), 1},
                                      {std::string(40000, 'b'), 2},
                                      {std::string(40000, 'c'), 3}};
  for (const auto& e : entries) add(e.name, e.stream_id);
  layer_.clear_transfers();
  ok(remove_entry_from_dir_handle(dir(), cache_, entries[0].name, "a"));
  for (const TransferRecord& read : layer_.reads()) EXPECT_LE(read.length, 65536u);
  std::size_t moved = 0;
  for (const TransferRecord& write : layer_.writes())
    if (write.offset < 80012) moved += write.length;
  EXPECT_EQ(moved, 80012u);
  entries.erase(entries.begin());
  EXPECT_EQ(bytes(), build_directory_stream(entries));
}

TEST_F(DirectoryHandleTest, RemovingWhatIsNotThereFailsWithThePath) {
  EXPECT_EQ(error_of(remove_entry_from_dir_handle(dir(), cache_, "a", "x/a")),
            VogError::not_found("x/a"));
  add("a/", 1);
  EXPECT_EQ(error_of(remove_entry_from_dir_handle(dir(), cache_, "a", "x/a")),
            VogError::not_found("x/a"));
}

TEST_F(DirectoryHandleTest, OverlongNameIsRefusedBeforeAnyWrite) {
  layer_.clear_transfers();
  auto result = add_entry_to_dir_handle(dir(), cache_, std::string(65536, 'n'), 1, "p");
  EXPECT_EQ(error_of(result),
            VogError::invalid_path("name too long: 65536 bytes (maximum 65535)"));
  EXPECT_TRUE(layer_.writes().empty());
}

// Each damaged stream is refused by lookup, add and remove alike, naming the directory.
TEST_F(DirectoryHandleTest, DamagedStreamsAreCorrupt) {
  StreamEntry entry{"a", 1};
  std::vector<std::byte> slot_outside = build_directory_stream(std::span(&entry, 1));
  store_u32(slot_outside, 7 + 4, 0xFFFFFFF0u);
  std::vector<std::byte> table_without_entries(16, std::byte{0});  // E = 0, two slots
  append_u32(table_without_entries, 0);
  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
  };
  const Case cases[] = {
      {"shorter than the footer", raw({1, 2, 3})},
      {"footer beyond the stream", raw({1, 0, 0, 0, 1, 0, 'a', 0xFF, 0xFF, 0xFF, 0x7F})},
      {"slot outside the entries", slot_outside},
      {"table larger than its entries can index", table_without_entries},
  };
  const std::string prefix = "directory stream " + std::to_string(id_);
  auto expect_corrupt = [&](const auto& result, const std::string& what) {
    ASSERT_FALSE(result) << what;
    EXPECT_EQ(result.error().kind(), ErrorKind::IoError) << what;
    EXPECT_TRUE(result.error().detail().starts_with(prefix)) << what << ": " << result.error().detail();
  };
  for (const Case& c : cases) {
    corrupt_with(c.bytes);
    expect_corrupt(find_name_in_handle(dir(), length(), "a"), std::string(c.what) + ", lookup");
    expect_corrupt(add_entry_to_dir_handle(dir(), cache_, "a", 2, "a"), std::string(c.what) + ", add");
    expect_corrupt(remove_entry_from_dir_handle(dir(), cache_, "a", "a"), std::string(c.what) + ", remove");
  }
}

// A cache that lends whole copies, as the namespace layer's does.
class LendingCache final : public DirectoryCache {
 public:
  void invalidate_dir_cache(StreamId dir) override { copies.erase(dir); }
  Result<std::optional<std::vector<std::byte>>> take_dir_copy(const DirectoryHandle& dir) override {
    if (auto node = copies.extract(dir.id)) return std::optional(std::move(node.mapped()));
    VOG_TRY(bytes, read_directory(dir));
    return std::optional(std::move(*bytes));
  }
  void return_dir_copy(StreamId dir, std::vector<std::byte> bytes) override {
    copies.insert_or_assign(dir, std::move(bytes));
  }
  std::map<StreamId, std::vector<std::byte>> copies;
};

// Random adds and removes (with taken names, twins, colliding hashes and
// absent names) give the same outcome, byte for byte, whether the edit works
// in place or on a lent copy; the copy handed back equals the stream, and an
// edit on a copy reads nothing once the copy is cached.
TEST_F(DirectoryHandleTest, LentCopyEditsMatchInPlaceEdits) {
  MemoryStreamLayer other;
  (void)ok(other.create_stream(false));
  StreamId other_id = ok(other.create_stream(false));
  ASSERT_EQ(other_id, id_);
  BlockStreamHandle other_handle = ok(other.open_stream_inner(other_id, true, false));
  DirectoryHandle lent{other, other_id, other_handle};
  LendingCache lending;
  std::vector<std::string> names = {kCollideA, kCollideB, "a", "a/", "b", "dir/", std::string(300, 'z')};
  for (int i = 0; i < 20; ++i) names.push_back("n" + std::to_string(i));
  std::mt19937 gen(7);
  for (int step = 0; step < 600; ++step) {
    const std::string& name = names[gen() % names.size()];
    auto id = static_cast<StreamId>(step);
    if (gen() % 3 != 0) {
      auto in_place = add_entry_to_dir_handle(dir(), cache_, name, id, name);
      auto on_copy = add_entry_to_dir_handle(lent, lending, name, id, name);
      ASSERT_EQ(in_place.has_value(), on_copy.has_value()) << step;
      if (!in_place) {
        EXPECT_EQ(in_place.error(), on_copy.error());
      }
    } else {
      auto in_place = remove_entry_from_dir_handle(dir(), cache_, name, name);
      auto on_copy = remove_entry_from_dir_handle(lent, lending, name, name);
      ASSERT_EQ(in_place, on_copy) << step;
    }
    std::vector<std::byte> stream(ok(other.stream_length(other_handle)));
    EXPECT_EQ(ok(other.read(other_handle, 0, stream)), stream.size());
    ASSERT_EQ(stream, bytes()) << step;
    if (auto copy = lending.copies.find(other_id); copy != lending.copies.end()) {
      ASSERT_EQ(copy->second, stream) << step;
    }
  }
  other.clear_transfers();
  ok(add_entry_to_dir_handle(lent, lending, "fresh", 1, "fresh"));
  EXPECT_TRUE(other.reads().empty());
}

TEST(OpenDirectory, ClosesOnDestructionAndReportsAFailedClose) {
  MemoryStreamLayer layer;
  StreamId id = ok(layer.create_stream(false));
  {
    auto open = OpenDirectory::open(layer, id, true);
    ASSERT_TRUE(open);
    EXPECT_TRUE(layer.is_locked(id));
  }
  EXPECT_FALSE(layer.is_locked(id));

  layer.set_fault([](testing::LayerOp op, StreamId) -> std::optional<VogError> {
    if (op == testing::LayerOp::Close) return VogError::io("close failed");
    return std::nullopt;
  });
  auto open = OpenDirectory::open(layer, id, true);
  ASSERT_TRUE(open);
  Result<int> earlier = std::unexpected(VogError::not_found("x"));
  EXPECT_EQ(error_of(open->close_with(std::move(earlier))), VogError::io("close failed"));
  EXPECT_FALSE(layer.is_locked(id));
  EXPECT_EQ(layer.open_handle_count(), 0u);
}

}  // namespace
}  // namespace vog
