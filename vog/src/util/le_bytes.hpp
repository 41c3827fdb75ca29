// Little-endian integers inside byte buffers, the byte order of every on-disk record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vog {

// REQUIRES: at + 2 <= bytes.size().
inline std::uint16_t load_u16(std::span<const std::byte> bytes, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(std::to_integer<std::uint8_t>(bytes[at]) |
                                    std::to_integer<std::uint8_t>(bytes[at + 1]) << 8);
}

// REQUIRES: at + 4 <= bytes.size().
inline std::uint32_t load_u32(std::span<const std::byte> bytes, std::size_t at) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(std::to_integer<std::uint8_t>(bytes[at + i])) << (8 * i);
  return value;
}

// REQUIRES: at + 8 <= bytes.size().
inline std::uint64_t load_u64(std::span<const std::byte> bytes, std::size_t at) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i)
    value |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(bytes[at + i])) << (8 * i);
  return value;
}

inline void store_u16(std::span<std::byte> bytes, std::size_t at, std::uint16_t value) noexcept {
  bytes[at] = static_cast<std::byte>(value & 0xFF);
  bytes[at + 1] = static_cast<std::byte>(value >> 8);
}

inline void store_u32(std::span<std::byte> bytes, std::size_t at, std::uint32_t value) noexcept {
  for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::byte>(value >> (8 * i));
}

inline void store_u64(std::span<std::byte> bytes, std::size_t at, std::uint64_t value) noexcept {
  for (std::size_t i = 0; i < 8; ++i) bytes[at + i] = static_cast<std::byte>(value >> (8 * i));
}

}  // namespace vog
