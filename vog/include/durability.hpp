// How much of a Vog file survives a crash: chosen when the file is created or opened.
#pragma once

#include <cstdint>

namespace vog {

enum class Durability : std::uint8_t {
  // No journal: a crash in the middle of an operation can damage the file.
  Off,
  // A rollback journal beside the file, never forced to disk: after the
  // process is killed the file opens as of its last commit. The default.
  Process,
  // The journal and the file are forced to disk at each commit: the same
  // after a power loss.
  Full,
};

}  // namespace vog
