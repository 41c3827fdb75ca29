// StreamsFromBlocks: the stream layer on a BlockLayer.
#pragma once

#include <memory>
#include <string>

#include "block_layer.hpp"
#include "file_layer.hpp"
#include "stream_layer.hpp"

namespace vog {

class StreamsFromBlocks final : public StreamLayer {
 public:
  // Creates the file with admin slot 0 for the stream layer's header followed
  // by one slot per entry of `slot_sizes` for the layers above.
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> create(
      const std::string& path, std::uint8_t block_size_shift,
      std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
      Password password);
  [[nodiscard]] static Result<std::unique_ptr<StreamsFromBlocks>> open(const std::string& path,
                                                                       AccessMode mode,
                                                                       Password password);
};

}  // namespace vog
