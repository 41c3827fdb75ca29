// File layer: one operating-system file with a 12-byte header and an advisory lock.
//
// Layout of the header (little-endian):
//   0  9  magic "vogvogvog"
//   9  1  format version, 1
//   10 2  data_offset: first byte of the block area
// The bytes from 12 to data_offset belong to the block layer.
//
// Offsets passed to read/write are absolute file offsets: this layer never adds
// data_offset itself. Only sync() and commit() force data to stable storage.
//
// Thread safety: every method may be called concurrently on one handle.
// Locking: a writable handle holds an exclusive flock, a read-only one a shared
// flock; destroying the handle closes the file and releases the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "file_system.hpp"

namespace vog {

inline constexpr std::size_t kFileHeaderSize = 12;

class FileLayer {
 public:
  virtual ~FileLayer() = default;

  // One transfer of up to out.size() bytes; returns the count the system moved:
  // 0 at or beyond the end of file, a short count across it. Bytes of `out`
  // that were not transferred keep their previous contents.
  [[nodiscard]] virtual Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) = 0;
  // Writes every byte, extending the file if needed (a gap reads as zeros).
  [[nodiscard]] virtual Result<void> write(std::uint64_t offset, std::span<const std::byte> data) = 0;
  // Writes `pieces` back to back from `offset`, as write() would write them
  // joined. This one joins them in a buffer; a file that can gather need not.
  [[nodiscard]] virtual Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces) {
    return write(offset, joined(pieces));
  }
  // The file size in bytes, header included.
  [[nodiscard]] virtual Result<std::uint64_t> len() = 0;
  // Truncates or zero-extends the file to exactly `length` bytes.
  [[nodiscard]] virtual Result<void> set_len(std::uint64_t length) = 0;
  // Problems with the header as "L1: ..." lines; an error only when the checks
  // themselves cannot run.
  [[nodiscard]] virtual Result<std::vector<std::string>> verify() = 0;
  // The data offset given at creation or read at opening; never changes.
  [[nodiscard]] virtual std::uint64_t data_offset() const noexcept = 0;
  // Forces everything written so far to stable storage. A file with nothing
  // volatile underneath (one in memory) keeps the default.
  [[nodiscard]] virtual Result<void> sync() { return {}; }
  // Makes the file's present contents the state a crash returns to, as far as
  // this file layer promises anything about crashes; the default promises nothing.
  [[nodiscard]] virtual Result<void> commit() { return {}; }
  // Throws away every change since the last commit, as a crash and the next
  // open would, without closing: the file reads as of its last commit again,
  // and the next commit's generation is one no earlier commit had. A file
  // that keeps nothing to roll back to refuses (the default).
  [[nodiscard]] virtual Result<void> roll_back() {
    return std::unexpected(VogError::io("a Vog file without a journal cannot roll back"));
  }

  // Reading beside a writer of another open (doc/concurrency.md). A file
  // shared with such a writer holds still between begin_read() and
  // end_read(), showing the writer's last commit; the calls pair up and may
  // nest across threads. begin_read() returns that commit's generation, which
  // changes with every commit: what was read under another generation is
  // stale. A file no other open writes keeps the defaults: always the same.
  [[nodiscard]] virtual Result<std::uint64_t> begin_read() { return 0; }
  virtual void end_read() {}
};

}  // namespace vog
