#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "worker_pool.hpp"

namespace vog {
namespace {

TEST(WorkerPool, RunsEveryTaskExactlyOnce) {
  for (std::size_t threads : {0u, 1u, 2u, 4u}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.thread_count(), std::max<std::size_t>(threads, 1));  // none asked gives one
    for (std::size_t count : {0u, 1u, 2u, 3u, 17u, 100u}) {
      std::vector<std::atomic<int>> runs(count);
      pool.run(count, [&](std::size_t i) { runs[i].fetch_add(1); });
      for (std::size_t i = 0; i < count; ++i)
        EXPECT_EQ(runs[i].load(), 1) << threads << " threads, task " << i << " of " << count;
    }
  }
}

TEST(WorkerPool, ProcessPoolHasOneThreadPerProcessor) {
  WorkerPool& pool = WorkerPool::process_pool();
  EXPECT_EQ(&pool, &WorkerPool::process_pool());
  EXPECT_EQ(pool.thread_count(), std::max(std::thread::hardware_concurrency(), 1u));
}

TEST(WorkerPool, CallerFinishesWhileEveryWorkerIsBusy) {
  WorkerPool pool(1);
  std::latch release(1);
  std::atomic<int> blocked{0};
  // Both tasks of this run block: one on its caller, one on the only worker.
  std::thread stuck([&] {
    pool.run(2, [&](std::size_t) {
      ++blocked;
      release.wait();
    });
  });
  while (blocked.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::atomic<int> done{0};
  pool.run(8, [&](std::size_t) { ++done; });
  EXPECT_EQ(done.load(), 8);
  std::size_t consumed = 0;
  pool.run_ordered(8, [](std::size_t) {}, [&](std::size_t) { return ++consumed > 0; });
  EXPECT_EQ(consumed, 8u);

  release.count_down();
  stuck.join();
}

TEST(WorkerPool, NestedRunsFromInsideTasksComplete) {
  WorkerPool pool(2);
  std::atomic<int> leaves{0};
  pool.run(4, [&](std::size_t) {
    pool.run(4, [&](std::size_t) {
      pool.run(3, [&](std::size_t) { ++leaves; });
    });
  });
  EXPECT_EQ(leaves.load(), 48);
}

TEST(WorkerPool, ManyCallersAtOnce) {
  WorkerPool pool(3);
  constexpr int kCallers = 16;
  constexpr int kRounds = 200;
  std::atomic<long> total{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kCallers; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round)
        pool.run(5, [&](std::size_t i) { total += static_cast<long>(i) + 1; });
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(total.load(), long{kCallers} * kRounds * 15);
}

TEST(WorkerPool, ResultsOfTasksAreVisibleToTheCaller) {
  WorkerPool pool(4);
  for (int round = 0; round < 200; ++round) {
    std::vector<int> slots(64, 0);  // plain ints: only the pool's own ordering protects them
    pool.run(slots.size(), [&](std::size_t i) { slots[i] = static_cast<int>(i) + round; });
    for (std::size_t i = 0; i < slots.size(); ++i)
      ASSERT_EQ(slots[i], static_cast<int>(i) + round);
  }
}

// Plain ints again: a consume must see its item produced, in order, on the
// caller's thread; a consume that refuses stops the consuming but no produce.
// Some items take longer, so that the caller meets items still being
// produced and produces later ones out of turn meanwhile.
TEST(WorkerPool, RunOrderedConsumesInOrderWhatWasProduced) {
  for (std::size_t threads : {1u, 2u, 4u}) {
    WorkerPool pool(threads);
    for (std::size_t count : {0u, 1u, 2u, 17u, 100u}) {
      for (std::size_t stop_at : {count, count / 2}) {
        std::vector<int> items(count, 0);
        std::vector<std::size_t> consumed;
        const std::thread::id caller = std::this_thread::get_id();
        pool.run_ordered(
            count,
            [&](std::size_t i) {
              if (i % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(50));
              items[i] += static_cast<int>(i) + 1;
            },
            [&](std::size_t i) {
              EXPECT_EQ(std::this_thread::get_id(), caller);
              EXPECT_EQ(items[i], static_cast<int>(i) + 1);
              consumed.push_back(i);
              return i != stop_at;
            });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(items[i], static_cast<int>(i) + 1);
        const std::size_t expect = std::min(count, stop_at + 1);
        ASSERT_EQ(consumed.size(), expect) << threads << " threads, " << count << " items";
        for (std::size_t i = 0; i < expect; ++i) EXPECT_EQ(consumed[i], i);
      }
    }
  }
}

TEST(WorkerPool, PoolsComeAndGo) {
  for (int i = 0; i < 20; ++i) {
    WorkerPool pool(3);
    std::atomic<int> done{0};
    if (i % 2 == 0) pool.run(7, [&](std::size_t) { ++done; });
    EXPECT_EQ(done.load(), i % 2 == 0 ? 7 : 0);
  }
}

}  // namespace
}  // namespace vog
