// Small helpers shared by the stream layer's suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "block_layer.hpp"
#include "error.hpp"
#include "pyramid.hpp"
#include "stream_layer.hpp"

namespace vog::testing {

inline std::vector<std::byte> bytes_of(std::string_view text) {
  std::vector<std::byte> out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

// Bytes that differ from block to block and do not compress much.
inline std::vector<std::byte> noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::byte> out(n);
  for (auto& b : out) b = static_cast<std::byte>(rng());
  return out;
}

// Bytes that compress well but are not all alike.
inline std::vector<std::byte> text_like(std::size_t n, std::uint32_t seed) {
  static constexpr std::string_view kWords[] = {"pyramid ", "stream ", "block ", "leaf ", "index "};
  std::mt19937 rng(seed);
  std::vector<std::byte> out;
  out.reserve(n);
  while (out.size() < n) {
    auto word = kWords[rng() % 5];
    for (char c : word) {
      if (out.size() == n) break;
      out.push_back(static_cast<std::byte>(c));
    }
  }
  return out;
}

inline std::uint32_t entry_at(std::span<const std::byte> block, std::size_t slot) {
  std::uint32_t v = 0;
  std::memcpy(&v, block.data() + 4 * slot, 4);
  return v;
}

template <class T>
T must(Result<T> result) {
  EXPECT_TRUE(result.has_value()) << result.error().to_string();
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

inline void must(Result<void> result) {
  EXPECT_TRUE(result.has_value()) << result.error().to_string();
}

// Bytes of the Streams stream `table` at `offset`, read straight from the blocks.
inline std::vector<std::byte> table_bytes(BlockLayer& blocks, const StreamDescriptor& table,
                                          std::uint64_t offset, std::size_t n) {
  std::vector<std::byte> out(n);
  EXPECT_EQ(must(pyramid_read(blocks, table, offset, out, CacheHint::NoCache)), n);
  return out;
}

// Where descriptor slot `id` lies in the Streams stream: after the 4-byte free-list head.
inline std::uint64_t slot_offset(StreamId id) { return 4 + kDescriptorSize * std::uint64_t{id}; }

inline StreamDescriptor table_slot(BlockLayer& blocks, const StreamDescriptor& table, StreamId id) {
  auto bytes = table_bytes(blocks, table, slot_offset(id), kDescriptorSize);
  return StreamDescriptor::decode(std::span(bytes).first<kDescriptorSize>());
}

// Writes `data` at the start of stream `id` through a handle of its own.
inline void write_stream(StreamLayer& layer, StreamId id, std::span<const std::byte> data) {
  auto h = must(layer.open_stream_inner(id, true, false));
  EXPECT_EQ(must(layer.write(h, 0, data)), data.size());
  must(layer.close_stream(h));
}

inline std::vector<std::byte> read_stream(StreamLayer& layer, StreamId id) {
  auto h = must(layer.open_stream_inner(id, false, false));
  std::vector<std::byte> out(must(layer.stream_length(h)));
  EXPECT_EQ(must(layer.read(h, 0, out)), out.size());
  must(layer.close_stream(h));
  return out;
}

#define EXPECT_VOG_ERROR(expr, kind_, text)                                        \
  do {                                                                             \
    auto vog_result_ = (expr);                                                     \
    ASSERT_FALSE(vog_result_.has_value());                                         \
    EXPECT_EQ(vog_result_.error(), ::vog::VogError(::vog::ErrorKind::kind_, text)) \
        << vog_result_.error().to_string();                                        \
  } while (0)

}  // namespace vog::testing
