// BlocksInFile: block transfers and the block caches.
//
// Block N lies at data_offset_ + N * block size. Callers always see plaintext:
// an encrypted store decrypts whole blocks (one XTS data unit each, tweak =
// block number) on the way in and encrypts a copy on the way out, so every
// buffer this file hands to a cache or a caller is plaintext.
//
// Caches: the shared cache (under shared_cache_mu_) and one private cache per
// thread (thread_caches_, no lock). Both hold only whole plaintext blocks
// that match the file, and are never written back.
//
// Invariants:
//  1. Only complete blocks enter a cache: a read cut short by the end of the
//     file is never cached.
//  2. shared_cache_mu_ is held for one lookup, update or insertion, never
//     across file I/O and never together with state_mu_; nothing here takes
//     state_mu_.
//  3. A transfer that fails leaves every cache as it was.
#include <algorithm>
#include <cstring>

#include "blocks_in_file.hpp"
#include "format.hpp"

namespace vog {
namespace {

void zero_tail(std::span<std::byte> buffer, std::size_t filled) {
  if (filled < buffer.size()) std::memset(buffer.data() + filled, 0, buffer.size() - filled);
}

// A range of `length` bytes starting `offset` bytes into block `first`,
// normalised so that the offset lies inside the first block.
struct Run {
  std::uint64_t first_block;
  std::uint64_t within;  // < block size
  std::uint64_t span;    // within + length rounded up to whole blocks
};

Result<Run> locate_run(std::string_view action, BlockNo first, std::uint64_t offset,
                       std::size_t length, std::uint8_t shift) {
  const std::uint64_t block_size = std::uint64_t{1} << shift;
  Run run{std::uint64_t{first} + (offset >> shift), offset & (block_size - 1), 0};
  // Every byte must lie in a block below the sentinel, or the file offset
  // would name no block (and could overflow).
  const std::uint64_t room =
      run.first_block > kNoBlock ? 0 : (std::uint64_t{kNoBlock} - run.first_block) << shift;
  if (run.first_block > kNoBlock || run.within + length > room)
    return std::unexpected(
        VogError::io(format("{}: offset {} + len {} from block {} passes the last block", action,
                            offset, length, first)));
  run.span = (run.within + length + block_size - 1) & ~(block_size - 1);
  return run;
}

}  // namespace

// ---- single blocks ---------------------------------------------------------

bool BlocksInFile::read_cached(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                               CacheHint hint) {
  if (hint == CacheHint::ThreadCache) {
    BlockCache* cache = thread_caches_.find_or_create();
    if (cache == nullptr) return false;
    std::span<std::byte> hit = cache->get(block);
    if (hit.empty()) return false;
    std::memcpy(out.data(), hit.data() + offset, out.size());
    return true;
  }
  if (hint == CacheHint::SharedCache) {
    std::lock_guard lock(shared_cache_mu_);
    std::span<std::byte> hit = shared_cache_.get(block);
    if (hit.empty()) return false;
    std::memcpy(out.data(), hit.data() + offset, out.size());
    return true;
  }
  return false;
}

Result<std::size_t> BlocksInFile::read_block(BlockNo block, std::uint32_t offset,
                                             std::span<std::byte> out, CacheHint hint) {
  if (block == kNoBlock)
    return std::unexpected(VogError::io(format("read_block: block index {} is sentinel", block)));
  if (std::uint64_t{offset} + out.size() > block_bytes())
    return std::unexpected(
        VogError::io(format("read_block: offset {} + len {} exceeds block_size {}", offset,
                            out.size(), block_bytes())));
  if (read_cached(block, offset, out, hint)) return out.size();

  if (hint == CacheHint::NoCache && !cipher_) {
    // Only the requested bytes; past the end of the file a block reads as zeros.
    VOG_TRY(got, file_->read(block_offset(block) + offset, out));
    zero_tail(out, *got);
    return out.size();
  }

  std::vector<std::byte> whole(block_bytes());
  VOG_TRY(got, file_->read(block_offset(block), whole));
  if (cipher_) decrypt_block(*cipher_, block, whole);
  std::memcpy(out.data(), whole.data() + offset, out.size());
  if (*got == whole.size()) cache_put(block, whole, hint);
  return out.size();
}

Result<std::size_t> BlocksInFile::write_block(BlockNo block, std::uint32_t offset,
                                              std::span<const std::byte> data, CacheHint hint) {
  if (block == kNoBlock)
    return std::unexpected(VogError::io(format("write_block: block index {} is sentinel", block)));
  if (std::uint64_t{offset} + data.size() > block_bytes())
    return std::unexpected(
        VogError::io(format("write_block: offset {} + len {} exceeds block_size {}", offset,
                            data.size(), block_bytes())));

  if (!cipher_) {
    VOG_CHECK(file_->write(block_offset(block) + offset, data));
    // A cached copy follows the write; an uncached block is not brought in.
    auto patch = [&](BlockCache& cache) {
      std::span<std::byte> hit = cache.get(block);
      if (!hit.empty()) std::memcpy(hit.data() + offset, data.data(), data.size());
    };
    if (hint == CacheHint::ThreadCache) {
      if (BlockCache* cache = thread_caches_.find_or_create()) patch(*cache);
    } else if (hint == CacheHint::SharedCache) {
      std::lock_guard lock(shared_cache_mu_);
      patch(shared_cache_);
    }
    return data.size();
  }

  // Encrypted: the whole block is rewritten, so start from its plaintext.
  std::vector<std::byte> plain(block_bytes());
  bool have = false;
  auto copy_from = [&](const BlockCache& cache) {
    std::span<const std::byte> hit = cache.peek(block);
    if (hit.empty()) return;
    std::memcpy(plain.data(), hit.data(), plain.size());
    have = true;
  };
  if (hint == CacheHint::ThreadCache) {
    if (BlockCache* cache = thread_caches_.find_or_create()) copy_from(*cache);
  } else if (hint == CacheHint::SharedCache) {
    std::lock_guard lock(shared_cache_mu_);
    copy_from(shared_cache_);
  }
  if (!have) {
    VOG_CHECK(file_->read(block_offset(block), plain));
    decrypt_block(*cipher_, block, plain);
  }
  std::memcpy(plain.data() + offset, data.data(), data.size());
  std::vector<std::byte> sealed = plain;
  encrypt_block(*cipher_, block, sealed);
  VOG_CHECK(file_->write(block_offset(block), sealed));
  cache_put(block, plain, hint);
  return data.size();
}

// ---- runs of blocks ----------------------------------------------------------

Result<std::size_t> BlocksInFile::read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                                         std::span<std::byte> out) {
  // Nothing to move names no block, so no position is out of range for it.
  if (out.empty()) return 0;
  VOG_TRY(run, locate_run("read_contiguous_blocks", first, offset, out.size(), shift_));
  const std::uint64_t start = data_offset_ + (run->first_block << shift_);
  if (!cipher_) return file_->read(start + run->within, out);

  if (run->within == 0 && run->span == out.size()) {
    VOG_TRY(got, file_->read(start, out));
    zero_tail(out, *got);  // past the end of the file a block is zeros before decryption
    decrypt_run(static_cast<BlockNo>(run->first_block), out);
    return out.size();
  }
  std::vector<std::byte> scratch(run->span);
  VOG_CHECK(file_->read(start, scratch));
  decrypt_run(static_cast<BlockNo>(run->first_block), scratch);
  std::memcpy(out.data(), scratch.data() + run->within, out.size());
  return out.size();
}

Result<std::size_t> BlocksInFile::write_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                                          std::span<const std::byte> data) {
  if (data.empty()) return 0;
  VOG_TRY(run, locate_run("write_contiguous_blocks", first, offset, data.size(), shift_));
  const std::uint64_t start = data_offset_ + (run->first_block << shift_);
  if (!cipher_) {
    VOG_CHECK(file_->write(start + run->within, data));
    return data.size();
  }

  std::vector<std::byte> scratch(run->span);
  const auto first_block = static_cast<BlockNo>(run->first_block);
  if (run->within != 0 || run->span != data.size()) {
    // Keep the untouched parts of the first and last block.
    VOG_CHECK(file_->read(start, scratch));
    decrypt_run(first_block, scratch);
  }
  std::memcpy(scratch.data() + run->within, data.data(), data.size());
  encrypt_run(first_block, scratch);
  VOG_CHECK(file_->write(start, scratch));
  return data.size();
}

void BlocksInFile::encrypt_run(BlockNo first, std::span<std::byte> blocks) const {
  encrypt_blocks(*cipher_, blocks, block_bytes(), first);
}

void BlocksInFile::decrypt_run(BlockNo first, std::span<std::byte> blocks) const {
  decrypt_blocks(*cipher_, blocks, block_bytes(), first);
}

// ---- whole blocks for the free list and verification -------------------------

Result<std::vector<std::byte>> BlocksInFile::read_raw_block(BlockNo block) {
  std::vector<std::byte> whole(block_bytes());
  VOG_CHECK(file_->read(block_offset(block), whole));
  if (cipher_) decrypt_block(*cipher_, block, whole);
  return whole;
}

Result<void> BlocksInFile::write_raw_block(BlockNo block, std::span<const std::byte> data) {
  if (!cipher_) return file_->write(block_offset(block), data);
  std::vector<std::byte> sealed(data.begin(), data.end());
  encrypt_block(*cipher_, block, sealed);
  return file_->write(block_offset(block), sealed);
}

// ---- cache maintenance -------------------------------------------------------

void BlocksInFile::cache_put(BlockNo block, std::span<const std::byte> data, CacheHint hint) {
  if (hint == CacheHint::ThreadCache) {
    if (BlockCache* cache = thread_caches_.find_or_create()) cache->put(block, data);
  } else if (hint == CacheHint::SharedCache) {
    std::lock_guard lock(shared_cache_mu_);
    shared_cache_.put(block, data);
  }
}

void BlocksInFile::evict_from_all_caches(std::span<const BlockNo> blocks) {
  if (blocks.empty()) return;
  if (BlockCache* cache = thread_caches_.find()) {
    for (BlockNo block : blocks) cache->pop(block);
  }
  std::lock_guard lock(shared_cache_mu_);
  for (BlockNo block : blocks) shared_cache_.pop(block);
}

void BlocksInFile::clear_thread_cache() {
  if (BlockCache* cache = thread_caches_.find()) cache->clear();
}

std::size_t BlocksInFile::shared_cache_size() {
  std::lock_guard lock(shared_cache_mu_);
  return shared_cache_.size();
}

std::size_t BlocksInFile::thread_cache_size() const {
  const BlockCache* cache = thread_caches_.find();
  return cache == nullptr ? 0 : cache->size();
}

}  // namespace vog
