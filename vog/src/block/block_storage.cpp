// BlockStorage: the stored form of blocks and the one call site of the cipher.
//
// Block N lies at data_offset + N * block size. A transfer names a run: its
// first block and a byte offset from that block's start, which may pass
// several blocks; it is first normalised so the offset lies inside the first
// block (locate()), then moved with one file transfer each way, or with one
// per piece when a long sealed run is shared out to the worker pool.
//
// Invariants:
//  1. Plaintext never reaches the file of a sealed store: every buffer
//     written is sealed first, a copy when the caller keeps the plaintext.
//  2. Sealed storage transfers whole blocks only; a partial write reads,
//     unseals and patches its first and last block before sealing them again.
//  3. Nothing here caches: a buffer handed back is plaintext straight from the
//     file (zeros past its end, decrypted when sealed).
#include "block_storage.hpp"

#include <algorithm>
#include <cstring>

#include "format.hpp"
#include "worker_pool.hpp"

namespace vog {
namespace {

void zero_tail(std::span<std::byte> buffer, std::size_t filled) {
  if (filled < buffer.size()) std::memset(buffer.data() + filled, 0, buffer.size() - filled);
}

// Most sealed bytes a write holds at once: a long run is sealed and written
// a batch at a time, so that it never costs a second copy of the whole run.
constexpr std::size_t kSealBatch = std::size_t{4} << 20;
// A run of whole blocks is sealed and written in pieces of this many bytes
// (at least one block): large enough for an efficient write, small enough
// that writing one overlaps sealing the next.
constexpr std::size_t kSealPiece = std::size_t{256} << 10;
// Sealed runs of at least kSharedRead bytes are read in pieces of
// kUnsealPiece on the worker pool, each piece unsealed by the thread that
// read it while the bytes are still in its cache (32 KiB read 1.14x faster
// than 256 KiB, 16 KiB no faster). Plain runs gain nothing: two threads
// copying out of the page cache took as long as one.
constexpr std::size_t kSharedRead = std::size_t{512} << 10;
constexpr std::size_t kUnsealPiece = std::size_t{32} << 10;

// `piece` bytes rounded down to whole blocks, at least one.
std::size_t piece_length(std::size_t piece, std::size_t block_size) {
  return std::max(block_size, piece & ~(block_size - 1));
}

// Piece i of `run` cut into pieces of `length` bytes; the last may be shorter.
template <class Byte>
std::span<Byte> piece_of(std::span<Byte> run, std::size_t length, std::size_t i) {
  return run.subspan(i * length, std::min(length, run.size() - i * length));
}

}  // namespace

BlockStorage::BlockStorage(std::unique_ptr<FileLayer> file, std::uint8_t shift,
                           std::unique_ptr<BlockCipher> cipher)
    : file_(std::move(file)),
      cipher_(std::move(cipher)),
      shift_(shift),
      data_offset_(file_->data_offset()) {}

Result<BlockStorage::Run> BlockStorage::locate(std::string_view action, BlockNo first,
                                               std::uint64_t offset, std::size_t length,
                                               std::uint64_t held) const {
  const std::uint64_t size = block_size();
  Run run{std::uint64_t{first} + (offset >> shift_), offset & (size - 1), 0};
  // Below `held`, every file offset of the run fits 64 bits.
  const bool fits = run.first_block < held &&
                    length <= ((held - run.first_block) << shift_) - run.within;
  if (!fits)
    return std::unexpected(VogError::io(format("{}: block {} is past the last block ({})", action,
                                               std::max(run.first_block, held), held - 1)));
  run.span = (run.within + length + size - 1) & ~(size - 1);
  return run;
}

Result<BlockStorage::Delivered> BlockStorage::read(const Run& run, std::span<std::byte> out) const {
  const std::uint64_t start = block_offset(run.first_block);
  if (!cipher_) {
    VOG_TRY(got, file_->read(start + run.within, out));
    zero_tail(out, *got);
    return Delivered{*got, *got == out.size()};
  }
  const auto first = static_cast<BlockNo>(run.first_block);
  if (run.within == 0 && run.span == out.size()) {
    if (out.size() >= kSharedRead) return read_whole_shared(first, out);
    VOG_TRY(got, file_->read(start, out));
    zero_tail(out, *got);  // past the end of the file a block is zeros before decryption
    unseal(first, out);
    return Delivered{out.size(), *got == out.size()};
  }
  std::vector<std::byte> scratch(run.span);
  VOG_TRY(got, file_->read(start, scratch));
  unseal(first, scratch);
  std::memcpy(out.data(), scratch.data() + run.within, out.size());
  return Delivered{out.size(), *got == scratch.size()};
}

Result<BlockStorage::Delivered> BlockStorage::read_whole_shared(BlockNo first,
                                                                 std::span<std::byte> out) const {
  const std::size_t size = block_size();
  const std::size_t piece = piece_length(kUnsealPiece, size);
  std::vector<Result<std::size_t>> got((out.size() + piece - 1) / piece);
  WorkerPool::process_pool().run(got.size(), [&](std::size_t i) {
    const std::span<std::byte> part = piece_of(out, piece, i);
    got[i] = file_->read(block_offset(first) + i * piece, part);
    if (!got[i]) return;
    zero_tail(part, *got[i]);  // past the end of the file a block is zeros before decryption
    cipher_->decrypt_units(static_cast<BlockNo>(first + i * piece / size), part, size);
  });
  bool complete = true;
  for (std::size_t i = 0; i < got.size(); ++i) {
    VOG_CHECK(got[i]);
    complete = complete && *got[i] == piece_of(out, piece, i).size();
  }
  return Delivered{out.size(), complete};
}

Result<void> BlockStorage::write_gathered(
    const Run& run, std::span<const std::span<const std::byte>> pieces) const {
  if (cipher_) return write(run, joined(pieces));
  return file_->write_gathered(block_offset(run.first_block) + run.within, pieces);
}

Result<void> BlockStorage::write(const Run& run, std::span<const std::byte> data) const {
  if (!cipher_) return file_->write(block_offset(run.first_block) + run.within, data);
  // A block the run covers in part is rewritten whole with its other bytes
  // kept; the blocks between are all the caller's.
  const auto from_file = [](std::span<std::byte>) { return false; };
  auto first = static_cast<BlockNo>(run.first_block);
  if (run.within != 0) {
    const std::size_t head = std::min<std::size_t>(data.size(), block_size() - run.within);
    VOG_CHECK(write_in_block(first, static_cast<std::uint32_t>(run.within), data.first(head),
                             from_file));
    data = data.subspan(head);
    ++first;
  }
  const std::size_t whole = data.size() - data.size() % block_size();
  VOG_CHECK(write_whole_blocks(first, data.first(whole)));
  if (whole != data.size())
    VOG_CHECK(write_in_block(static_cast<BlockNo>(first + whole / block_size()), 0,
                             data.subspan(whole), from_file));
  return {};
}

Result<void> BlockStorage::write_whole_blocks(BlockNo first, std::span<const std::byte> data) const {
  // Sealed from the caller's bytes piece by piece on the worker pool, while
  // this thread writes the pieces already sealed, in order.
  if (data.empty()) return {};
  const std::uint64_t start = block_offset(first);
  const std::size_t size = block_size();
  const std::size_t piece = piece_length(kSealPiece, size);
  const std::size_t batch = piece_length(kSealBatch, size);  // whole pieces
  std::unique_ptr<std::byte[]> buffer(new std::byte[std::min(batch, data.size())]);
  for (std::size_t at = 0; at < data.size(); at += batch) {
    const std::span<const std::byte> plain = data.subspan(at, std::min(batch, data.size() - at));
    const std::span<std::byte> sealed(buffer.get(), plain.size());
    Result<void> wrote;
    WorkerPool::process_pool().run_ordered(
        (plain.size() + piece - 1) / piece,
        [&](std::size_t i) {
          cipher_->encrypt_units_to(static_cast<BlockNo>(first + (at + i * piece) / size),
                                    piece_of(plain, piece, i), piece_of(sealed, piece, i), size);
        },
        [&](std::size_t i) {
          wrote = file_->write(start + at + i * piece, piece_of(sealed, piece, i));
          return wrote.has_value();
        });
    VOG_CHECK(std::move(wrote));
  }
  return {};
}

Result<std::vector<std::byte>> BlockStorage::write_in_block(BlockNo block, std::uint32_t offset,
                                                            std::span<const std::byte> data,
                                                            const CachedCopy& cached) const {
  if (!cipher_) {
    VOG_CHECK(file_->write(block_offset(block) + offset, data));
    return std::vector<std::byte>{};
  }
  std::vector<std::byte> plain(block_size());
  if (!cached(plain)) {
    VOG_CHECK(file_->read(block_offset(block), plain));
    unseal(block, plain);
  }
  std::memcpy(plain.data() + offset, data.data(), data.size());
  std::vector<std::byte> sealed = plain;
  seal(block, sealed);
  VOG_CHECK(file_->write(block_offset(block), sealed));
  return plain;
}

Result<void> BlockStorage::write_zero_blocks(std::span<const BlockNo> blocks) const {
  if (blocks.empty()) return {};  // most allocations reuse no block
  const std::size_t size = block_size();
  if (!cipher_) {
    const std::vector<std::byte> zeros(size);
    for (BlockNo block : blocks) VOG_CHECK(file_->write(block_offset(block), zeros));
    return {};
  }
  // Sealed zeros differ per block (the tweak is the block number). Each batch
  // is sealed in parallel on the worker pool, one share of the batch's blocks
  // per task, then written block by block in order.
  WorkerPool& pool = WorkerPool::process_pool();
  const std::size_t batch_blocks = std::max<std::size_t>(1, kSealBatch / size);
  std::vector<std::byte> sealed;
  for (std::size_t at = 0; at < blocks.size(); at += batch_blocks) {
    const std::span<const BlockNo> batch =
        blocks.subspan(at, std::min(batch_blocks, blocks.size() - at));
    sealed.assign(batch.size() * size, std::byte{0});
    const std::size_t tasks = std::min(batch.size(), pool.thread_count());
    const std::size_t per_task = (batch.size() + tasks - 1) / tasks;
    pool.run(tasks, [&](std::size_t task) {
      const std::size_t end = std::min(batch.size(), (task + 1) * per_task);
      for (std::size_t i = task * per_task; i < end; ++i)
        encrypt_block(*cipher_, batch[i], std::span(sealed).subspan(i * size, size));
    });
    for (std::size_t i = 0; i < batch.size(); ++i)
      VOG_CHECK(file_->write(block_offset(batch[i]), std::span(sealed).subspan(i * size, size)));
  }
  return {};
}

void BlockStorage::seal(BlockNo first, std::span<std::byte> blocks) const {
  encrypt_blocks(*cipher_, blocks, block_size(), first);
}

void BlockStorage::unseal(BlockNo first, std::span<std::byte> blocks) const {
  decrypt_blocks(*cipher_, blocks, block_size(), first);
}

}  // namespace vog
