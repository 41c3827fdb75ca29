// Reading and patching the bytes of a closed, plain Vog file, so that tests can
// damage one field and check what verification or optimize make of it.
//
// Layout relied on (plain files): the block area starts at offset 14; block 0
// holds the free-list head at 5 and the L3 header at 12 (Streams stream size at
// 19, top block at 27); the Streams stream holds the descriptor free head at
// 0 and descriptor k at 4 + 21k (size, top_block, reserved, compressed).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace vog::testing {

class FilePatch {
 public:
  static constexpr std::uint64_t kDataOffset = 14;

  FilePatch(std::string path, std::uint32_t block_size)
      : path_(std::move(path)), block_size_(block_size) {}

  [[nodiscard]] std::uint64_t block_at(std::uint64_t block) const {
    return kDataOffset + block * block_size_;
  }
  [[nodiscard]] std::uint64_t file_size() const {
    std::ifstream in(path_, std::ios::binary | std::ios::ate);
    return static_cast<std::uint64_t>(in.tellg());
  }
  [[nodiscard]] std::uint64_t total_blocks() const {
    return (file_size() - kDataOffset) / block_size_;
  }

  [[nodiscard]] std::uint64_t get(std::uint64_t at, int width) const {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i)
      value |= std::uint64_t{static_cast<unsigned char>(in.get())} << (8 * i);
    return value;
  }
  void put(std::uint64_t at, int width, std::uint64_t value) const {
    std::fstream out(path_, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(at));
    for (int i = 0; i < width; ++i) out.put(static_cast<char>(value >> (8 * i) & 0xFF));
    ASSERT_TRUE(out.good()) << path_;
  }
  [[nodiscard]] std::uint32_t get_u32(std::uint64_t at) const {
    return static_cast<std::uint32_t>(get(at, 4));
  }
  void put_u32(std::uint64_t at, std::uint32_t value) const { put(at, 4, value); }
  void put_u64(std::uint64_t at, std::uint64_t value) const { put(at, 8, value); }
  void append_byte() const {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out.put('\0');
  }

  [[nodiscard]] std::uint32_t free_head() const { return get_u32(block_at(0) + 5); }

  // While the descriptor table fits in the Streams stream's first block.
  [[nodiscard]] std::uint64_t descriptor_at(std::uint32_t id) const {
    return block_at(get_u32(block_at(0) + 27)) + 4 + 21 * std::uint64_t{id};
  }
  [[nodiscard]] std::uint32_t top_block_of(std::uint32_t id) const {
    return get_u32(descriptor_at(id) + 8);
  }

  // Every block on the free list: trunks and the blocks of their extents.
  [[nodiscard]] std::set<std::uint64_t> free_blocks() const {
    std::set<std::uint64_t> out;
    for (std::uint32_t trunk = free_head(); trunk != 0xFFFFFFFF && out.insert(trunk).second;) {
      for (std::uint32_t k = 0; k < block_size_ / 8 - 1; ++k) {
        std::uint32_t start = get_u32(block_at(trunk) + 4 + 8 * k);
        std::uint32_t length = get_u32(block_at(trunk) + 8 + 8 * k);
        if (start == 0xFFFFFFFF) continue;
        for (std::uint32_t i = 0; i < length; ++i) out.insert(std::uint64_t{start} + i);
      }
      trunk = get_u32(block_at(trunk));
    }
    return out;
  }

 private:
  std::string path_;
  std::uint32_t block_size_;
};

}  // namespace vog::testing
