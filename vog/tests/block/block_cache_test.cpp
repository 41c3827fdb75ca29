// Block caches: the LRU itself, the capacity rule, and how the shared and
// per-thread caches behave under the block layer's transfers.
#include "block_cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <list>
#include <random>
#include <thread>

#include "block_test_util.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::filled;
using testing::kStandardSlots;
using testing::memory_store;
using testing::must;

std::vector<std::byte> block_of(int value) { return filled(16, value); }

// ---- the LRU -------------------------------------------------------------------

// Random puts, gets, peeks, pops and clears against a list kept most recent
// first. Eight block numbers over capacities 1 to 5 make eviction, replacing,
// reuse of popped room and peeks that must not reorder happen all the time.
TEST(BlockCacheLru, RandomOperationsMatchAListModel) {
  for (std::size_t capacity : {1u, 2u, 3u, 5u}) {
    BlockCache cache(capacity, 16);
    std::list<std::pair<BlockNo, int>> model;  // most recently used first
    std::mt19937 rng(static_cast<unsigned>(capacity));
    for (int op = 0; op < 3000; ++op) {
      const BlockNo block = rng() % 8;
      auto it = std::find_if(model.begin(), model.end(),
                             [block](const auto& entry) { return entry.first == block; });
      const bool cached = it != model.end();
      auto expect_content = [&](std::span<const std::byte> got) {
        ASSERT_EQ(got.empty(), !cached) << "op " << op << ", block " << block;
        if (cached) {
          ASSERT_TRUE(std::ranges::equal(got, block_of(it->second))) << "op " << op;
        }
      };
      switch (rng() % 10) {
        case 0: case 1: case 2: case 3: {
          const int value = static_cast<int>(rng() % 256);
          cache.put(block, block_of(value));
          if (cached) {
            model.erase(it);  // replacing never evicts
          } else if (model.size() == capacity) {
            model.pop_back();
          }
          model.emplace_front(block, value);
          break;
        }
        case 4: case 5:
          ASSERT_NO_FATAL_FAILURE(expect_content(cache.get(block)));
          if (cached) model.splice(model.begin(), model, it);
          break;
        case 6: case 7:
          ASSERT_NO_FATAL_FAILURE(expect_content(cache.peek(block)));
          break;
        case 8:
          ASSERT_EQ(cache.pop(block), cached) << "op " << op;
          if (cached) model.erase(it);
          break;
        default:
          if (rng() % 10 == 0) {
            cache.clear();
            model.clear();
          }
      }
      ASSERT_EQ(cache.size(), model.size()) << "op " << op;
    }
  }
}

TEST(BlockCacheCapacity, TwoMebibytesCappedAt4096AndAtLeastOne) {
  EXPECT_EQ(cache_capacity_for_shift(9), 4096u);
  EXPECT_EQ(cache_capacity_for_shift(10), 2048u);
  EXPECT_EQ(cache_capacity_for_shift(12), 512u);
  EXPECT_EQ(cache_capacity_for_shift(20), 2u);
  EXPECT_EQ(cache_capacity_for_shift(21), 1u);
  EXPECT_EQ(cache_capacity_for_shift(22), 1u);
  EXPECT_EQ(cache_capacity_for_shift(24), 1u);
}

TEST(BlockCacheCapacity, StoreCachesHoldAtMostTheirCapacity) {
  auto m = memory_store(9);
  EXPECT_EQ(m.store->cache_capacity(), 4096u);
  std::vector<std::byte> out(1);
  ASSERT_TRUE(m.store->allocate_blocks(4100));
  for (BlockNo b = 1; b <= 4100; ++b) {
    ASSERT_TRUE(m.store->read_block(b, 0, out, CacheHint::SharedCache));
    ASSERT_TRUE(m.store->read_block(b, 0, out, CacheHint::ThreadCache));
  }
  EXPECT_EQ(m.store->shared_cache_size(), 4096u);
  EXPECT_EQ(m.store->thread_cache_size(), 4096u);
}

// ---- caches under transfers ------------------------------------------------------

TEST(StoreCaches, UncachedBlockIsNotBroughtInByAPlainWrite) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(1));
  ASSERT_TRUE(m.store->write_block(1, 8, filled(4, 7), CacheHint::SharedCache));
  EXPECT_EQ(m.store->shared_cache_size(), 0u);

  std::uint64_t reads = m.disk->read_count();
  std::vector<std::byte> out(4);
  ASSERT_TRUE(m.store->read_block(1, 8, out, CacheHint::SharedCache));
  EXPECT_EQ(out, filled(4, 7));
  EXPECT_EQ(m.disk->read_count(), reads + 1);
  EXPECT_EQ(m.store->shared_cache_size(), 1u);
  ASSERT_TRUE(m.store->read_block(1, 8, out, CacheHint::SharedCache));  // a hit: no file access
  EXPECT_EQ(m.disk->read_count(), reads + 1);
}

TEST(StoreCaches, ShortReadIsNeverCached) {
  auto m = memory_store();
  m.disk->bytes.resize(14 + 512 + 100, std::byte{4});  // block 1 is cut short
  std::vector<std::byte> out(8);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
  EXPECT_EQ(out, filled(8, 4));
  EXPECT_EQ(m.store->thread_cache_size(), 0u);
  ASSERT_TRUE(m.store->read_block(1, 96, out, CacheHint::SharedCache));
  EXPECT_EQ(out, (testing::bytes_of({4, 4, 4, 4, 0, 0, 0, 0})));
  EXPECT_EQ(m.store->shared_cache_size(), 0u);
}

TEST(StoreCaches, ClearThreadCacheTouchesOnlyTheCallersCache) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(2));
  std::vector<std::byte> out(1);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
  ASSERT_TRUE(m.store->read_block(2, 0, out, CacheHint::SharedCache));
  m.store->clear_thread_cache();
  EXPECT_EQ(m.store->thread_cache_size(), 0u);
  EXPECT_EQ(m.store->shared_cache_size(), 1u);
}

TEST(StoreCaches, FreeingAndReallocatingEvictFromTheCallersAndTheSharedCacheOnly) {
  testing::TempDir dir;
  auto store = must(BlocksInFile::create(dir.file("a.vog"), 9, kStandardSlots, std::nullopt));
  ASSERT_EQ(must(store->allocate_blocks(1)), std::vector<BlockNo>{1});
  ASSERT_TRUE(store->write_block(1, 0, filled(8, 0x5A), CacheHint::NoCache));

  std::barrier step(2);
  std::vector<std::byte> b_before(8);
  std::vector<std::byte> b_after(8);
  std::thread b([&] {
    ASSERT_TRUE(store->read_block(1, 0, b_before, CacheHint::ThreadCache));
    step.arrive_and_wait();  // B has block 1 cached
    step.arrive_and_wait();  // A has freed it, turning it into a trunk on disk
    ASSERT_TRUE(store->read_block(1, 0, b_after, CacheHint::ThreadCache));
  });
  std::vector<std::byte> out(8);
  ASSERT_TRUE(store->read_block(1, 0, out, CacheHint::ThreadCache));
  ASSERT_TRUE(store->read_block(1, 0, out, CacheHint::SharedCache));
  step.arrive_and_wait();
  ASSERT_TRUE(store->deallocate_block(1));
  EXPECT_EQ(store->thread_cache_size(), 0u);
  EXPECT_EQ(store->shared_cache_size(), 0u);
  step.arrive_and_wait();
  b.join();

  EXPECT_EQ(b_before, filled(8, 0x5A));
  EXPECT_EQ(b_after, filled(8, 0x5A));  // B's own cache still holds the old content
  ASSERT_TRUE(store->read_block(1, 0, out, CacheHint::ThreadCache));
  EXPECT_EQ(out, testing::bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  // Handed out again, the block reads as zeros, whatever the caches kept of it while free.
  ASSERT_TRUE(store->read_block(1, 0, out, CacheHint::SharedCache));
  ASSERT_EQ(must(store->allocate_blocks(1)), std::vector<BlockNo>{1});
  for (CacheHint hint : {CacheHint::ThreadCache, CacheHint::SharedCache}) {
    ASSERT_TRUE(store->read_block(1, 0, out, hint));
    EXPECT_EQ(out, filled(8, 0));
  }
}

// ---- per-thread cache lifetimes --------------------------------------------------

TEST(ThreadCacheLifetime, AThreadsCacheIsFreedWhenTheThreadEnds) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(1));
  for (int round = 0; round < 50; ++round) {
    std::thread worker([&] {
      std::vector<std::byte> out(4);
      ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
      EXPECT_EQ(m.store->thread_cache_count(), 1u);
    });
    worker.join();
    EXPECT_EQ(m.store->thread_cache_count(), 0u);
  }
}

TEST(ThreadCacheLifetime, DroppingTheStoreFreesEveryThreadsCache) {
  auto m = memory_store();
  std::barrier step(2);
  std::vector<std::byte> seen(4);
  std::size_t cached_before = 99;
  std::thread worker([&] {
    std::vector<std::byte> out(4);
    ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
    step.arrive_and_wait();  // the store is dropped while this thread lives on
    step.arrive_and_wait();
    // A new store, possibly at the same address, must not find the old cache.
    auto other = memory_store();
    ASSERT_TRUE(other.store->allocate_blocks(1));
    ASSERT_TRUE(other.store->write_contiguous_blocks(1, 0, filled(512, 6)));
    cached_before = other.store->thread_cache_size();
    ASSERT_TRUE(other.store->read_block(1, 0, seen, CacheHint::ThreadCache));
  });
  std::vector<std::byte> out(4);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
  step.arrive_and_wait();
  EXPECT_EQ(m.store->thread_cache_count(), 2u);
  m.store.reset();
  step.arrive_and_wait();
  worker.join();
  EXPECT_EQ(cached_before, 0u);
  EXPECT_EQ(seen, filled(4, 6));
}

TEST(ThreadCacheLifetime, ThreadsEndingWhileTheStoreIsDroppedAreSafe) {
  for (int round = 0; round < 20; ++round) {
    auto m = memory_store();
    std::vector<std::thread> workers;
    std::barrier start(9);
    for (int t = 0; t < 8; ++t) {
      workers.emplace_back([&] {
        std::vector<std::byte> out(4);
        ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::ThreadCache));
        start.arrive_and_wait();
      });
    }
    start.arrive_and_wait();
    m.store.reset();  // races with the workers' exits
    for (auto& w : workers) w.join();
  }
}

TEST(ThreadCacheConcurrency, ThreadsKeepTheirOwnCachedCopies) {
  auto m = memory_store();
  const int threads = 6;
  auto blocks = must(m.store->allocate_blocks(threads));
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      BlockNo mine = blocks[static_cast<std::size_t>(t)];
      for (int i = 0; i < 200; ++i) {
        auto data = filled(32, (t * 16 + i) & 0xFF);
        ASSERT_TRUE(m.store->write_block(mine, 64, data, CacheHint::ThreadCache));
        ASSERT_TRUE(m.store->write_block(mine, 64, data, CacheHint::SharedCache));
        std::vector<std::byte> back(32);
        ASSERT_TRUE(m.store->read_block(mine, 64, back, CacheHint::ThreadCache));
        ASSERT_EQ(back, data);
        ASSERT_TRUE(m.store->read_block(mine, 64, back, CacheHint::SharedCache));
        ASSERT_EQ(back, data) << "shared cache stale for block " << mine;
      }
    });
  }
  for (auto& w : workers) w.join();
}

}  // namespace
}  // namespace vog
