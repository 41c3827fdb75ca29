// Transfers that the processor's copy instruction makes slow.
//
// On some processors (AMD's Zen 3 and Zen 4 among them) `rep movsb`, which the
// kernel uses to copy between the page cache and a process, runs at a tenth of
// its speed when the destination lies 1 to 15 bytes past the source, counted
// within a 4 KiB page: each store looks as if it could overlap a load still in
// flight. A Vog file's blocks start at byte 14 of their page, so the usual
// buffers land there: a page-aligned buffer written, or a large malloc'd one
// (16 bytes into its page) read. The real file system sends such transfers
// through a buffer of its own at the file's alignment, and the C library's
// memcpy, which avoids the instruction at such distances, moves the bytes.
#pragma once

#include <cstdint>

namespace vog {

// Whether a copy from `from` to `to` (an address or a file position each)
// falls at a distance that stalls: 1 to 15 bytes forward within a page.
[[nodiscard]] constexpr bool stalling_distance(std::uint64_t from, std::uint64_t to) noexcept {
  const std::uint64_t forward = (to - from) % 4096;
  return forward >= 1 && forward <= 15;
}

// Whether this processor stalls so; timed once per process (a few
// microseconds), always false off x86-64.
[[nodiscard]] bool copies_stall_at_short_distances();

}  // namespace vog
