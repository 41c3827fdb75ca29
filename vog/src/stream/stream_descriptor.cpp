// Encoding of StreamDescriptor (layout in stream_descriptor.hpp), little-endian.
#include "stream_descriptor.hpp"

#include "le_bytes.hpp"

namespace vog {

void StreamDescriptor::encode_fields(std::span<std::byte, kDescriptorFieldsSize> out) const noexcept {
  store_u64(out, 0, size);
  store_u32(out, 8, top_block);
  store_u64(out, 12, reserved);
}

std::array<std::byte, kDescriptorSize> StreamDescriptor::encode() const noexcept {
  std::array<std::byte, kDescriptorSize> out{};
  encode_fields(std::span(out).first<kDescriptorFieldsSize>());
  out[20] = static_cast<std::byte>(compressed);
  return out;
}

StreamDescriptor StreamDescriptor::decode_fields(
    std::span<const std::byte, kDescriptorFieldsSize> in) noexcept {
  return {.size = load_u64(in, 0), .top_block = load_u32(in, 8), .reserved = load_u64(in, 12),
          .compressed = 0};
}

StreamDescriptor StreamDescriptor::decode(std::span<const std::byte, kDescriptorSize> in) noexcept {
  StreamDescriptor d = decode_fields(in.first<kDescriptorFieldsSize>());
  d.compressed = std::to_integer<std::uint8_t>(in[20]);
  return d;
}

}  // namespace vog
