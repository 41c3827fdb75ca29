#include "copy_distance.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace vog {

#if defined(__x86_64__)
namespace {

void rep_movsb(std::byte* to, const std::byte* from, std::size_t count) {
  asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(count) : : "memory");
}

// The fastest of a few copies of `count` bytes, `distance` bytes forward
// within a page: one slow copy is noise, five are the processor.
std::chrono::nanoseconds fastest_copy(std::byte* from, std::size_t count, std::size_t distance) {
  std::byte* to = from + count + kCopyPage + distance;  // `from` is page-aligned
  auto fastest = std::chrono::nanoseconds::max();
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    rep_movsb(to, from, count);
    fastest = std::min(fastest, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now() - start));
  }
  return fastest;
}

bool measure() {
  // Where it stalls the copy is about ten times slower; where it does not,
  // the two distances cost the same.
  constexpr std::size_t kBytes = 64 * 1024;
  std::vector<std::byte> room(2 * kBytes + 3 * kCopyPage, std::byte{1});  // no page faults
  std::byte* from = page_boundary_from(room.data());
  return fastest_copy(from, kBytes, 2) > 3 * fastest_copy(from, kBytes, 64);
}

}  // namespace

bool copies_stall_at_short_distances() {
  static const bool stalls = measure();
  return stalls;
}
#else
bool copies_stall_at_short_distances() { return false; }
#endif

}  // namespace vog
