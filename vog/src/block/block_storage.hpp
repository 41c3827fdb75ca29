// BlockStorage: blocks as the file holds them, plain or sealed.
//
// The one place that knows whether a store is encrypted: every cipher call of
// the block layer happens here, on the way into or out of the file. A sealed
// block is one AES-XTS data unit with its number as tweak, so sealed storage
// moves whole blocks and transforms them; plain storage moves just the bytes
// asked for. Callers see plaintext either way.
//
// Thread safety: immutable after construction (movable until shared); every
// method may be called concurrently, the file layer serialising the transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "block_layer.hpp"
#include "encryption.hpp"
#include "file_layer.hpp"

namespace vog {

class BlockStorage {
 public:
  // `cipher` is null for a plain store.
  BlockStorage(std::unique_ptr<FileLayer> file, std::uint8_t shift,
               std::unique_ptr<BlockCipher> cipher);

  [[nodiscard]] bool sealed() const noexcept { return cipher_ != nullptr; }
  [[nodiscard]] std::uint8_t shift() const noexcept { return shift_; }
  [[nodiscard]] std::size_t block_size() const noexcept { return std::size_t{1} << shift_; }
  [[nodiscard]] std::uint64_t data_offset() const noexcept { return data_offset_; }
  [[nodiscard]] std::uint64_t block_offset(std::uint64_t block) const noexcept {
    return data_offset_ + (block << shift_);
  }
  // For what the file layer offers beyond block transfers (len, set_len, verify).
  [[nodiscard]] FileLayer& file() const noexcept { return *file_; }

  // A byte range of a run of blocks, normalised so that the offset lies
  // inside the first block.
  struct Run {
    std::uint64_t first_block;
    std::uint64_t within;  // < block size
    std::uint64_t span;    // within + length rounded up to whole blocks
  };
  // The run of `length` bytes starting `offset` bytes (which may pass several
  // blocks) into block `first`. Refused, naming the first such block, when
  // it touches a block numbered `held` or more; an empty run touches block
  // `first` alone.
  // REQUIRES: 0 < held <= kNoBlock.
  [[nodiscard]] Result<Run> locate(std::string_view action, BlockNo first, std::uint64_t offset,
                                   std::size_t length, std::uint64_t held) const;
  [[nodiscard]] Run whole_block(BlockNo block) const noexcept {
    return Run{block, 0, block_size()};
  }

  struct Delivered {
    std::size_t bytes;  // how much of the buffer now holds the run's content
    bool complete;      // the file held every byte that was read from it
  };
  // Reads the run into `out` (exactly as long as the run). Plain storage
  // reads those bytes alone and delivers what the file holds, zeroing the
  // rest of `out`; sealed storage reads and decrypts whole blocks and
  // delivers all of `out` (past the end of the file, the decryption of zeros).
  [[nodiscard]] Result<Delivered> read(const Run& run, std::span<std::byte> out) const;
  // Writes `data` (exactly as long as the run) into it; sealed storage keeps
  // the untouched parts of the first and last block.
  [[nodiscard]] Result<void> write(const Run& run, std::span<const std::byte> data) const;
  // write() of `pieces` joined; plain storage gathers them in one transfer.
  [[nodiscard]] Result<void> write_gathered(const Run& run,
                                            std::span<const std::span<const std::byte>> pieces) const;

  // Fills `plain` with a block's current plaintext when a cache holds it.
  using CachedCopy = std::function<bool(std::span<std::byte> plain)>;
  // Writes `data` at `offset` inside `block`. Plain storage writes the bytes
  // alone and returns an empty vector. Sealed storage rewrites the whole
  // block, starting from `cached` when it has the block and from the file
  // otherwise, and returns the block's new plaintext.
  [[nodiscard]] Result<std::vector<std::byte>> write_in_block(BlockNo block, std::uint32_t offset,
                                                              std::span<const std::byte> data,
                                                              const CachedCopy& cached) const;

  // Writes a block of zero plaintext at each of `blocks`, one after another.
  [[nodiscard]] Result<void> write_zero_blocks(std::span<const BlockNo> blocks) const;

 private:
  // Seals and writes whole blocks from `first` on, a batch at a time.
  [[nodiscard]] Result<void> write_whole_blocks(BlockNo first, std::span<const std::byte> data) const;
  // Whole blocks from `first`, in place.
  void seal(BlockNo first, std::span<std::byte> blocks) const;
  void unseal(BlockNo first, std::span<std::byte> blocks) const;
  // read() of a long sealed run of whole blocks, in pieces on the worker pool.
  [[nodiscard]] Result<Delivered> read_whole_shared(BlockNo first, std::span<std::byte> out) const;

  // Never changed after construction.
  std::unique_ptr<FileLayer> file_;
  std::unique_ptr<BlockCipher> cipher_;  // null for a plain store
  std::uint8_t shift_;
  std::uint64_t data_offset_;
};

}  // namespace vog
