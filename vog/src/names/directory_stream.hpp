// Directory streams: the byte format of a directory and the L4 header record.
//
// These routines are pure: they build, parse and search byte strings. The
// in-place edits through an open stream are in directory_handle.hpp.
//
// L4 header record (admin slot 1 of block 0, 11 bytes):
//   0  6  "filing"
//   6  1  format version, 4
//   7  4  stream ID of the root directory
//
// Directory stream of L bytes: empty (L = 0, no entries), or
//   [0, E)          entries back to back: stream ID u32, name length n u16, name
//   [E, E + 8K)     name table, K slots of (FNV-1a hash u32, entry offset u32),
//                   sorted by hash, unsigned; equal hashes newest first
//   [L - 4, L)      footer: E (u32)
// K is derived, floor((L - 4 - E) / 8). A directory is stored as its leaf name
// plus "/", a stream as its bare leaf name; that "/" is the only type mark.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "le_bytes.hpp"
#include "stream_layer.hpp"

namespace vog {

inline constexpr std::size_t kL4HeaderSize = 11;
inline constexpr std::uint8_t kL4Version = 4;
inline constexpr std::size_t kEntryHeadSize = 6;  // stream ID and name length
inline constexpr std::size_t kSlotSize = 8;
inline constexpr std::size_t kFooterSize = 4;
// Offsets and the footer are 32-bit: the entry region cannot grow past this.
inline constexpr std::uint64_t kMaxEntryRegion = 0xFFFFFFFF;

[[nodiscard]] std::array<std::byte, kL4HeaderSize> serialize_header(StreamId root_stream_id);
// The root directory's stream ID; bytes after the eleventh are ignored.
[[nodiscard]] Result<StreamId> deserialize_header(std::span<const std::byte> bytes);

struct StreamEntry {
  std::string name;  // the stored name: a directory keeps its trailing "/"
  StreamId stream_id = 0;
  friend bool operator==(const StreamEntry&, const StreamEntry&) = default;
};

struct NameSlot {
  std::uint32_t hash = 0;
  std::uint32_t offset = 0;  // of the entry, from the start of the stream
  friend bool operator==(const NameSlot&, const NameSlot&) = default;
};

struct SlotRange {
  std::size_t lo = 0;  // half-open [lo, hi)
  std::size_t hi = 0;
};

// 32-bit FNV-1a of the stored name's bytes.
[[nodiscard]] std::uint32_t name_hash(std::string_view stored_name) noexcept;

// REQUIRES: the name is at most 65535 bytes.
[[nodiscard]] std::vector<std::byte> serialize_entry_data(const StreamEntry& entry);
// Zero bytes for no entries. REQUIRES: every name fits, the entries fit 32-bit offsets.
[[nodiscard]] std::vector<std::byte> build_directory_stream(std::span<const StreamEntry> entries);

// Entries in entry-region order; the name table is not read. `dir` names the
// directory stream in messages about corruption.
[[nodiscard]] Result<std::vector<StreamEntry>> parse_entries(StreamId dir,
                                                             std::span<const std::byte> stream);

// REQUIRES: table.size() >= 8 * count.
[[nodiscard]] std::vector<NameSlot> parse_name_table_slots(std::span<const std::byte> table,
                                                           std::size_t count);
[[nodiscard]] std::vector<std::byte> serialize_table_and_footer(std::span<const NameSlot> slots,
                                                                std::uint32_t footer);
// The slots whose hash equals `hash`; lo == hi when there are none.
// REQUIRES: table.size() >= 8 * count.
[[nodiscard]] SlotRange find_hash_range(std::span<const std::byte> table, std::size_t count,
                                        std::uint32_t hash);

// Where an entry lies: its slot in the name table, its size and its offset.
struct EntryLocation {
  std::size_t slot = 0;
  std::uint32_t size = 0;    // 6 + name length
  std::uint32_t offset = 0;  // from the start of the stream
  StreamId stream_id = 0;
};

// The stream ID stored under `name` in a whole directory stream, if any.
[[nodiscard]] Result<std::optional<StreamId>> find_name_in_buffer(
    StreamId dir, std::span<const std::byte> stream, std::string_view name);
// As find_name_in_buffer, with where the entry lies.
[[nodiscard]] Result<std::optional<EntryLocation>> locate_name_in_buffer(
    StreamId dir, std::span<const std::byte> stream, std::string_view name);

// Edits of a whole copy that leave it equal, byte for byte, to what the
// in-place edits of directory_handle.hpp leave in the stream; each returns the
// offset from which the copy changed, so that only [offset, end) is written.
// Adds an entry as the newest of its hash. REQUIRES: `stream` is well formed
// and holds neither the name nor its twin; the name fits 16 bits.
[[nodiscard]] Result<std::uint32_t> add_entry_to_buffer(StreamId dir,
                                                        std::vector<std::byte>& stream,
                                                        const StreamEntry& entry);
// REQUIRES: `at` came from locate_name_in_buffer on this very copy.
std::uint32_t remove_entry_from_buffer(std::vector<std::byte>& stream, const EntryLocation& at);

// Where the regions of a non-empty directory stream lie, once its footer is known.
struct DirectoryLayout {
  std::uint32_t entries_end = 0;  // E, also where the name table starts
  std::size_t slot_count = 0;     // K
};

// Checks a footer against the stream length: the entry region must end before
// the footer, and a table cannot have more slots than the region has room for
// entries (which also bounds what a reader allocates for it).
// REQUIRES: length >= 4.
[[nodiscard]] Result<DirectoryLayout> directory_layout(StreamId dir, std::uint64_t length,
                                                       std::uint32_t footer);

// An IoError naming directory stream `dir` and what is wrong with it.
[[nodiscard]] VogError corrupt_directory(StreamId dir, std::string_view finding);

}  // namespace vog
