// The rollback journal's bytes, and reading back what a journal asks to undo.
//
// Journal bytes (all integers little-endian). A 64-byte header at offset 0:
//   0   8  magic "vogjrnl\0"
//   8   4  version, 3; every checksum below is XXH3 seeded as said (version
//          2 differs only in its sum, and is still read, so that what an
//          older build left behind rolls back)
//   12  4  page size: changes are saved in pages of this size, counted from
//          data_offset; the bytes before data_offset are one page of their own
//   16  8  data_offset of the Vog file
//   24  8  identity: checksum of the Vog file's first data_offset bytes as
//          committed (its header and the block layer's, which only the
//          creating transaction writes)
//   32  8  committed length: the Vog file's length at the last commit
//   40  8  nonce: a transaction's differs from every earlier one's in this
//          journal: it is the generation of the last commit plus one. A
//          committed mark holds that commit's generation here (0 from older
//          builds), which readers compare to learn of a commit
//          (doc/concurrency.md)
//   48  4  state: 0 a transaction, whose records follow; 1 committed, with no
//          records: the file may only have grown since
//   52  4  zero
//   56  8  checksum of bytes 0..55
// An all-zero header means nothing to undo (an older reset).
// Records follow a transaction's header back to back, each saving bytes of
// one page just before they first change:
//   0   8  file offset of the saved bytes
//   8   4  length n, 1 to the page size (or data_offset, for page 0)
//   12  4  zero
//   16  8  checksum of the nonce, bytes 0..15 and the n bytes
//   24  n  the bytes as they stood before the change
// The transaction's records end at the first one that does not check out
// (a torn write, or a record of an earlier transaction: its nonce differs).
//
// Rolling back writes the records' bytes back, the last record first, so
// that where records overlap the earliest, holding the committed bytes, wins;
// then it cuts the file to the committed length. A header with the magic but a bad checksum was torn
// while it was written, before anything it covers reached the file, and is
// ignored; a journal with another magic, version, page size, data offset or
// identity is not this file's and is never applied (a committed mark of
// another file is ignored: it asks nothing).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "file_layer.hpp"
#include "file_system.hpp"

namespace vog::journal {

inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kRecordHeaderSize = 24;
inline constexpr std::uint32_t kPageSize = 4096;
inline constexpr std::uint32_t kVersion = 3;

enum class State : std::uint32_t { Transaction = 0, Committed = 1 };

struct Header {
  std::uint64_t data_offset = 0;
  std::uint64_t identity = 0;
  std::uint64_t committed_length = 0;
  std::uint64_t nonce = 0;
  State state = State::Committed;
};

// The 64-bit checksum of a journal `version` (3: XXH3 with the seed): tells
// torn or stale bytes from what was written; it is not meant to resist anyone.
[[nodiscard]] std::uint64_t checksum(std::uint32_t version, std::uint64_t seed,
                                     std::span<const std::byte> data);

[[nodiscard]] std::array<std::byte, kHeaderSize> encode(const Header& header,
                                                       std::uint32_t version = kVersion);

// Appends one record of `bytes`, saved from `offset`, to `out`.
void append_record(std::vector<std::byte>& out, std::uint64_t nonce, std::uint64_t offset,
                   std::span<const std::byte> bytes, std::uint32_t version = kVersion);

// [start, end) of page `page`: page 0 is [0, data_offset).
[[nodiscard]] std::pair<std::uint64_t, std::uint64_t> page_range(std::uint64_t page,
                                                                 std::uint64_t data_offset);
[[nodiscard]] std::uint64_t page_of(std::uint64_t offset, std::uint64_t data_offset);

// Reads up to out.size() bytes, fewer only at the end of the file.
[[nodiscard]] Result<std::size_t> read_fully(auto& file, std::uint64_t offset,
                                             std::span<std::byte> out) {
  std::size_t have = 0;
  while (have < out.size()) {
    VOG_TRY(got, file.read(offset + have, out.subspan(have)));
    if (*got == 0) break;
    have += *got;
  }
  return have;
}

// The checksum of the file's bytes before data_offset.
[[nodiscard]] Result<std::uint64_t> identity_of(FileLayer& file);

struct Record {
  std::uint64_t offset;
  std::vector<std::byte> bytes;
};

struct Undo {
  std::uint64_t committed_length = 0;
  std::vector<Record> records;
  // The generation of the commit the file returns to (doc/concurrency.md).
  std::uint64_t generation = 0;
  std::uint64_t end = kHeaderSize;  // just past the last record that checks out
};

// Reads on a transaction's records from undo.end, as far as they check out:
// what a writer appended since the last look. `header` is the journal's.
[[nodiscard]] Result<void> read_more_records(PlainFile& journal,
                                             std::span<const std::byte, kHeaderSize> header,
                                             std::uint64_t data_offset, Undo& undo);

// What the journal `name` asks to undo in `file`: nothing when it holds no
// header; an error when it is not this file's journal.
[[nodiscard]] Result<std::optional<Undo>> read_undo(PlainFile& journal, const std::string& name,
                                                    FileLayer& file);

}  // namespace vog::journal
