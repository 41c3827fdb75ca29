// raise_to: an atomic maximum, for lengths that concurrent writers extend.
#pragma once

#include <atomic>
#include <cstdint>

namespace vog {

// Makes `value` at least `at_least`; never lowers it.
inline void raise_to(std::atomic<std::uint64_t>& value, std::uint64_t at_least) {
  std::uint64_t now = value.load();
  while (now < at_least && !value.compare_exchange_weak(now, at_least)) {
  }
}

}  // namespace vog
