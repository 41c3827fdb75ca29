// Forked children. fork() copies every open Vog into the child, its lock,
// journal descriptor and changes not yet committed included, but none of the
// other threads that were using it; a mutex one of them held stays locked in
// the copy. The copy must never write, commit or remove the parent's journal:
// the parent's crash safety rests on them. So whoever owns an open file
// records the generation at opening, and a copy in a child (whose generation
// differs) refuses every change and leaves the file alone when dropped.
#pragma once

#include <cstdint>

#include "error.hpp"

namespace vog {

// Changes in a child after every fork(); the same everywhere within one process.
[[nodiscard]] std::uint64_t fork_generation() noexcept;

// The error of every call on a copy inherited through fork().
[[nodiscard]] VogError forked_copy_error();

// Succeeds in the process whose fork_generation() was `generation`.
[[nodiscard]] inline Result<void> check_not_forked(std::uint64_t generation) {
  if (fork_generation() == generation) return {};
  return std::unexpected(forked_copy_error());
}

}  // namespace vog
