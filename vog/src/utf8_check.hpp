// UTF-8 checks for stored names and for identifiers shown in messages.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vog {

// A description of the first malformed sequence in `text`, or nothing when the
// whole text is well-formed UTF-8 (RFC 3629: no overlongs, no surrogates, at
// most U+10FFFF).
[[nodiscard]] std::optional<std::string> utf8_fault(std::string_view text);

// `bytes` as text, each maximal malformed subpart replaced by U+FFFD.
[[nodiscard]] std::string utf8_lossy(std::span<const std::byte> bytes);

}  // namespace vog
