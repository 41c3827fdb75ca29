// Block-layer verification: each finding, and the order of the lines.
#include <gtest/gtest.h>

#include "block_test_util.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::filled;
using testing::kStandardSlots;
using testing::memory_store;
using testing::must;
using testing::put_trunk_field;
using testing::reopen;
using Lines = std::vector<std::string>;

TEST(BlockVerify, FreshStoreIsClean) {
  testing::TempDir dir;
  auto store = must(BlocksInFile::create(dir.file("a.vog"), 12, kStandardSlots, std::nullopt));
  EXPECT_EQ(must(store->verify({})), Lines{});
}

TEST(BlockVerify, ClaimedFreeBlockAndDoubleClaims) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(6));
  ASSERT_TRUE(m.store->deallocate_block(3));
  EXPECT_EQ(
      must(m.store->verify(std::vector<BlockNo>{1, 2, 3, 4, 5, 6, 5, 5})),
      (Lines{"L2: block 5 claimed by multiple streams", "L2: block 5 claimed by multiple streams",
             "L2: block 3 is both claimed by a stream and on the free list"}));
  // Block 0 may be listed once; only the second listing is reported.
  EXPECT_EQ(must(m.store->verify(std::vector<BlockNo>{0, 1, 2, 4, 5, 6, 0})),
            Lines{"L2: block 0 claimed by multiple streams"});
}

TEST(BlockVerify, TrunkNamingItselfIsACycleAfterOneTrunk) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  ASSERT_TRUE(m.store->deallocate_block(3));
  put_trunk_field(*m.store, 3, -1, 3);
  EXPECT_EQ(must(m.store->verify(std::vector<BlockNo>{1, 2, 4})),
            Lines{"L2: trunk cycle detected at block 3 after 1 trunks"});
}

TEST(BlockVerify, HeadAtTotalBlocksStopsTheWalkAndLeavesOrphans) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(3));
  m.store.reset();
  store_u32(m.disk->bytes, 14 + 5, 4);
  auto store = must(reopen(m.disk));
  EXPECT_EQ(must(store->verify(std::vector<BlockNo>{1})),
            (Lines{"L2: free list trunk 4 is >= total_blocks (4)",
                   "L2: block 2 is orphaned (not claimed by any stream, not on free list)",
                   "L2: block 3 is orphaned (not claimed by any stream, not on free list)"}));
}

TEST(BlockVerify, HeadAtBlock0IsReported) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(1));
  m.store.reset();
  store_u32(m.disk->bytes, 14 + 5, 0);
  auto store = must(reopen(m.disk));
  EXPECT_EQ(must(store->verify(std::vector<BlockNo>{1})),
            Lines{"L2: block 0 (superblock) found as trunk on free list"});
}

TEST(BlockVerify, ExtentStartingAtBlock0) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  ASSERT_TRUE(m.store->deallocate_block(3));
  put_trunk_field(*m.store, 3, 0, 0, 1);
  EXPECT_EQ(must(m.store->verify(std::vector<BlockNo>{1, 2, 4})),
            (Lines{"L2: block 0 found in free list extent",
                   "L2: block 0 is both claimed by a stream and on the free list"}));
}

TEST(BlockVerify, EveryStepReportsInOrder) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(10));  // total 11
  ASSERT_TRUE(m.store->deallocate_block(9));
  put_trunk_field(*m.store, 9, 0, 5, 0);   // zero length
  put_trunk_field(*m.store, 9, 1, 10, 3);  // runs past the file after 10
  put_trunk_field(*m.store, 9, 2, 10, 1);  // 10 again
  put_trunk_field(*m.store, 9, 3, 7, 1);   // claimed below as well
  m.disk->bytes.push_back(std::byte{0});
  EXPECT_EQ(
      must(m.store->verify(std::vector<BlockNo>{1, 2, 2, 7, 12, 3, 12})),
      (Lines{"L2: file size (5647) does not match expected (5646) for 11 blocks",
             "L2: trunk 9, extent slot 0: zero-length extent at start 5",
             "L2: extent in trunk 9 references block 11 >= total_blocks (11)",
             "L2: block 10 appears multiple times in free list",
             "L2: claimed block 12 is >= total_blocks (11)",
             "L2: claimed block 12 is >= total_blocks (11)",
             "L2: block 2 claimed by multiple streams", "L2: block 12 claimed by multiple streams",
             "L2: block 7 is both claimed by a stream and on the free list",
             "L2: block 4 is orphaned (not claimed by any stream, not on free list)",
             "L2: block 5 is orphaned (not claimed by any stream, not on free list)",
             "L2: block 6 is orphaned (not claimed by any stream, not on free list)",
             "L2: block 8 is orphaned (not claimed by any stream, not on free list)"}));
}

TEST(BlockVerify, ChangesNothingAndLeavesCachesAlone) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(3));
  ASSERT_TRUE(m.store->deallocate_block(2));
  auto before = m.disk->snapshot();
  std::uint64_t writes = m.disk->write_count();
  EXPECT_EQ(must(m.store->verify(std::vector<BlockNo>{1, 3})), Lines{});
  EXPECT_EQ(m.disk->write_count(), writes);
  EXPECT_EQ(m.disk->snapshot(), before);
  EXPECT_EQ(m.store->shared_cache_size(), 0u);
  EXPECT_EQ(m.store->thread_cache_size(), 0u);
}

TEST(BlockVerify, LargeStoreChecksEveryBlock) {
  auto m = memory_store();
  auto blocks = must(m.store->allocate_blocks(200000));
  std::vector<BlockNo> freed(blocks.begin(), blocks.begin() + 100000);
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  std::vector<BlockNo> claimed(blocks.begin() + 100000, blocks.end() - 1);
  EXPECT_EQ(must(m.store->verify(claimed)),
            Lines{"L2: block 200000 is orphaned (not claimed by any stream, not on free list)"});
}

}  // namespace
}  // namespace vog
