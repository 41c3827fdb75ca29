// BlockCache: a least-recently-used map from block number to one block of
// plaintext, with a fixed capacity in blocks.
//
// Thread safety: none; the owner serialises access (the shared cache sits
// behind a mutex, a thread's private cache is used by that thread only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "block_layer.hpp"

namespace vog {

// Blocks one cache may hold at a block size of 2^shift: a 2 MiB budget, at
// most 4096 blocks, at least one.
[[nodiscard]] constexpr std::size_t cache_capacity_for_shift(std::uint8_t shift) noexcept {
  if (shift >= 22) return 1;
  std::size_t by_budget = (std::size_t{1} << 21) >> shift;
  if (by_budget > 4096) return 4096;
  return by_budget == 0 ? 1 : by_budget;
}

class BlockCache {
 public:
  // REQUIRES: capacity >= 1, block_size >= 1.
  BlockCache(std::size_t capacity, std::size_t block_size);

  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // The cached block, made the most recently used; an empty span on a miss.
  [[nodiscard]] std::span<std::byte> get(BlockNo block);
  // The cached block without touching the order; an empty span on a miss.
  [[nodiscard]] std::span<const std::byte> peek(BlockNo block) const;
  // Inserts or replaces the block as the most recently used, first dropping
  // the least recently used entry when a new block finds the cache full.
  // REQUIRES: data.size() == block size.
  void put(BlockNo block, std::span<const std::byte> data);
  // Removes the block if present; returns whether it was.
  bool pop(BlockNo block);
  void clear();

  [[nodiscard]] std::size_t size() const noexcept { return index_.size(); }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  [[nodiscard]] std::size_t block_size() const noexcept { return block_size_; }
  // A number the owner keeps with the contents, to tell when they went stale.
  [[nodiscard]] std::uint64_t epoch() const noexcept { return epoch_; }
  void set_epoch(std::uint64_t epoch) noexcept { epoch_ = epoch; }

 private:
  static constexpr std::uint32_t kNil = 0xFFFFFFFF;

  // A node is either on the recency list (head_ = most recent) or on the
  // spare list (linked through `next`), keeping its buffer for reuse.
  struct Node {
    BlockNo block = kNoBlock;
    std::uint32_t prev = kNil;
    std::uint32_t next = kNil;
    std::unique_ptr<std::byte[]> data;
  };

  void unlink(std::uint32_t at) noexcept;
  void link_front(std::uint32_t at) noexcept;
  [[nodiscard]] std::span<std::byte> bytes_of(std::uint32_t at) const noexcept {
    return {nodes_[at].data.get(), block_size_};
  }
  void check_invariants() const;

  const std::size_t capacity_;
  const std::size_t block_size_;
  std::uint64_t epoch_ = 0;
  std::vector<Node> nodes_;
  std::unordered_map<BlockNo, std::uint32_t> index_;
  std::uint32_t head_ = kNil;
  std::uint32_t tail_ = kNil;
  std::uint32_t spare_ = kNil;
};

}  // namespace vog
