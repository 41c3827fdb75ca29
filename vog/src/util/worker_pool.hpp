// Worker pool: a fixed set of threads that help callers run independent tasks.
//
// A call hands over `count` tasks numbered 0 .. count - 1 and returns when all
// have run. The calling thread takes tasks too, from the same per-call counter
// as the workers, so a call finishes even when every worker is busy elsewhere:
// calls may come from many threads at once, from inside a task, or while the
// caller holds locks (tasks must not take those locks themselves).
//
// Thread safety: every method may be called concurrently.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vog {

class WorkerPool {
 public:
  // Starts `threads` workers (at least one is asked for).
  explicit WorkerPool(std::size_t threads);
  // Joins the workers. REQUIRES: no run() is in progress.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The process-wide pool, started on first use with one worker per
  // processor. It is never destroyed, so a thread still encrypting while the
  // process exits never meets a torn-down pool.
  static WorkerPool& process_pool();

  // The number of workers; the run transforms split their work by it.
  [[nodiscard]] std::size_t thread_count() const noexcept { return thread_count_; }

  // Runs task(0) .. task(count - 1), each exactly once, on the workers and on
  // the calling thread; returns when all are done. Tasks must not throw.
  void run(std::size_t count, std::function<void(std::size_t)> task);

  // A pipeline: produce(0) .. produce(count - 1) run on the workers and the
  // calling thread, each exactly once, while the calling thread alone runs
  // consume(0), consume(1), ... in order, each as soon as its produce is
  // done; a produce nobody has started by then the caller runs itself, so
  // this too finishes with every worker busy elsewhere, and while it waits
  // for one that has started, it runs later ones nobody has claimed.
  // Consuming stops at the first consume that returns false; the produce
  // calls all run anyway. Returns when all are done. Neither may throw.
  void run_ordered(std::size_t count, const std::function<void(std::size_t)>& produce,
                   const std::function<bool(std::size_t)>& consume);

 private:
  struct Job;

  void worker_loop();
  void retire(const std::shared_ptr<Job>& job);

  std::size_t thread_count_ = 1;
  std::vector<std::thread> threads_;

  std::mutex mu_;
  std::condition_variable work_ready_;
  std::deque<std::shared_ptr<Job>> jobs_;  // guarded by mu_; calls with unclaimed tasks
  bool stopping_ = false;                  // guarded by mu_
  std::atomic<std::size_t> queued_{0};     // jobs_.size(), for idle workers to watch unlocked
};

}  // namespace vog
