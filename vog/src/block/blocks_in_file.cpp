// BlocksInFile: creating and opening a store, block 0 in memory, admin slots.
//
// Bytes owned on disk (the file layer owns 0..11):
//   12       1    block_size_shift (9..24)
//   13       1    encryption flag: 1 encrypted, anything else plain
//   14       129  encryption record, only when the flag is 1
//   data_offset + N * block size: block N; block 0 is the superblock
//   (layout in superblock.hpp), encrypted with tweak 0 like every block.
// data_offset is 14 for a plain store and 143 for an encrypted one.
//
// Invariants:
//  1. state_.block0 is the plaintext of block 0 as last flushed or about to
//     be flushed; the file's block 0 is read again after open only by
//     refresh(), for a reader beside another open's writer or after a
//     rollback.
//  2. Every change of an admin slot or of the free list ends with
//     flush_block0() under state_mu_, so the file's block 0 always reflects
//     one consistent in-memory state.
//  3. total_blocks_ >= 1 and grows by allocation; it shrinks only when
//     return_blocks() gives the last blocks back to the file, and refresh()
//     reads it again. slots_ and storage_ never change after construction.
//
// Locking: state_mu_ before the file layer's own locking, never together
// with shared_cache_mu_ (see blocks_in_file.hpp).
#include "blocks_in_file.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "file_on_disk.hpp"
#include "format.hpp"

namespace vog {
namespace {

constexpr std::uint64_t kBlockHeaderOffset = kFileHeaderSize;  // shift byte, then flag byte
constexpr std::uint64_t kEncryptionRecordOffset = kBlockHeaderOffset + 2;
constexpr std::uint16_t kPlainDataOffset = 14;
constexpr std::uint16_t kEncryptedDataOffset = 143;
constexpr std::byte kEncryptedFlag{1};

static_assert(kEncryptionRecordOffset + kEncryptionRecordSize == kEncryptedDataOffset);
// A block is one XTS data unit.
static_assert((std::size_t{1} << BlocksInFile::kMaxBlockSizeShift) <= kMaxXtsDataUnit);

// The blocks a file of `file_size` bytes holds.
Result<std::uint64_t> block_count(std::uint64_t file_size, std::uint64_t data_offset,
                                  std::uint8_t shift) {
  const std::uint64_t whole_blocks = file_size > data_offset ? (file_size - data_offset) >> shift : 0;
  // Block numbers stop below the sentinel; a longer file is not one this layer wrote.
  if (whole_blocks > kNoBlock)
    return std::unexpected(VogError::io(
        format("file holds {} blocks, more than block numbers can address", whole_blocks)));
  // Block 0 exists even when the file cuts it short; counting it keeps
  // allocation from ever handing it out.
  return whole_blocks == 0 ? 1 : whole_blocks;
}

}  // namespace

BlocksInFile::BlocksInFile(BlockStorage storage, std::vector<Block0SlotInfo> slots,
                           BlocksInFileState state, std::uint64_t total_blocks)
    : storage_(std::move(storage)),
      slots_(std::move(slots)),
      cache_capacity_(cache_capacity_for_shift(storage_.shift())),
      state_(std::move(state)),
      total_blocks_(total_blocks),
      shared_cache_(cache_capacity_, block_bytes()),
      thread_caches_(cache_capacity_, block_bytes()) {}

BlocksInFile::~BlocksInFile() = default;

Result<std::unique_ptr<BlocksInFile>> BlocksInFile::create(
    const std::string& path, std::uint8_t block_size_shift,
    std::span<const std::uint16_t> slot_sizes, Password password) {
  auto make_file = [&path](std::uint16_t data_offset) -> Result<std::unique_ptr<FileLayer>> {
    VOG_TRY(file, FileOnDisk::create(path, data_offset));
    return std::unique_ptr<FileLayer>(std::move(*file));
  };
  return create_on(make_file, block_size_shift, slot_sizes, password);
}

Result<std::unique_ptr<BlocksInFile>> BlocksInFile::open(const std::string& path, AccessMode mode,
                                                         Password password) {
  VOG_TRY(file, FileOnDisk::open(path, mode));
  return open_on(std::move(*file), password);
}

Result<std::unique_ptr<BlocksInFile>> BlocksInFile::create_on(
    const FileMaker& make_file, std::uint8_t block_size_shift,
    std::span<const std::uint16_t> slot_sizes, Password password) {
  if (block_size_shift < kMinBlockSizeShift)
    return std::unexpected(
        VogError::io(format("block_size_shift must be >= {} (minimum {} bytes for superblock)",
                            kMinBlockSizeShift, 1u << kMinBlockSizeShift)));
  if (block_size_shift > kMaxBlockSizeShift)
    return std::unexpected(VogError::io(format("block_size_shift {} is too large (maximum {})",
                                               block_size_shift, kMaxBlockSizeShift)));
  const std::size_t block_size = std::size_t{1} << block_size_shift;
  VOG_CHECK(check_slot_layout(slot_sizes, block_size));

  // Key derivation comes before the file exists, so a failure leaves no file.
  std::unique_ptr<BlockCipher> cipher;
  std::array<std::byte, kEncryptionRecordSize> record{};
  if (password) {
    VOG_TRY(created, create_encryption(*password));
    cipher = std::move(created->cipher);
    record = serialize_config(created->config);
  }

  VOG_TRY(file, make_file(cipher ? kEncryptedDataOffset : kPlainDataOffset));
  std::unique_ptr<FileLayer> owned = std::move(*file);

  std::vector<std::byte> header{std::byte{block_size_shift},
                                cipher ? kEncryptedFlag : std::byte{0}};
  if (cipher) header.insert(header.end(), record.begin(), record.end());
  VOG_CHECK(owned->write(kBlockHeaderOffset, header));

  BlocksInFileState state;
  std::vector<Block0SlotInfo> slots;
  state.block0 = build_block0(slot_sizes, block_size, slots);
  state.free_head = kNoBlock;

  VOG_CHECK(owned->set_len(owned->data_offset() + block_size));
  BlockStorage storage(std::move(owned), block_size_shift, std::move(cipher));
  VOG_CHECK(storage.write(storage.whole_block(0), state.block0));
  return std::unique_ptr<BlocksInFile>(
      new BlocksInFile(std::move(storage), std::move(slots), std::move(state), 1));
}

Result<std::unique_ptr<BlocksInFile>> BlocksInFile::open_on(std::unique_ptr<FileLayer> file,
                                                            Password password) {
  std::array<std::byte, 2> header{};
  VOG_CHECK(file->read(kBlockHeaderOffset, header));
  const auto shift = std::to_integer<std::uint8_t>(header[0]);
  // A shift outside the range creation allows would mean blocks too small for
  // block 0 or too large to hold in memory.
  if (shift < kMinBlockSizeShift || shift > kMaxBlockSizeShift)
    return std::unexpected(VogError::io(format("unsupported block_size_shift: {}", shift)));

  std::unique_ptr<BlockCipher> cipher;
  if (header[1] != kEncryptedFlag) {
    if (password)
      return std::unexpected(VogError::io("password provided but file is not encrypted"));
  } else {
    std::array<std::byte, kEncryptionRecordSize> record{};
    VOG_CHECK(file->read(kEncryptionRecordOffset, record));
    VOG_TRY(config, deserialize_config(record));
    if (!password)
      return std::unexpected(
          VogError::encryption_required("file is encrypted but no password was provided"));
    VOG_TRY(opened, open_encryption(*config, *password));
    cipher = std::move(*opened);
  }

  VOG_TRY(file_size, file->len());
  BlockStorage storage(std::move(file), shift, std::move(cipher));
  BlocksInFileState state;
  state.block0.resize(storage.block_size());
  VOG_CHECK(storage.read(storage.whole_block(0), state.block0));
  VOG_TRY(contents, parse_block0(state.block0));

  VOG_TRY(total_blocks, block_count(*file_size, storage.data_offset(), shift));
  state.free_head = contents->free_head;
  return std::unique_ptr<BlocksInFile>(new BlocksInFile(
      std::move(storage), std::move(contents->slots), std::move(state), *total_blocks));
}

Result<void> BlocksInFile::refresh() {
  {
    std::lock_guard lock(state_mu_);
    std::vector<std::byte> block0(block_bytes());
    VOG_CHECK(storage_.read(storage_.whole_block(0), block0));
    VOG_TRY(contents, parse_block0(block0));
    const bool same_slots = std::ranges::equal(
        contents->slots, slots_, [](const Block0SlotInfo& a, const Block0SlotInfo& b) {
          return a.offset == b.offset && a.size == b.size;
        });
    if (!same_slots)
      return std::unexpected(VogError::io("block 0's admin slots changed while the file was open"));
    VOG_TRY(file_size, storage_.file().len());
    VOG_TRY(total, block_count(*file_size, storage_.data_offset(), storage_.shift()));
    state_.block0 = std::move(block0);
    state_.free_head = contents->free_head;
    total_blocks_.store(*total, std::memory_order_release);
  }
  std::lock_guard lock(shared_cache_mu_);
  shared_cache_.clear();
  cache_epoch_.fetch_add(1, std::memory_order_acq_rel);
  return {};
}

Result<void> BlocksInFile::roll_back() {
  VOG_CHECK(storage_.file().roll_back());
  return refresh();
}

Result<void> BlocksInFile::flush_block0(BlocksInFileState& state) {
  store_u32(state.block0, kBlock0FreeHeadOffset, state.free_head);
  return storage_.write(storage_.whole_block(0), state.block0);
}

Result<std::vector<std::byte>> BlocksInFile::read_admin_slot(std::uint8_t index) {
  if (index >= slots_.size())
    return std::unexpected(VogError::io(format(
        "admin slot index {} out of range (have {} slots in block 0)", index, slots_.size())));
  const Block0SlotInfo& slot = slots_[index];
  std::lock_guard lock(state_mu_);
  auto payload = std::span(state_.block0).subspan(slot.offset, slot.size);
  return std::vector<std::byte>(payload.begin(), payload.end());
}

Result<void> BlocksInFile::write_admin_slot(std::uint8_t index,
                                            std::span<const std::byte> payload) {
  if (index >= slots_.size())
    return std::unexpected(VogError::io(format(
        "admin slot index {} out of range (have {} slots in block 0)", index, slots_.size())));
  const Block0SlotInfo& slot = slots_[index];
  if (payload.size() != slot.size)
    return std::unexpected(VogError::io(
        format("admin slot {}: expected {} bytes, got {}", index, slot.size, payload.size())));
  std::lock_guard lock(state_mu_);
  std::memcpy(state_.block0.data() + slot.offset, payload.data(), payload.size());
  return flush_block0(state_);
}

std::uint64_t BlocksInFile::total_blocks() {
  return total_blocks_.load(std::memory_order_acquire);
}

BlockNo BlocksInFile::free_list_head() {
  std::lock_guard lock(state_mu_);
  return state_.free_head;
}

}  // namespace vog
