// StreamDescriptor: the 21-byte record that describes one stream.
//
//   0  8  size       stream length in bytes
//   8  4  top_block  block at the top of the stream's tree, 0 when it has none
//   12 8  reserved   capacity covered by blocks; whole units, never below size
//   20 1  compressed bit 0: stored as LZ4 compressed blocks; fixed at creation
//
// A descriptor slot that holds no stream carries a free record instead: the next
// free slot's ID in `size`, FREE_DESCRIPTOR_MARKER in `top_block`, zeros after.
// This header is the only place that knows the byte layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "block_layer.hpp"
#include "stream_layer.hpp"

namespace vog {

inline constexpr std::size_t kDescriptorSize = 21;
// Bytes 0..19 of a descriptor: everything but the compressed flag.
inline constexpr std::size_t kDescriptorFieldsSize = 20;
inline constexpr BlockNo kFreeDescriptorMarker = 0xFFFFFFFF;

struct StreamDescriptor {
  std::uint64_t size = 0;
  BlockNo top_block = 0;
  std::uint64_t reserved = 0;
  std::uint8_t compressed = 0;

  [[nodiscard]] bool is_compressed() const noexcept { return (compressed & 1u) != 0; }
  [[nodiscard]] bool is_free() const noexcept { return top_block == kFreeDescriptorMarker; }
  // The link of a free record: the lower 32 bits of its first field.
  [[nodiscard]] StreamId next_free() const noexcept { return static_cast<StreamId>(size); }
  // The larger of size and reserved: the extent the stream's tree covers.
  [[nodiscard]] std::uint64_t extent() const noexcept { return size > reserved ? size : reserved; }

  [[nodiscard]] static StreamDescriptor free_record(StreamId next) noexcept {
    return {.size = next, .top_block = kFreeDescriptorMarker, .reserved = 0, .compressed = 0};
  }

  [[nodiscard]] std::array<std::byte, kDescriptorSize> encode() const noexcept;
  // Writes size, top_block and reserved (20 bytes).
  void encode_fields(std::span<std::byte, kDescriptorFieldsSize> out) const noexcept;
  [[nodiscard]] static StreamDescriptor decode(std::span<const std::byte, kDescriptorSize> in) noexcept;
  // Reads size, top_block and reserved; `compressed` stays clear.
  [[nodiscard]] static StreamDescriptor decode_fields(
      std::span<const std::byte, kDescriptorFieldsSize> in) noexcept;

  friend bool operator==(const StreamDescriptor&, const StreamDescriptor&) = default;
};

}  // namespace vog
