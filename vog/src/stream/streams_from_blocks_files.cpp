// The path-based factories of StreamsFromBlocks: the stream layer on BlocksInFile.
#include <vector>

#include "blocks_in_file.hpp"
#include "compressed_stream.hpp"
#include "streams_from_blocks.hpp"

namespace vog {

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::create(
    const std::string& path, std::uint8_t block_size_shift,
    std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
    Password password) {
  // Refused before the block layer makes a file.
  VOG_CHECK(check_compressed_block_size_shift(compressed_block_size_shift, block_size_shift));
  std::vector<std::uint16_t> slots{kL3HeaderSize};
  slots.insert(slots.end(), slot_sizes.begin(), slot_sizes.end());
  VOG_TRY(blocks, BlocksInFile::create(path, block_size_shift, slots, password));
  return create_on(std::move(*blocks), compressed_block_size_shift);
}

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::open(const std::string& path,
                                                                   AccessMode mode,
                                                                   Password password) {
  VOG_TRY(blocks, BlocksInFile::open(path, mode, password));
  return open_on(std::move(*blocks));
}

}  // namespace vog
