// Block allocation and the free list: reuse order, trunk layout, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

#include "block_test_util.hpp"

namespace vog {
namespace {

using testing::block_u32;
using testing::expect_io_error;
using testing::filled;
using testing::memory_store;
using testing::must;
using testing::reopen;

std::vector<BlockNo> range(BlockNo first, BlockNo last) {
  std::vector<BlockNo> out(last - first + 1);
  std::iota(out.begin(), out.end(), first);
  return out;
}

// Entry k of trunk `trunk` as (start, length).
std::pair<BlockNo, std::uint32_t> entry(BlockLayer& store, BlockNo trunk, std::uint32_t k) {
  return {block_u32(store, trunk, 4 + 8 * k), block_u32(store, trunk, 8 + 8 * k)};
}
const std::pair<BlockNo, std::uint32_t> kEmptyEntry{kNoBlock, 0};

TEST(Allocate, ZeroCountTouchesNothing) {
  auto m = memory_store();
  auto before = m.disk->snapshot();
  std::uint64_t reads = m.disk->read_count();
  std::uint64_t writes = m.disk->write_count();
  EXPECT_TRUE(must(m.store->allocate_blocks(0)).empty());
  EXPECT_EQ(m.disk->read_count(), reads);
  EXPECT_EQ(m.disk->write_count(), writes);
  EXPECT_EQ(m.disk->set_lens, 1u);  // only creation's
  EXPECT_EQ(m.disk->snapshot(), before);
}

TEST(Allocate, SingleFreedBlockBecomesTheOnlyTrunkAndComesBack) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(6));
  ASSERT_TRUE(m.store->deallocate_block(5));
  EXPECT_EQ(m.store->free_list_head(), 5u);
  EXPECT_EQ(block_u32(*m.store, 5, 0), kNoBlock);
  for (std::uint32_t k = 0; k < 63; ++k) EXPECT_EQ(entry(*m.store, 5, k), kEmptyEntry) << k;
  EXPECT_EQ(block_u32(*m.store, 5, 508), 0u);  // padding

  EXPECT_EQ(must(m.store->allocate_blocks(1)), std::vector<BlockNo>{5});
  EXPECT_EQ(m.store->free_list_head(), kNoBlock);
  EXPECT_EQ(m.store->total_blocks(), 7u);
}

TEST(Allocate, BulkFreeSortsCutsIntoExtentsAndReusesTailsFirst) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(8));  // 1..8, total 9
  std::vector<BlockNo> freed{7, 3, 4, 5};
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  EXPECT_EQ(freed, (std::vector<BlockNo>{3, 4, 5, 7}));
  EXPECT_EQ(m.store->free_list_head(), 3u);
  EXPECT_EQ(block_u32(*m.store, 3, 0), kNoBlock);
  EXPECT_EQ(entry(*m.store, 3, 0), (std::pair<BlockNo, std::uint32_t>{4, 2}));
  EXPECT_EQ(entry(*m.store, 3, 1), (std::pair<BlockNo, std::uint32_t>{7, 1}));
  EXPECT_EQ(entry(*m.store, 3, 2), kEmptyEntry);

  EXPECT_EQ(must(m.store->allocate_blocks(2)), (std::vector<BlockNo>{4, 5}));
  EXPECT_EQ(must(m.store->allocate_blocks(3)), (std::vector<BlockNo>{3, 7, 9}));
  EXPECT_EQ(m.store->free_list_head(), kNoBlock);
  EXPECT_EQ(m.disk->snapshot().size(), 14u + 10 * 512u);
}

TEST(Allocate, LongExtentGivesItsTailAndShrinks) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(20));
  ASSERT_TRUE(m.store->deallocate_block(20));  // a trunk to hold the extent
  std::vector<BlockNo> run = range(10, 17);
  ASSERT_TRUE(m.store->deallocate_blocks(run));
  EXPECT_EQ(entry(*m.store, 20, 0), (std::pair<BlockNo, std::uint32_t>{10, 8}));
  EXPECT_EQ(must(m.store->allocate_blocks(3)), (std::vector<BlockNo>{15, 16, 17}));
  EXPECT_EQ(entry(*m.store, 20, 0), (std::pair<BlockNo, std::uint32_t>{10, 5}));
  // Emptying the trunk's last extent consumes the trunk only while still short.
  EXPECT_EQ(must(m.store->allocate_blocks(5)), range(10, 14));
  EXPECT_EQ(m.store->free_list_head(), 20u);
  EXPECT_EQ(must(m.store->allocate_blocks(2)), (std::vector<BlockNo>{20, 21}));
}

TEST(Allocate, FullHeadTrunkMakesTheFreedBlockANewHead) {
  auto m = memory_store();  // 63 entries per 512-byte trunk
  ASSERT_TRUE(m.store->allocate_blocks(200));
  ASSERT_TRUE(m.store->deallocate_block(1));
  for (BlockNo b = 3; b < 3 + 2 * 63; b += 2) ASSERT_TRUE(m.store->deallocate_block(b));
  EXPECT_EQ(m.store->free_list_head(), 1u);
  EXPECT_EQ(entry(*m.store, 1, 62), (std::pair<BlockNo, std::uint32_t>{3 + 2 * 62, 1}));
  ASSERT_TRUE(m.store->deallocate_block(199));
  EXPECT_EQ(m.store->free_list_head(), 199u);
  EXPECT_EQ(block_u32(*m.store, 199, 0), 1u);
}

TEST(Allocate, ManyExtentsSpreadOverSeveralTrunksAndAllComeBack) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(400));
  std::vector<BlockNo> odd;
  for (BlockNo b = 1; b <= 400; b += 2) odd.push_back(b);
  std::vector<BlockNo> freed = odd;
  std::shuffle(freed.begin(), freed.end(), std::mt19937(7));
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  // 200 one-block extents: each trunk is one extent's block plus 63 more extents.
  EXPECT_EQ(m.store->free_list_head(), 385u);
  std::vector<BlockNo> claimed;
  for (BlockNo b = 2; b <= 400; b += 2) claimed.push_back(b);
  EXPECT_TRUE(must(m.store->verify(claimed)).empty());

  EXPECT_EQ(must(m.store->allocate_blocks(200)), odd);
  EXPECT_EQ(m.store->free_list_head(), kNoBlock);
  EXPECT_EQ(m.store->total_blocks(), 401u);
}

TEST(Deallocate, Block0TheSentinelAndBlocksNotHeldAreRefusedWhole) {
  auto m = memory_store();
  expect_io_error(m.store->deallocate_block(5).error(),
                  "cannot deallocate block 5 (>= total_blocks 1)");
  ASSERT_TRUE(m.store->allocate_blocks(5));
  std::vector<BlockNo> beyond{2, 6, 3};
  expect_io_error(m.store->deallocate_blocks(beyond).error(),
                  "cannot deallocate block 6 (>= total_blocks 6)");
  EXPECT_EQ(m.disk->snapshot().size(), 14u + 6 * 512u);
  expect_io_error(m.store->deallocate_block(0).error(), "cannot deallocate block 0 (superblock)");
  std::vector<BlockNo> with_zero{4, 0, 2};
  expect_io_error(m.store->deallocate_blocks(with_zero).error(),
                  "cannot deallocate block 0 (superblock)");
  EXPECT_EQ(with_zero, (std::vector<BlockNo>{4, 0, 2}));  // not even sorted
  std::vector<BlockNo> with_sentinel{4, kNoBlock};
  expect_io_error(m.store->deallocate_blocks(with_sentinel).error(),
                  "cannot deallocate block 4294967295 (sentinel)");
  EXPECT_EQ(m.store->free_list_head(), kNoBlock);
  std::vector<BlockNo> none;
  EXPECT_TRUE(m.store->deallocate_blocks(none));
}

TEST(Allocate, OverflowNamesTheMissingCountAndTheRoomLeft) {
  auto m = memory_store();
  auto huge = m.store->allocate_blocks(0xFFFFFFFF);
  ASSERT_FALSE(huge);
  expect_io_error(
      huge.error(),
      "block index overflow: need 4294967295 blocks but only 4294967294 available before sentinel");

  ASSERT_TRUE(m.store->allocate_blocks(3));
  std::vector<BlockNo> freed{1, 2};
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  auto again = m.store->allocate_blocks(0xFFFFFFFE);  // 2 reused, 4 blocks in the file
  ASSERT_FALSE(again);
  expect_io_error(
      again.error(),
      "block index overflow: need 4294967292 blocks but only 4294967291 available before sentinel");
  // The two blocks taken before the failure went back to the free list.
  EXPECT_EQ(must(m.store->verify(std::vector<BlockNo>{3})), std::vector<std::string>{});
  EXPECT_EQ(must(m.store->allocate_blocks(2)), (std::vector<BlockNo>{1, 2}));
  EXPECT_EQ(m.store->total_blocks(), 4u);
}

TEST(Allocate, FailedGrowthGivesReusedBlocksBack) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  std::vector<BlockNo> freed{2, 3};
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  m.disk->fail_set_len = true;
  auto failed = m.store->allocate_blocks(5);
  ASSERT_FALSE(failed);
  expect_io_error(failed.error(), "injected set_len failure");
  m.disk->fail_set_len = false;
  EXPECT_EQ(m.store->total_blocks(), 5u);
  EXPECT_TRUE(must(m.store->verify(std::vector<BlockNo>{1, 4})).empty());
  EXPECT_EQ(must(m.store->allocate_blocks(3)), (std::vector<BlockNo>{2, 3, 5}));
}

TEST(Allocate, FailedZeroFillGivesEveryBlockBack) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  std::vector<BlockNo> freed{2, 3};
  ASSERT_TRUE(m.store->deallocate_blocks(freed));
  // Trunk 2 is consumed, not written back, so the zero fill writes first:
  // block 2, then block 3, which fails.
  m.disk->fail_nth_write_from_now(2);
  auto failed = m.store->allocate_blocks(3);
  ASSERT_FALSE(failed);
  expect_io_error(failed.error(), "injected write failure");
  EXPECT_EQ(m.store->total_blocks(), 6u);
  EXPECT_TRUE(must(m.store->verify(std::vector<BlockNo>{1, 4})).empty());
}

TEST(Deallocate, FailedTrunkWriteLeavesTheListAsItWas) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  m.disk->fail_nth_write_from_now(1);
  auto failed = m.store->deallocate_block(3);
  ASSERT_FALSE(failed);
  expect_io_error(failed.error(), "injected write failure");
  EXPECT_EQ(m.store->free_list_head(), kNoBlock);
  m.store.reset();
  EXPECT_EQ(must(reopen(m.disk))->free_list_head(), kNoBlock);
}

TEST(FreeListCorruption, HeadAtBlock0IsRefusedNotUsed) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(2));
  m.store.reset();
  store_u32(m.disk->bytes, 14 + 5, 0);  // head := 0
  auto store = must(reopen(m.disk));
  expect_io_error(store->allocate_blocks(1).error(),
                  "free list corrupt: the head names block 0 (superblock)");
  expect_io_error(store->deallocate_block(2).error(),
                  "free list corrupt: the head names block 0 (superblock)");
  EXPECT_EQ(must(store->read_admin_slot(0)), filled(28, 0));
}

TEST(FreeListCorruption, ExtentCoveringBlock0OrASelfCycleIsRefused) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  ASSERT_TRUE(m.store->deallocate_block(3));
  testing::put_trunk_field(*m.store, 3, 0, 0, 2);  // extent (0, 2)
  expect_io_error(
      m.store->allocate_blocks(1).error(),
      "free list corrupt: trunk 3, extent slot 0: extent (0, 2) covers block 0 or the sentinel");

  testing::put_trunk_field(*m.store, 3, 0, kNoBlock, 0);
  testing::put_trunk_field(*m.store, 3, -1, 3);  // next := itself
  expect_io_error(m.store->allocate_blocks(5).error(),
                  "free list corrupt: trunk 3 appears twice in the chain");
}

// One damaged number in the free list must give an error, never a block the
// file does not hold: handing one out, zero-filling it or writing a trunk
// there would grow the file far past its end.
TEST(FreeListCorruption, NumbersBeyondTheFileAreRefusedAndNeverGrowIt) {
  constexpr std::uint32_t kFar = 70000;
  struct Damage {
    int entry;  // -2: the head in block 0; -1: the trunk's next pointer
    std::uint32_t first;
    std::uint32_t second;
    std::string message;
  };
  const Damage damages[] = {
      {-2, kFar, 0, "free list corrupt: trunk 70000 is >= total_blocks (9)"},
      {-1, kFar, 0, "free list corrupt: trunk 70000 is >= total_blocks (9)"},
      {0, kFar, 2,
       "free list corrupt: trunk 8, extent slot 0: extent (70000, 2) passes total_blocks (9)"},
      {0, 3, kFar,
       "free list corrupt: trunk 8, extent slot 0: extent (3, 70000) passes total_blocks (9)"},
  };
  for (const Damage& damage : damages) {
    auto m = memory_store();
    ASSERT_TRUE(m.store->allocate_blocks(8));
    ASSERT_TRUE(m.store->deallocate_block(8));  // the only trunk
    std::vector<BlockNo> freed{3, 4};
    ASSERT_TRUE(m.store->deallocate_blocks(freed));  // its entry 0: (3, 2)
    if (damage.entry == -2) {
      m.store.reset();
      store_u32(m.disk->bytes, 14 + 5, damage.first);
      m.store = must(reopen(m.disk));
      expect_io_error(m.store->deallocate_block(5).error(), damage.message);
    } else {
      testing::put_trunk_field(*m.store, 8, damage.entry, damage.first, damage.second);
    }
    const std::vector<std::byte> before = m.disk->snapshot();
    expect_io_error(m.store->allocate_blocks(4).error(), damage.message);
    EXPECT_EQ(m.disk->snapshot().size(), before.size()) << damage.message;
    EXPECT_EQ(m.store->total_blocks(), 9u);
  }
}

TEST(FreeListCorruption, BlockFreedTwiceIsNotHandedOutTwice) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(6));
  ASSERT_TRUE(m.store->deallocate_block(6));
  std::vector<BlockNo> twice{5, 5};
  ASSERT_TRUE(m.store->deallocate_blocks(twice));
  EXPECT_EQ(entry(*m.store, 6, 0), (std::pair<BlockNo, std::uint32_t>{5, 1}));
  EXPECT_EQ(entry(*m.store, 6, 1), (std::pair<BlockNo, std::uint32_t>{5, 1}));
  expect_io_error(m.store->allocate_blocks(3).error(), "free list corrupt: block 5 is free twice");
}

TEST(AllocationConcurrency, ThreadsAllocateWriteAndFreeDistinctBlocks) {
  auto m = memory_store();
  const int threads = 4;
  std::vector<std::vector<BlockNo>> kept(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      std::vector<BlockNo>& mine = kept[static_cast<std::size_t>(t)];
      for (int round = 0; round < 100; ++round) {
        auto got = m.store->allocate_blocks(static_cast<std::uint32_t>(1 + random() % 5));
        ASSERT_TRUE(got) << got.error().to_string();
        for (BlockNo b : *got) {
          std::vector<std::byte> out(512, std::byte{1});
          ASSERT_TRUE(m.store->read_block(b, 0, out, CacheHint::ThreadCache));
          ASSERT_EQ(out, filled(512, 0)) << "block " << b << " not zero";
          ASSERT_TRUE(m.store->write_block(b, 0, filled(512, t + 1), CacheHint::SharedCache));
          mine.push_back(b);
        }
        if (mine.size() > 6) {
          std::vector<BlockNo> give(mine.begin(), mine.begin() + 4);
          mine.erase(mine.begin(), mine.begin() + 4);
          for (BlockNo b : give) {
            std::vector<std::byte> out(512);
            ASSERT_TRUE(m.store->read_block(b, 0, out, CacheHint::NoCache));
            ASSERT_EQ(out, filled(512, t + 1)) << "block " << b << " overwritten by another thread";
          }
          ASSERT_TRUE(m.store->deallocate_blocks(give));
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  std::vector<BlockNo> claimed;
  for (auto& mine : kept) claimed.insert(claimed.end(), mine.begin(), mine.end());
  EXPECT_EQ(must(m.store->verify(claimed)), std::vector<std::string>{});
}

}  // namespace
}  // namespace vog
