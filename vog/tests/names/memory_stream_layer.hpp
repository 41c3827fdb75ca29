// The real stream layer on a file in memory, for testing the namespace layer.
//
// MemoryStreamLayer wraps StreamsFromBlocks on BlocksInFile on a MemoryFile:
// every call reaches the real layer, so IDs, locks, handles, descriptor copies
// and messages are the real ones. The file lives in a MemoryStore that outlives
// the layer, so a test can drop the layer and open a new one on the same store,
// as a file is reopened. Around the real layer the wrapper records every read,
// write and open, and lets a test inject a failure into any call.
//
// Thread safety: every method may be called concurrently. The fault hook runs
// under the wrapper's mutex and must not call back into the layer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "block_layer_wrapper.hpp"
#include "memory_file.hpp"
#include "pyramid.hpp"
#include "stream_descriptor.hpp"
#include "streams_from_blocks.hpp"

namespace vog::testing {

// A Vog file in memory, and the shifts it is created with when still empty.
struct MemoryStore {
  std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>();
  std::uint8_t block_size_shift = 12;
  std::uint8_t compressed_block_size_shift = 15;

  // The payload of an admin slot as the file holds it now.
  [[nodiscard]] std::vector<std::byte> admin_slot(std::uint8_t index) const {
    auto layer = StreamsFromBlocks::open_on_file(MemoryFile::open(disk), std::nullopt);
    if (!layer) {
      ADD_FAILURE() << layer.error().to_string();
      return {};
    }
    auto payload = (*layer)->block_layer().read_admin_slot(index);
    if (!payload) ADD_FAILURE() << payload.error().to_string();
    return payload ? std::move(*payload) : std::vector<std::byte>{};
  }
  // Overwrites an admin slot behind the back of any layer open on the store.
  void set_admin_slot(std::uint8_t index, std::span<const std::byte> payload) const {
    auto layer = StreamsFromBlocks::open_on_file(MemoryFile::open(disk), std::nullopt);
    auto written = layer ? (*layer)->block_layer().write_admin_slot(index, payload) : Result<void>();
    if (!layer || !written) ADD_FAILURE() << "cannot write admin slot " << int{index};
  }
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

  // Creates the file when the store is empty, else opens it.
  explicit MemoryStreamLayer(std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>(),
                             bool writable = true)
      : store_(std::move(store)), writable_(writable) {
    auto made = store_->disk->snapshot().empty() ? create_real() : open_real();
    if (!made) {
      ADD_FAILURE() << made.error().to_string();
      return;
    }
    real_ = std::move(*made);
    slots_ = std::make_unique<AdminSlotFaults>(*this, real_->block_layer());
  }

  void set_fault(FaultFn fault) {
    std::lock_guard lock(mu_);
    fault_ = std::move(fault);
  }

  // Runs at the start of every stream operation, outside the wrapper's mutex,
  // so a test can stretch the windows between steps of concurrent callers.
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
  // Whether a handle holds the stream's lock.
  [[nodiscard]] bool is_locked(StreamId id) {
    std::lock_guard lock(mu_);
    for (const auto& [handle, held] : handles_)
      if (held == id) return true;
    return false;
  }
  // The IDs whose descriptor slots are in use, as the descriptor table holds them.
  [[nodiscard]] std::set<StreamId> live_ids() {
    const StreamDescriptor table = real_->streams_descriptor();
    std::set<StreamId> ids;
    for (StreamId id = 0; 4 + kDescriptorSize * (std::uint64_t{id} + 1) <= table.size; ++id) {
      std::array<std::byte, kDescriptorSize> record{};
      auto got = pyramid_read(real_->block_layer(), table, 4 + kDescriptorSize * std::uint64_t{id},
                              record, CacheHint::SharedCache);
      if (!got || *got != record.size()) ADD_FAILURE() << "cannot read descriptor " << id;
      if (!StreamDescriptor::decode(record).is_free()) ids.insert(id);
    }
    return ids;
  }
  // The stream's bytes up to its length as last closed; nothing for a free ID.
  [[nodiscard]] std::optional<std::vector<std::byte>> contents(StreamId id) {
    auto handle = real_->open_stream_inner(id, false, false);
    if (!handle) {
      if (handle.error().kind() != ErrorKind::NotFound) ADD_FAILURE() << handle.error().to_string();
      return std::nullopt;
    }
    std::vector<std::byte> out(real_->stream_length(*handle).value_or(0));
    auto got = real_->read(*handle, 0, out);
    if (!got || *got != out.size()) ADD_FAILURE() << "short read of stream " << id;
    (void)real_->close_stream(*handle);
    return out;
  }
  // Replaces a stream's bytes and length, as corruption on disk would.
  void overwrite(StreamId id, const std::vector<std::byte>& bytes) {
    auto handle = real_->open_stream_inner(id, true, false);
    bool done = handle && real_->write(*handle, 0, bytes) && real_->truncate(*handle, bytes.size());
    if (handle && !real_->close_stream(*handle)) done = false;
    if (!done) ADD_FAILURE() << "cannot overwrite stream " << id;
  }

  Result<StreamId> create_stream(bool compressed) override {
    VOG_CHECK(enter(LayerOp::CreateStream, kStreamsStreamId, true));
    return real_->create_stream(compressed);
  }

  Result<void> delete_stream(StreamId id) override {
    VOG_CHECK(enter(LayerOp::DeleteStream, id, true));
    return real_->delete_stream(id);
  }

  Result<BlockStreamHandle> open_stream_inner(StreamId id, bool for_write, bool wait) override {
    VOG_CHECK(enter(LayerOp::Open, id, false));
    VOG_TRY(handle, real_->open_stream_inner(id, for_write, wait));
    std::lock_guard lock(mu_);
    handles_[*handle] = id;
    ++opens_[id];
    return *handle;
  }

  // A failed close still closes: the real handle goes, and its lock with it.
  Result<void> close_stream(BlockStreamHandle handle) override {
    pause();
    std::optional<VogError> injected;
    {
      std::lock_guard lock(mu_);
      auto found = handles_.find(handle);
      if (found != handles_.end()) {
        injected = fault(LayerOp::Close, found->second);
        handles_.erase(found);
      }
    }
    Result<void> closed = real_->close_stream(handle);
    if (injected) return std::unexpected(std::move(*injected));
    return closed;
  }

  Result<std::uint64_t> stream_length(BlockStreamHandle handle) override {
    VOG_CHECK(enter_handle(LayerOp::Length, handle));
    return real_->stream_length(handle);
  }
  Result<std::uint64_t> stream_reserved(BlockStreamHandle handle) override {
    VOG_CHECK(enter_handle(LayerOp::Reserved, handle));
    return real_->stream_reserved(handle);
  }
  Result<bool> is_stream_compressed(BlockStreamHandle handle) override {
    VOG_CHECK(enter_handle(LayerOp::IsCompressed, handle));
    return real_->is_stream_compressed(handle);
  }

  Result<std::size_t> read(BlockStreamHandle handle, std::uint64_t offset,
                           std::span<std::byte> out) override {
    VOG_CHECK(enter_handle(LayerOp::Read, handle, offset, out.size()));
    return real_->read(handle, offset, out);
  }
  Result<std::size_t> write(BlockStreamHandle handle, std::uint64_t offset,
                            std::span<const std::byte> data) override {
    VOG_CHECK(enter_handle(LayerOp::Write, handle, offset, data.size()));
    return real_->write(handle, offset, data);
  }
  Result<void> reserve(BlockStreamHandle handle, std::uint64_t capacity) override {
    VOG_CHECK(enter_handle(LayerOp::Reserve, handle));
    return real_->reserve(handle, capacity);
  }
  Result<void> truncate(BlockStreamHandle handle, std::uint64_t length) override {
    VOG_CHECK(enter_handle(LayerOp::Truncate, handle));
    return real_->truncate(handle, length);
  }

  using StreamLayer::verify;
  Result<void> verify(std::span<const StreamId> claimed, VerifyReport& report) override {
    return real_->verify(claimed, report);
  }

  BlockLayer& block_layer() noexcept override { return *slots_; }
  std::uint8_t compressed_block_size_shift() const noexcept override {
    return real_->compressed_block_size_shift();
  }

 private:
  // The real block layer, with faults on admin slot writes.
  class AdminSlotFaults final : public BlockLayerWrapper {
   public:
    AdminSlotFaults(MemoryStreamLayer& owner, BlockLayer& target)
        : BlockLayerWrapper(target), owner_(owner) {}
    Result<void> write_admin_slot(std::uint8_t index, std::span<const std::byte> payload) override {
      {
        std::lock_guard lock(owner_.mu_);
        if (auto error = owner_.fault(LayerOp::WriteAdminSlot, index))
          return std::unexpected(std::move(*error));
      }
      VOG_CHECK(owner_.check_writable(true));
      return BlockLayerWrapper::write_admin_slot(index, payload);
    }

   private:
    MemoryStreamLayer& owner_;
  };

  Result<std::unique_ptr<StreamsFromBlocks>> create_real() {
    const std::array<std::uint16_t, 1> namespace_slot = {11};
    auto make_file = [this](std::uint16_t data_offset) -> Result<std::unique_ptr<FileLayer>> {
      return MemoryFile::create(store_->disk, data_offset);
    };
    return StreamsFromBlocks::create_on_file(make_file, store_->block_size_shift,
                                             store_->compressed_block_size_shift, namespace_slot,
                                             std::nullopt);
  }
  Result<std::unique_ptr<StreamsFromBlocks>> open_real() {
    return StreamsFromBlocks::open_on_file(MemoryFile::open(store_->disk), std::nullopt);
  }

  void pause() const {
    if (pause_) pause_();
  }
  // REQUIRES: mu_ is held.
  std::optional<VogError> fault(LayerOp op, StreamId id) {
    return fault_ ? fault_(op, id) : std::nullopt;
  }
  Result<void> check_writable(bool changes) const {
    if (changes && !writable_)
      return std::unexpected(VogError::io("in-memory store is opened read-only"));
    return {};
  }
  Result<void> enter(LayerOp op, StreamId id, bool changes) {
    pause();
    {
      std::lock_guard lock(mu_);
      if (auto error = fault(op, id)) return std::unexpected(std::move(*error));
    }
    return check_writable(changes);
  }
  // A handle the wrapper does not know goes to the real layer, which refuses it.
  Result<void> enter_handle(LayerOp op, BlockStreamHandle handle, std::uint64_t offset = 0,
                            std::optional<std::size_t> length = std::nullopt) {
    pause();
    {
      std::lock_guard lock(mu_);
      auto found = handles_.find(handle);
      if (found == handles_.end()) return {};
      if (length) (op == LayerOp::Read ? reads_ : writes_).push_back({found->second, offset, *length});
      if (auto error = fault(op, found->second)) return std::unexpected(std::move(*error));
    }
    return check_writable(op == LayerOp::Write || op == LayerOp::Reserve ||
                          op == LayerOp::Truncate);
  }

  std::shared_ptr<MemoryStore> store_;
  const bool writable_;
  std::function<void()> pause_;
  std::unique_ptr<StreamsFromBlocks> real_;
  std::unique_ptr<AdminSlotFaults> slots_;  // wraps real_'s block layer

  std::mutex mu_;  // guards everything below
  std::map<BlockStreamHandle, StreamId> handles_;
  FaultFn fault_;
  std::vector<TransferRecord> reads_;
  std::vector<TransferRecord> writes_;
  std::map<StreamId, std::size_t> opens_;
};

// Fails the `nth` (from 1) call of `op` on stream `id` with `error`.
inline MemoryStreamLayer::FaultFn fail_nth(LayerOp op, StreamId id, int nth, VogError error) {
  auto seen = std::make_shared<int>(0);
  return [=](LayerOp got, StreamId got_id) -> std::optional<VogError> {
    if (got == op && got_id == id && ++*seen == nth) return error;
    return std::nullopt;
  };
}

}  // namespace vog::testing
