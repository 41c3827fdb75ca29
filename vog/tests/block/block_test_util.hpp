// Shared helpers of the block-layer suites.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "blocks_in_file.hpp"
#include "memory_file.hpp"

namespace vog::testing {

// The admin slots every Vog file has: the stream layer's and the namespace layer's.
inline constexpr std::uint16_t kStandardSlots[] = {28, 11};

inline std::vector<std::byte> bytes_of(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline std::vector<std::byte> filled(std::size_t size, int value) {
  return std::vector<std::byte>(size, static_cast<std::byte>(value));
}

inline std::span<const std::byte> text_bytes(std::string_view text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

template <class T>
T must(Result<T> result) {
  EXPECT_TRUE(result) << result.error().to_string();
  if (!result) std::abort();
  return std::move(*result);
}

inline void expect_io_error(const VogError& error, std::string_view detail) {
  EXPECT_EQ(error.kind(), ErrorKind::IoError) << error.to_string();
  EXPECT_EQ(error.detail(), detail);
}

struct MemoryStore {
  std::shared_ptr<MemoryDisk> disk = std::make_shared<MemoryDisk>();
  std::unique_ptr<BlocksInFile> store;
};

inline Result<std::unique_ptr<BlocksInFile>> create_in_memory(
    const std::shared_ptr<MemoryDisk>& disk, std::uint8_t shift,
    std::span<const std::uint16_t> slots = kStandardSlots, Password password = std::nullopt) {
  auto make_file = [disk](std::uint16_t data_offset) -> Result<std::unique_ptr<FileLayer>> {
    return MemoryFile::create(disk, data_offset);
  };
  return BlocksInFile::create_on(make_file, shift, slots, password);
}

inline MemoryStore memory_store(std::uint8_t shift = 9, Password password = std::nullopt) {
  MemoryStore m;
  m.store = must(create_in_memory(m.disk, shift, kStandardSlots, password));
  return m;
}

inline Result<std::unique_ptr<BlocksInFile>> reopen(const std::shared_ptr<MemoryDisk>& disk,
                                                    Password password = std::nullopt) {
  return BlocksInFile::open_on(MemoryFile::open(disk), password);
}

// The u32 at `at` of a block read back through the store, uncached.
inline std::uint32_t block_u32(BlockLayer& store, BlockNo block, std::uint32_t at) {
  std::array<std::byte, 4> raw{};
  EXPECT_TRUE(store.read_block(block, at, raw, CacheHint::NoCache));
  return load_u32(raw, 0);
}

// Writes one trunk entry (or, with entry -1, the next pointer) of block `trunk`.
inline void put_trunk_field(BlockLayer& store, BlockNo trunk, int entry, std::uint32_t first,
                            std::uint32_t second = 0) {
  std::array<std::byte, 8> raw{};
  store_u32(raw, 0, first);
  store_u32(raw, 4, second);
  if (entry < 0) {
    ASSERT_TRUE(store.write_block(trunk, 0, std::span(raw).first(4), CacheHint::NoCache));
  } else {
    ASSERT_TRUE(store.write_block(trunk, 4 + 8 * static_cast<std::uint32_t>(entry), raw,
                                  CacheHint::NoCache));
  }
}

}  // namespace vog::testing
