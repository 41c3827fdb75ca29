// File system: the operating system as the engine sees it, paths and plain files.
//
// This is the one seam to the operating system: the Vog file, its journal and
// optimize's temporary file are all reached through a FileSystem, so tests can
// put a fake underneath (one that forgets unsynced writes, say). os_file_system()
// is the real one.
//
// Paths are byte strings handed to the system unchanged, except that a path
// holding a NUL byte is refused with InvalidPath before any system call (the
// system would read it as a shorter path).
//
// Thread safety: every method of both classes may be called concurrently.
// Errors: IoError whose text is the system's description alone; callers add
// what they were doing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace vog {

enum class AccessMode : std::uint8_t { ReadOnly, Writable };

// How long sharing one file may wait for another opener (doc/concurrency.md).
using Timeout = std::chrono::milliseconds;
inline constexpr Timeout kDefaultTimeout{5000};
enum class OpenHow : std::uint8_t { CreateNew, OpenExisting, OpenOrCreate, CreateUnnamed };
enum class LockKind : std::uint8_t { Shared, Exclusive };

// Who may use a file: what the system records beside its bytes.
struct FileAccess {
  std::uint32_t permissions = 0;  // the mode bits of 07777
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  friend bool operator==(const FileAccess&, const FileAccess&) = default;
};

// `pieces` back to back in one buffer, for files that cannot gather.
[[nodiscard]] std::vector<std::byte> joined(std::span<const std::span<const std::byte>> pieces);
// The length of that buffer, without making it.
[[nodiscard]] std::size_t joined_size(std::span<const std::span<const std::byte>> pieces);

// One open file without a format of its own: positioned transfers, length,
// sync and an advisory lock that lives as long as the object.
class PlainFile {
 public:
  virtual ~PlainFile() = default;

  // One transfer of up to out.size() bytes; 0 at or beyond the end, a short
  // count across it. Bytes not transferred keep their previous contents.
  [[nodiscard]] virtual Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) = 0;
  // Every byte, retrying partial writes; a gap before `offset` reads as zeros.
  [[nodiscard]] virtual Result<void> write(std::uint64_t offset, std::span<const std::byte> data) = 0;
  // Writes `pieces` back to back from `offset`, as write() would write them
  // joined. This one joins them in a buffer; a file that can gather need not.
  [[nodiscard]] virtual Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces);
  [[nodiscard]] virtual Result<std::uint64_t> len() = 0;
  [[nodiscard]] virtual Result<void> set_len(std::uint64_t length) = 0;
  // Forces everything written so far to stable storage.
  [[nodiscard]] virtual Result<void> sync() = 0;
  // Takes the lock without waiting. The error's text is the reason alone, as
  // the Vog file's lock message wants it.
  [[nodiscard]] virtual Result<void> try_lock(LockKind kind) = 0;
  // A lock on the one byte at `offset` (past any data: no byte need be
  // there), owned by this open of the file rather than by the process, so
  // that two opens in one process exclude each other as two processes do.
  // Taken without waiting: false, with nothing changed, when another open
  // holds a conflicting one. Sharing one file rests on these
  // (doc/concurrency.md).
  [[nodiscard]] virtual Result<bool> try_lock_byte(std::uint64_t offset, LockKind kind) = 0;
  virtual void unlock_byte(std::uint64_t offset) = 0;
  // Names this process as the holder of the byte at `offset`, for
  // holder_of() in other processes; only to tell people who is in the way.
  virtual void mark_holder(std::uint64_t offset) = 0;
  // The process that marked the byte at `offset`, where the system tells.
  [[nodiscard]] virtual std::optional<std::int64_t> holder_of(std::uint64_t offset) = 0;
  // Gives a file opened with CreateUnnamed the name `path` in one step; false,
  // with nothing changed, when something already exists there.
  [[nodiscard]] virtual Result<bool> link(const std::string& path) = 0;
  // The file's access as the system records it; nothing from a file system
  // that records none (one in memory), which the default stands for.
  [[nodiscard]] virtual Result<std::optional<FileAccess>> access() { return std::nullopt; }
  // Gives the file `access`: its owner and group where the process may set
  // them (a refusal for want of privilege is no error), then exactly its
  // permission bits, which the umask does not touch. Nothing changes what
  // already matches, so a file of another owner that has the bits passes.
  [[nodiscard]] virtual Result<void> set_access(const FileAccess& /*access*/) { return {}; }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // CreateNew makes the file exclusively with mode 0666 before the umask.
  // CreateUnnamed makes a file without a name in the directory of `path`, to
  // be named by PlainFile::link; it fails where the file system cannot.
  [[nodiscard]] virtual Result<std::unique_ptr<PlainFile>> open(const std::string& path,
                                                                OpenHow how, AccessMode mode) = 0;
  // As open(), but a file the call creates starts readable and writable by
  // its creator alone (0600, whatever the umask), for a caller that gives it
  // another file's access (PlainFile::set_access) before writing into it: no
  // one else can open it meanwhile. A file system without permissions keeps
  // the default.
  [[nodiscard]] virtual Result<std::unique_ptr<PlainFile>> open_private(const std::string& path,
                                                                        OpenHow how,
                                                                        AccessMode mode) {
    return open(path, how, mode);
  }
  // Whether anything at all exists at `path`.
  [[nodiscard]] virtual Result<bool> exists(const std::string& path) = 0;
  [[nodiscard]] virtual Result<std::uint64_t> file_size(const std::string& path) = 0;
  // Removing a path that does not exist succeeds.
  [[nodiscard]] virtual Result<void> remove(const std::string& path) = 0;
  // Puts the file at `from` in the place of `to` in one step, then syncs the
  // directory so the change survives a power loss.
  [[nodiscard]] virtual Result<void> replace(const std::string& from, const std::string& to) = 0;
  // Makes the creation or removal of files in the directory of `path` durable.
  [[nodiscard]] virtual Result<void> sync_directory_of(const std::string& path) = 0;
};

// The operating system's file system; lives as long as the process.
[[nodiscard]] FileSystem& os_file_system();

// How its files move bytes between the page cache and callers' buffers. A
// transfer at a distance that stalls some processors (copy_distance.hpp) goes
// through a buffer of the file's own: with Auto where this processor stalls,
// with Bounced everywhere, with Direct never.
enum class CopyRoute : std::uint8_t { Auto, Direct, Bounced };
// The same file system on a route of its own, to compare or test routes.
[[nodiscard]] std::unique_ptr<FileSystem> make_os_file_system(CopyRoute route);

// `error` with `action` ("failed to open Vog file: ") in front of its text.
[[nodiscard]] inline VogError with_action(std::string_view action, const VogError& error) {
  return {error.kind(), std::string(action) + error.detail()};
}

// InvalidPath when `path` holds a NUL byte.
[[nodiscard]] Result<void> check_os_path(const std::string& path);

}  // namespace vog
