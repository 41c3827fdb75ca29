// The engine stacked on a file in memory, and the files the fuzz targets start from.
#include "fuzz_support.hpp"

#include <array>

#include "blocks_in_file.hpp"
#include "encryption.hpp"
#include "encryption_keys.hpp"
#include "streams_from_blocks.hpp"

namespace vog::fuzz {
namespace {

constexpr std::size_t kBlockHeaderOffset = 12;  // the shift byte, then the encryption flag
// The namespace layer's admin slot holds its 11-byte header (directory_stream.hpp,
// whose byte helpers cannot share a translation unit with the block layer's).
constexpr std::uint16_t kNamespaceHeaderSize = 11;
// The cheapest costs Argon2 accepts. Derivation at the costs a mutated record
// names could take 4 GiB and 64 passes (the engine allows that much), so the
// targets decline records dearer than this; the seeds carry exactly these.
constexpr Argon2idCosts kCheapCosts{.memory_cost = 8, .time_cost = 1, .parallelism = 1};

bool is_encrypted(std::span<const std::byte> bytes) {
  return bytes.size() > kBlockHeaderOffset + 1 && bytes[kBlockHeaderOffset + 1] == std::byte{1};
}

std::span<std::byte> encryption_record(std::vector<std::byte>& bytes) {
  return std::span(bytes).subspan(kBlockHeaderOffset + 2, kEncryptionRecordSize);
}

// Swaps an encryption record's costs for kCheapCosts, rewrapping the same
// master key, so that the file opens with the same password at almost no cost.
Result<EncryptionConfig> with_cheap_costs(const EncryptionConfig& config,
                                          std::span<const std::byte> password) {
  SecretBytes<64> derived;
  VOG_CHECK(derive_argon2id(password, config.salt,
                            {config.memory_cost, config.time_cost, config.parallelism},
                            derived.bytes()));
  SecretBytes<kMasterKeySize> master;
  VOG_CHECK(unwrap_key(derived.bytes().first<32>(), config.wrapped_master_key, master.bytes()));

  EncryptionConfig cheap = config;
  cheap.memory_cost = kCheapCosts.memory_cost;
  cheap.time_cost = kCheapCosts.time_cost;
  cheap.parallelism = kCheapCosts.parallelism;
  VOG_CHECK(derive_argon2id(password, cheap.salt, kCheapCosts, derived.bytes()));
  VOG_TRY(hash, sha256(derived.bytes().last<32>()));
  cheap.verification_hash = *hash;
  VOG_CHECK(wrap_key(derived.bytes().first<32>(), master.bytes(), cheap.wrapped_master_key));
  return cheap;
}

}  // namespace

bool key_derivation_is_cheap(std::span<const std::byte> bytes) {
  if (!is_encrypted(bytes)) return true;
  auto record = deserialize_config(bytes.subspan(std::min(bytes.size(), kBlockHeaderOffset + 2)));
  return !record || (record->memory_cost <= kCheapCosts.memory_cost &&
                     record->time_cost <= kCheapCosts.time_cost &&
                     record->parallelism <= kCheapCosts.parallelism);
}

Result<std::shared_ptr<Vog>> open_vog(std::shared_ptr<std::vector<std::byte>> bytes, OpenMode mode) {
  const bool encrypted = is_encrypted(*bytes);
  VOG_TRY(blocks, BlocksInFile::open_on(FileInMemory::open(std::move(bytes)),
                                        encrypted ? Password(bytes_of(kPassword)) : std::nullopt));
  VOG_TRY(streams, StreamsFromBlocks::open_on(std::move(*blocks)));
  return Vog::open_on(std::move(*streams), mode);
}

Result<std::unique_ptr<StreamLayer>> create_streams(std::shared_ptr<std::vector<std::byte>> bytes,
                                                    const NewFile& options) {
  const std::array<std::uint16_t, 2> slot_sizes = {kL3HeaderSize, kNamespaceHeaderSize};
  auto make_file = [&](std::uint16_t data_offset) -> Result<std::unique_ptr<FileLayer>> {
    return FileInMemory::create(bytes, data_offset);
  };
  VOG_TRY(blocks, BlocksInFile::create_on(
                      make_file, options.block_size_shift, slot_sizes,
                      options.encrypted ? Password(bytes_of(kPassword)) : std::nullopt));
  return StreamsFromBlocks::create_on(std::move(*blocks), options.compressed_block_size_shift);
}

Result<std::shared_ptr<Vog>> create_vog(std::shared_ptr<std::vector<std::byte>> bytes,
                                        const NewFile& options) {
  VOG_TRY(streams, create_streams(bytes, options));
  VOG_TRY(vog, Vog::create_on(std::move(*streams)));
  if (!options.encrypted) return vog;
  vog->reset();

  VOG_TRY(config, deserialize_config(encryption_record(*bytes)));
  VOG_TRY(cheap, with_cheap_costs(*config, bytes_of(kPassword)));
  auto serialized = serialize_config(*cheap);
  std::copy(serialized.begin(), serialized.end(), encryption_record(*bytes).begin());
  return open_vog(std::move(bytes), OpenMode::Write);
}

Result<void> write_sample_tree(Vog& vog, bool compressed) {
  auto put = [&](std::string_view path, std::size_t length) -> Result<void> {
    std::string text;
    for (std::size_t i = 0; text.size() < length; ++i) text += "line " + std::to_string(i % 7) + "\n";
    text.resize(length);
    VOG_TRY(handle, vog.create_stream(path, compressed));
    VOG_CHECK(vog.write(*handle, bytes_of(text)));
    return vog.close_stream(*handle);
  };
  VOG_CHECK(vog.mkdir("docs"));
  VOG_CHECK(vog.mkdir("docs/old"));
  VOG_CHECK(vog.mkdir("empty"));
  VOG_CHECK(put("docs/a.txt", 100));
  VOG_CHECK(put("docs/old/\xC3\xA9t\xC3\xA9", 3000));
  VOG_CHECK(put("gone", 1500));
  VOG_CHECK(put("big", 5000));
  VOG_CHECK(put("zero", 0));
  return vog.delete_stream("gone");
}

Result<std::vector<std::byte>> sample_file(const NewFile& options, bool compressed) {
  auto bytes = std::make_shared<std::vector<std::byte>>();
  {
    VOG_TRY(vog, create_vog(bytes, options));
    VOG_CHECK(write_sample_tree(**vog, compressed));
  }
  return *bytes;
}

}  // namespace vog::fuzz
