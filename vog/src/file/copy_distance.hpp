// Transfers that the processor's copy instruction makes slow.
//
// On some processors (AMD's Zen 3 and Zen 4 among them) `rep movsb`, which the
// kernel uses to copy between the page cache and a process, slows down when
// the destination lies a little past the source, counted within a 4 KiB page:
// each store looks as if it could overlap a load still in flight. At 1 to 15
// bytes the kernel's copy runs at a quarter of its speed, at 16 to 31 bytes
// at two thirds. A Vog file's blocks start at byte 14 of their page, so the
// usual buffers land there: a page-aligned buffer written, or a large
// malloc'd one (16 bytes into its page) read. The real file system sends such
// transfers through a buffer of its own, placed where neither its own copy
// nor the kernel's slows down.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vog {

// The page within which copy distances count.
inline constexpr std::uint64_t kCopyPage = 4096;

[[nodiscard]] inline std::uint64_t address_of(const std::byte* p) noexcept {
  return reinterpret_cast<std::uintptr_t>(p);
}

// The first page boundary at or after `p`; a buffer kCopyPage - 1 bytes
// longer than needed holds one.
[[nodiscard]] inline std::byte* page_boundary_from(std::byte* p) noexcept {
  return p + (kCopyPage - address_of(p) % kCopyPage) % kCopyPage;
}

// Whether a copy from `from` to `to` (an address or a file position each)
// falls at a distance that stalls: 1 to 31 bytes forward within a page.
[[nodiscard]] constexpr bool stalling_distance(std::uint64_t from, std::uint64_t to) noexcept {
  const std::uint64_t forward = (to - from) % kCopyPage;
  return forward >= 1 && forward <= 31;
}

// Whether this processor stalls so; timed once per process (under a
// millisecond), always false off x86-64.
[[nodiscard]] bool copies_stall_at_short_distances();

}  // namespace vog
