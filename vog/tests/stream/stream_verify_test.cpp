// The stream layer's consistency report, on the in-memory block layer.
#include <gtest/gtest.h>

#include <algorithm>

#include "memory_block_layer.hpp"
#include "pyramid.hpp"
#include "stream_test_helpers.hpp"
#include "streams_from_blocks.hpp"

namespace vog {
namespace {

using testing::entry_at;
using testing::MemoryBlockLayer;
using testing::must;
using testing::noise;
using Lines = std::vector<std::string>;

// Cuts every contiguous read short at `limit` bytes, as a file shortened
// underneath would.
class ShortContiguousReads final : public testing::BlockLayerWrapper {
 public:
  using BlockLayerWrapper::BlockLayerWrapper;
  Result<std::size_t> read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                             std::span<std::byte> out) override {
    return BlockLayerWrapper::read_contiguous_blocks(first, offset,
                                                     out.first(std::min(out.size(), limit)));
  }
  std::size_t limit = SIZE_MAX;
};

class StreamVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = std::make_unique<MemoryBlockLayer>(9, std::vector<std::uint16_t>{28, 11});
    auto blocks = std::make_unique<ShortContiguousReads>(*fake);
    cut = blocks.get();
    layer = must(StreamsFromBlocks::create_on(std::move(blocks), 10));
  }
  StreamId make_stream(bool compressed, std::size_t bytes, std::uint32_t seed) {
    StreamId id = must(layer->create_stream(compressed));
    testing::write_stream(*layer, id, noise(bytes, seed));
    return id;
  }
  // Overwrites bytes of the descriptor table behind the layer's back.
  void poke_table(std::uint64_t offset, std::span<const std::byte> bytes) {
    StreamDescriptor table = layer->streams_descriptor();
    must(pyramid_write(*fake, table, offset, bytes, CacheHint::NoCache));
  }
  void poke_slot(StreamId id, const StreamDescriptor& d) {
    poke_table(testing::slot_offset(id), d.encode());
  }
  StreamDescriptor slot(StreamId id) {
    return testing::table_slot(*fake, layer->streams_descriptor(), id);
  }

  // The error of each operation that must refuse stream `id`, in order: read,
  // a write over the whole length (up to 1 MiB), truncate to one byte, delete.
  std::vector<std::string> refusals(StreamId id) {
    std::vector<std::string> errors;
    auto note = [&](const auto& result) {
      errors.push_back(result ? "<succeeded>" : result.error().detail());
    };
    auto h = must(layer->open_stream_inner(id, true, false));
    std::vector<std::byte> buffer(std::min<std::uint64_t>(must(layer->stream_length(h)), 1 << 20));
    note(layer->read(h, 0, buffer));
    note(layer->write(h, 0, buffer));
    note(layer->truncate(h, 1));
    must(layer->close_stream(h));
    note(layer->delete_stream(id));
    return errors;
  }

  std::unique_ptr<MemoryBlockLayer> fake;
  ShortContiguousReads* cut = nullptr;  // owned by layer
  std::unique_ptr<StreamsFromBlocks> layer;
};

TEST_F(StreamVerifyTest, ClaimedFreeIdAndUnclaimedActiveIdAreReported) {
  StreamId a = make_stream(false, 10, 1);
  StreamId b = make_stream(false, 10, 2);
  StreamId c = make_stream(false, 10, 3);
  must(layer->delete_stream(b));
  StreamId ids[] = {b, a, b};
  EXPECT_EQ(must(layer->verify(ids)),
            (Lines{"L3: stream 1 claimed by L4 but not found in stream descriptors",
                   format("L3: stream {} exists in stream descriptors but is not claimed by L4 "
                          "(orphaned stream)",
                          c)}));
}

TEST_F(StreamVerifyTest, DescriptorInvariantsAreChecked) {
  StreamId a = make_stream(false, 0, 1);
  StreamId b = make_stream(false, 0, 2);
  poke_slot(a, StreamDescriptor{.size = 10, .top_block = 0, .reserved = 0, .compressed = 0});
  poke_slot(b, StreamDescriptor{.size = 0, .top_block = 77, .reserved = 0, .compressed = 0});
  StreamId ids[] = {a, b};
  const Lines lines = {"L3: stream 0: reserved (0) < size (10) \u2014 invariant violation",
                       "L3: stream 1: size is 0 but top_block is 77 (expected 0)"};
  EXPECT_EQ(must(layer->verify(ids)), lines);
  // The table's own descriptor, read from the L3 header, keeps the same rule.
  const std::uint64_t size = layer->streams_descriptor().size;
  layer.reset();
  fake->poke_slot(0, 19, std::array<std::byte, 8>{});
  layer = must(StreamsFromBlocks::open_on(std::make_unique<ShortContiguousReads>(*fake)));
  Lines with_table = lines;
  with_table.insert(with_table.begin(),
                    format("L3: Streams-stream: reserved (0) < size ({}) \u2014 invariant violation",
                           size));
  EXPECT_EQ(must(layer->verify(ids)), with_table);
}

TEST_F(StreamVerifyTest, FreeListHeadOnAnActiveSlotIsReportedThreeWays) {
  StreamId a = make_stream(false, 10, 1);
  std::array<std::byte, 4> head{};  // slot 0 = a
  poke_table(0, head);
  StreamId ids[] = {a};
  Lines lines = must(layer->verify(ids));
  ASSERT_EQ(lines.size(), 2u + 23u);
  EXPECT_EQ(lines[0], "L3: slot 0 is on free list but top_block is not FREE_DESCRIPTOR_MARKER");
  for (StreamId s = 1; s < 24; ++s)
    EXPECT_EQ(lines[s], format("L3: slot {} is marked free but not reachable from free list", s));
  EXPECT_EQ(lines.back(), "L3: slot 0 is on free list but not marked free in descriptor");
}

TEST_F(StreamVerifyTest, FreeListCycleAndRangeAreReported) {
  StreamId a = make_stream(false, 10, 1);
  poke_slot(23, StreamDescriptor::free_record(1));  // the last free slot links back to the first
  StreamId ids[] = {a};
  EXPECT_EQ(must(layer->verify(ids)), Lines{"L3: free-list cycle detected at slot 1"});
  poke_slot(23, StreamDescriptor::free_record(500));
  EXPECT_EQ(must(layer->verify(ids)),
            Lines{"L3: free-list entry 500 is out of range (num_slots=24)"});
}

TEST_F(StreamVerifyTest, BlockInTwoTreesIsClaimedTwice) {
  StreamId a = make_stream(false, 100, 1);
  StreamId b = make_stream(false, 100, 2);
  StreamDescriptor da = slot(a);
  StreamDescriptor db = slot(b);
  db.top_block = da.top_block;
  poke_slot(b, db);
  fake->set_verify_lines({"L2: from below"});
  StreamId ids[] = {a, b};
  EXPECT_EQ(must(layer->verify(ids)), Lines{"L2: from below"});
  auto claims = fake->verified_claims();
  EXPECT_EQ(std::count(claims.begin(), claims.end(), da.top_block), 2);
}

TEST_F(StreamVerifyTest, IndexBlockThatPointsAtItselfIsClaimedAgainButNotWalkedAgain) {
  StreamId a = make_stream(false, 3 * 512, 1);  // depth 1
  StreamDescriptor d = slot(a);
  d.size = d.reserved = 200 * 512;  // now claims depth 2 over the same top
  poke_slot(a, d);
  std::array<std::byte, 4> self{};
  std::memcpy(self.data(), &d.top_block, 4);
  fake->set_strict(false);
  fake->poke(d.top_block, 0, self);
  StreamId ids[] = {a};
  EXPECT_EQ(must(layer->verify(ids)), Lines{});
  auto claims = fake->verified_claims();
  EXPECT_EQ(std::count(claims.begin(), claims.end(), d.top_block), 2);
}

TEST_F(StreamVerifyTest, UnreadableRedirectorAndIndexEntriesBecomeLines) {
  StreamId a = make_stream(true, 1000, 1);
  StreamDescriptor d = slot(a);
  std::array<std::byte, 4> huge{std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0}};
  fake->poke(d.top_block, 0, huge);
  StreamId ids[] = {a};
  EXPECT_EQ(must(layer->verify(ids)),
            Lines{format("L3: stream 0: error reading comp redirector block {}: I/O error: corrupt "
                         "redirector block {}: length 65536 does not fit in one block",
                         d.top_block, d.top_block)});

  StreamId b = make_stream(false, 3 * 512, 2);  // depth 1
  StreamId both[] = {a, b};
  // The descriptors are read in one chunk; when that fails, one by one.
  fake->fail_after(testing::FakeOp::Read, 0, 2);
  auto lines = must(layer->verify(both));
  ASSERT_GE(lines.size(), 1u);
  EXPECT_EQ(lines[0], "L3: error reading descriptor for stream 0: I/O error: injected failure");

  // Reads: the descriptors, a's redirector, then b's index entries.
  fake->fail_after(testing::FakeOp::Read, 2);
  lines = must(layer->verify(both));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], format("L3: stream 1: error reading redirector block {} slot 0: "
                             "I/O error: injected failure",
                             slot(b).top_block));
}

TEST_F(StreamVerifyTest, BlockNumbersBeyondTheFileAreRefusedBeforeUse) {
  StreamId leaf_damage = make_stream(false, 3 * 512, 1);  // depth 1: the top is the leaf
  StreamId redirector_damage = make_stream(true, 3 * 1024, 2);
  StreamId top_damage = make_stream(false, 3 * 512, 3);
  const std::uint64_t total = fake->total_blocks();
  const auto beyond = static_cast<BlockNo>(total + 1000);
  std::array<std::byte, 4> far{};
  std::memcpy(far.data(), &beyond, 4);
  fake->set_strict(false);

  const BlockNo leaf = slot(leaf_damage).top_block;
  fake->poke(leaf, 4, far);
  const BlockNo redirector = entry_at(fake->block(slot(redirector_damage).top_block), 1);
  fake->poke(redirector, 4, far);
  StreamDescriptor d = slot(top_damage);
  d.top_block = beyond;
  poke_slot(top_damage, d);

  auto expect_refused = [&](StreamId id, const std::string& message) {
    EXPECT_EQ(refusals(id), std::vector<std::string>(4, message)) << message;
  };
  expect_refused(leaf_damage, format("index block {} slot 1 names block {} beyond the end of the "
                                     "file ({} blocks)", leaf, beyond, total));
  expect_refused(redirector_damage, format("redirector block {} slot 0 names block {} beyond the "
                                           "end of the file ({} blocks)", redirector, beyond, total));
  expect_refused(top_damage, format("stream descriptor names top block {} beyond the end of the "
                                    "file ({} blocks)", beyond, total));
  EXPECT_EQ(fake->total_blocks(), total);  // nothing was written past the end
}

TEST_F(StreamVerifyTest, TreeThatLoopsOrOutgrowsTheFileIsRefused) {
  make_stream(false, 256 * 512, 2);  // room in the file for the depth-2 length below
  StreamId id = make_stream(false, 3 * 512, 1);  // depth 1
  StreamDescriptor d = slot(id);
  std::array<std::byte, 4> self{};
  std::memcpy(self.data(), &d.top_block, 4);
  fake->set_strict(false);
  for (std::size_t entry = 0; entry < 128; ++entry) fake->poke(d.top_block, 4 * entry, self);
  const std::uint64_t total = fake->total_blocks();
  const std::string loop = format("corrupt stream tree: block {} is reached twice", d.top_block);
  // The leaf names itself as a unit; then, at depth 2, the top names itself as a leaf.
  EXPECT_EQ(refusals(id), std::vector<std::string>(4, loop));
  d.size = d.reserved = 200 * 512;
  poke_slot(id, d);
  EXPECT_EQ(refusals(id), std::vector<std::string>(4, loop));
  // A length the file cannot hold is refused before any walk it would stretch.
  d.size = d.reserved = UINT64_MAX;
  poke_slot(id, d);
  const std::string outgrown = format("stream of {} bytes needs {} blocks but the file holds {}",
                                     UINT64_MAX, UINT64_MAX / 512 + 1, total);
  EXPECT_EQ(refusals(id), (std::vector<std::string>{outgrown, outgrown, outgrown, loop}));
  EXPECT_EQ(fake->total_blocks(), total);
}

TEST_F(StreamVerifyTest, ReadThatFindsTheTreeEndingEarlyIsShortAndCounted) {
  StreamId id = make_stream(false, 3 * 512, 1);
  auto h = must(layer->open_stream_inner(id, false, false));
  std::vector<std::byte> out(3 * 512);
  cut->limit = 100;
  EXPECT_EQ(must(layer->read(h, 0, out)), 100u);
  EXPECT_EQ(layer->short_reads(), 1u);
  cut->limit = SIZE_MAX;
  EXPECT_EQ(must(layer->read(h, 0, out)), out.size());
  EXPECT_EQ(must(layer->read(h, out.size(), out)), 0u);  // at the end is not short
  EXPECT_EQ(layer->short_reads(), 1u);
  must(layer->close_stream(h));
}

TEST_F(StreamVerifyTest, BlockLayerFailureIsReturned) {
  fake->fail_after(testing::FakeOp::Verify, 0);
  fake->set_verify_lines({"L2: dropped"});
  StreamId ids[] = {0};  // its own line would be dropped as well
  EXPECT_VOG_ERROR(layer->verify(ids), IoError, "injected failure");
}

}  // namespace
}  // namespace vog
