// BlocksInFile: the block layer on a FileLayer.
#pragma once

#include <memory>
#include <string>

#include "block_layer.hpp"
#include "file_layer.hpp"

namespace vog {

class BlocksInFile final : public BlockLayer {
 public:
  // Creates the file with its block-layer header and a block 0 holding one
  // zeroed admin slot per entry of `slot_sizes`, in order.
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> create(
      const std::string& path, std::uint8_t block_size_shift,
      std::span<const std::uint16_t> slot_sizes, Password password);
  [[nodiscard]] static Result<std::unique_ptr<BlocksInFile>> open(const std::string& path,
                                                                  AccessMode mode,
                                                                  Password password);
};

}  // namespace vog
