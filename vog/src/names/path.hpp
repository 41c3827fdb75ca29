// Paths of the namespace: "/"-separated components, the root being the empty path.
//
// A valid non-empty path has no leading or trailing "/", no empty component and
// no component "." or "..". Everything else is allowed inside a component and
// compared byte for byte.
#pragma once

#include <cstddef>
#include <string_view>

#include "error.hpp"

namespace vog {

// The longest stored name a directory entry can hold (its length is 16-bit).
inline constexpr std::size_t kMaxStoredNameLength = 65535;

// Fails with InvalidPath naming the first rule the path breaks. The empty path
// fails too ("path contains empty component"): callers handle the root first.
[[nodiscard]] Result<void> validate_path(std::string_view path);

struct ParentLeaf {
  std::string_view parent;  // the empty path when the leaf sits in the root
  std::string_view leaf;
};

// Splits at the last "/". The views point into `path`.
[[nodiscard]] ParentLeaf split_parent_leaf(std::string_view path) noexcept;

// A name about to be stored in a directory (a leaf, with "/" appended for a
// directory) must fit the entry's 16-bit length and be UTF-8, or no listing
// could read the directory back.
[[nodiscard]] Result<void> check_stored_name(std::string_view stored_name);

}  // namespace vog
