#include "fork_guard.hpp"

#include <pthread.h>

#include <atomic>

namespace vog {
namespace {

std::atomic<std::uint64_t> g_generation{0};

void after_fork_in_child() noexcept { g_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() noexcept {
  // Registered before the first generation is handed out, so that every
  // owner that recorded one sees the child's change.
  static const bool registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
  (void)registered;
  return g_generation.load(std::memory_order_relaxed);
}

VogError forked_copy_error() {
  return VogError::io(
      "this Vog file was opened by the parent process: a forked child must open it again");
}

}  // namespace vog
