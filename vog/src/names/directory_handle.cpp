// In-place edits of directory streams through a stream-layer handle.
//
// Owns no bytes of its own: it reads and rewrites the directory stream format
// of directory_stream.hpp. An edit writes its bytes first and tells the cache
// last, so a failed edit leaves the stream as far as it got and the cache is
// told only after a complete edit. When the cache lends a whole copy, the edit
// searches and changes the copy, writes exactly the bytes the in-place edit
// would, and hands the copy back; a failed edit drops it, so nothing stale is
// cached. Every offset read from the stream or a copy is checked against the
// entry region before it is followed.
#include "directory_handle.hpp"

#include <algorithm>

#include "format.hpp"
#include "path.hpp"

namespace vog {
namespace {

// Removal moves the entries behind a removed one in pieces of this size.
constexpr std::size_t kMoveChunk = 65536;
// Whole directories are read in pieces of this size.
constexpr std::size_t kReadChunk = 1 << 20;
// The longest stream a directory can be: a full entry region, one slot per
// six bytes of it, the footer, and the up to seven bytes K's rounding drops.
constexpr std::uint64_t kMaxDirectoryLength =
    kMaxEntryRegion + kSlotSize * (kMaxEntryRegion / kEntryHeadSize) + kFooterSize + kSlotSize - 1;

Result<void> read_exact(const DirectoryHandle& dir, std::uint64_t offset, std::span<std::byte> out) {
  VOG_TRY(got, dir.streams.read(dir.handle, offset, out));
  if (*got != out.size())
    return std::unexpected(corrupt_directory(
        dir.id, format("short read at offset {} ({} of {} bytes)", offset, *got, out.size())));
  return {};
}

Result<void> write_exact(const DirectoryHandle& dir, std::uint64_t offset,
                         std::span<const std::byte> data) {
  VOG_TRY(wrote, dir.streams.write(dir.handle, offset, data));
  if (*wrote != data.size())
    return std::unexpected(corrupt_directory(
        dir.id, format("short write at offset {} ({} of {} bytes)", offset, *wrote, data.size())));
  return {};
}

// An add rewrites the whole table, which moves with every entry. Left to grow
// a block at a time, a directory's blocks scatter between those of the streams
// created meanwhile, and each add costs one block write per block of table.
// Growing by half its length at a time keeps its blocks in a few long runs;
// a directory of one block is grown exactly as before.
Result<void> write_growing(const DirectoryHandle& dir, std::uint64_t offset,
                           std::span<const std::byte> data) {
  std::uint64_t end = offset + data.size();
  VOG_TRY(reserved, dir.streams.stream_reserved(dir.handle));
  if (end > *reserved) VOG_CHECK(dir.streams.reserve(dir.handle, end + end / 2));
  return write_exact(dir, offset, data);
}

std::string twin_of(std::string_view name) {
  if (!name.empty() && name.back() == '/') return std::string(name.substr(0, name.size() - 1));
  std::string twin(name);
  twin.push_back('/');
  return twin;
}

}  // namespace

Result<NameTable> read_name_table(const DirectoryHandle& dir, std::uint64_t length) {
  if (length < kFooterSize)
    return std::unexpected(
        corrupt_directory(dir.id, format("{} bytes are too short for a footer", length)));
  std::array<std::byte, kFooterSize> footer{};
  VOG_CHECK(read_exact(dir, length - kFooterSize, footer));
  VOG_TRY(layout, directory_layout(dir.id, length, load_u32(footer, 0)));
  NameTable table;
  table.entries_end = layout->entries_end;
  table.slot_count = layout->slot_count;
  table.bytes.resize(layout->slot_count * kSlotSize);
  VOG_CHECK(read_exact(dir, layout->entries_end, table.bytes));
  return table;
}

Result<std::optional<EntryLocation>> find_entry_in_name_table(const DirectoryHandle& dir,
                                                              const NameTable& table,
                                                              std::string_view name) {
  SlotRange range = find_hash_range(table.bytes, table.slot_count, name_hash(name));
  std::string stored;
  for (std::size_t slot = range.lo; slot < range.hi; ++slot) {
    std::uint32_t offset = load_u32(table.bytes, slot * kSlotSize + 4);
    std::array<std::byte, kEntryHeadSize> head{};
    auto outside = [&] {
      return std::unexpected(corrupt_directory(
          dir.id, format("name table slot {} points outside the entry region (offset {}, region {} bytes)",
                         slot, offset, table.entries_end)));
    };
    if (std::uint64_t{offset} + kEntryHeadSize > table.entries_end) return outside();
    VOG_CHECK(read_exact(dir, offset, head));
    std::size_t length = load_u16(head, 4);
    if (std::uint64_t{offset} + kEntryHeadSize + length > table.entries_end) return outside();
    if (length != name.size()) continue;
    stored.resize(length);
    VOG_CHECK(read_exact(dir, std::uint64_t{offset} + kEntryHeadSize,
                         std::as_writable_bytes(std::span(stored))));
    if (stored == name)
      return EntryLocation{slot, static_cast<std::uint32_t>(kEntryHeadSize + length), offset,
                           load_u32(head, 0)};
  }
  return std::nullopt;
}

Result<std::optional<StreamId>> find_name_in_handle(const DirectoryHandle& dir,
                                                    std::uint64_t length, std::string_view name) {
  if (length == 0) return std::nullopt;
  VOG_TRY(table, read_name_table(dir, length));
  VOG_TRY(found, find_entry_in_name_table(dir, *table, name));
  if (!*found) return std::nullopt;
  return (*found)->stream_id;
}

namespace {

// The lent copy's length is checked against the stream's: a copy that does not
// match is not trusted, and the edit reads the stream instead.
Result<std::optional<std::vector<std::byte>>> borrow_copy(const DirectoryHandle& dir,
                                                          DirectoryCache& cache,
                                                          std::uint64_t length) {
  VOG_TRY(copy, cache.take_dir_copy(dir));
  if (*copy && (*copy)->size() != length) copy->reset();
  return copy;
}

Result<void> add_through_copy(const DirectoryHandle& dir, DirectoryCache& cache,
                              std::vector<std::byte> copy, const StreamEntry& entry,
                              std::string_view twin, std::string_view full_path) {
  for (std::string_view taken : {std::string_view(entry.name), twin}) {
    VOG_TRY(found, find_name_in_buffer(dir.id, copy, taken));
    if (*found) {
      cache.return_dir_copy(dir.id, std::move(copy));
      return std::unexpected(VogError::already_exists(std::string(full_path)));
    }
  }
  VOG_TRY(from, add_entry_to_buffer(dir.id, copy, entry));
  VOG_CHECK(write_growing(dir, *from, std::span(copy).subspan(*from)));
  cache.return_dir_copy(dir.id, std::move(copy));
  return {};
}

Result<StreamId> remove_through_copy(const DirectoryHandle& dir, DirectoryCache& cache,
                                     std::vector<std::byte> copy, std::string_view name,
                                     std::string_view full_path) {
  VOG_TRY(found, locate_name_in_buffer(dir.id, copy, name));
  if (!*found) {
    cache.return_dir_copy(dir.id, std::move(copy));
    return std::unexpected(VogError::not_found(std::string(full_path)));
  }
  // The same bytes as moving the entries behind it down and rewriting the
  // table, written at once: the copy already holds them.
  std::uint32_t from = remove_entry_from_buffer(copy, **found);
  if (from < copy.size()) VOG_CHECK(write_exact(dir, from, std::span(copy).subspan(from)));
  VOG_CHECK(dir.streams.truncate(dir.handle, copy.size()));
  cache.return_dir_copy(dir.id, std::move(copy));
  return (*found)->stream_id;
}

}  // namespace

Result<void> add_entry_to_dir_handle(const DirectoryHandle& dir, DirectoryCache& cache,
                                     std::string_view name, StreamId stream_id,
                                     std::string_view full_path) {
  VOG_CHECK(check_stored_name(name));
  VOG_TRY(length, dir.streams.stream_length(dir.handle));
  std::string twin = twin_of(name);
  StreamEntry entry{std::string(name), stream_id};
  VOG_TRY(copy, borrow_copy(dir, cache, *length));
  if (*copy) return add_through_copy(dir, cache, std::move(**copy), entry, twin, full_path);
  if (*length > 0) {
    VOG_TRY(table, read_name_table(dir, *length));
    for (std::string_view taken : {name, std::string_view(twin)}) {
      VOG_TRY(found, find_entry_in_name_table(dir, *table, taken));
      if (*found) return std::unexpected(VogError::already_exists(std::string(full_path)));
    }
    std::vector<std::byte> data = serialize_entry_data(entry);
    std::uint64_t new_end = std::uint64_t{table->entries_end} + data.size();
    if (new_end > kMaxEntryRegion)
      return std::unexpected(corrupt_directory(
          dir.id, format("entry region would grow past {} bytes", kMaxEntryRegion)));
    std::vector<NameSlot> slots = parse_name_table_slots(table->bytes, table->slot_count);
    std::uint32_t hash = name_hash(name);
    // Before any slot of equal hash: the newest entry of a hash is found first.
    auto at = std::lower_bound(slots.begin(), slots.end(), hash,
                               [](const NameSlot& slot, std::uint32_t h) { return slot.hash < h; });
    slots.insert(at, NameSlot{hash, table->entries_end});
    std::vector<std::byte> tail = serialize_table_and_footer(slots, static_cast<std::uint32_t>(new_end));
    data.insert(data.end(), tail.begin(), tail.end());
    VOG_CHECK(write_growing(dir, table->entries_end, data));
  } else {
    VOG_CHECK(write_growing(dir, 0, build_directory_stream(std::span(&entry, 1))));
  }
  cache.invalidate_dir_cache(dir.id);
  return {};
}

Result<StreamId> remove_entry_from_dir_handle(const DirectoryHandle& dir, DirectoryCache& cache,
                                              std::string_view name, std::string_view full_path) {
  VOG_TRY(length, dir.streams.stream_length(dir.handle));
  if (*length == 0) return std::unexpected(VogError::not_found(std::string(full_path)));
  VOG_TRY(copy, borrow_copy(dir, cache, *length));
  if (*copy) return remove_through_copy(dir, cache, std::move(**copy), name, full_path);
  VOG_TRY(table, read_name_table(dir, *length));
  VOG_TRY(found, find_entry_in_name_table(dir, *table, name));
  if (!*found) return std::unexpected(VogError::not_found(std::string(full_path)));
  const EntryLocation& entry = **found;
  const std::uint32_t end = table->entries_end;

  std::uint64_t source = std::uint64_t{entry.offset} + entry.size;
  std::uint64_t target = entry.offset;
  if (source < end) {
    std::vector<std::byte> chunk(std::min<std::uint64_t>(kMoveChunk, end - source));
    while (source < end) {
      std::span<std::byte> piece(chunk.data(), std::min<std::uint64_t>(chunk.size(), end - source));
      VOG_CHECK(read_exact(dir, source, piece));
      VOG_CHECK(write_exact(dir, target, piece));
      source += piece.size();
      target += piece.size();
    }
  }

  std::vector<NameSlot> slots = parse_name_table_slots(table->bytes, table->slot_count);
  slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(entry.slot));
  if (table->slot_count == 1) {
    VOG_CHECK(dir.streams.truncate(dir.handle, 0));
  } else {
    for (NameSlot& slot : slots)
      if (slot.offset > entry.offset) slot.offset -= entry.size;
    std::uint32_t new_end = end - entry.size;
    std::vector<std::byte> tail = serialize_table_and_footer(slots, new_end);
    VOG_CHECK(write_exact(dir, new_end, tail));
    VOG_CHECK(dir.streams.truncate(dir.handle, std::uint64_t{new_end} + tail.size()));
  }
  cache.invalidate_dir_cache(dir.id);
  return entry.stream_id;
}

Result<OpenDirectory> OpenDirectory::open(StreamLayer& streams, StreamId id, bool for_write) {
  VOG_TRY(handle, streams.open_stream_inner(id, for_write, /*wait=*/true));
  return OpenDirectory(streams, id, *handle);
}

OpenDirectory::~OpenDirectory() {
  if (open_) (void)streams_->close_stream(handle_);
}

Result<void> OpenDirectory::close() {
  if (!std::exchange(open_, false)) return {};
  return streams_->close_stream(handle_);
}

Result<std::vector<std::byte>> read_directory(const DirectoryHandle& dir) {
  VOG_TRY(length, dir.streams.stream_length(dir.handle));
  if (*length > kMaxDirectoryLength)
    return std::unexpected(corrupt_directory(
        dir.id, format("{} bytes are more than a directory can hold", *length)));
  std::vector<std::byte> bytes;
  while (bytes.size() < *length) {
    std::size_t done = bytes.size();
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, *length - done));
    bytes.resize(done + piece);
    VOG_CHECK(read_exact(dir, done, std::span(bytes).subspan(done)));
  }
  return bytes;
}

}  // namespace vog
