// Block 0 encoding. The layout table is in superblock.hpp.
//
// Invariants of a block 0 that parses:
//  1. Every slot record (2-byte size plus payload) lies inside the block, in
//     order from offset 10, without gaps.
//  2. Bytes after the last record are not part of the format: they are written
//     as zeros and never examined.
#include "superblock.hpp"

#include <array>
#include <cstring>

#include "format.hpp"
#include "text.hpp"

namespace vog {
namespace {

constexpr std::array<std::byte, 4> kMagic = {std::byte{'b'}, std::byte{'l'}, std::byte{'k'},
                                             std::byte{'0'}};
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kMaxSlots = 255;
constexpr std::size_t kSlotHeaderSize = 2;

}  // namespace

Result<void> check_slot_layout(std::span<const std::uint16_t> slot_sizes, std::size_t block_size) {
  if (slot_sizes.size() > kMaxSlots)
    return std::unexpected(VogError::io(format(
        "too many admin slots: {} (block 0 holds at most {})", slot_sizes.size(), kMaxSlots)));
  std::size_t needed = kBlock0SlotsOffset;
  for (std::uint16_t size : slot_sizes) needed += kSlotHeaderSize + size;
  if (needed > block_size)
    return std::unexpected(VogError::io(
        format("admin slots do not fit into block 0: {} bytes needed, block size is {}", needed,
               block_size)));
  return {};
}

std::vector<std::byte> build_block0(std::span<const std::uint16_t> slot_sizes,
                                    std::size_t block_size, std::vector<Block0SlotInfo>& slots) {
  std::vector<std::byte> block(block_size);
  std::memcpy(block.data(), kMagic.data(), kMagic.size());
  block[4] = std::byte{kVersion};
  store_u32(block, kBlock0FreeHeadOffset, kNoBlock);
  block[9] = static_cast<std::byte>(slot_sizes.size());
  slots.clear();
  std::size_t at = kBlock0SlotsOffset;
  for (std::uint16_t size : slot_sizes) {
    store_u16(block, at, size);
    at += kSlotHeaderSize;
    slots.push_back({static_cast<std::uint32_t>(at), size});
    at += size;  // the payload is already zero
  }
  return block;
}

Result<Block0Contents> parse_block0(std::span<const std::byte> block) {
  if (block.size() < kBlock0SlotsOffset) return std::unexpected(VogError::io("block 0 too small"));
  if (std::memcmp(block.data(), kMagic.data(), kMagic.size()) != 0)
    return std::unexpected(VogError::io(
        format("block 0 magic mismatch: expected 'blk0', got '{}'", lossy_utf8(block.first(4)))));
  if (auto version = std::to_integer<unsigned>(block[4]); version != kVersion)
    return std::unexpected(VogError::io(format("unsupported block 0 version: {}", version)));

  Block0Contents contents;
  contents.free_head = load_u32(block, kBlock0FreeHeadOffset);
  std::size_t count = std::to_integer<std::size_t>(block[9]);
  contents.slots.reserve(count);
  std::size_t at = kBlock0SlotsOffset;
  for (std::size_t i = 0; i < count; ++i) {
    if (at + kSlotHeaderSize > block.size())
      return std::unexpected(VogError::io("block 0 slot registry truncated"));
    const std::uint16_t size = load_u16(block, at);
    at += kSlotHeaderSize;
    if (at + size > block.size())
      return std::unexpected(VogError::io("block 0 slot payload extends beyond block"));
    contents.slots.push_back({static_cast<std::uint32_t>(at), size});
    at += size;
  }
  return contents;
}

}  // namespace vog
