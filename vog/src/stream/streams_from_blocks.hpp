// StreamsFromBlocks: the stream layer on a BlockLayer.
//
// Admin slot 0 of block 0 holds the L3 header (28 bytes):
//   0  6  "pyra  "          7  8  size of the Streams stream
//   6  1  version 4         15 4  top_block of the Streams stream
//                           19 8  reserved of the Streams stream
//                           27 1  compressed_block_size_shift (0 = no compression)
// The Streams stream (descriptor table) is a plain pyramid: the u32 ID of the
// first free slot, then one 21-byte record per slot (stream_descriptor.hpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "block_layer.hpp"
#include "compressed_stream.hpp"
#include "durability.hpp"
#include "file_layer.hpp"
#include "file_system.hpp"
#include "pyramid.hpp"
#include "stream_descriptor.hpp"
#include "stream_layer.hpp"

namespace vog {

inline constexpr std::uint16_t kL3HeaderSize = 28;
inline constexpr std::uint8_t kL3Version = 4;

class StreamsFromBlocks final : public StreamLayer {
 public:
  // Creates the file with admin slot 0 for the stream layer's header followed
  // by one slot per entry of `slot_sizes` for the layers above. The file has
  // a journal unless `level` is Off; opening rolls back what a journal holds.
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> create(
      const std::string& path, std::uint8_t block_size_shift,
      std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
      Password password, FileSystem& fs = os_file_system(), Durability level = Durability::Off,
      Timeout timeout = kDefaultTimeout);
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> open(
      const std::string& path, AccessMode mode, Password password,
      FileSystem& fs = os_file_system(), Durability level = Durability::Off,
      Timeout timeout = kDefaultTimeout, std::optional<Timeout> open_timeout = std::nullopt);

  // Makes the file layer for a new file, given its data offset.
  using FileMaker = std::function<Result<std::unique_ptr<FileLayer>>(std::uint16_t data_offset)>;
  // The same on a file layer of the caller's choosing (a file in memory, say).
  // create_on_file calls `make_file` only after every parameter check has passed.
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> create_on_file(
      const FileMaker& make_file, std::uint8_t block_size_shift,
      std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
      Password password);
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> open_on_file(
      std::unique_ptr<FileLayer> file, Password password);

  // The same on a block layer the caller made. For create_on, `blocks` was just
  // created and its admin slot 0 is kL3HeaderSize bytes.
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> create_on(
      std::unique_ptr<BlockLayer> blocks, std::uint8_t compressed_block_size_shift);
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> open_on(
      std::unique_ptr<BlockLayer> blocks);

  ~StreamsFromBlocks() override;

  [[nodiscard]] Result<void> refresh() override;
  [[nodiscard]] Result<void> roll_back() override;

  [[nodiscard]] Result<StreamId> create_stream(bool compressed) override;
  [[nodiscard]] Result<void> delete_stream(StreamId id) override;
  [[nodiscard]] Result<BlockStreamHandle> open_stream_inner(StreamId id, bool for_write,
                                                            bool wait) override;
  [[nodiscard]] Result<void> close_stream(BlockStreamHandle handle) override;

  [[nodiscard]] Result<std::uint64_t> stream_length(BlockStreamHandle handle) override;
  [[nodiscard]] Result<std::uint64_t> stream_reserved(BlockStreamHandle handle) override;
  [[nodiscard]] Result<bool> is_stream_compressed(BlockStreamHandle handle) override;

  [[nodiscard]] Result<std::size_t> read(BlockStreamHandle handle, std::uint64_t offset,
                                         std::span<std::byte> out) override;
  [[nodiscard]] Result<std::size_t> write(BlockStreamHandle handle, std::uint64_t offset,
                                          std::span<const std::byte> data) override;
  [[nodiscard]] Result<void> reserve(BlockStreamHandle handle, std::uint64_t capacity) override;
  [[nodiscard]] Result<void> truncate(BlockStreamHandle handle, std::uint64_t length) override;

  using StreamLayer::verify;
  [[nodiscard]] Result<void> verify(std::span<const StreamId> claimed,
                                    VerifyReport& report) override;

  [[nodiscard]] BlockLayer& block_layer() noexcept override { return *blocks_; }
  [[nodiscard]] Result<void> commit() override;

  [[nodiscard]] std::uint8_t compressed_block_size_shift() const noexcept override {
    return compressed_block_size_shift_;
  }
  // Reads that found the stream's tree ending before its length and so
  // returned fewer bytes than the length promised. They still return what
  // they found; verify reports the damage behind them.
  [[nodiscard]] std::uint64_t short_reads() const noexcept {
    return short_reads_.load(std::memory_order_relaxed);
  }
  // A copy of the Streams stream's descriptor as it is in memory now.
  [[nodiscard]] StreamDescriptor streams_descriptor();

 private:
  struct StreamLockEntry {
    std::uint32_t readers = 0;
    bool writer = false;
  };
  // What the threads using one handle share beyond its descriptor.
  struct HandleShared {
    // Held shared by reads and exclusively by changes and by close_stream, so
    // that two threads using one handle never work on two descriptor copies.
    std::shared_mutex in_use;
    // The cblock that the last small read of a compressed stream decoded, so
    // that a run of small reads decodes each cblock once. Every change through
    // the handle empties it; no other handle can change the stream meanwhile.
    std::mutex cblock_mu;
    std::optional<std::uint64_t> cblock_unit;  // guarded by cblock_mu
    std::vector<std::byte> cblock;             // guarded by cblock_mu; up to the length
  };
  struct StreamHandleEntry {
    StreamId id = 0;
    StreamDescriptor descriptor;
    bool writable = false;
    std::shared_ptr<HandleShared> shared;
    // Threads whose own block cache holds nothing stale for this stream. A
    // handle may pass between threads, and a thread's cache does not see
    // another thread's writes: a thread not listed empties its cache first,
    // and every change leaves only the changing thread listed.
    std::vector<std::thread::id> fresh_caches;
  };
  struct StreamsFromBlocksState {
    std::map<StreamId, StreamLockEntry> locks;
    std::map<BlockStreamHandle, StreamHandleEntry> handles;
    BlockStreamHandle next_handle = 0;
  };
  class LogicalLock;

  StreamsFromBlocks(std::unique_ptr<BlockLayer> blocks, std::uint8_t compressed_block_size_shift,
                    StreamDescriptor streams, StreamId free_head);

  [[nodiscard]] Result<void> acquire_lock(StreamId id, bool for_write, bool wait);
  void release_lock(StreamId id, bool for_write);
  [[nodiscard]] Result<LogicalLock> lock_stream(StreamId id, bool for_write, bool wait);

  // Descriptor table access; the caller holds table_mu_ (or works on a copy).
  [[nodiscard]] Result<StreamDescriptor> read_slot(const StreamDescriptor& table, StreamId id);
  // The table's own descriptor comes from the L3 header unchecked: before the
  // table changes, its top block must lie in the file and its length fit
  // there, so that a damaged header fails the change instead of making the
  // file grow to the length it claims. Reads need no such check: every block
  // number they follow is checked against the file on the way.
  [[nodiscard]] Result<void> check_table() const;
  // Every change of the table goes through here.
  [[nodiscard]] Result<void> write_table(std::uint64_t offset, std::span<const std::byte> bytes);
  [[nodiscard]] Result<void> write_slot(StreamId id, const StreamDescriptor& record);
  [[nodiscard]] Result<void> write_free_head(StreamId head);
  [[nodiscard]] Result<void> extend_free_list();
  [[nodiscard]] Result<void> persist_l3_header();
  // Reads the table's descriptor, its free-list head and each open handle's
  // descriptor again, after the block layer forgot what it held.
  [[nodiscard]] Result<void> reload();

  [[nodiscard]] Result<void> require_compression(const StreamDescriptor& d) const;
  // The tree operations of a user stream: the one place its kind is looked at.
  [[nodiscard]] Pyramid tree_of(const StreamDescriptor& d) const;
  [[nodiscard]] Result<void> free_tree(const StreamDescriptor& d);
  [[nodiscard]] Result<StreamHandleEntry> find_handle(BlockStreamHandle handle);
  // The handle's descriptor alone, for the queries that need nothing else.
  [[nodiscard]] Result<StreamDescriptor> descriptor_of(BlockStreamHandle handle);
  // Runs op(descriptor copy, shared part) for a handle; a changing op's copy
  // is stored back.
  template <class Op>
  auto with_handle(BlockStreamHandle handle, bool changes, Op op)
      -> decltype(op(std::declval<StreamDescriptor&>(), std::declval<HandleShared&>()));
  // A read that lies inside one cblock of a compressed stream, through the
  // handle's decoded cblock; nothing when the read is of another kind.
  [[nodiscard]] std::optional<Result<std::size_t>> read_in_cblock(const StreamDescriptor& d,
                                                                  HandleShared& shared,
                                                                  std::uint64_t offset,
                                                                  std::span<std::byte> out);

  const std::unique_ptr<BlockLayer> blocks_;
  const std::uint8_t compressed_block_size_shift_;
  const PlainOps plain_ops_;
  const CompressedOps compressed_ops_;  // unused while the shift is 0

  std::mutex state_mu_;
  StreamsFromBlocksState state_;  // guarded by state_mu_
  std::condition_variable lock_released_;  // with state_mu_

  std::mutex table_mu_;
  StreamDescriptor table_;  // the Streams stream; guarded by table_mu_
  std::mutex free_head_mu_;
  StreamId free_head_;  // guarded by free_head_mu_; equals bytes 0..3 of the Streams stream
  std::atomic<std::uint64_t> short_reads_ = 0;
};

}  // namespace vog
