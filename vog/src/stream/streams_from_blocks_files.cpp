// The file-based factories of StreamsFromBlocks: the stream layer on BlocksInFile
// on the Vog file, journaled as the durability level asks.
#include <vector>

#include "blocks_in_file.hpp"
#include "compressed_stream.hpp"
#include "journaled_file.hpp"
#include "streams_from_blocks.hpp"

namespace vog {

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::create(
    const std::string& path, std::uint8_t block_size_shift,
    std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
    Password password, FileSystem& fs, Durability level, Timeout timeout) {
  auto make_file = [&](std::uint16_t data_offset) {
    return create_vog_file(fs, path, data_offset, level, timeout);
  };
  return create_on_file(make_file, block_size_shift, compressed_block_size_shift, slot_sizes,
                        password);
}

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::open(const std::string& path,
                                                                   AccessMode mode,
                                                                   Password password,
                                                                   FileSystem& fs,
                                                                   Durability level,
                                                                   Timeout timeout,
                                                                   std::optional<Timeout> open_timeout) {
  VOG_TRY(file, open_vog_file(fs, path, mode, level, timeout, open_timeout));
  VOG_TRY(blocks, BlocksInFile::open_on(std::move(*file), password));
  return open_on(std::move(*blocks));
}

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::create_on_file(
    const FileMaker& make_file, std::uint8_t block_size_shift,
    std::uint8_t compressed_block_size_shift, std::span<const std::uint16_t> slot_sizes,
    Password password) {
  // The block layer's own checks speak first; a compressed block too large for
  // its redirector, or smaller than a block, is refused after them, still
  // before any file exists.
  auto checked_make_file = [&](std::uint16_t data_offset) -> Result<std::unique_ptr<FileLayer>> {
    VOG_CHECK(check_compressed_block_size_shift(compressed_block_size_shift, block_size_shift));
    VOG_CHECK(check_cblock_fills_a_block(compressed_block_size_shift, block_size_shift));
    return make_file(data_offset);
  };
  std::vector<std::uint16_t> slots{kL3HeaderSize};
  slots.insert(slots.end(), slot_sizes.begin(), slot_sizes.end());
  VOG_TRY(blocks, BlocksInFile::create_on(checked_make_file, block_size_shift, slots, password));
  return create_on(std::move(*blocks), compressed_block_size_shift);
}

Result<std::unique_ptr<StreamsFromBlocks>> StreamsFromBlocks::open_on_file(
    std::unique_ptr<FileLayer> file, Password password) {
  VOG_TRY(blocks, BlocksInFile::open_on(std::move(file), password));
  return open_on(std::move(*blocks));
}

}  // namespace vog
