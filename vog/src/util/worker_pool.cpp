// WorkerPool: per-call jobs on one shared queue, drained by workers and callers.
//
// A Job counts its tasks out with an atomic `next` and counts them done with a
// latch. Whoever claims index i (a worker or the caller) runs task(i) and
// counts it down; an index at or past `count` means the job is exhausted and
// is taken off the queue.
//
// Invariants:
//  1. Every index below `count` is claimed exactly once (fetch_add).
//  2. The caller claims until the job is exhausted before it waits, so the
//     latch only ever waits for tasks that a running thread has in hand;
//     completion never needs a free worker, which is what rules out deadlock
//     under nesting, many callers, or a caller holding locks.
//  3. Jobs are shared_ptr-owned: a worker that picked a job off the queue may
//     still touch its counter after the caller has returned.
//  4. run_ordered's items are claimed a second way, by a per-item state that
//     its tasks and its in-order consumer both race for; the consumer waits
//     only for an item that a running thread has claimed, so invariant 2
//     holds for it too, and only once no later item is left unclaimed for
//     it to produce meanwhile.
//
// Locking: mu_ guards the queue and stopping_ only; no task runs under it.
//
// Waiting: a thread about to sleep first spins, yielding, for kSpin. A futex
// wake-up costs tens of microseconds on a busy host, as much as a read of a
// few compressed blocks; so a worker that has just finished watches for the
// next call, and a caller whose last tasks are in other hands watches for
// them, before either sleeps. Yielding keeps the spin from taking a core
// from a thread that has work.
#include "worker_pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <system_error>
#include <thread>

namespace vog {

namespace {

constexpr auto kSpin = std::chrono::microseconds(100);

// Yields until done() holds or kSpin has passed; returns done().
template <class Done>
bool spin_until(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

struct WorkerPool::Job {
  Job(std::size_t n, std::function<void(std::size_t)> t)
      : count(n), task(std::move(t)), remaining(static_cast<std::ptrdiff_t>(n)) {}

  // Claims and runs tasks until none is left unclaimed.
  void work() {
    for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      task(i);
      remaining.count_down();
    }
  }

  // Returns once every task has run.
  void wait() {
    if (!spin_until([this] { return remaining.try_wait(); })) remaining.wait();
  }

  const std::size_t count;
  const std::function<void(std::size_t)> task;
  std::atomic<std::size_t> next{0};
  std::latch remaining;
};

WorkerPool::WorkerPool(std::size_t threads) {
  threads = std::max<std::size_t>(threads, 1);
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    // Without threads to spare the pool still works: callers run their own
    // tasks. So a refused thread shrinks the pool instead of failing it.
    try {
      threads_.emplace_back([this] { worker_loop(); });
    } catch (const std::system_error&) {
      break;
    }
  }
  thread_count_ = std::max<std::size_t>(threads_.size(), 1);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

WorkerPool& WorkerPool::process_pool() {
  static WorkerPool* const pool =
      new WorkerPool(std::max(std::thread::hardware_concurrency(), 1U));
  return *pool;
}

void WorkerPool::run(std::size_t count, std::function<void(std::size_t)> task) {
  if (count == 0) return;
  if (count == 1) {
    task(0);
    return;
  }
  auto job = std::make_shared<Job>(count, std::move(task));
  {
    std::lock_guard lock(mu_);
    jobs_.push_back(job);
    queued_.fetch_add(1, std::memory_order_relaxed);
  }
  // The caller takes a task itself; wake no more workers than there are others.
  for (std::size_t i = 1; i < std::min(count, thread_count_ + 1); ++i) work_ready_.notify_one();
  job->work();
  retire(job);
  job->wait();
}

void WorkerPool::run_ordered(std::size_t count, const std::function<void(std::size_t)>& produce,
                             const std::function<bool(std::size_t)>& consume) {
  enum : std::uint8_t { kWaiting, kProducing, kDone };
  const std::unique_ptr<std::atomic<std::uint8_t>[]> state(
      new std::atomic<std::uint8_t>[count] {});
  // Whoever claims an item produces it; a task finding it claimed moves on.
  auto claim_and_produce = [&](std::size_t i) {
    std::uint8_t expected = kWaiting;
    if (!state[i].compare_exchange_strong(expected, kProducing, std::memory_order_acquire))
      return false;
    produce(i);
    state[i].store(kDone, std::memory_order_release);
    state[i].notify_all();
    return true;
  };
  std::shared_ptr<Job> job;
  if (count > 1) {
    job = std::make_shared<Job>(count, [&](std::size_t i) { claim_and_produce(i); });
    {
      std::lock_guard lock(mu_);
      jobs_.push_back(job);
      queued_.fetch_add(1, std::memory_order_relaxed);
    }
    // The caller is busy consuming: every worker may help.
    for (std::size_t i = 0; i < std::min(count, thread_count_); ++i) work_ready_.notify_one();
  }
  std::size_t ahead = 1;  // the next item the caller may produce out of turn
  for (std::size_t i = 0; i < count; ++i) {
    if (!claim_and_produce(i)) {
      // Claimed by a running task, which finishes without waiting for
      // anything: meanwhile produce a later item nobody has claimed.
      for (std::uint8_t now = state[i].load(std::memory_order_acquire); now != kDone;
           now = state[i].load(std::memory_order_acquire)) {
        ahead = std::max(ahead, i + 1);
        bool produced = false;
        while (ahead < count && !produced) produced = claim_and_produce(ahead++);
        if (!produced && !spin_until([&] { return state[i].load(std::memory_order_acquire) != now; }))
          state[i].wait(now, std::memory_order_acquire);
      }
    }
    if (!consume(i)) break;
  }
  if (!job) return;
  job->work();
  retire(job);
  job->wait();
}

void WorkerPool::worker_loop() {
  for (;;) {
    std::shared_ptr<Job> job;
    spin_until([this] { return queued_.load(std::memory_order_relaxed) != 0; });
    {
      std::unique_lock lock(mu_);
      work_ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = jobs_.front();
    }
    job->work();
    retire(job);
  }
}

void WorkerPool::retire(const std::shared_ptr<Job>& job) {
  std::lock_guard lock(mu_);
  auto at = std::find(jobs_.begin(), jobs_.end(), job);
  if (at != jobs_.end()) {
    jobs_.erase(at);
    queued_.fetch_sub(1, std::memory_order_relaxed);
  }
}

}  // namespace vog
