// Vog files by path: the layers stacked on a real file (or on the caller's
// FileSystem), with the journal the durability level asks for.
#include <array>

#include "directory_stream.hpp"
#include "format.hpp"
#include "streams_from_blocks.hpp"
#include "vog.hpp"

namespace vog {

Result<std::shared_ptr<Vog>> Vog::create(const std::string& path, const CreateOptions& options) {
  if (options.compressed_block_size_shift < options.block_size_shift)
    return std::unexpected(
        VogError::io(format("compressed_block_size_shift ({}) must be >= block_size_shift ({})",
                            options.compressed_block_size_shift, options.block_size_shift)));
  FileSystem& fs = options.file_system ? *options.file_system : os_file_system();
  const std::array<std::uint16_t, 1> slot_sizes = {static_cast<std::uint16_t>(kL4HeaderSize)};
  VOG_TRY(streams, StreamsFromBlocks::create(path, options.block_size_shift,
                                             options.compressed_block_size_shift, slot_sizes,
                                             options.password, fs, options.durability,
                                             options.timeout));
  VOG_TRY(vog, create_on(std::move(*streams)));
  (*vog)->durability_ = options.durability;
  // The new file's first commit: until here a crash leaves no usable file.
  VOG_CHECK((*vog)->commit());
  return vog;
}

Result<std::shared_ptr<Vog>> Vog::open(const std::string& path, OpenMode mode,
                                       std::optional<std::span<const std::byte>> password) {
  OpenOptions options;
  options.password = password;
  return open(path, mode, options);
}

Result<std::shared_ptr<Vog>> Vog::open(const std::string& path, OpenMode mode,
                                       const OpenOptions& options) {
  FileSystem& fs = options.file_system ? *options.file_system : os_file_system();
  VOG_TRY(streams, StreamsFromBlocks::open(
                       path, mode == OpenMode::Write ? AccessMode::Writable : AccessMode::ReadOnly,
                       options.password, fs, options.durability, options.timeout,
                       options.open_timeout));
  VOG_TRY(vog, open_on(std::move(*streams), mode));
  (*vog)->durability_ = options.durability;
  return vog;
}

}  // namespace vog
