// StreamsFromBlocks: stream IDs, the descriptor table, per-stream locks and handles.
//
// Bytes owned on disk: admin slot 0 (the L3 header) and the Streams stream,
// whose first 4 bytes are the head of the free-slot list and whose records
// follow (layouts in streams_from_blocks.hpp and stream_descriptor.hpp).
//
// Invariants:
//  1. free_head_ equals what was last written at offset 0 of the Streams stream.
//  2. The L3 header on disk matches table_ after every change of the table.
//  3. A handle exists only while its stream's logical lock is held (read lock
//     for a reading handle, write lock for a writing one).
//  4. A handle's descriptor copy reaches the table only in close_stream.
//  5. A thread works on a handle's stream only with a block cache that holds
//     nothing older than the stream's last change (fresh_caches).
//  6. The table changes only while its own descriptor, read from the L3
//     header, names a top block in the file and a length the file can hold
//     (check_table), so no damaged header makes the file grow.
//
// Locking, outermost first:
//   a handle's in_use lock (data operations and close_stream on that handle)
//   a handle's cblock_mu (only around copies of its kept cblock)
//   per-stream logical locks: the stream's own before kStreamsStreamId's
//   table_mu_, then free_head_mu_ (held across the Streams stream's I/O)
//   state_mu_ (lock and handle tables only; never held across I/O)
//   the block layer's own locks
// lock_released_ is notified after every logical lock release.
#include "streams_from_blocks.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "compressed_stream.hpp"
#include "format.hpp"
#include "le_bytes.hpp"
#include "pyramid.hpp"
#include "text.hpp"

namespace vog {
namespace {

constexpr std::array<char, 6> kL3Identifier = {'p', 'y', 'r', 'a', ' ', ' '};
constexpr std::uint64_t kTableHeaderSize = 4;
// Larger cblocks are not kept by a handle, so an open handle never holds much.
constexpr std::uint64_t kMaxKeptCblock = std::uint64_t{1} << 20;

std::uint64_t slot_offset(StreamId id) { return kTableHeaderSize + kDescriptorSize * std::uint64_t{id}; }

bool slot_exists(const StreamDescriptor& table, StreamId id) {
  return table.size >= slot_offset(id) + kDescriptorSize;
}

VogError no_stream(StreamId id) { return VogError::not_found(format("stream {}", id)); }
VogError invalid_handle() { return VogError::not_found("invalid stream handle"); }

// Reads exactly out.size() bytes of the Streams stream.
Result<void> read_table(BlockLayer& blocks, const StreamDescriptor& table, std::uint64_t offset,
                        std::span<std::byte> out) {
  VOG_TRY(got, pyramid_read(blocks, table, offset, out, CacheHint::SharedCache));
  if (*got != out.size())
    return std::unexpected(VogError::io(format(
        "descriptor table: read {} of {} bytes at offset {}", *got, out.size(), offset)));
  return {};
}

// The head of the free-slot list: the table's first 4 bytes.
Result<StreamId> read_free_head(BlockLayer& blocks, const StreamDescriptor& table) {
  if (table.size < kTableHeaderSize) return kStreamsStreamId;
  std::array<std::byte, 4> head{};
  auto read = read_table(blocks, table, 0, head);
  if (read) return load_u32(head, 0);
  // A table longer than the file can hold has a tree that cannot be
  // followed: the file still opens, so that verify can report it, but with
  // no free slot to hand out; every walk of the table refuses what is beyond.
  const bool fits = units_for(table.size, blocks.block_size()) <= blocks.total_blocks();
  if (fits) return std::unexpected(std::move(read).error());
  return kStreamsStreamId;
}

}  // namespace

// Owns one logical lock until destroyed, released or handed over.
class StreamsFromBlocks::LogicalLock {
 public:
  LogicalLock(StreamsFromBlocks& layer, StreamId id, bool for_write) noexcept
      : layer_(&layer), id_(id), for_write_(for_write) {}
  LogicalLock(LogicalLock&& other) noexcept
      : layer_(std::exchange(other.layer_, nullptr)), id_(other.id_), for_write_(other.for_write_) {}
  LogicalLock(const LogicalLock&) = delete;
  LogicalLock& operator=(const LogicalLock&) = delete;
  LogicalLock& operator=(LogicalLock&&) = delete;
  ~LogicalLock() {
    if (layer_ != nullptr) layer_->release_lock(id_, for_write_);
  }
  // The lock now belongs to a handle; close_stream releases it.
  void hand_over() noexcept { layer_ = nullptr; }
  void release() {
    if (layer_ != nullptr) std::exchange(layer_, nullptr)->release_lock(id_, for_write_);
  }

 private:
  StreamsFromBlocks* layer_;
  StreamId id_;
  bool for_write_;
};

StreamsFromBlocks::StreamsFromBlocks(std::unique_ptr<BlockLayer> blocks,
                                     std::uint8_t compressed_block_size_shift,
                                     StreamDescriptor streams, StreamId free_head)
    : blocks_(std::move(blocks)),
      compressed_block_size_shift_(compressed_block_size_shift),
      plain_ops_(blocks_->block_size()),
      compressed_ops_(*blocks_, compressed_block_size_shift),
      table_(streams),
      free_head_(free_head) {}

// Descriptor copies of handles still open are not written back: the owner
// closes its handles before letting go of the layer.
StreamsFromBlocks::~StreamsFromBlocks() = default;

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::create_on(
    std::unique_ptr<BlockLayer> blocks, std::uint8_t compressed_block_size_shift) {
  VOG_CHECK(check_compressed_block_size_shift(compressed_block_size_shift,
                                              blocks->block_size_shift()));
  VOG_CHECK(check_cblock_fills_a_block(compressed_block_size_shift, blocks->block_size_shift()));
  std::unique_ptr<StreamsFromBlocks> layer(new StreamsFromBlocks(
      std::move(blocks), compressed_block_size_shift, StreamDescriptor{}, kStreamsStreamId));
  {
    std::lock_guard table_lock(layer->table_mu_);
    std::lock_guard head_lock(layer->free_head_mu_);
    VOG_CHECK(layer->write_free_head(kStreamsStreamId));
    VOG_CHECK(layer->persist_l3_header());
  }
  return layer;
}

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::open_on(
    std::unique_ptr<BlockLayer> blocks) {
  VOG_TRY(payload, blocks->read_admin_slot(0));
  if (payload->size() < kL3HeaderSize)
    return std::unexpected(
        VogError::io(format("L3 payload too short: {} < {}", payload->size(), kL3HeaderSize)));
  auto header = std::span<const std::byte>(*payload);
  if (std::memcmp(header.data(), kL3Identifier.data(), kL3Identifier.size()) != 0)
    return std::unexpected(VogError::io(format("expected L3 identifier 'pyra  ', got '{}'",
                                               lossy_utf8(header.first(6)))));
  auto version = std::to_integer<std::uint8_t>(header[6]);
  if (version != kL3Version)
    return std::unexpected(VogError::io(format(
        "unsupported L3 version: {} (expected {}; re-create the file)", version, kL3Version)));
  StreamDescriptor table =
      StreamDescriptor::decode_fields(header.subspan(7).first<kDescriptorFieldsSize>());
  auto cblock_shift = std::to_integer<std::uint8_t>(header[27]);
  // A shift no file of ours carries would make every compressed read allocate
  // more than a redirector can describe.
  VOG_CHECK(check_compressed_block_size_shift(cblock_shift, blocks->block_size_shift()));

  VOG_TRY(free_head, read_free_head(*blocks, table));
  return std::unique_ptr<StreamsFromBlocks>(
      new StreamsFromBlocks(std::move(blocks), cblock_shift, table, *free_head));
}

Result<void> StreamsFromBlocks::refresh() {
  VOG_CHECK(blocks_->refresh());
  return reload();
}

Result<void> StreamsFromBlocks::roll_back() {
  // Descriptors of handles may name streams the rollback takes away: none
  // is written back, and every lock goes with its handle.
  {
    std::lock_guard state_guard(state_mu_);
    state_.handles.clear();
    state_.locks.clear();
  }
  lock_released_.notify_all();
  VOG_CHECK(blocks_->roll_back());
  return reload();
}

Result<void> StreamsFromBlocks::reload() {
  VOG_TRY(payload, blocks_->read_admin_slot(0));
  if (payload->size() < kL3HeaderSize)
    return std::unexpected(
        VogError::io(format("L3 payload too short: {} < {}", payload->size(), kL3HeaderSize)));
  const StreamDescriptor table = StreamDescriptor::decode_fields(
      std::span<const std::byte>(*payload).subspan(7).first<kDescriptorFieldsSize>());
  VOG_TRY(free_head, read_free_head(*blocks_, table));
  {
    std::lock_guard lock(table_mu_);
    table_ = table;
    std::lock_guard head_lock(free_head_mu_);
    free_head_ = *free_head;
  }
  std::vector<std::pair<BlockStreamHandle, StreamId>> open;
  {
    std::lock_guard state_guard(state_mu_);
    for (const auto& [handle, entry] : state_.handles) open.emplace_back(handle, entry.id);
  }
  for (const auto& [handle, id] : open) {
    VOG_TRY(record, read_slot(table, id));
    std::lock_guard state_guard(state_mu_);
    auto it = state_.handles.find(handle);
    if (it == state_.handles.end()) continue;
    it->second.descriptor = record->is_free() ? StreamDescriptor{} : *record;
    it->second.fresh_caches.clear();
    std::lock_guard cblock_guard(it->second.shared->cblock_mu);
    it->second.shared->cblock_unit.reset();
  }
  return {};
}

StreamDescriptor StreamsFromBlocks::streams_descriptor() {
  std::lock_guard lock(table_mu_);
  return table_;
}

// --- logical locks ---------------------------------------------------------

Result<void> StreamsFromBlocks::acquire_lock(StreamId id, bool for_write, bool wait) {
  std::unique_lock lock(state_mu_);
  for (;;) {
    StreamLockEntry& entry = state_.locks[id];
    bool grantable = for_write ? entry.readers == 0 && !entry.writer : !entry.writer;
    if (grantable) {
      if (for_write)
        entry.writer = true;
      else
        ++entry.readers;
      return {};
    }
    if (!wait)
      return std::unexpected(VogError::lock_conflict(format("lock conflict on stream {}", id)));
    lock_released_.wait(lock);
  }
}

void StreamsFromBlocks::release_lock(StreamId id, bool for_write) {
  {
    std::lock_guard lock(state_mu_);
    auto it = state_.locks.find(id);
    if (it == state_.locks.end()) return;
    if (for_write)
      it->second.writer = false;
    else if (it->second.readers > 0)
      --it->second.readers;
    if (it->second.readers == 0 && !it->second.writer) state_.locks.erase(it);
  }
  lock_released_.notify_all();
}

Result<StreamsFromBlocks::LogicalLock> StreamsFromBlocks::lock_stream(StreamId id, bool for_write,
                                                                      bool wait) {
  VOG_CHECK(acquire_lock(id, for_write, wait));
  return LogicalLock(*this, id, for_write);
}

// --- the descriptor table --------------------------------------------------

Result<StreamDescriptor> StreamsFromBlocks::read_slot(const StreamDescriptor& table, StreamId id) {
  if (!slot_exists(table, id)) return std::unexpected(no_stream(id));
  std::array<std::byte, kDescriptorSize> record{};
  VOG_CHECK(read_table(*blocks_, table, slot_offset(id), record));
  return StreamDescriptor::decode(record);
}

Result<void> StreamsFromBlocks::check_table() const {
  const std::uint64_t total = blocks_->total_blocks();
  const std::uint64_t units = units_for(table_.extent(), blocks_->block_size());
  if (units > 0 && table_.top_block == 0)
    return std::unexpected(
        VogError::io(format("stream table of {} bytes has no top block", table_.extent())));
  if (units > 0 && table_.top_block >= total)
    return std::unexpected(VogError::io(
        format("stream table's top block {} is beyond the end of the file ({} blocks)",
               table_.top_block, total)));
  if (units > total)
    return std::unexpected(VogError::io(format(
        "stream table of {} bytes needs {} blocks but the file holds {}", table_.extent(), units,
        total)));
  if (table_.reserved < table_.size)
    return std::unexpected(VogError::io(format(
        "stream table's reserved ({}) is less than its size ({})", table_.reserved, table_.size)));
  return {};
}

Result<void> StreamsFromBlocks::write_table(std::uint64_t offset,
                                            std::span<const std::byte> bytes) {
  VOG_CHECK(check_table());
  VOG_CHECK(pyramid_write(*blocks_, table_, offset, bytes, CacheHint::SharedCache));
  return {};
}

Result<void> StreamsFromBlocks::write_slot(StreamId id, const StreamDescriptor& record) {
  return write_table(slot_offset(id), record.encode());
}

Result<void> StreamsFromBlocks::write_free_head(StreamId head) {
  std::array<std::byte, 4> bytes{};
  store_u32(bytes, 0, head);
  VOG_CHECK(write_table(0, bytes));
  free_head_ = head;
  return {};
}

Result<void> StreamsFromBlocks::persist_l3_header() {
  std::array<std::byte, kL3HeaderSize> header{};
  std::memcpy(header.data(), kL3Identifier.data(), kL3Identifier.size());
  header[6] = static_cast<std::byte>(kL3Version);
  table_.encode_fields(std::span(header).subspan<7, kDescriptorFieldsSize>());
  header[27] = static_cast<std::byte>(compressed_block_size_shift_);
  return blocks_->write_admin_slot(0, header);
}

// Appends one batch of free slots, linked in order and ending at the old head.
Result<void> StreamsFromBlocks::extend_free_list() {
  const std::uint64_t per_batch = std::max<std::uint64_t>(blocks_->block_size() / kDescriptorSize, 1);
  std::uint64_t slots = table_.size < kTableHeaderSize
                            ? 0
                            : (table_.size - kTableHeaderSize) / kDescriptorSize;
  auto base = static_cast<StreamId>(std::min<std::uint64_t>(slots, kStreamsStreamId));
  if (base == kStreamsStreamId)
    return std::unexpected(VogError::io(
        format("stream ID overflow: no room for new descriptors (base={}, sentinel={})", base,
               std::uint64_t{kStreamsStreamId})));
  auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(per_batch, kStreamsStreamId - base));
  std::vector<std::byte> batch(std::size_t{count} * kDescriptorSize);
  for (std::uint32_t i = 0; i < count; ++i) {
    StreamId next = i + 1 < count ? base + i + 1 : free_head_;
    auto record = StreamDescriptor::free_record(next).encode();
    std::memcpy(batch.data() + std::size_t{i} * kDescriptorSize, record.data(), record.size());
  }
  VOG_CHECK(write_table(slot_offset(base), batch));
  return write_free_head(base);
}

// --- stream lifecycle ------------------------------------------------------

Result<void> StreamsFromBlocks::require_compression(const StreamDescriptor& d) const {
  if (!d.is_compressed()) return {};
  if (compressed_block_size_shift_ == 0)
    return std::unexpected(VogError::io("compression not configured for this filesystem"));
  return check_cblock_fills_a_block(compressed_block_size_shift_, blocks_->block_size_shift());
}

Pyramid StreamsFromBlocks::tree_of(const StreamDescriptor& d) const {
  const PyramidOps& ops = d.is_compressed() ? static_cast<const PyramidOps&>(compressed_ops_)
                                            : plain_ops_;
  return Pyramid(*blocks_, ops, CacheHint::ThreadCache);
}

Result<void> StreamsFromBlocks::free_tree(const StreamDescriptor& d) {
  VOG_CHECK(require_compression(d));
  const Pyramid tree = tree_of(d);
  VOG_CHECK(tree.check_top(d));
  return tree.deallocate_tree(d.top_block, tree.depth(tree.unit_count(d)));
}

Result<StreamId> StreamsFromBlocks::create_stream(bool compressed) {
  StreamDescriptor fresh;
  fresh.compressed = compressed ? 1 : 0;
  VOG_CHECK(require_compression(fresh));
  VOG_TRY(table_lock, lock_stream(kStreamsStreamId, true, true));
  std::lock_guard table_guard(table_mu_);
  std::lock_guard head_guard(free_head_mu_);
  VOG_CHECK(check_table());  // before the free head, which a damaged table reads wrong
  if (free_head_ == kStreamsStreamId) VOG_CHECK(extend_free_list());

  const StreamId id = free_head_;
  VOG_TRY(record, read_slot(table_, id));
  // Handing out a slot that is in use would silently destroy a stream.
  if (!record->is_free())
    return std::unexpected(
        VogError::io(format("descriptor free list is corrupt: slot {} is in use", id)));
  VOG_CHECK(write_free_head(record->next_free()));
  VOG_CHECK(write_slot(id, fresh));
  VOG_CHECK(persist_l3_header());
  return id;
}

Result<void> StreamsFromBlocks::delete_stream(StreamId id) {
  blocks_->clear_thread_cache();
  if (id == kStreamsStreamId) return std::unexpected(no_stream(id));
  // Holding the stream's own write lock keeps an open from slipping in
  // between this check and the deletion.
  auto own = lock_stream(id, true, false);
  if (!own)
    return std::unexpected(VogError::lock_conflict(format("cannot delete open stream {}", id)));
  VOG_TRY(table_lock, lock_stream(kStreamsStreamId, true, true));
  Result<void> deleted = [&]() -> Result<void> {
    std::lock_guard table_guard(table_mu_);
    // Before the stream's blocks are freed: a table that cannot take the
    // free record would leave them freed and still named.
    VOG_CHECK(check_table());
    VOG_TRY(record, read_slot(table_, id));
    if (record->is_free()) return std::unexpected(no_stream(id));
    if (record->extent() != 0 && record->top_block != 0) VOG_CHECK(free_tree(*record));
    std::lock_guard head_guard(free_head_mu_);
    VOG_CHECK(write_slot(id, StreamDescriptor::free_record(free_head_)));
    VOG_CHECK(write_free_head(id));
    return persist_l3_header();
  }();
  // The ID must be free to lock before the table lets create_stream hand it out again.
  own->release();
  return deleted;
}

Result<BlockStreamHandle> StreamsFromBlocks::open_stream_inner(StreamId id, bool for_write,
                                                               bool wait) {
  if (id == kStreamsStreamId)
    return std::unexpected(VogError::invalid_path("cannot open Streams stream directly"));
  blocks_->clear_thread_cache();
  VOG_TRY(own, lock_stream(id, for_write, wait));
  Result<StreamDescriptor> record = [&]() -> Result<StreamDescriptor> {
    VOG_TRY(table_lock, lock_stream(kStreamsStreamId, false, true));
    std::lock_guard table_guard(table_mu_);
    return read_slot(table_, id);
  }();
  if (!record) return std::unexpected(std::move(record).error());
  if (record->is_free()) return std::unexpected(no_stream(id));

  std::lock_guard state_guard(state_mu_);
  BlockStreamHandle handle = state_.next_handle++;
  state_.handles.emplace(handle,
                         StreamHandleEntry{id, *record, for_write, std::make_shared<HandleShared>(),
                                           {std::this_thread::get_id()}});
  own->hand_over();
  return handle;
}

Result<void> StreamsFromBlocks::close_stream(BlockStreamHandle handle) {
  VOG_TRY(found, find_handle(handle));
  std::unique_lock busy(found->shared->in_use);  // lets data operations on the handle finish
  StreamHandleEntry entry;
  {
    std::lock_guard state_guard(state_mu_);
    auto it = state_.handles.find(handle);
    if (it == state_.handles.end()) return std::unexpected(invalid_handle());
    entry = std::move(it->second);
    state_.handles.erase(it);
  }
  Result<void> written;
  if (entry.writable) {
    written = [&]() -> Result<void> {
      VOG_TRY(table_lock, lock_stream(kStreamsStreamId, true, true));
      std::lock_guard table_guard(table_mu_);
      VOG_CHECK(write_slot(entry.id, entry.descriptor));
      return persist_l3_header();
    }();
  }
  release_lock(entry.id, entry.writable);
  return written;
}

// A writable handle's descriptor normally reaches the table when the handle
// closes; a commit writes it early, so the committed state names every block
// the stream uses. Each copy is taken under the handle's in_use lock (as
// close_stream takes it, before the table's lock), so no change is half in it.
Result<void> StreamsFromBlocks::commit() {
  std::vector<BlockStreamHandle> writers;
  {
    std::lock_guard state_guard(state_mu_);
    for (const auto& [handle, entry] : state_.handles)
      if (entry.writable) writers.push_back(handle);
  }
  std::vector<std::pair<StreamId, StreamDescriptor>> descriptors;
  for (BlockStreamHandle handle : writers) {
    auto entry = find_handle(handle);
    if (!entry) continue;  // closed meanwhile: its close wrote the descriptor
    std::shared_lock busy(entry->shared->in_use);
    if (auto now = find_handle(handle)) descriptors.emplace_back(now->id, now->descriptor);
  }
  if (!descriptors.empty()) {
    VOG_TRY(table_lock, lock_stream(kStreamsStreamId, true, true));
    std::lock_guard table_guard(table_mu_);
    for (const auto& [id, descriptor] : descriptors) VOG_CHECK(write_slot(id, descriptor));
    VOG_CHECK(persist_l3_header());
  }
  return blocks_->commit();
}

// --- data operations through a handle --------------------------------------

Result<StreamsFromBlocks::StreamHandleEntry> StreamsFromBlocks::find_handle(
    BlockStreamHandle handle) {
  std::lock_guard state_guard(state_mu_);
  auto it = state_.handles.find(handle);
  if (it == state_.handles.end()) return std::unexpected(invalid_handle());
  return it->second;
}

Result<StreamDescriptor> StreamsFromBlocks::descriptor_of(BlockStreamHandle handle) {
  std::lock_guard state_guard(state_mu_);
  auto it = state_.handles.find(handle);
  if (it == state_.handles.end()) return std::unexpected(invalid_handle());
  return it->second.descriptor;
}

Result<std::uint64_t> StreamsFromBlocks::stream_length(BlockStreamHandle handle) {
  VOG_TRY(d, descriptor_of(handle));
  return d->size;
}

Result<std::uint64_t> StreamsFromBlocks::stream_reserved(BlockStreamHandle handle) {
  VOG_TRY(d, descriptor_of(handle));
  return d->reserved;
}

Result<bool> StreamsFromBlocks::is_stream_compressed(BlockStreamHandle handle) {
  VOG_TRY(d, descriptor_of(handle));
  return d->is_compressed();
}

template <class Op>
auto StreamsFromBlocks::with_handle(BlockStreamHandle handle, bool changes, Op op)
    -> decltype(op(std::declval<StreamDescriptor&>(), std::declval<HandleShared&>())) {
  std::shared_ptr<HandleShared> shared;
  {
    std::lock_guard state_guard(state_mu_);
    auto it = state_.handles.find(handle);
    if (it == state_.handles.end()) return std::unexpected(invalid_handle());
    if (changes && !it->second.writable)
      return std::unexpected(VogError::lock_conflict("stream is not opened for writing"));
    shared = it->second.shared;
  }
  std::shared_lock reading(shared->in_use, std::defer_lock);
  std::unique_lock changing(shared->in_use, std::defer_lock);
  if (changes)
    changing.lock();
  else
    reading.lock();

  const std::thread::id me = std::this_thread::get_id();
  StreamDescriptor copy;
  bool stale_cache = false;
  {
    std::lock_guard state_guard(state_mu_);
    auto it = state_.handles.find(handle);
    if (it == state_.handles.end()) return std::unexpected(invalid_handle());
    copy = it->second.descriptor;
    auto& fresh = it->second.fresh_caches;
    stale_cache = std::find(fresh.begin(), fresh.end(), me) == fresh.end();
    if (stale_cache) fresh.push_back(me);
  }
  if (stale_cache) blocks_->clear_thread_cache();
  VOG_CHECK(require_compression(copy));
  VOG_CHECK(tree_of(copy).check_fits(copy));
  auto result = op(copy, *shared);
  if (!changes) return result;
  {
    std::lock_guard cblock_guard(shared->cblock_mu);  // a failed change may have written too
    shared->cblock_unit.reset();
  }
  std::lock_guard state_guard(state_mu_);
  auto it = state_.handles.find(handle);
  if (it == state_.handles.end()) return std::unexpected(invalid_handle());
  it->second.fresh_caches.assign(1, me);  // a failed change may have written blocks too
  if (result) it->second.descriptor = copy;
  return result;
}

std::optional<Result<std::size_t>> StreamsFromBlocks::read_in_cblock(
    const StreamDescriptor& d, HandleShared& shared, std::uint64_t offset,
    std::span<std::byte> out) {
  if (!d.is_compressed() || offset >= d.size || out.empty()) return std::nullopt;
  const std::uint64_t cblock_size = std::uint64_t{1} << compressed_block_size_shift_;
  const std::uint64_t unit = offset / cblock_size;
  const std::uint64_t start = unit * cblock_size;
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(cblock_size, d.size - start));
  const auto at = static_cast<std::size_t>(offset - start);
  const std::size_t count = std::min(out.size(), length - at);
  // Whole cblocks and reads past one decode straight into the caller's buffer.
  if (count == cblock_size || (count < out.size() && start + length < d.size) ||
      cblock_size > kMaxKeptCblock)
    return std::nullopt;
  std::vector<std::byte> cblock;
  {
    std::lock_guard lock(shared.cblock_mu);
    if (shared.cblock_unit == unit) {
      std::memcpy(out.data(), shared.cblock.data() + at, count);
      return count;
    }
    // Its buffer is taken along: a run of misses allocates nothing.
    cblock = std::move(shared.cblock);
    shared.cblock_unit.reset();
  }
  // Decoded without the lock, so that threads reading other cblocks through
  // the handle do not wait for each other.
  cblock.resize(length);
  auto got = tree_of(d).read(d, start, cblock);
  if (!got) return std::unexpected(std::move(got).error());
  if (*got != length) return std::nullopt;  // damage: the plain path reports it
  std::memcpy(out.data(), cblock.data() + at, count);
  std::lock_guard lock(shared.cblock_mu);
  shared.cblock_unit = unit;
  shared.cblock = std::move(cblock);
  return count;
}

Result<std::size_t> StreamsFromBlocks::read(BlockStreamHandle handle, std::uint64_t offset,
                                            std::span<std::byte> out) {
  auto read_through = [&](StreamDescriptor& d, HandleShared& shared) -> Result<std::size_t> {
    if (auto kept = read_in_cblock(d, shared, offset, out)) return std::move(*kept);
    VOG_TRY(got, tree_of(d).read(d, offset, out));
    if (offset < d.size && *got < std::min<std::uint64_t>(d.size - offset, out.size()))
      short_reads_.fetch_add(1, std::memory_order_relaxed);
    return *got;
  };
  return with_handle(handle, false, read_through);
}

Result<std::size_t> StreamsFromBlocks::write(BlockStreamHandle handle, std::uint64_t offset,
                                             std::span<const std::byte> data) {
  return with_handle(handle, true, [&](StreamDescriptor& d, HandleShared&) {
    return tree_of(d).write(d, offset, data);
  });
}

Result<void> StreamsFromBlocks::reserve(BlockStreamHandle handle, std::uint64_t capacity) {
  return with_handle(handle, true, [&](StreamDescriptor& d, HandleShared&) {
    return tree_of(d).reserve(d, capacity);
  });
}

Result<void> StreamsFromBlocks::truncate(BlockStreamHandle handle, std::uint64_t length) {
  return with_handle(handle, true, [&](StreamDescriptor& d, HandleShared&) {
    return tree_of(d).truncate(d, length);
  });
}

}  // namespace vog
