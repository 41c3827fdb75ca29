// BlocksInFile: the block layer on a FileLayer.
//
// Implementation files, one job each:
//   blocks_in_file.cpp  create, open, block 0 in memory, admin slots
//   block_storage.cpp   blocks as stored, plain or sealed: the only cipher calls
//   block_io.cpp        single-block and contiguous transfers, the caches
//   free_list.cpp       allocation and the free list's trunk blocks
//   block_verify.cpp    the consistency report
//   superblock.cpp      block 0 as bytes; block_cache.cpp, thread_caches.cpp
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "block_cache.hpp"
#include "block_layer.hpp"
#include "block_storage.hpp"
#include "file_layer.hpp"
#include "superblock.hpp"
#include "thread_caches.hpp"

namespace vog {

// The mutable part of a store, guarded by BlocksInFile::state_mu_.
struct BlocksInFileState {
  std::vector<std::byte> block0;  // plaintext, exactly one block; the only copy read after open
  BlockNo free_head = kNoBlock;  // copied into block0 before each flush
};

class BlocksInFile final : public BlockLayer {
 public:
  // Makes the file layer for a new store, given its data offset.
  using FileMaker = std::function<Result<std::unique_ptr<FileLayer>>(std::uint16_t data_offset)>;

  // Largest block_size_shift accepted: 16 MiB blocks.
  static constexpr std::uint8_t kMaxBlockSizeShift = 24;
  static constexpr std::uint8_t kMinBlockSizeShift = 9;

  // Creates the file with its block-layer header and a block 0 holding one
  // zeroed admin slot per entry of `slot_sizes`, in order.
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> create(
      const std::string& path, std::uint8_t block_size_shift,
      std::span<const std::uint16_t> slot_sizes, Password password);
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> open(const std::string& path,
                                                                  AccessMode mode,
                                                                  Password password);
  // The same on a file layer of the caller's choosing (a file in memory, say).
  // create_on calls `make_file` only after every parameter check has passed.
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> create_on(
      const FileMaker& make_file, std::uint8_t block_size_shift,
      std::span<const std::uint16_t> slot_sizes, Password password);
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> open_on(
      std::unique_ptr<FileLayer> file, Password password);

  ~BlocksInFile() override;
  BlocksInFile(const BlocksInFile&) = delete;
  BlocksInFile& operator=(const BlocksInFile&) = delete;

  [[nodiscard]] std::uint8_t block_size_shift() const noexcept override {
    return storage_.shift();
  }
  [[nodiscard]] bool is_encrypted() const noexcept override { return storage_.sealed(); }

  [[nodiscard]] Result<std::vector<std::byte>> read_admin_slot(std::uint8_t index) override;
  [[nodiscard]] Result<void> write_admin_slot(std::uint8_t index,
                                              std::span<const std::byte> payload) override;

  [[nodiscard]] Result<std::size_t> read_block(BlockNo block, std::uint32_t offset,
                                               std::span<std::byte> out, CacheHint hint) override;
  [[nodiscard]] Result<std::size_t> write_block(BlockNo block, std::uint32_t offset,
                                                std::span<const std::byte> data,
                                                CacheHint hint) override;
  [[nodiscard]] Result<std::size_t> read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                                           std::span<std::byte> out) override;
  [[nodiscard]] Result<std::size_t> write_contiguous_blocks(
      BlockNo first, std::uint64_t offset, std::span<const std::byte> data) override;
  [[nodiscard]] Result<void> write_gathered_blocks(
      BlockNo first, std::span<const std::span<const std::byte>> pieces) override;
  void clear_thread_cache() override;

  [[nodiscard]] Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t count) override;
  [[nodiscard]] Result<void> deallocate_block(BlockNo block) override;
  [[nodiscard]] Result<void> deallocate_blocks(std::vector<BlockNo>& blocks) override;
  [[nodiscard]] Result<void> return_blocks(std::vector<BlockNo>& blocks) override;

  using BlockLayer::verify;
  [[nodiscard]] Result<void> verify(std::span<const BlockNo> claimed,
                                    VerifyReport& report) override;
  // Every change is in the file already (block 0 after each change, blocks as written).
  [[nodiscard]] Result<void> commit() override { return storage_.file().commit(); }
  [[nodiscard]] Result<std::uint64_t> begin_read() override { return storage_.file().begin_read(); }
  void end_read() override { storage_.file().end_read(); }
  [[nodiscard]] Result<void> refresh() override;
  [[nodiscard]] Result<void> roll_back() override;

  // Inspection, for tools and tests.
  [[nodiscard]] std::uint64_t total_blocks() override;
  [[nodiscard]] BlockNo free_list_head();
  [[nodiscard]] std::size_t cache_capacity() const noexcept { return cache_capacity_; }
  [[nodiscard]] std::size_t shared_cache_size();
  // Entries in the calling thread's cache; 0 when it has none.
  [[nodiscard]] std::size_t thread_cache_size() const;
  // Threads that currently hold a private cache on this store.
  [[nodiscard]] std::size_t thread_cache_count() const { return thread_caches_.live_caches(); }

 private:
  BlocksInFile(BlockStorage storage, std::vector<Block0SlotInfo> slots, BlocksInFileState state,
               std::uint64_t total_blocks);

  [[nodiscard]] std::size_t block_bytes() const noexcept { return storage_.block_size(); }

  // blocks_in_file.cpp. REQUIRES: state_mu_ held (`state` is state_).
  [[nodiscard]] Result<void> flush_block0(BlocksInFileState& state);

  // block_io.cpp
  // The run of `length` bytes from `offset` into block `first`, refused with
  // an IoError naming the first block the file does not hold.
  [[nodiscard]] Result<BlockStorage::Run> held_run(std::string_view action, BlockNo first,
                                                   std::uint64_t offset,
                                                   std::size_t length) const;
  [[nodiscard]] Result<std::vector<std::byte>> read_raw_block(BlockNo block);
  [[nodiscard]] Result<void> write_raw_block(BlockNo block, std::span<const std::byte> data);
  // The calling thread's cache, emptied first when a refresh() came since it
  // was filled; made when `create` and it has none.
  [[nodiscard]] BlockCache* thread_cache(bool create);
  void cache_put(BlockNo block, std::span<const std::byte> data, CacheHint hint);
  void evict_from_all_caches(std::span<const BlockNo> blocks);
  // Copies [offset, offset + out.size()) of a cached block into `out`; false on a miss.
  [[nodiscard]] bool read_cached(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                                 CacheHint hint);

  // free_list.cpp. REQUIRES: state_mu_ held (`state` is state_).
  // `taken` and `result` are out-parameters because a failure must still say
  // which blocks already left the free list (allocate_blocks gives them back).
  [[nodiscard]] Result<void> take_free_blocks(BlocksInFileState& state, std::uint32_t count,
                                              std::vector<BlockNo>& taken);
  [[nodiscard]] Result<void> allocate_locked(BlocksInFileState& state, std::uint32_t count,
                                             std::vector<BlockNo>& result);
  [[nodiscard]] Result<void> free_sorted_blocks(BlocksInFileState& state,
                                                std::span<const BlockNo> sorted);
  void give_back(BlocksInFileState& state, std::span<const BlockNo> blocks);
  [[nodiscard]] Result<void> deallocate_blocks_sorted(std::span<const BlockNo> sorted);
  [[nodiscard]] Result<std::vector<std::byte>> read_head_trunk(const BlocksInFileState& state);

  // Fixed at construction; read without locks.
  const BlockStorage storage_;
  const std::vector<Block0SlotInfo> slots_;
  const std::size_t cache_capacity_;

  // Locking: state_mu_ guards state_; shared_cache_mu_ guards shared_cache_.
  // The two are never held together. state_mu_ may be held across file I/O
  // (free-list changes are serialised through it); shared_cache_mu_ never is.
  std::mutex state_mu_;
  BlocksInFileState state_;  // guarded by state_mu_
  // The blocks the file holds. Only allocation changes it, under state_mu_;
  // transfers read it without the lock, which is safe because it only grows.
  std::atomic<std::uint64_t> total_blocks_;
  std::atomic<std::uint64_t> cache_epoch_{0};  // counts refresh() calls
  std::mutex shared_cache_mu_;
  BlockCache shared_cache_;  // guarded by shared_cache_mu_
  ThreadCaches thread_caches_;
};

}  // namespace vog
