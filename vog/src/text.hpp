// Text helpers shared by the layers that quote stored bytes in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vog {

// Decodes `bytes` as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD, so that any stored bytes can be quoted in a message. Well-formed
// sequences (NUL included) are copied as they are.
inline std::string lossy_utf8(std::span<const std::byte> bytes) {
  constexpr const char* kReplacement = "\xEF\xBF\xBD";
  auto at = [&](std::size_t i) { return std::to_integer<std::uint8_t>(bytes[i]); };
  auto is_tail = [](std::uint8_t b) { return b >= 0x80 && b <= 0xBF; };

  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::uint8_t lead = at(i);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Length of the sequence and the range its second byte must lie in; the
    // narrower second-byte ranges exclude overlongs, surrogates and > U+10FFFF.
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0) {  // a byte that can never start a sequence
      out.append(kReplacement);
      ++i;
      continue;
    }
    std::size_t good = 1;
    while (good < length && i + good < bytes.size()) {
      std::uint8_t b = at(i + good);
      bool fits = good == 1 ? (b >= low && b <= high) : is_tail(b);
      if (!fits) break;
      ++good;
    }
    if (good == length) {
      for (std::size_t k = 0; k < length; ++k) out.push_back(static_cast<char>(at(i + k)));
    } else {
      out.append(kReplacement);  // one replacement for the whole broken prefix
    }
    i += good;
  }
  return out;
}

}  // namespace vog
