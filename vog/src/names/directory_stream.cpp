// Directory stream bytes: building, parsing and searching whole copies.
//
// Invariants of a well-formed directory stream (see directory_stream.hpp):
//   1. L = 0, or L = E + 8K + 4 with the footer holding E.
//   2. One slot per entry; slots ascend by hash; every slot offset starts an
//      entry that ends inside [0, E).
//   3. No two entries share a stored name, and never both "x" and "x/".
// Readers trust none of this: a footer or slot that breaks 1 or 2 is reported
// as a corrupt directory instead of being followed out of bounds.
#include "directory_stream.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "format.hpp"
#include "text.hpp"

namespace vog {
namespace {

constexpr std::array<char, 6> kL4Identifier = {'f', 'i', 'l', 'i', 'n', 'g'};

std::string_view name_at(std::span<const std::byte> stream, std::size_t at, std::size_t length) {
  return {reinterpret_cast<const char*>(stream.data()) + at, length};
}

}  // namespace

std::array<std::byte, kL4HeaderSize> serialize_header(StreamId root_stream_id) {
  std::array<std::byte, kL4HeaderSize> out{};
  std::memcpy(out.data(), kL4Identifier.data(), kL4Identifier.size());
  out[6] = static_cast<std::byte>(kL4Version);
  store_u32(out, 7, root_stream_id);
  return out;
}

Result<StreamId> deserialize_header(std::span<const std::byte> bytes) {
  if (bytes.size() < kL4HeaderSize)
    return std::unexpected(
        VogError::io(format("L4 payload too short: {} < {}", bytes.size(), kL4HeaderSize)));
  if (std::memcmp(bytes.data(), kL4Identifier.data(), kL4Identifier.size()) != 0)
    return std::unexpected(VogError::io(format("expected L4 identifier 'filing', got '{}'",
                                               lossy_utf8(bytes.first(6)))));
  unsigned version = std::to_integer<unsigned>(bytes[6]);
  if (version != kL4Version)
    return std::unexpected(VogError::io(
        format("unsupported L4 format version: {} (expected {})", version, kL4Version)));
  return load_u32(bytes, 7);
}

std::uint32_t name_hash(std::string_view stored_name) noexcept {
  std::uint32_t hash = 0x811C9DC5u;
  for (char c : stored_name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x01000193u;
  }
  return hash;
}

std::vector<std::byte> serialize_entry_data(const StreamEntry& entry) {
  assert(entry.name.size() <= 0xFFFF);
  std::vector<std::byte> out(kEntryHeadSize + entry.name.size());
  store_u32(out, 0, entry.stream_id);
  store_u16(out, 4, static_cast<std::uint16_t>(entry.name.size()));
  std::memcpy(out.data() + kEntryHeadSize, entry.name.data(), entry.name.size());
  return out;
}

std::vector<std::byte> build_directory_stream(std::span<const StreamEntry> entries) {
  std::vector<std::byte> out;
  if (entries.empty()) return out;
  std::vector<NameSlot> slots;
  slots.reserve(entries.size());
  for (const StreamEntry& entry : entries) {
    assert(out.size() <= kMaxEntryRegion);
    slots.push_back({name_hash(entry.name), static_cast<std::uint32_t>(out.size())});
    std::vector<std::byte> data = serialize_entry_data(entry);
    out.insert(out.end(), data.begin(), data.end());
  }
  assert(out.size() <= kMaxEntryRegion);
  std::stable_sort(slots.begin(), slots.end(),
                   [](const NameSlot& a, const NameSlot& b) { return a.hash < b.hash; });
  std::vector<std::byte> tail = serialize_table_and_footer(slots, static_cast<std::uint32_t>(out.size()));
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

Result<std::vector<StreamEntry>> parse_entries(StreamId dir, std::span<const std::byte> stream) {
  std::vector<StreamEntry> entries;
  if (stream.empty()) return entries;
  if (stream.size() < kFooterSize)
    return std::unexpected(VogError::io("directory stream too short for footer"));
  std::uint32_t end = load_u32(stream, stream.size() - kFooterSize);
  if (end > stream.size() - kFooterSize)
    return std::unexpected(corrupt_directory(
        dir, format("entry region of {} bytes does not fit a stream of {} bytes", end,
                    stream.size())));
  std::size_t at = 0;
  while (at < end) {
    if (at + kEntryHeadSize > end)
      return std::unexpected(VogError::io("truncated entry in directory stream"));
    StreamId id = load_u32(stream, at);
    std::size_t length = load_u16(stream, at + 4);
    if (at + kEntryHeadSize + length > end)
      return std::unexpected(VogError::io("truncated entry name in directory stream"));
    std::string_view name = name_at(stream, at + kEntryHeadSize, length);
    if (auto fault = utf8_fault(name))
      return std::unexpected(VogError::io(format("invalid UTF-8 in entry name: {}", *fault)));
    entries.push_back({std::string(name), id});
    at += kEntryHeadSize + length;
  }
  return entries;
}

std::vector<NameSlot> parse_name_table_slots(std::span<const std::byte> table, std::size_t count) {
  assert(table.size() >= count * kSlotSize);
  std::vector<NameSlot> slots(count);
  for (std::size_t i = 0; i < count; ++i)
    slots[i] = {load_u32(table, i * kSlotSize), load_u32(table, i * kSlotSize + 4)};
  return slots;
}

std::vector<std::byte> serialize_table_and_footer(std::span<const NameSlot> slots,
                                                  std::uint32_t footer) {
  std::vector<std::byte> out(slots.size() * kSlotSize + kFooterSize);
  std::size_t at = 0;
  for (const NameSlot& slot : slots) {
    store_u32(out, at, slot.hash);
    store_u32(out, at + 4, slot.offset);
    at += kSlotSize;
  }
  store_u32(out, at, footer);
  return out;
}

SlotRange find_hash_range(std::span<const std::byte> table, std::size_t count, std::uint32_t hash) {
  assert(table.size() >= count * kSlotSize);
  auto hash_of = [&](std::size_t slot) { return load_u32(table, slot * kSlotSize); };
  std::size_t lo = 0, hi = count;
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (hash_of(mid) < hash)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == count || hash_of(lo) != hash) return {lo, lo};
  hi = lo + 1;
  while (hi < count && hash_of(hi) == hash) ++hi;
  return {lo, hi};
}

Result<std::optional<StreamId>> find_name_in_buffer(StreamId dir, std::span<const std::byte> stream,
                                                    std::string_view name) {
  VOG_TRY(found, locate_name_in_buffer(dir, stream, name));
  if (!*found) return std::nullopt;
  return (*found)->stream_id;
}

Result<std::optional<EntryLocation>> locate_name_in_buffer(StreamId dir,
                                                           std::span<const std::byte> stream,
                                                           std::string_view name) {
  if (stream.empty()) return std::nullopt;
  if (stream.size() < kFooterSize)
    return std::unexpected(VogError::io("directory stream too small for footer"));
  VOG_TRY(layout, directory_layout(dir, stream.size(),
                                   load_u32(stream, stream.size() - kFooterSize)));
  std::span<const std::byte> table = stream.subspan(layout->entries_end);
  SlotRange range = find_hash_range(table, layout->slot_count, name_hash(name));
  for (std::size_t slot = range.lo; slot < range.hi; ++slot) {
    std::uint32_t offset = load_u32(table, slot * kSlotSize + 4);
    std::uint64_t head_end = std::uint64_t{offset} + kEntryHeadSize;
    if (head_end > layout->entries_end ||
        head_end + load_u16(stream, offset + 4) > layout->entries_end)
      return std::unexpected(corrupt_directory(
          dir, format("name table slot {} points outside the entry region (offset {}, region {} bytes)",
                      slot, offset, layout->entries_end)));
    std::size_t length = load_u16(stream, offset + 4);
    if (length == name.size() && name_at(stream, offset + kEntryHeadSize, length) == name)
      return EntryLocation{slot, static_cast<std::uint32_t>(kEntryHeadSize + length), offset,
                           load_u32(stream, offset)};
  }
  return std::nullopt;
}

Result<std::uint32_t> add_entry_to_buffer(StreamId dir, std::vector<std::byte>& stream,
                                          const StreamEntry& entry) {
  if (stream.empty()) {
    stream = build_directory_stream(std::span(&entry, 1));
    return 0;
  }
  const std::uint32_t end = load_u32(stream, stream.size() - kFooterSize);
  const std::size_t count = (stream.size() - kFooterSize - end) / kSlotSize;
  const std::size_t size = kEntryHeadSize + entry.name.size();
  if (std::uint64_t{end} + size > kMaxEntryRegion)
    return std::unexpected(
        corrupt_directory(dir, format("entry region would grow past {} bytes", kMaxEntryRegion)));
  const std::uint32_t hash = name_hash(entry.name);
  // Before any slot of equal hash: the newest entry of a hash is found first.
  const std::size_t at = find_hash_range(std::span(stream).subspan(end), count, hash).lo;
  // Make room from the back: the slots from `at` move by the entry and one
  // slot, those before it by the entry alone; the footer is written anew.
  stream.resize(end + size + (count + 1) * kSlotSize + kFooterSize);
  std::byte* table = stream.data() + end;
  std::memmove(table + size + (at + 1) * kSlotSize, table + at * kSlotSize,
               (count - at) * kSlotSize);
  std::memmove(table + size, table, at * kSlotSize);
  std::vector<std::byte> data = serialize_entry_data(entry);
  std::memcpy(table, data.data(), size);
  store_u32(stream, end + size + at * kSlotSize, hash);
  store_u32(stream, end + size + at * kSlotSize + 4, end);
  store_u32(stream, stream.size() - kFooterSize, static_cast<std::uint32_t>(end + size));
  return end;
}

std::uint32_t remove_entry_from_buffer(std::vector<std::byte>& stream, const EntryLocation& at) {
  const std::uint32_t end = load_u32(stream, stream.size() - kFooterSize);
  const std::size_t count = (stream.size() - kFooterSize - end) / kSlotSize;
  if (count == 1) {
    stream.clear();
    return 0;
  }
  std::vector<NameSlot> slots = parse_name_table_slots(std::span(stream).subspan(end), count);
  slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(at.slot));
  for (NameSlot& slot : slots)
    if (slot.offset > at.offset) slot.offset -= at.size;
  const std::uint32_t new_end = end - at.size;
  std::memmove(stream.data() + at.offset, stream.data() + at.offset + at.size,
               new_end - at.offset);
  std::vector<std::byte> tail = serialize_table_and_footer(slots, new_end);
  std::memcpy(stream.data() + new_end, tail.data(), tail.size());
  stream.resize(new_end + tail.size());
  return at.offset;
}

Result<DirectoryLayout> directory_layout(StreamId dir, std::uint64_t length, std::uint32_t footer) {
  assert(length >= kFooterSize);
  if (footer > length - kFooterSize)
    return std::unexpected(corrupt_directory(
        dir, format("entry region of {} bytes does not fit a stream of {} bytes", footer, length)));
  std::uint64_t slots = (length - kFooterSize - footer) / kSlotSize;
  if (slots > footer / kEntryHeadSize)
    return std::unexpected(corrupt_directory(
        dir, format("{} name table slots for an entry region of {} bytes", slots, footer)));
  return DirectoryLayout{footer, static_cast<std::size_t>(slots)};
}

VogError corrupt_directory(StreamId dir, std::string_view finding) {
  return VogError::io(format("directory stream {}: {}", dir, finding));
}

}  // namespace vog
