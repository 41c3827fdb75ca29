// BlocksInFile: the block layer on a FileLayer.
//
// Implementation files, one job each:
//   blocks_in_file.cpp  create, open, block 0 in memory, admin slots
//   block_io.cpp        single-block and contiguous transfers, the caches
//   free_list.cpp       allocation and the free list's trunk blocks
//   block_verify.cpp    the consistency report
//   superblock.cpp      block 0 as bytes; block_cache.cpp, thread_caches.cpp
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "block_cache.hpp"
#include "block_layer.hpp"
#include "encryption.hpp"
#include "file_layer.hpp"
#include "superblock.hpp"
#include "thread_caches.hpp"

namespace vog {

// The mutable part of a store, guarded by BlocksInFile::state_mu_.
struct BlocksInFileState {
  std::vector<std::byte> block0;  // plaintext, exactly one block; the only copy read after open
  std::uint64_t total_blocks = 0;
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

  [[nodiscard]] std::uint8_t block_size_shift() const noexcept override { return shift_; }
  [[nodiscard]] bool is_encrypted() const noexcept override { return cipher_ != nullptr; }

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
  void clear_thread_cache() override;

  [[nodiscard]] Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t count) override;
  [[nodiscard]] Result<void> deallocate_block(BlockNo block) override;
  [[nodiscard]] Result<void> deallocate_blocks(std::vector<BlockNo>& blocks) override;

  [[nodiscard]] Result<std::vector<std::string>> verify(std::span<const BlockNo> claimed) override;
  // Every change is in the file already (block 0 after each change, blocks as written).
  [[nodiscard]] Result<void> commit() override { return file_->commit(); }

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
  BlocksInFile(std::unique_ptr<FileLayer> file, std::uint8_t shift,
               std::unique_ptr<BlockCipher> cipher, std::vector<Block0SlotInfo> slots,
               BlocksInFileState state);

  [[nodiscard]] std::size_t block_bytes() const noexcept { return std::size_t{1} << shift_; }
  [[nodiscard]] std::uint64_t block_offset(BlockNo block) const noexcept {
    return data_offset_ + (std::uint64_t{block} << shift_);
  }

  // blocks_in_file.cpp. REQUIRES: state_mu_ held (`state` is state_).
  [[nodiscard]] Result<void> flush_block0(BlocksInFileState& state);

  // block_io.cpp
  [[nodiscard]] Result<std::vector<std::byte>> read_raw_block(BlockNo block);
  [[nodiscard]] Result<void> write_raw_block(BlockNo block, std::span<const std::byte> data);
  void cache_put(BlockNo block, std::span<const std::byte> data, CacheHint hint);
  void evict_from_all_caches(std::span<const BlockNo> blocks);
  // Copies [offset, offset + out.size()) of a cached block into `out`; false on a miss.
  [[nodiscard]] bool read_cached(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                                 CacheHint hint);
  // In-place transforms of consecutive whole blocks starting at `first`.
  void encrypt_run(BlockNo first, std::span<std::byte> blocks) const;
  void decrypt_run(BlockNo first, std::span<std::byte> blocks) const;

  // free_list.cpp. REQUIRES: state_mu_ held (`state` is state_).
  // `taken` is an out-parameter because a failure must still say which
  // blocks already left the free list.
  [[nodiscard]] Result<void> take_free_blocks(BlocksInFileState& state, std::uint32_t count,
                                              std::vector<BlockNo>& taken);
  [[nodiscard]] Result<void> allocate_locked(BlocksInFileState& state, std::uint32_t count,
                                             std::vector<BlockNo>& result);
  [[nodiscard]] Result<void> free_sorted_blocks(BlocksInFileState& state,
                                                std::span<const BlockNo> sorted);
  void give_back(BlocksInFileState& state, std::span<const BlockNo> blocks);
  [[nodiscard]] Result<void> deallocate_blocks_sorted(std::span<const BlockNo> sorted);
  [[nodiscard]] Result<void> zero_fill(std::span<const BlockNo> sorted);
  [[nodiscard]] Result<std::vector<std::byte>> read_head_trunk(const BlocksInFileState& state);

  // Fixed at construction; read without locks.
  const std::unique_ptr<FileLayer> file_;
  const std::unique_ptr<BlockCipher> cipher_;  // null for a plain store
  const std::uint8_t shift_;
  const std::uint64_t data_offset_;
  const std::vector<Block0SlotInfo> slots_;
  const std::size_t cache_capacity_;

  // Locking: state_mu_ guards state_; shared_cache_mu_ guards shared_cache_.
  // The two are never held together. state_mu_ may be held across file I/O
  // (free-list changes are serialised through it); shared_cache_mu_ never is.
  std::mutex state_mu_;
  BlocksInFileState state_;  // guarded by state_mu_
  std::mutex shared_cache_mu_;
  BlockCache shared_cache_;  // guarded by shared_cache_mu_
  ThreadCaches thread_caches_;
};

}  // namespace vog
