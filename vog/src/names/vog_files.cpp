// Vog files by path: the stream layer on a real file underneath a Vog.
#include <array>

#include "directory_stream.hpp"
#include "file_layer.hpp"
#include "format.hpp"
#include "streams_from_blocks.hpp"
#include "vog.hpp"

namespace vog {

Result<std::shared_ptr<Vog>> Vog::create(const std::string& path, const CreateOptions& options) {
  if (options.compressed_block_size_shift < options.block_size_shift)
    return std::unexpected(
        VogError::io(format("compressed_block_size_shift ({}) must be >= block_size_shift ({})",
                            options.compressed_block_size_shift, options.block_size_shift)));
  const std::array<std::uint16_t, 1> slot_sizes = {static_cast<std::uint16_t>(kL4HeaderSize)};
  VOG_TRY(streams, StreamsFromBlocks::create(path, options.block_size_shift,
                                             options.compressed_block_size_shift, slot_sizes,
                                             options.password));
  return create_on(std::move(*streams));
}

Result<std::shared_ptr<Vog>> Vog::open(const std::string& path, OpenMode mode,
                                       std::optional<std::span<const std::byte>> password) {
  VOG_TRY(streams, StreamsFromBlocks::open(
                       path, mode == OpenMode::Write ? AccessMode::Writable : AccessMode::ReadOnly,
                       password));
  return open_on(std::move(*streams), mode);
}

}  // namespace vog
