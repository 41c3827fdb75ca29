// Run transforms: a buffer of consecutive blocks cut into one chunk per
// worker-pool thread and transformed in place in parallel.
//
// Owns no bytes on disk. The cut is fixed by the thread count alone, so the
// same run always gives the same chunks: B = length / block_size whole blocks,
// P = ceil(B / T) blocks per chunk, chunk c at byte c * P * block_size with
// first block first + c * P. A trailing partial block rides in the last chunk.
#include <algorithm>
#include <cstring>

#include "encryption.hpp"
#include "worker_pool.hpp"

namespace vog {
namespace {

template <class Transform>
void transform_run(std::span<std::byte> buffer, std::size_t block_size, std::uint32_t first,
                   WorkerPool& pool, Transform transform_chunk) {
  const RunSplit split = split_run(buffer.size(), block_size, pool.thread_count());
  auto chunk = [&](std::size_t c) {
    const std::size_t offset = c * split.chunk_length;
    const std::size_t length = std::min(split.chunk_length, buffer.size() - offset);
    // Block numbers are 32-bit and the run lies within them.
    const auto block = static_cast<std::uint32_t>(first + c * split.blocks_per_chunk);
    transform_chunk(block, buffer.subspan(offset, length));
  };
  if (split.chunk_count == 1) {
    chunk(0);  // no hand-off for a run that does not split
    return;
  }
  pool.run(split.chunk_count, chunk);
}

}  // namespace

// Runs of blocks call these once per chunk; the engine's cipher replaces them
// with versions that keep one cipher context across the chunk.
void BlockCipher::encrypt_units(std::uint32_t first, std::span<std::byte> data,
                                std::size_t unit) const {
  if (unit == 0) return;
  for (std::size_t at = 0; at < data.size(); at += unit, ++first)
    encrypt_block(first, data.subspan(at, std::min(unit, data.size() - at)));
}

void BlockCipher::decrypt_units(std::uint32_t first, std::span<std::byte> data,
                                std::size_t unit) const {
  if (unit == 0) return;
  for (std::size_t at = 0; at < data.size(); at += unit, ++first)
    decrypt_block(first, data.subspan(at, std::min(unit, data.size() - at)));
}

void BlockCipher::encrypt_units_to(std::uint32_t first, std::span<const std::byte> in,
                                   std::span<std::byte> out, std::size_t unit) const {
  std::memcpy(out.data(), in.data(), in.size());
  encrypt_units(first, out, unit);
}

RunSplit split_run(std::size_t length, std::size_t block_size, std::size_t threads) {
  if (block_size == 0 || threads == 0) return {};
  const std::size_t blocks = length / block_size;
  if (blocks == 0) return {};
  const std::size_t per_chunk = (blocks + threads - 1) / threads;
  const std::size_t chunk_length = per_chunk * block_size;
  return {per_chunk, chunk_length, (length + chunk_length - 1) / chunk_length};
}

void encrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first, WorkerPool& pool) {
  transform_run(buffer, block_size, first, pool,
                [&](std::uint32_t block, std::span<std::byte> chunk) {
                  cipher.encrypt_units(block, chunk, block_size);
                });
}

void decrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first, WorkerPool& pool) {
  transform_run(buffer, block_size, first, pool,
                [&](std::uint32_t block, std::span<std::byte> chunk) {
                  cipher.decrypt_units(block, chunk, block_size);
                });
}

void encrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first) {
  if (buffer.size() < block_size) return;  // leaves the pool unstarted
  encrypt_blocks(cipher, buffer, block_size, first, WorkerPool::process_pool());
}

void decrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first) {
  if (buffer.size() < block_size) return;
  decrypt_blocks(cipher, buffer, block_size, first, WorkerPool::process_pool());
}

}  // namespace vog
