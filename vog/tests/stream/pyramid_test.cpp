// The block tree of plain streams, on the in-memory block layer.
#include "pyramid.hpp"

#include <gtest/gtest.h>

#include "memory_block_layer.hpp"
#include "stream_test_helpers.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::entry_at;
using testing::MemoryBlockLayer;
using testing::must;
using testing::noise;

struct PlainTree {
  explicit PlainTree(std::uint8_t shift) : blocks(shift), ops(blocks.block_size()) {}
  Pyramid pyramid() { return Pyramid(blocks, ops, CacheHint::ThreadCache); }
  std::vector<std::byte> read_all() {
    std::vector<std::byte> out(d.size);
    EXPECT_EQ(must(pyramid().read(d, 0, out)), d.size);
    return out;
  }
  unsigned depth() { return pyramid().depth(pyramid().unit_count(d)); }

  MemoryBlockLayer blocks;
  PlainOps ops;
  StreamDescriptor d;
};

TEST(PyramidDepth, GrowsAtPowersOfTheFanout) {
  EXPECT_EQ(pyramid_depth(0, 1024), 0u);
  EXPECT_EQ(pyramid_depth(1, 1024), 0u);
  EXPECT_EQ(pyramid_depth(2, 1024), 1u);
  EXPECT_EQ(pyramid_depth(1024, 1024), 1u);
  EXPECT_EQ(pyramid_depth(1025, 1024), 2u);
  EXPECT_EQ(pyramid_depth(128 * 128 * 128, 128), 3u);
  EXPECT_EQ(pyramid_depth(128 * 128 * 128 + 1, 128), 4u);
  EXPECT_EQ(pyramid_depth(~std::uint64_t{0}, 128), 10u);  // stops before leaving 64 bits
}

TEST(ScanRun, CountsConsecutiveNumbersUpToTheLimit) {
  std::vector<std::byte> leaf(64, std::byte{0xFF});
  std::uint32_t entries[] = {7, 8, 9, 11, 12};
  std::memcpy(leaf.data(), entries, sizeof entries);
  auto run = must(scan_run_from_buffer(leaf, 0, 16));
  EXPECT_EQ(run.first, 7u);
  EXPECT_EQ(run.count, 3u);
  EXPECT_EQ(must(scan_run_from_buffer(leaf, 1, 1)).count, 1u);
  EXPECT_EQ(must(scan_run_from_buffer(leaf, 3, 16)).count, 2u);  // stops at the empty entry
  EXPECT_VOG_ERROR(scan_run_from_buffer(leaf, 5, 4), IoError, "scan_run_from_buffer: sentinel at slot 5");
}

// Each raise of the depth hangs the old tree under entry 0 of a new top.
TEST(PyramidWrite, GrowingPastEachPowerOfTheFanoutRaisesTheDepthUnderEntryZero) {
  PlainTree t(12);
  auto data = noise(1024 * 4096, 2);
  EXPECT_EQ(must(t.pyramid().write(t.d, 0, std::span(data).first(4096))), 4096u);
  EXPECT_EQ(t.depth(), 0u);
  EXPECT_EQ(t.d.size, 4096u);
  EXPECT_EQ(t.d.reserved, 4096u);
  EXPECT_EQ(t.blocks.block(t.d.top_block), std::vector(data.begin(), data.begin() + 4096));
  EXPECT_EQ(t.blocks.used_blocks(), std::set<BlockNo>{t.d.top_block});

  BlockNo first_data = t.d.top_block;
  must(t.pyramid().write(t.d, 4096, std::span(data).subspan(4096, 1)));
  EXPECT_EQ(t.depth(), 1u);
  EXPECT_EQ(t.d.size, 4097u);
  EXPECT_EQ(t.d.reserved, 8192u);
  auto top = t.blocks.block(t.d.top_block);
  EXPECT_EQ(entry_at(top, 0), first_data);
  BlockNo second = entry_at(top, 1);
  EXPECT_NE(second, kNoBlock);
  EXPECT_NE(second, first_data);
  for (std::size_t slot = 2; slot < 1024; ++slot) ASSERT_EQ(entry_at(top, slot), kNoBlock) << slot;
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 4097, t.read_all().begin()));
  EXPECT_EQ(t.blocks.used_blocks().size(), 3u);

  must(t.pyramid().write(t.d, 4097, std::span(data).subspan(4097)));
  EXPECT_EQ(t.depth(), 1u);
  BlockNo old_top = t.d.top_block;
  auto tail = noise(10, 4);
  must(t.pyramid().write(t.d, 1024 * 4096, tail));
  EXPECT_EQ(t.depth(), 2u);
  top = t.blocks.block(t.d.top_block);
  EXPECT_EQ(entry_at(top, 0), old_top);
  EXPECT_NE(entry_at(top, 1), kNoBlock);
  EXPECT_EQ(entry_at(top, 2), kNoBlock);
  data.insert(data.end(), tail.begin(), tail.end());
  EXPECT_EQ(t.read_all(), data);
}

TEST(PyramidWrite, ZeroBytesAndAnOffsetThatWouldOverflowChangeAndAllocateNothing) {
  PlainTree t(12);
  EXPECT_EQ(must(t.pyramid().write(t.d, 100, {})), 0u);
  EXPECT_EQ(t.d, StreamDescriptor{});
  auto wrote = t.pyramid().write(t.d, ~std::uint64_t{0}, bytes_of("xy"));
  ASSERT_FALSE(wrote);
  EXPECT_EQ(wrote.error().kind(), ErrorKind::IoError);
  EXPECT_EQ(t.d, StreamDescriptor{});
  EXPECT_EQ(t.blocks.counters().allocate_calls, 0);
}

TEST(PyramidWrite, DataMovesInRunsAndNewUnitsComeFromOneAllocation) {
  PlainTree t(12);
  auto data = noise(64 * 4096, 5);
  must(t.pyramid().write(t.d, 0, data));
  auto c = t.blocks.counters();
  // unit 0 first, then the index block, then units 1..63 in one call
  EXPECT_EQ(c.allocate_calls, 3);
  EXPECT_EQ(c.write_contiguous, 2);

  t.blocks.reset_counters();
  EXPECT_EQ(t.read_all(), data);
  c = t.blocks.counters();
  EXPECT_EQ(c.read_contiguous, 2);
  EXPECT_EQ(c.read_block, 1);  // the leaf, once
}

TEST(PyramidRead, MissingIndexEntryAndMissingUnitAreReported) {
  PlainTree t(9);  // F = 128
  must(t.pyramid().write(t.d, 0, noise(130 * 512, 10)));
  ASSERT_EQ(t.depth(), 2u);
  std::vector<std::byte> out(10);
  std::array<std::byte, 4> empty;
  empty.fill(std::byte{0xFF});
  BlockNo leaf1 = entry_at(t.blocks.block(t.d.top_block), 1);
  t.blocks.poke(leaf1, 4, empty);  // unit 129
  EXPECT_VOG_ERROR(t.pyramid().read(t.d, 129 * 512, out), IoError,
                   "scan_run_from_buffer: sentinel at slot 1");
  t.blocks.poke(t.d.top_block, 4, empty);
  EXPECT_VOG_ERROR(t.pyramid().read(t.d, 128 * 512, out), IoError,
                   "navigate_to_leaf: invalid block at depth 1, slot 1");
}

TEST(PyramidReserve, OnAnEmptyStreamAllocatesWholeBlocksAndKeepsTheLength) {
  PlainTree t(12);
  must(t.pyramid().reserve(t.d, 10000));
  EXPECT_EQ(t.d.size, 0u);
  EXPECT_EQ(t.d.reserved, 3u * 4096);
  EXPECT_EQ(t.depth(), 1u);
  EXPECT_EQ(t.blocks.used_blocks().size(), 4u);  // three data blocks and their leaf
  auto top = t.blocks.block(t.d.top_block);
  for (std::size_t slot = 0; slot < 3; ++slot) EXPECT_NE(entry_at(top, slot), kNoBlock);
  EXPECT_EQ(entry_at(top, 3), kNoBlock);
}

TEST(PyramidReserve, MoreBlocksThanAFileCanAddressIsRefusedUpFront) {
  PlainTree t(9);
  auto reserved = t.pyramid().reserve(t.d, std::uint64_t{1} << 50);
  ASSERT_FALSE(reserved);
  EXPECT_EQ(reserved.error().kind(), ErrorKind::IoError);
  EXPECT_EQ(t.blocks.counters().allocate_calls, 0);
  EXPECT_EQ(t.d, StreamDescriptor{});
}

TEST(PyramidTruncate, DepthOneToOneBlockMakesTheDataBlockTheTop) {
  PlainTree t(12);
  auto data = noise(5 * 4096, 14);
  must(t.pyramid().write(t.d, 0, data));
  BlockNo first_data = entry_at(t.blocks.block(t.d.top_block), 0);
  must(t.pyramid().truncate(t.d, 100));
  EXPECT_EQ(t.d.top_block, first_data);
  EXPECT_EQ(t.d.size, 100u);
  EXPECT_EQ(t.d.reserved, 4096u);
  EXPECT_EQ(t.blocks.used_blocks(), std::set<BlockNo>{first_data});
  auto all = t.read_all();
  EXPECT_TRUE(std::equal(all.begin(), all.end(), data.begin()));
}

TEST(PyramidTruncate, DeepTreeReleasesEveryIndexBlockLeftEmpty) {
  PlainTree t(9);  // F = 128: depth 3 past 16384 blocks
  must(t.pyramid().reserve(t.d, (128 * 128 + 300) * 512));
  ASSERT_EQ(t.depth(), 3u);
  must(t.pyramid().write(t.d, 0, noise(1000, 15)));
  must(t.pyramid().write(t.d, t.d.reserved - 1, bytes_of("z")));
  // Keep 129 blocks: two leaves, one level-2 block, and the top stays.
  must(t.pyramid().truncate(t.d, 129 * 512));
  EXPECT_EQ(t.depth(), 2u);
  EXPECT_EQ(t.blocks.used_blocks().size(), 129u + 2 + 1);
  std::vector<std::byte> out(1000);
  must(t.pyramid().read(t.d, 0, out));
  EXPECT_EQ(out, noise(1000, 15));

  must(t.pyramid().truncate(t.d, 0));
  EXPECT_EQ(t.d, StreamDescriptor{});
  EXPECT_TRUE(t.blocks.used_blocks().empty());
}

TEST(PyramidTruncate, InsideDepthThreeWithoutLoweringReleasesEmptiedMiddleBlocks) {
  PlainTree t(9);
  must(t.pyramid().reserve(t.d, 3 * 128 * 128 * 512));  // three full level-2 subtrees
  ASSERT_EQ(t.depth(), 3u);
  must(t.pyramid().write(t.d, t.d.reserved - 1, bytes_of("x")));
  must(t.pyramid().truncate(t.d, (128 * 128 + 1) * 512));
  EXPECT_EQ(t.depth(), 3u);
  // 16385 units, 129 leaves, 2 level-2 blocks, the top
  EXPECT_EQ(t.blocks.used_blocks().size(), 16385u + 129 + 2 + 1);
  auto top = t.blocks.block(t.d.top_block);
  EXPECT_NE(entry_at(top, 1), kNoBlock);
  EXPECT_EQ(entry_at(top, 2), kNoBlock);
}

TEST(PyramidDeallocate, FreesTheWholeTreeInOneCall) {
  PlainTree t(9);
  must(t.pyramid().write(t.d, 0, noise(300 * 512, 16)));
  t.blocks.reset_counters();
  must(t.pyramid().deallocate_tree(t.d.top_block, t.depth()));
  EXPECT_EQ(t.blocks.counters().deallocate_calls, 1);
  EXPECT_TRUE(t.blocks.used_blocks().empty());
}

TEST(PyramidDeallocate, TreeThatReachesABlockTwiceIsRefusedWithoutFreeing) {
  PlainTree t(9);
  must(t.pyramid().write(t.d, 0, noise(300 * 512, 17)));
  auto top = t.blocks.block(t.d.top_block);
  std::array<std::byte, 4> same;
  std::memcpy(same.data(), top.data(), 4);
  t.blocks.poke(t.d.top_block, 4, same);  // leaf 0 hangs under entries 0 and 1
  auto freed = t.pyramid().deallocate_tree(t.d.top_block, t.depth());
  ASSERT_FALSE(freed);
  EXPECT_EQ(freed.error().kind(), ErrorKind::IoError);
  EXPECT_EQ(t.blocks.free_blocks().size(), 0u);
}

// Only truncating to zero gets past a descriptor that claims bytes without a top.
TEST(PyramidDescriptor, ClaimsOfAStreamWithoutTopAreRefusedButCanBeTruncatedAway) {
  PlainTree t(9);
  const StreamDescriptor no_top{.size = 100, .top_block = 0, .reserved = 512, .compressed = 0};
  t.d = no_top;
  std::vector<std::byte> out(10);
  EXPECT_VOG_ERROR(t.pyramid().read(t.d, 0, out), IoError, "stream of 512 bytes has no top block");
  EXPECT_FALSE(t.pyramid().write(t.d, 0, out));
  EXPECT_FALSE(t.pyramid().truncate(t.d, 1));
  t.d = no_top;
  t.blocks.reset_counters();
  must(t.pyramid().truncate(t.d, 0));
  EXPECT_EQ(t.d, StreamDescriptor{});
  EXPECT_EQ(t.blocks.counters().deallocate_calls, 0);
  t.d = {.size = 100, .top_block = kNoBlock, .reserved = 512, .compressed = 0};
  EXPECT_VOG_ERROR(t.pyramid().truncate(t.d, 0), IoError, "stream of 512 bytes has no top block");
  EXPECT_EQ(t.blocks.counters().deallocate_calls, 0);
}

TEST(StreamDescriptorCodec, LaysOutTwentyOneLittleEndianBytes) {
  StreamDescriptor d{.size = 0x0102030405060708, .top_block = 0x0A0B0C0D,
                     .reserved = 0x1112131415161718, .compressed = 1};
  auto bytes = d.encode();
  const unsigned char expected[21] = {8,    7,    6,    5,    4,    3,    2,    1,    0x0D, 0x0C, 0x0B,
                                      0x0A, 0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, 1};
  EXPECT_EQ(std::memcmp(bytes.data(), expected, 21), 0);
  EXPECT_EQ(StreamDescriptor::decode(bytes), d);
  auto free_record = StreamDescriptor::free_record(7).encode();
  const unsigned char free_expected[21] = {7, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(free_record.data(), free_expected, 21), 0);
}

}  // namespace
}  // namespace vog
