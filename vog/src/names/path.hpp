// Paths of the namespace: "/"-separated components, the root being the empty path.
//
// A valid non-empty path has no leading or trailing "/", no empty component, no
// component "." or ".." and no NUL byte. Everything else is allowed inside a
// component and compared byte for byte.
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

// Whether a stored name (a directory's with its one trailing "/") is a leaf
// that a path can reach: not empty, not "." or "..", and holding neither "/"
// nor a NUL byte. No operation stores another; a directory read from a
// damaged file may hold one.
[[nodiscard]] bool is_reachable_name(std::string_view stored_name) noexcept;

// A name about to be stored in a directory (a leaf, with "/" appended for a
// directory) must be reachable by a path, fit the entry's 16-bit length and be
// UTF-8, or no lookup or listing could use the entry.
[[nodiscard]] Result<void> check_stored_name(std::string_view stored_name);

}  // namespace vog
