// UTF-8 validation of stored names, with a description of the first fault.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vog {

// A description of the first malformed sequence in `text`, or nothing when the
// whole text is well-formed UTF-8 (RFC 3629: no overlongs, no surrogates, at
// most U+10FFFF).
[[nodiscard]] std::optional<std::string> utf8_fault(std::string_view text);

}  // namespace vog
