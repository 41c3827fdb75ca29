// A free-list trunk block, read and changed in place (u32 little-endian):
//   0        next trunk, kNoBlock for the last
//   4 + 8k   extent start of entry k, kNoBlock when the entry is empty
//   8 + 8k   extent length of entry k, 0 when empty
//   for k in 0 .. E-1, E = block size / 8 - 1; the last 4 bytes are padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "block_layer.hpp"
#include "le_bytes.hpp"

namespace vog {

class Trunk {
 public:
  // REQUIRES: bytes is one whole block.
  explicit Trunk(std::span<std::byte> bytes) : bytes_(bytes) {}

  // A trunk with every entry empty.
  static std::vector<std::byte> fresh(std::size_t block_size, BlockNo next) {
    std::vector<std::byte> bytes(block_size);
    Trunk trunk(bytes);
    trunk.set_next(next);
    for (std::size_t k = 0; k < trunk.entries(); ++k) trunk.set_entry(k, kNoBlock, 0);
    return bytes;
  }

  [[nodiscard]] std::size_t entries() const noexcept { return bytes_.size() / 8 - 1; }
  [[nodiscard]] BlockNo next() const { return load_u32(bytes_, 0); }
  void set_next(BlockNo next) { store_u32(bytes_, 0, next); }
  [[nodiscard]] BlockNo start(std::size_t k) const { return load_u32(bytes_, 4 + 8 * k); }
  [[nodiscard]] std::uint32_t length(std::size_t k) const { return load_u32(bytes_, 8 + 8 * k); }
  void set_entry(std::size_t k, BlockNo start, std::uint32_t length) {
    store_u32(bytes_, 4 + 8 * k, start);
    store_u32(bytes_, 8 + 8 * k, length);
  }
  [[nodiscard]] bool empty(std::size_t k) const { return start(k) == kNoBlock; }
  [[nodiscard]] bool all_empty() const {
    for (std::size_t k = 0; k < entries(); ++k)
      if (!empty(k)) return false;
    return true;
  }

 private:
  std::span<std::byte> bytes_;
};

}  // namespace vog
