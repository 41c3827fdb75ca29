// An in-memory StreamLayer for testing the namespace layer.
//
// It keeps the stream layer's contract: stream IDs handed out from a free list
// (a deleted ID is the next one created), one reader/writer lock per stream
// with waiting and non-waiting opens, handles numbered from 0 that carry a copy
// of the stream's descriptor (size and capacity reach the table only when a
// writable handle closes), and the same messages for the same failures.
// Stream bytes live in a MemoryStore that outlives the layer, so a test can
// drop the layer and open a new one on the same store, as a file is reopened.
//
// Beyond the contract it records every read and open, and lets a test inject a
// failure into any call.
//
// Thread safety: every method may be called concurrently. The fault hook runs
// under the layer's mutex and must not call back into the layer.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "block_layer.hpp"
#include "format.hpp"
#include "stream_layer.hpp"

namespace vog::testing {

// What a file would hold: the streams with their stored descriptors, the free
// list and the admin slots.
struct MemoryStore {
  struct Stream {
    std::vector<std::byte> bytes;  // as written, regardless of the stored size
    std::uint64_t size = 0;
    std::uint64_t reserved = 0;
    bool compressed = false;
  };
  std::map<StreamId, Stream> streams;  // slots in use
  std::vector<StreamId> free_ids;      // the back is the head of the free list
  StreamId next_fresh = 0;
  std::vector<std::vector<std::byte>> admin_slots = {std::vector<std::byte>(28),
                                                     std::vector<std::byte>(11)};
  std::uint8_t block_size_shift = 12;
  std::uint8_t compressed_block_size_shift = 15;
};

enum class LayerOp {
  CreateStream,
  DeleteStream,
  Open,
  Close,
  Length,
  Reserved,
  IsCompressed,
  Read,
  Write,
  Reserve,
  Truncate,
  WriteAdminSlot,
};

// One read or write through a handle.
struct TransferRecord {
  StreamId id;
  std::uint64_t offset;
  std::size_t length;
  friend bool operator==(const TransferRecord&, const TransferRecord&) = default;
};

class MemoryStreamLayer final : public StreamLayer {
 public:
  // Returns the error an operation on stream `id` is to fail with, if any.
  // Admin slot writes pass the slot index as `id`.
  using FaultFn = std::function<std::optional<VogError>(LayerOp op, StreamId id)>;

  explicit MemoryStreamLayer(std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>(),
                             bool writable = true)
      : store_(std::move(store)), writable_(writable), blocks_(*this) {}

  [[nodiscard]] std::shared_ptr<MemoryStore> store() const { return store_; }

  void set_fault(FaultFn fault) {
    std::lock_guard lock(mu_);
    fault_ = std::move(fault);
  }

  // Runs at the start of every stream operation, outside the layer's mutex, so
  // a test can stretch the windows between steps of concurrent callers.
  // Set it before any other thread uses the layer.
  void set_pause(std::function<void()> pause) { pause_ = std::move(pause); }

  // Every read and every write through any handle, in order.
  [[nodiscard]] std::vector<TransferRecord> reads() {
    std::lock_guard lock(mu_);
    return reads_;
  }
  [[nodiscard]] std::vector<TransferRecord> writes() {
    std::lock_guard lock(mu_);
    return writes_;
  }
  void clear_transfers() {
    std::lock_guard lock(mu_);
    reads_.clear();
    writes_.clear();
  }
  // Successful opens of `id` since the layer was made.
  [[nodiscard]] std::size_t opens_of(StreamId id) {
    std::lock_guard lock(mu_);
    auto found = opens_.find(id);
    return found == opens_.end() ? 0 : found->second;
  }
  [[nodiscard]] std::size_t open_handle_count() {
    std::lock_guard lock(mu_);
    return handles_.size();
  }
  [[nodiscard]] bool is_locked(StreamId id) {
    std::lock_guard lock(mu_);
    return locks_.contains(id);
  }
  [[nodiscard]] std::set<StreamId> live_ids() {
    std::lock_guard lock(mu_);
    std::set<StreamId> ids;
    for (const auto& [id, stream] : store_->streams) ids.insert(id);
    return ids;
  }
  // The stream's bytes up to its stored size.
  [[nodiscard]] std::optional<std::vector<std::byte>> contents(StreamId id) {
    std::lock_guard lock(mu_);
    auto found = store_->streams.find(id);
    if (found == store_->streams.end()) return std::nullopt;
    std::vector<std::byte> out(found->second.size);
    std::size_t have = std::min<std::size_t>(out.size(), found->second.bytes.size());
    std::copy_n(found->second.bytes.begin(), have, out.begin());
    return out;
  }
  // Replaces a stream's bytes and stored size, as corruption on disk would.
  void overwrite(StreamId id, std::vector<std::byte> bytes) {
    std::lock_guard lock(mu_);
    MemoryStore::Stream& stream = store_->streams.at(id);
    stream.size = bytes.size();
    stream.reserved = std::max(stream.reserved, stream.size);
    stream.bytes = std::move(bytes);
  }

  Result<StreamId> create_stream(bool compressed) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_CHECK(fault(LayerOp::CreateStream, kStreamsStreamId));
    VOG_CHECK(check_writable());
    if (compressed && store_->compressed_block_size_shift == 0)
      return std::unexpected(VogError::io("compression not configured for this filesystem"));
    StreamId id;
    if (!store_->free_ids.empty()) {
      id = store_->free_ids.back();
      store_->free_ids.pop_back();
    } else {
      id = store_->next_fresh++;
    }
    store_->streams[id] = MemoryStore::Stream{{}, 0, 0, compressed};
    return id;
  }

  Result<void> delete_stream(StreamId id) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_CHECK(fault(LayerOp::DeleteStream, id));
    if (locks_.contains(id))
      return std::unexpected(VogError::lock_conflict(format("cannot delete open stream {}", id)));
    VOG_CHECK(check_writable());
    if (store_->streams.erase(id) == 0)
      return std::unexpected(VogError::not_found(format("stream {}", id)));
    store_->free_ids.push_back(id);
    return {};
  }

  Result<BlockStreamHandle> open_stream_inner(StreamId id, bool for_write, bool wait) override {
    pause();
    if (id == kStreamsStreamId)
      return std::unexpected(VogError::invalid_path("cannot open Streams stream directly"));
    std::unique_lock lock(mu_);
    VOG_CHECK(fault(LayerOp::Open, id));
    while (true) {
      auto found = locks_.find(id);
      bool free = found == locks_.end() ||
                  (!found->second.writer && (!for_write || found->second.readers == 0));
      if (free) break;
      if (!wait)
        return std::unexpected(VogError::lock_conflict(format("lock conflict on stream {}", id)));
      released_.wait(lock);
    }
    auto stream = store_->streams.find(id);
    if (stream == store_->streams.end())
      return std::unexpected(VogError::not_found(format("stream {}", id)));
    LockEntry& entry = locks_[id];
    if (for_write)
      entry.writer = true;
    else
      ++entry.readers;
    ++opens_[id];
    BlockStreamHandle handle = next_handle_++;
    handles_[handle] = HandleEntry{id, stream->second.size, stream->second.reserved,
                                   stream->second.compressed, for_write};
    return handle;
  }

  Result<void> close_stream(BlockStreamHandle handle) override {
    pause();
    std::unique_lock lock(mu_);
    auto found = handles_.find(handle);
    if (found == handles_.end())
      return std::unexpected(VogError::not_found("invalid stream handle"));
    HandleEntry entry = found->second;
    handles_.erase(found);
    Result<void> outcome = fault(LayerOp::Close, entry.id);
    if (outcome && entry.writable) {
      outcome = check_writable();
      if (outcome) {
        MemoryStore::Stream& stream = store_->streams.at(entry.id);
        stream.size = entry.size;
        stream.reserved = entry.reserved;
      }
    }
    auto lock_entry = locks_.find(entry.id);
    if (lock_entry != locks_.end()) {
      if (entry.writable)
        lock_entry->second.writer = false;
      else if (lock_entry->second.readers > 0)
        --lock_entry->second.readers;
      if (!lock_entry->second.writer && lock_entry->second.readers == 0) locks_.erase(lock_entry);
    }
    lock.unlock();
    released_.notify_all();
    return outcome;
  }

  Result<std::uint64_t> stream_length(BlockStreamHandle handle) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Length, false));
    return (*entry)->size;
  }
  Result<std::uint64_t> stream_reserved(BlockStreamHandle handle) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Reserved, false));
    return (*entry)->reserved;
  }
  Result<bool> is_stream_compressed(BlockStreamHandle handle) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::IsCompressed, false));
    return (*entry)->compressed;
  }

  Result<std::size_t> read(BlockStreamHandle handle, std::uint64_t offset,
                           std::span<std::byte> out) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Read, false));
    reads_.push_back({(*entry)->id, offset, out.size()});
    if (offset >= (*entry)->size) return std::size_t{0};
    std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>((*entry)->size - offset, out.size()));
    const std::vector<std::byte>& bytes = store_->streams.at((*entry)->id).bytes;
    for (std::size_t i = 0; i < count; ++i)
      out[i] = offset + i < bytes.size() ? bytes[offset + i] : std::byte{0};
    return count;
  }

  Result<std::size_t> write(BlockStreamHandle handle, std::uint64_t offset,
                            std::span<const std::byte> data) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Write, true));
    writes_.push_back({(*entry)->id, offset, data.size()});
    if (data.empty()) return std::size_t{0};
    HandleEntry& copy = **entry;
    std::uint64_t end = offset + data.size();
    VOG_CHECK(reserve_locked(copy, std::max(end, copy.size)));
    std::vector<std::byte>& bytes = store_->streams.at(copy.id).bytes;
    if (bytes.size() < end) bytes.resize(end);
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    copy.size = std::max(copy.size, end);
    return data.size();
  }

  Result<void> reserve(BlockStreamHandle handle, std::uint64_t capacity) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Reserve, true));
    return reserve_locked(**entry, capacity);
  }

  Result<void> truncate(BlockStreamHandle handle, std::uint64_t length) override {
    pause();
    std::lock_guard lock(mu_);
    VOG_TRY(entry, find_handle(handle, LayerOp::Truncate, true));
    HandleEntry& copy = **entry;
    if (length >= copy.size) return {};
    std::uint64_t unit = unit_of(copy);
    copy.size = length;
    copy.reserved = (length + unit - 1) / unit * unit;
    std::vector<std::byte>& bytes = store_->streams.at(copy.id).bytes;
    if (bytes.size() > copy.reserved) bytes.resize(copy.reserved);
    return {};
  }

  using StreamLayer::verify;
  Result<void> verify(std::span<const StreamId> claimed, VerifyReport& report) override {
    std::lock_guard lock(mu_);
    std::set<StreamId> seen(claimed.begin(), claimed.end());
    for (StreamId id : seen)
      if (!store_->streams.contains(id))
        report.add("L3: stream {} claimed by L4 but not found in stream descriptors", id);
    for (const auto& [id, stream] : store_->streams)
      if (!seen.contains(id))
        report.add(
            "L3: stream {} exists in stream descriptors but is not claimed by L4 (orphaned stream)",
            id);
    return {};
  }

  BlockLayer& block_layer() noexcept override { return blocks_; }
  std::uint8_t compressed_block_size_shift() const noexcept override {
    return store_->compressed_block_size_shift;
  }

 private:
  struct LockEntry {
    std::uint32_t readers = 0;
    bool writer = false;
  };
  struct HandleEntry {
    StreamId id = 0;
    std::uint64_t size = 0;
    std::uint64_t reserved = 0;
    bool compressed = false;
    bool writable = false;
  };

  // Only the admin slots work; the namespace layer needs nothing else.
  class AdminSlots final : public BlockLayer {
   public:
    explicit AdminSlots(MemoryStreamLayer& owner) : owner_(owner) {}
    std::uint8_t block_size_shift() const noexcept override {
      return owner_.store_->block_size_shift;
    }
    bool is_encrypted() const noexcept override { return false; }
    Result<std::vector<std::byte>> read_admin_slot(std::uint8_t index) override {
      std::lock_guard lock(owner_.mu_);
      if (index >= owner_.store_->admin_slots.size())
        return std::unexpected(VogError::io(format("no admin slot {}", index)));
      return owner_.store_->admin_slots[index];
    }
    Result<void> write_admin_slot(std::uint8_t index, std::span<const std::byte> payload) override {
      std::lock_guard lock(owner_.mu_);
      VOG_CHECK(owner_.fault(LayerOp::WriteAdminSlot, index));
      VOG_CHECK(owner_.check_writable());
      if (index >= owner_.store_->admin_slots.size() ||
          owner_.store_->admin_slots[index].size() != payload.size())
        return std::unexpected(VogError::io(format("admin slot {} does not take {} bytes", index,
                                                   payload.size())));
      owner_.store_->admin_slots[index].assign(payload.begin(), payload.end());
      return {};
    }
    Result<std::size_t> read_block(BlockNo, std::uint32_t, std::span<std::byte>, CacheHint) override {
      return unsupported();
    }
    Result<std::size_t> write_block(BlockNo, std::uint32_t, std::span<const std::byte>,
                                    CacheHint) override {
      return unsupported();
    }
    Result<std::size_t> read_contiguous_blocks(BlockNo, std::uint64_t, std::span<std::byte>) override {
      return unsupported();
    }
    Result<std::size_t> write_contiguous_blocks(BlockNo, std::uint64_t,
                                                std::span<const std::byte>) override {
      return unsupported();
    }
    void clear_thread_cache() override {}
    Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t) override { return unsupported(); }
    Result<void> deallocate_block(BlockNo) override { return unsupported(); }
    Result<void> deallocate_blocks(std::vector<BlockNo>&) override { return unsupported(); }
    std::uint64_t total_blocks() override { return 1; }
    using BlockLayer::verify;
    Result<void> verify(std::span<const BlockNo>, VerifyReport&) override { return {}; }

   private:
    static std::unexpected<VogError> unsupported() {
      return std::unexpected(VogError::io("the in-memory store has no blocks"));
    }
    MemoryStreamLayer& owner_;
  };

  void pause() const {
    if (pause_) pause_();
  }
  Result<void> fault(LayerOp op, StreamId id) {
    if (fault_)
      if (auto error = fault_(op, id)) return std::unexpected(std::move(*error));
    return {};
  }
  Result<void> check_writable() const {
    if (!writable_) return std::unexpected(VogError::io("in-memory store is opened read-only"));
    return {};
  }
  Result<HandleEntry*> find_handle(BlockStreamHandle handle, LayerOp op, bool needs_write) {
    auto found = handles_.find(handle);
    if (found == handles_.end())
      return std::unexpected(VogError::not_found("invalid stream handle"));
    if (needs_write && !found->second.writable)
      return std::unexpected(VogError::lock_conflict("stream is not opened for writing"));
    VOG_CHECK(fault(op, found->second.id));
    if (needs_write) VOG_CHECK(check_writable());
    return &found->second;
  }
  std::uint64_t unit_of(const HandleEntry& entry) const {
    return std::uint64_t{1} << (entry.compressed ? store_->compressed_block_size_shift
                                                 : store_->block_size_shift);
  }
  Result<void> reserve_locked(HandleEntry& entry, std::uint64_t capacity) {
    if (capacity < entry.size)
      return std::unexpected(VogError::io(format(
          "cannot reserve {} bytes: stream size is already {}", capacity, entry.size)));
    if (capacity <= entry.reserved) return {};
    std::uint64_t unit = unit_of(entry);
    entry.reserved = (capacity + unit - 1) / unit * unit;
    return {};
  }

  std::shared_ptr<MemoryStore> store_;
  const bool writable_;
  std::function<void()> pause_;
  AdminSlots blocks_;

  std::mutex mu_;  // guards everything below and *store_
  std::condition_variable released_;
  std::map<StreamId, LockEntry> locks_;
  std::map<BlockStreamHandle, HandleEntry> handles_;
  BlockStreamHandle next_handle_ = 0;
  FaultFn fault_;
  std::vector<TransferRecord> reads_;
  std::vector<TransferRecord> writes_;
  std::map<StreamId, std::size_t> opens_;
};

}  // namespace vog::testing
