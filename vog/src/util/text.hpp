// UTF-8 for the layers that store names or quote stored bytes in messages.
//
// Both helpers split text by maximal subparts: a malformed sequence ends at the
// first byte that cannot continue it (no overlongs, no surrogates, nothing
// above U+10FFFF).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vog {

// Decodes `bytes` as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD, so that any stored bytes can be quoted in a message. Well-formed
// sequences (NUL included) are copied as they are.
[[nodiscard]] std::string lossy_utf8(std::span<const std::byte> bytes);

// A description of the first malformed sequence in `text`, or nothing when the
// whole text is well-formed UTF-8.
[[nodiscard]] std::optional<std::string> utf8_fault(std::string_view text);

// `text` made safe to quote between double quotes in a message: a backslash
// and a double quote get a backslash before them, and the control characters
// (ASCII's, DEL and U+0080 to U+009F) become \xNN or \u00NN, so that no stored
// name can end the quote, hide in the report or drive a terminal. Other bytes,
// malformed UTF-8 included, are kept as they are.
[[nodiscard]] std::string escaped(std::string_view text);

}  // namespace vog
