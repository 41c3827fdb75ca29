// Block 0 (the superblock) as bytes: building a fresh one and parsing one.
//
// Layout (little-endian):
//   0   4  magic "blk0"
//   4   1  version, 1
//   5   4  free-list head (first trunk block, kNoBlock when empty)
//   9   1  slot count
//   10  .. per slot: payload size (u16), then that many payload bytes
//   rest   zero
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "block_layer.hpp"
#include "le_bytes.hpp"

namespace vog {

inline constexpr std::size_t kBlock0FreeHeadOffset = 5;
inline constexpr std::size_t kBlock0SlotsOffset = 10;

// Where one admin slot's payload lies inside block 0.
struct Block0SlotInfo {
  std::uint32_t offset = 0;
  std::uint16_t size = 0;

  friend bool operator==(const Block0SlotInfo&, const Block0SlotInfo&) = default;
};

struct Block0Contents {
  BlockNo free_head = kNoBlock;
  std::vector<Block0SlotInfo> slots;
};

// Refuses slot layouts that block 0 cannot describe: more than 255 slots, or
// records that do not fit into one block of `block_size` bytes.
[[nodiscard]] Result<void> check_slot_layout(std::span<const std::uint16_t> slot_sizes,
                                             std::size_t block_size);

// A zero-filled block 0 with an empty free list and zeroed slots.
// REQUIRES: check_slot_layout(slot_sizes, block_size) succeeded.
[[nodiscard]] std::vector<std::byte> build_block0(std::span<const std::uint16_t> slot_sizes,
                                                  std::size_t block_size,
                                                  std::vector<Block0SlotInfo>& slots);

[[nodiscard]] Result<Block0Contents> parse_block0(std::span<const std::byte> block);

}  // namespace vog
