// Block layer: the block area of a Vog file as an array of equal-sized blocks.
//
// Blocks are numbered by unsigned 32-bit BlockNo; kNoBlock (0xFFFFFFFF) never
// names a block. Block 0 is the superblock: it holds the free-list head and the
// admin slots, and allocate_blocks() never returns it. Callers always see
// plaintext; whether the file is encrypted is this layer's business alone.
//
// Thread safety: every method may be called concurrently.
// Every change is written to the file before the call returns; nothing is synced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"
#include "file_system.hpp"
#include "verify_report.hpp"

namespace vog {

using BlockNo = std::uint32_t;
inline constexpr BlockNo kNoBlock = 0xFFFFFFFF;

// A password is a byte string; an empty one is a password like any other.
using Password = std::optional<std::span<const std::byte>>;

// Which block cache a single-block transfer goes through.
enum class CacheHint : std::uint8_t { NoCache = 0, ThreadCache = 1, SharedCache = 2 };

class BlockLayer {
 public:
  virtual ~BlockLayer() = default;

  [[nodiscard]] virtual std::uint8_t block_size_shift() const noexcept = 0;
  [[nodiscard]] std::uint32_t block_size() const noexcept { return 1u << block_size_shift(); }
  [[nodiscard]] virtual bool is_encrypted() const noexcept = 0;
  // How many blocks the file holds now (block 0 included); only grows.
  [[nodiscard]] virtual std::uint64_t total_blocks() = 0;

  // The payload of an admin slot in block 0; always exactly the slot's size.
  [[nodiscard]] virtual Result<std::vector<std::byte>> read_admin_slot(std::uint8_t index) = 0;
  // REQUIRES: payload.size() equals the slot's size (checked).
  [[nodiscard]] virtual Result<void> write_admin_slot(std::uint8_t index,
                                                      std::span<const std::byte> payload) = 0;

  // Transfers inside one block; offset + size must not exceed the block size.
  // Return the number of bytes copied (the span's size).
  [[nodiscard]] virtual Result<std::size_t> read_block(BlockNo block, std::uint32_t offset,
                                                       std::span<std::byte> out, CacheHint hint) = 0;
  [[nodiscard]] virtual Result<std::size_t> write_block(BlockNo block, std::uint32_t offset,
                                                        std::span<const std::byte> data,
                                                        CacheHint hint) = 0;

  // Transfers over the consecutive blocks first, first + 1, ...; `offset` counts
  // from the start of `first` and may exceed one block. These bypass the caches.
  [[nodiscard]] virtual Result<std::size_t> read_contiguous_blocks(BlockNo first,
                                                                   std::uint64_t offset,
                                                                   std::span<std::byte> out) = 0;
  [[nodiscard]] virtual Result<std::size_t> write_contiguous_blocks(
      BlockNo first, std::uint64_t offset, std::span<const std::byte> data) = 0;
  // Writes `pieces` back to back from the start of `first` on, as
  // write_contiguous_blocks would write them joined. This one joins them in
  // a buffer; a store that can gather need not.
  [[nodiscard]] virtual Result<void> write_gathered_blocks(
      BlockNo first, std::span<const std::span<const std::byte>> pieces) {
    VOG_CHECK(write_contiguous_blocks(first, 0, joined(pieces)));
    return {};
  }

  // Empties the calling thread's private cache on this store.
  virtual void clear_thread_cache() = 0;

  // `count` distinct blocks in ascending order; reused blocks read as zeros.
  [[nodiscard]] virtual Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t count) = 0;
  // REQUIRES: the block is in use (not free); block 0 is refused.
  [[nodiscard]] virtual Result<void> deallocate_block(BlockNo block) = 0;
  // Sorts `blocks` in place, then frees them as extents of consecutive numbers.
  [[nodiscard]] virtual Result<void> deallocate_blocks(std::vector<BlockNo>& blocks) = 0;
  // Gives back blocks that a failed change allocated and no stream holds: as
  // deallocate_blocks(), but those at the end of the file shorten it, which
  // needs no room on a full disk. REQUIRES: the same as deallocate_blocks.
  [[nodiscard]] virtual Result<void> return_blocks(std::vector<BlockNo>& blocks) {
    return deallocate_blocks(blocks);
  }

  // Makes the store's present contents what a crash returns to, as far as the
  // file underneath promises that (a journal does; a bare file promises nothing).
  [[nodiscard]] virtual Result<void> commit() { return {}; }

  // Reading beside a writer of another open: see FileLayer::begin_read. When
  // the generation moved, the layer above calls refresh() before reading on.
  [[nodiscard]] virtual Result<std::uint64_t> begin_read() { return 0; }
  virtual void end_read() {}
  // Forgets what it read before another open's commit: block 0 and the block
  // count are read again and every cache, every thread's, is emptied.
  // REQUIRES: inside a read, with no other call of this layer in flight.
  [[nodiscard]] virtual Result<void> refresh() { return {}; }
  // Throws away every change since the last commit (FileLayer::roll_back),
  // then forgets what it holds in memory as refresh() does. A store whose file
  // keeps nothing to roll back to refuses (the default). REQUIRES: no other
  // call of this layer in flight.
  [[nodiscard]] virtual Result<void> roll_back() {
    return std::unexpected(VogError::io("a Vog file without a journal cannot roll back"));
  }

  // Consistency check given the blocks that the layers above claim: adds
  // "L1: ..." then "L2: ..." lines to `report`; an error only when the check
  // itself cannot run.
  [[nodiscard]] virtual Result<void> verify(std::span<const BlockNo> claimed,
                                            VerifyReport& report) = 0;
  // The same as a list of lines, at the default bound.
  [[nodiscard]] Result<std::vector<std::string>> verify(std::span<const BlockNo> claimed) {
    VerifyReport report;
    VOG_CHECK(verify(claimed, report));
    return std::move(report).finish();
  }
};

}  // namespace vog
