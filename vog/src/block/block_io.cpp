// BlocksInFile: block transfers and the block caches.
//
// Every transfer goes through storage_ (block_storage.hpp), which alone knows
// whether blocks are stored sealed; every buffer this file hands to a cache or
// a caller is plaintext.
//
// Only allocation grows the file: every write is checked against the blocks
// the file holds (held_run) before it touches the file or a cache, so a
// damaged block number read from disk gets an error instead of a write far
// past the end of the file. Reads are bounded by the sentinel alone: a block
// past the end of the file reads as zeros and changes nothing.
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
#include <cstring>

#include "blocks_in_file.hpp"
#include "format.hpp"

namespace vog {
Result<BlockStorage::Run> BlocksInFile::held_run(std::string_view action, BlockNo first,
                                                 std::uint64_t offset,
                                                 std::size_t length) const {
  return storage_.locate(action, first, offset, length,
                         total_blocks_.load(std::memory_order_acquire));
}

// ---- single blocks ---------------------------------------------------------

bool BlocksInFile::read_cached(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                               CacheHint hint) {
  if (hint == CacheHint::ThreadCache) {
    BlockCache* cache = thread_cache(/*create=*/true);
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

  if (hint == CacheHint::NoCache) {
    // Only the requested bytes where the storage allows; past the end of the
    // file a block reads as zeros.
    VOG_CHECK(storage_.read({block, offset, block_bytes()}, out));
    return out.size();
  }

  std::vector<std::byte> whole(block_bytes());
  VOG_TRY(got, storage_.read(storage_.whole_block(block), whole));
  std::memcpy(out.data(), whole.data() + offset, out.size());
  if (got->complete) cache_put(block, whole, hint);
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
  VOG_CHECK(held_run("write_block", block, offset, data.size()));

  // Captures by value only, small enough for std::function to keep in place.
  auto cached_copy = [this, block, hint](std::span<std::byte> plain) {
    auto copy_from = [&](const BlockCache& cache) {
      std::span<const std::byte> hit = cache.peek(block);
      if (hit.empty()) return false;
      std::memcpy(plain.data(), hit.data(), plain.size());
      return true;
    };
    if (hint == CacheHint::ThreadCache) {
      BlockCache* cache = thread_cache(/*create=*/true);
      return cache != nullptr && copy_from(*cache);
    }
    if (hint == CacheHint::SharedCache) {
      std::lock_guard lock(shared_cache_mu_);
      return copy_from(shared_cache_);
    }
    return false;
  };
  VOG_TRY(whole, storage_.write_in_block(block, offset, data, cached_copy));
  if (!whole->empty()) {
    cache_put(block, *whole, hint);
    return data.size();
  }
  // Only the bytes were written: a cached copy follows them, an uncached
  // block is not brought in.
  auto patch = [&](BlockCache& cache) {
    std::span<std::byte> hit = cache.get(block);
    if (!hit.empty()) std::memcpy(hit.data() + offset, data.data(), data.size());
  };
  if (hint == CacheHint::ThreadCache) {
    if (BlockCache* cache = thread_cache(/*create=*/true)) patch(*cache);
  } else if (hint == CacheHint::SharedCache) {
    std::lock_guard lock(shared_cache_mu_);
    patch(shared_cache_);
  }
  return data.size();
}

// ---- runs of blocks ----------------------------------------------------------

Result<std::size_t> BlocksInFile::read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                                         std::span<std::byte> out) {
  // Nothing to move names no block, so no position is out of range for it.
  if (out.empty()) return 0;
  VOG_TRY(run, storage_.locate("read_contiguous_blocks", first, offset, out.size(), kNoBlock));
  VOG_TRY(got, storage_.read(*run, out));
  return got->bytes;
}

Result<std::size_t> BlocksInFile::write_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                                          std::span<const std::byte> data) {
  if (data.empty()) return 0;
  VOG_TRY(run, held_run("write_contiguous_blocks", first, offset, data.size()));
  VOG_CHECK(storage_.write(*run, data));
  return data.size();
}

Result<void> BlocksInFile::write_gathered_blocks(
    BlockNo first, std::span<const std::span<const std::byte>> pieces) {
  const std::size_t size = joined_size(pieces);
  if (size == 0) return {};
  VOG_TRY(run, held_run("write_contiguous_blocks", first, 0, size));
  return storage_.write_gathered(*run, pieces);
}

// ---- whole blocks for the free list and verification -------------------------

Result<std::vector<std::byte>> BlocksInFile::read_raw_block(BlockNo block) {
  std::vector<std::byte> whole(block_bytes());
  VOG_CHECK(storage_.read(storage_.whole_block(block), whole));
  return whole;
}

Result<void> BlocksInFile::write_raw_block(BlockNo block, std::span<const std::byte> data) {
  VOG_TRY(run, held_run("write trunk", block, 0, data.size()));
  return storage_.write(*run, data);
}

// ---- cache maintenance -------------------------------------------------------

void BlocksInFile::cache_put(BlockNo block, std::span<const std::byte> data, CacheHint hint) {
  if (hint == CacheHint::ThreadCache) {
    if (BlockCache* cache = thread_cache(/*create=*/true)) cache->put(block, data);
  } else if (hint == CacheHint::SharedCache) {
    std::lock_guard lock(shared_cache_mu_);
    shared_cache_.put(block, data);
  }
}

void BlocksInFile::evict_from_all_caches(std::span<const BlockNo> blocks) {
  if (blocks.empty()) return;
  if (BlockCache* cache = thread_cache(/*create=*/false)) {
    for (BlockNo block : blocks) cache->pop(block);
  }
  std::lock_guard lock(shared_cache_mu_);
  for (BlockNo block : blocks) shared_cache_.pop(block);
}

BlockCache* BlocksInFile::thread_cache(bool create) {
  BlockCache* cache = create ? thread_caches_.find_or_create() : thread_caches_.find();
  if (cache != nullptr) {
    const std::uint64_t epoch = cache_epoch_.load(std::memory_order_acquire);
    if (cache->epoch() != epoch) {
      cache->clear();
      cache->set_epoch(epoch);
    }
  }
  return cache;
}

void BlocksInFile::clear_thread_cache() {
  if (BlockCache* cache = thread_cache(/*create=*/false)) cache->clear();
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
