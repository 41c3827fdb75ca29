// Compressed streams: cblock read-modify-write over redirector blocks.
//
// Bytes owned on disk: redirector blocks (length, then ceil(length / B) block
// numbers; bytes after the last entry are left as they were) and the blocks of
// compressed data they name.
//
// Invariants:
//  1. After a reserve, every cblock below reserved / C has a redirector.
//  2. A redirector's record fits into its block: 4 + 4k <= B. Creation refuses
//     shifts whose worst case could break this; a write checks it again before
//     touching any block, so an old redirector never names half-rewritten data
//     because of it.
//  3. In each cblock update the redirector is written last, after its data.
//  4. A cblock decompresses to at most C bytes; bytes past that read as zeros.
//  5. A write reads its cblocks' redirectors (not those its own reserve just
//     made empty) and old data, then compresses the cblocks of a batch in
//     parallel on the worker pool while the calling thread allocates, frees
//     and writes them in unit order as they come: the file ends up byte for
//     byte as if the cblocks had been updated one at a time.
//  6. A read walks the index to its cblocks' redirectors on the calling
//     thread, then reads the redirectors and data and decodes on the worker
//     pool, each whole cblock decoded (also for a few of its bytes) so that
//     damage anywhere in it fails the read.
// Buffers stay with the thread between calls: a read's in the thread that
// decodes, a write's lent to its batch slots by the calling thread.
#include "compressed_stream.hpp"

#include <lz4.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "format.hpp"
#include "le_bytes.hpp"
#include "worker_pool.hpp"

namespace vog {
namespace {

constexpr std::size_t kSharesPerThread = 4;

std::size_t redirector_record_size(std::uint64_t entries) noexcept {
  return static_cast<std::size_t>(4 + 4 * entries);
}

// Calls move(first block, offset into `bytes`, length) for each run of
// consecutive numbers in `list`; the last run carries only what remains.
template <class Move>
Result<void> for_each_block_run(std::span<const BlockNo> list, std::uint32_t block_size,
                                std::size_t total, Move move) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < list.size() && at < total;) {
    std::size_t run = 1;
    while (i + run < list.size() && list[i + run] == list[i] + run) ++run;
    std::size_t len = std::min<std::size_t>(run * block_size, total - at);
    VOG_CHECK(move(list[i], at, len));
    at += len;
    i += run;
  }
  return {};
}

// Reads redirector `r` and checks every block it names against the file.
Result<CompRedirector> load_redirector(BlockLayer& blocks, BlockNo r, std::uint64_t cblock_size,
                                       CacheHint hint = CacheHint::ThreadCache) {
  VOG_TRY(redirector, read_comp_redir(blocks, r, cblock_size, hint));
  for (std::size_t i = 0; i < redirector->blocks.size(); ++i)
    VOG_CHECK(check_in_file(blocks, "redirector block", r, i, redirector->blocks[i]));
  return redirector;
}

}  // namespace

Result<void> check_compressed_block_size_shift(std::uint8_t cblock_shift,
                                               std::uint8_t block_shift) {
  if (cblock_shift == 0) return {};
  auto too_large = [&] {
    return std::unexpected(VogError::io(format(
        "compressed_block_size_shift ({}) is too large for block_size_shift ({})", cblock_shift,
        block_shift)));
  };
  if (cblock_shift > kMaxCompressedBlockShift) return too_large();
  if (block_shift >= 32) return {};
  std::uint64_t block_size = std::uint64_t{1} << block_shift;
  std::uint64_t worst = units_for(compressed_capacity(std::uint64_t{1} << cblock_shift), block_size);
  if (redirector_record_size(worst) > block_size) return too_large();
  return {};
}

Result<void> check_cblock_fills_a_block(std::uint8_t cblock_shift, std::uint8_t block_shift) {
  if (cblock_shift != 0 && cblock_shift < block_shift)
    return std::unexpected(VogError::io(
        format("compressed_block_size_shift ({}) must be >= block_size_shift ({})", cblock_shift,
               block_shift)));
  return {};
}

Result<void> CompressedOps::init_units(std::span<const BlockNo> units) const {
  // A plain store hands out blocks of zeros, which are empty redirectors already.
  if (!blocks_.is_encrypted()) return {};
  const std::array<std::byte, 4> empty{};
  for (BlockNo unit : units) VOG_CHECK(blocks_.write_block(unit, 0, empty, CacheHint::ThreadCache));
  return {};
}

Result<void> CompressedOps::collect_unit_blocks(BlockNo unit, std::vector<BlockNo>& out) const {
  return collect_leaf_blocks_for_dealloc(blocks_, unit, cblock_size_, out);
}

void CompressedOps::claim_unit(BlockNo unit, std::string_view label,
                               std::vector<BlockNo>& claimed,
                               VerifyReport& report) const {
  claimed.push_back(unit);
  auto redirector = read_comp_redir(blocks_, unit, cblock_size_);
  if (!redirector) {
    report.add("L3: stream {}: error reading comp redirector block {}: {}", label, unit,
               redirector.error().to_string());
    return;
  }
  claimed.insert(claimed.end(), redirector->blocks.begin(), redirector->blocks.end());
}

Result<CompRedirector> read_comp_redir(BlockLayer& blocks, BlockNo r, std::uint64_t cblock_size,
                                       CacheHint hint) {
  const std::uint32_t block_size = blocks.block_size();
  // Only the longest record a cblock can need is ever looked at.
  std::vector<std::byte> image(std::min<std::size_t>(
      block_size, redirector_record_size(units_for(compressed_capacity(cblock_size), block_size))));
  VOG_CHECK(blocks.read_block(r, 0, image, hint));
  CompRedirector redirector;
  redirector.length = load_u32(image, 0);
  if (redirector.length == 0) return redirector;
  std::uint64_t entries = units_for(redirector.length, block_size);
  if (redirector_record_size(entries) > block_size)
    return std::unexpected(VogError::io(
        format("corrupt redirector block {}: length {} does not fit in one block", r,
               redirector.length)));
  if (redirector.length > compressed_capacity(cblock_size))
    return std::unexpected(VogError::io(
        format("corrupt redirector block {}: length {} exceeds the largest compressed block ({})",
               r, redirector.length, compressed_capacity(cblock_size))));
  redirector.blocks.resize(static_cast<std::size_t>(entries));
  for (std::size_t i = 0; i < redirector.blocks.size(); ++i)
    redirector.blocks[i] = load_u32(image, 4 + 4 * i);
  return redirector;
}

Result<void> collect_leaf_blocks_for_dealloc(BlockLayer& blocks, BlockNo r,
                                             std::uint64_t cblock_size,
                                             std::vector<BlockNo>& out) {
  VOG_TRY(redirector, load_redirector(blocks, r, cblock_size));
  out.insert(out.end(), redirector->blocks.begin(), redirector->blocks.end());
  out.push_back(r);
  return {};
}

Result<BlockNo> resolve_redir_block(const Pyramid& pyramid, BlockNo top, std::uint64_t u,
                                    unsigned depth, LeafCache& cache, std::uint32_t to) {
  if (depth == 0) return top;
  VOG_CHECK(pyramid.load_leaf(cache, top, u, depth, to));
  return cache.entry(pyramid.blocks(), static_cast<std::uint32_t>(u % pyramid.fanout()));
}

namespace {

// Buffers of cblock reads, reused between calls.
struct CblockScratch {
  std::vector<std::byte> input;   // compressed bytes
  std::vector<std::byte> output;  // a cblock of which only a part is wanted

  // Gives back buffers of huge cblocks, so that reading one stream of them
  // does not leave that much memory with every thread.
  void release_large() {
    for (auto* buffer : {&input, &output})
      if (buffer->capacity() > kKeptScratch) std::vector<std::byte>().swap(*buffer);
  }
  static constexpr std::size_t kKeptScratch = std::size_t{1} << 20;
};

// The buffers of the calling thread: a task's compressed bytes stay in the
// cache of the core that reads and decodes them, whichever task it runs.
CblockScratch& thread_scratch() {
  thread_local CblockScratch scratch;
  return scratch;
}

// Reads a cblock's compressed bytes into `input` (as long as they are).
Result<void> read_compressed(BlockLayer& blocks, const CompRedirector& redirector,
                             std::span<std::byte> input) {
  return for_each_block_run(
      redirector.blocks, blocks.block_size(), input.size(),
      [&](BlockNo first, std::size_t at, std::size_t len) -> Result<void> {
        auto piece = input.subspan(at, len);
        VOG_TRY(got, blocks.read_contiguous_blocks(first, 0, piece));
        // Past the end of the file there is nothing; let the decoder judge zeros.
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(*got), piece.end(), std::byte{0});
        return {};
      });
}

// Fills `out` with bytes [at, at + out.size()) of the cblock; bytes past its
// decompressed length read as zeros. Touches no block cache, so any thread may
// run it. REQUIRES: at + out.size() <= cblock_size.
Result<void> read_cblock_part(BlockLayer& blocks, const CompRedirector& redirector,
                              std::uint64_t cblock_size, std::size_t at, std::span<std::byte> out,
                              CblockScratch& scratch) {
  if (redirector.length == 0) {
    std::fill(out.begin(), out.end(), std::byte{0});
    return {};
  }
  // The whole cblock is always decoded, also for a few of its bytes: only a
  // complete decoding sees damage anywhere in it. A whole cblock decodes in place.
  const bool in_place = at == 0 && out.size() == cblock_size;
  if (!in_place) scratch.output.resize(static_cast<std::size_t>(cblock_size));
  std::span<std::byte> dst = in_place ? out : std::span<std::byte>(scratch.output);
  scratch.input.resize(redirector.length);
  VOG_CHECK(read_compressed(blocks, redirector, scratch.input));
  const int produced = LZ4_decompress_safe(
      reinterpret_cast<const char*>(scratch.input.data()), reinterpret_cast<char*>(dst.data()),
      static_cast<int>(scratch.input.size()), static_cast<int>(dst.size()));
  if (produced < 0)
    return std::unexpected(VogError::io(format(
        "lz4 decompression failed: {}",
        format("malformed block data at byte {} of {}", -(produced + 1), scratch.input.size()))));
  std::fill(dst.begin() + produced, dst.end(), std::byte{0});
  if (!in_place) std::memcpy(out.data(), dst.data() + at, out.size());
  return {};
}

// read_cblock_part for the cblock of redirector `r`; kNoBlock reads as zeros.
Result<void> read_cblock(BlockLayer& blocks, BlockNo r, CacheHint hint, std::uint64_t cblock_size,
                         std::size_t at, std::span<std::byte> out, CblockScratch& scratch) {
  CompRedirector redirector;
  if (r != kNoBlock) {
    VOG_TRY(loaded, load_redirector(blocks, r, cblock_size, hint));
    redirector = std::move(*loaded);
  }
  return read_cblock_part(blocks, redirector, cblock_size, at, out, scratch);
}

}  // namespace

Result<void> decompress_cblock_data(BlockLayer& blocks, const CompRedirector& redirector,
                                    std::vector<std::byte>& input, std::span<std::byte> out) {
  CblockScratch scratch{std::move(input), {}};
  auto done = read_cblock_part(blocks, redirector, out.size(), 0, out, scratch);
  input = std::move(scratch.input);
  return done;
}

Result<std::size_t> CompressedOps::read_units(const Pyramid& tree, const StreamDescriptor& d,
                                              std::uint64_t offset,
                                              std::span<std::byte> out) const {
  // One part per cblock touched. The leaves naming its redirector are read on
  // the calling thread, whose block cache is the one kept fresh for the
  // stream. A call of one cblock reads its redirector there too, cached for
  // the next small read; larger calls read each redirector, uncached (caches
  // write through, so the file holds what any cache does), with its data on
  // the worker pool.
  struct Part {
    BlockNo redirector = kNoBlock;
    std::size_t done = 0;  // where the part starts in `out`
    std::size_t at = 0;    // where it starts in its cblock
    std::size_t count = 0;
    Result<void> outcome;
  };
  const unsigned depth = tree.depth(tree.unit_count(d));
  const std::uint64_t end = offset + out.size();
  const std::uint64_t first_unit = offset / cblock_size_;
  const std::uint64_t end_unit = units_for(end, cblock_size_);
  LeafCache leaf(blocks_.block_size());
  WorkerPool& pool = WorkerPool::process_pool();
  std::vector<Part> batch(static_cast<std::size_t>(std::min<std::uint64_t>(
      end_unit - first_unit, std::max<std::uint64_t>(1, kBatchBytes / cblock_size_))));
  const CacheHint hint = end_unit - first_unit == 1 ? CacheHint::ThreadCache : CacheHint::NoCache;
  // Each task takes a contiguous share of the batch. A few shares per
  // thread: whoever is free takes the next one, so a thread held up by the
  // rest of the machine delays the call by one share at most.
  const std::size_t shares = std::min(batch.size(), kSharesPerThread * pool.thread_count());

  for (std::uint64_t from = first_unit; from < end_unit; from += batch.size()) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(batch.size(), end_unit - from));
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t unit = from + i;
      const std::uint64_t pos = std::max(offset, unit * cblock_size_);
      Part& part = batch[i];
      part.done = static_cast<std::size_t>(pos - offset);
      part.at = static_cast<std::size_t>(pos - unit * cblock_size_);
      part.count = static_cast<std::size_t>(std::min(end, (unit + 1) * cblock_size_) - pos);
      const auto to = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(tree.fanout(), unit % tree.fanout() + (end_unit - unit)));
      VOG_TRY(r, resolve_redir_block(tree, d.top_block, unit, depth, leaf, to));
      part.redirector = *r;
    }
    const std::size_t per_task = (count + shares - 1) / shares;
    const std::size_t tasks = (count + per_task - 1) / per_task;
    auto decode_share = [&](std::size_t task) {
      CblockScratch& scratch = thread_scratch();
      for (std::size_t i = task * per_task; i < std::min(count, (task + 1) * per_task); ++i) {
        Part& part = batch[i];
        part.outcome = read_cblock(blocks_, part.redirector, hint, cblock_size_, part.at,
                                   out.subspan(part.done, part.count), scratch);
      }
      scratch.release_large();
    };
    pool.run(tasks, decode_share);
    for (std::size_t i = 0; i < count; ++i) VOG_CHECK(batch[i].outcome);
  }
  return out.size();
}

// Lends a write's cblock updates the `cblock` and `output` buffers that the
// thread's earlier writes gave back, and takes them back at the end. Freed
// with each write, the megabyte of buffers a 1 MiB write needs went back to
// the system and came back page by page in the next one, in the threads
// compressing into it, which ran at half speed. Up to kKeptBytes of each
// kind are kept.
class CompressedOps::LentBuffers {
 public:
  LentBuffers(std::span<CblockUpdate> updates, std::uint64_t cblock_size)
      : updates_(updates), cblock_size_(cblock_size) {
    Spares& spares = thread_spares();
    if (spares.cblock_size != cblock_size) spares = Spares{cblock_size, {}, {}};
    for (auto [member, kept] : kinds(spares))
      for (CblockUpdate& update : updates_) {
        if (kept->empty()) break;
        update.*member = std::move(kept->back());
        kept->pop_back();
      }
  }
  ~LentBuffers() {
    Spares& spares = thread_spares();
    if (spares.cblock_size != cblock_size_) return;
    const std::uint64_t keep = kKeptBytes / cblock_size_;
    for (auto [member, kept] : kinds(spares))
      for (CblockUpdate& update : updates_)
        if (update.*member && kept->size() < keep) kept->push_back(std::move(update.*member));
  }
  LentBuffers(const LentBuffers&) = delete;
  LentBuffers& operator=(const LentBuffers&) = delete;

 private:
  using Buffer = std::unique_ptr<std::byte[]>;
  struct Spares {
    std::uint64_t cblock_size = 0;  // the buffers' size follows from it
    std::vector<Buffer> cblocks, outputs;
  };
  static Spares& thread_spares() {
    thread_local Spares spares;
    return spares;
  }
  static std::array<std::pair<Buffer CblockUpdate::*, std::vector<Buffer>*>, 2> kinds(
      Spares& spares) {
    return {{{&CblockUpdate::cblock, &spares.cblocks}, {&CblockUpdate::output, &spares.outputs}}};
  }
  static constexpr std::uint64_t kKeptBytes = std::uint64_t{2} << 20;

  std::span<CblockUpdate> updates_;
  std::uint64_t cblock_size_;
};

Result<std::size_t> CompressedOps::write_units(const Pyramid& tree, const StreamDescriptor& d,
                                               std::uint64_t offset,
                                               std::span<const std::byte> data,
                                               std::uint64_t fresh_from) const {
  WriteSpan write{offset, offset + data.size(), d.size, std::max(offset + data.size(), d.size),
                  data};
  CompressWorkspace work;
  const std::uint64_t units =
      (write.end - 1) / cblock_size_ - std::min(write.offset, write.old_size) / cblock_size_ + 1;
  std::vector<CblockUpdate> batch(static_cast<std::size_t>(
      std::min<std::uint64_t>(units, std::max<std::uint64_t>(1, kBatchBytes / cblock_size_))));
  const LentBuffers lent(batch, cblock_size_);
  auto written = store_all(tree, d, write, fresh_from, batch, work);
  if (!written) (void)blocks_.return_blocks(work.unlinked);  // a full disk, say
  return written;
}

Result<std::size_t> CompressedOps::store_all(const Pyramid& tree, const StreamDescriptor& d,
                                             const WriteSpan& write, std::uint64_t fresh_from,
                                             std::span<CblockUpdate> batch,
                                             CompressWorkspace& work) const {
  const unsigned depth = tree.depth(tree.unit_count(d));
  LeafCache leaf(blocks_.block_size());
  std::vector<std::byte> input;
  // A write past the end also visits the cblock holding the old end, so that
  // the gap reads as zeros even where a truncate left old bytes behind.
  const std::uint64_t first_unit = std::min(write.offset, write.old_size) / cblock_size_;
  const std::uint64_t last_unit = (write.end - 1) / cblock_size_;
  for (std::uint64_t from = first_unit; from <= last_unit; from += batch.size()) {
    const auto count = static_cast<std::size_t>(
        std::min<std::uint64_t>(batch.size(), last_unit - from + 1));
    for (std::size_t i = 0; i < count; ++i)
      VOG_CHECK(prepare_cblock(tree, d.top_block, depth, leaf, input, write, from + i,
                               from + i >= fresh_from, batch[i]));
    // Cblocks are compressed independently on the pool while this thread
    // stores those done; everything that touches the file stays here and in
    // unit order, so allocation and bytes are as one at a time.
    Result<void> stored;
    WorkerPool::process_pool().run_ordered(
        count, [&](std::size_t i) { batch[i].compress(cblock_size_); },
        [&](std::size_t i) {
          stored = allocate_ahead(std::span(batch).subspan(i, count - i), work);
          if (stored) stored = store_cblock(batch[i], work);
          return stored.has_value();
        });
    VOG_CHECK(std::move(stored));
    VOG_CHECK(flush_held(work));
  }
  return write.data.size();
}

Result<void> CompressedOps::prepare_cblock(const Pyramid& tree, BlockNo top, unsigned depth,
                                           LeafCache& leaf, std::vector<std::byte>& input,
                                           const WriteSpan& write, std::uint64_t unit,
                                           bool fresh, CblockUpdate& update) const {
  const std::uint64_t start = unit * cblock_size_;
  update.unit = unit;
  update.valid = 0;
  update.compressed.store(false, std::memory_order_relaxed);
  update.taken.clear();
  VOG_TRY(r, resolve_redir_block(tree, top, unit, depth, leaf));
  if (*r == kNoBlock)
    return std::unexpected(
        VogError::io(format("compressed write: no redirector at cblock {}", unit)));
  update.redirector = *r;
  update.fresh = fresh;
  if (fresh) {
    update.old = CompRedirector{};
  } else {
    VOG_TRY(old, load_redirector(blocks_, *r, cblock_size_));
    update.old = std::move(*old);
  }
  const bool inside_gap = start >= write.old_size && start + cblock_size_ <= write.offset;
  if (inside_gap && update.old.length == 0) return {};  // already reads as zeros

  update.valid = static_cast<std::size_t>(std::min(cblock_size_, write.new_size - start));
  const std::uint64_t copy_from = std::max(write.offset, start);
  const std::uint64_t copy_to = std::min(write.end, start + cblock_size_);
  // A cblock whose valid bytes all come from this write needs none of its old
  // ones and is compressed straight from the caller's bytes.
  if (copy_from == start && copy_to >= start + update.valid) {
    update.source = write.data.subspan(static_cast<std::size_t>(start - write.offset), update.valid);
    return {};
  }
  const auto size = static_cast<std::size_t>(cblock_size_);
  if (!update.cblock) update.cblock = std::make_unique_for_overwrite<std::byte[]>(size);
  const std::span<std::byte> cblock(update.cblock.get(), size);
  VOG_CHECK(decompress_cblock_data(blocks_, update.old, input, cblock));
  if (write.old_size < start + cblock_size_) {
    std::size_t from = write.old_size > start ? static_cast<std::size_t>(write.old_size - start) : 0;
    std::fill(cblock.begin() + static_cast<std::ptrdiff_t>(from), cblock.end(), std::byte{0});
  }
  if (copy_from < copy_to)
    std::memcpy(cblock.data() + (copy_from - start), write.data.data() + (copy_from - write.offset),
                static_cast<std::size_t>(copy_to - copy_from));
  update.source = cblock.first(update.valid);
  return {};
}

void CompressedOps::CblockUpdate::compress(std::uint64_t cblock_size) {
  if (valid != 0) {
    if (!output)
      output = std::make_unique_for_overwrite<std::byte[]>(
          static_cast<std::size_t>(compressed_capacity(cblock_size)));
    clen = LZ4_compress_default(reinterpret_cast<const char*>(source.data()),
                                reinterpret_cast<char*>(output.get()), static_cast<int>(valid),
                                static_cast<int>(compressed_capacity(valid)));
  }
  compressed.store(true, std::memory_order_release);
}

std::uint64_t CompressedOps::data_blocks(const CblockUpdate& update) const {
  return units_for(static_cast<std::uint64_t>(update.clen), blocks_.block_size());
}

Result<void> CompressedOps::allocate_ahead(std::span<CblockUpdate> rest,
                                           CompressWorkspace& work) const {
  if (!work.nothing_free || blocks_.is_encrypted()) return {};
  // Only fresh cblocks: they keep and free no blocks, so nothing else
  // allocates or frees between them.
  std::size_t count = 0;
  std::uint64_t total = 0;
  for (CblockUpdate& update : rest) {
    if (!update.compressed.load(std::memory_order_acquire) || !update.fresh ||
        update.valid == 0 || update.clen <= 0 || !update.taken.empty())
      break;
    const std::uint64_t blocks = data_blocks(update);
    if (redirector_record_size(blocks) > blocks_.block_size()) break;
    total += blocks;
    ++count;
  }
  if (count < 2 || total > kNoBlock) return {};  // nothing to gain, or left to fail on its own
  const std::uint64_t before = blocks_.total_blocks();
  VOG_TRY(got, blocks_.allocate_blocks(static_cast<std::uint32_t>(total)));
  if (got->size() != total)
    return std::unexpected(VogError::io(
        format("block allocation returned {} blocks for a request of {}", got->size(), total)));
  work.nothing_free = got->front() >= before;
  work.unlinked.insert(work.unlinked.end(), got->begin(), got->end());
  auto next = got->begin();
  for (CblockUpdate& update : rest.first(count)) {
    const auto blocks = static_cast<std::ptrdiff_t>(data_blocks(update));
    update.taken.assign(next, next + blocks);
    next += blocks;
  }
  return {};
}

Result<void> CompressedOps::store_cblock(CblockUpdate& update, CompressWorkspace& work) const {
  if (update.valid == 0) return {};
  const std::uint32_t block_size = blocks_.block_size();
  if (update.clen <= 0)
    return std::unexpected(
        VogError::io(format("lz4 compression failed for cblock {}", update.unit)));
  const std::uint64_t needed = data_blocks(update);
  const std::size_t record = redirector_record_size(needed);
  if (record > block_size)
    return std::unexpected(VogError::io(
        format("write_block: offset {} + len {} exceeds block_size {}", 0, record, block_size)));

  const CompRedirector& old = update.old;
  const std::size_t k = static_cast<std::size_t>(needed);
  const std::size_t kept = std::min(k, old.blocks.size());
  work.blocks.assign(old.blocks.begin(), old.blocks.begin() + static_cast<std::ptrdiff_t>(kept));
  if (!update.taken.empty()) {
    work.blocks = update.taken;  // a fresh cblock keeps no block
  } else if (k > kept) {
    const std::uint64_t total = blocks_.total_blocks();
    VOG_TRY(more, blocks_.allocate_blocks(static_cast<std::uint32_t>(k - kept)));
    if (more->size() != k - kept)
      return std::unexpected(VogError::io(format(
          "block allocation returned {} blocks for a request of {}", more->size(), k - kept)));
    // Sorted: when the first is new, every one is, and the free list ran dry.
    work.nothing_free = more->front() >= total;
    work.blocks.insert(work.blocks.end(), more->begin(), more->end());
    work.unlinked.insert(work.unlinked.end(), more->begin(), more->end());
  } else if (old.blocks.size() > k) {
    work.to_free.assign(old.blocks.begin() + static_cast<std::ptrdiff_t>(k), old.blocks.end());
    VOG_CHECK(blocks_.deallocate_blocks(work.to_free));
    work.nothing_free = false;
  }
  const std::span<const std::byte> compressed(update.output.get(),
                                              static_cast<std::size_t>(update.clen));
  update.record.assign(record, std::byte{0});
  store_u32(update.record, 0, static_cast<std::uint32_t>(update.clen));
  for (std::size_t i = 0; i < k; ++i) store_u32(update.record, 4 + 4 * i, work.blocks[i]);

  // Blocks just allocated in a plain store hold zeros (new at the end of the
  // file, or zero-filled by the allocator), and so do the redirectors of fresh
  // cblocks: the data of successive fresh cblocks, and their redirectors, can
  // be joined into one write each, every last block padded with the zeros it
  // holds already. Sealed zeros are not plaintext zeros, and older blocks
  // hold old bytes: those cblocks are written on their own.
  if (!update.fresh || blocks_.is_encrypted()) {
    VOG_CHECK(flush_held(work));
    VOG_CHECK(for_each_block_run(
        work.blocks, block_size, compressed.size(),
        [&](BlockNo first, std::size_t at, std::size_t len) {
          return blocks_.write_contiguous_blocks(first, 0, compressed.subspan(at, len));
        }));
    VOG_CHECK(blocks_.write_block(update.redirector, 0, update.record, CacheHint::ThreadCache));
    // A cblock the stream had names its blocks now, whatever happens next.
    if (!update.fresh)
      std::erase_if(work.unlinked, [&](BlockNo block) {
        return std::find(work.blocks.begin(), work.blocks.end(), block) != work.blocks.end();
      });
    return {};
  }
  VOG_CHECK(for_each_block_run(work.blocks, block_size, compressed.size(),
                               [&](BlockNo first, std::size_t at, std::size_t len) {
                                 return hold(work.data, first, compressed.subspan(at, len), work);
                               }));
  // Held behind its data: a flush writes the data first.
  return hold(work.redirectors, update.redirector, update.record, work);
}

Result<void> CompressedOps::hold(HeldRun& run, BlockNo block, std::span<const std::byte> bytes,
                                 CompressWorkspace& work) const {
  const std::uint32_t block_size = blocks_.block_size();
  // A data run goes out alone: the redirectors, a few bytes each, wait for
  // the data of later cblocks, which saves a write of each run of them.
  if (run.blocks != 0 &&
      (block != run.first + run.blocks || run.blocks * block_size >= kHeldBytes))
    VOG_CHECK(&run == &work.data ? flush_run(work.data) : flush_held(work));
  if (run.blocks == 0) run.first = block;
  const std::uint64_t blocks = units_for(bytes.size(), block_size);
  run.pieces.push_back(bytes);
  if (const std::size_t pad = blocks * block_size - bytes.size(); pad != 0) {
    work.zeros.resize(block_size);
    run.pieces.push_back(std::span(work.zeros).first(pad));
  }
  run.blocks += blocks;
  return {};
}

Result<void> CompressedOps::flush_held(CompressWorkspace& work) const {
  VOG_CHECK(flush_run(work.data));
  return flush_run(work.redirectors);
}

Result<void> CompressedOps::flush_run(HeldRun& run) const {
  if (run.blocks != 0) VOG_CHECK(blocks_.write_gathered_blocks(run.first, run.pieces));
  run.pieces.clear();
  run.blocks = 0;
  return {};
}

Result<std::size_t> compressed_read(BlockLayer& blocks, std::uint8_t cblock_shift,
                                    const StreamDescriptor& d, std::uint64_t offset,
                                    std::span<std::byte> out) {
  CompressedOps ops(blocks, cblock_shift);
  return Pyramid(blocks, ops, CacheHint::ThreadCache).read(d, offset, out);
}

Result<std::size_t> compressed_write(BlockLayer& blocks, std::uint8_t cblock_shift,
                                     StreamDescriptor& d, std::uint64_t offset,
                                     std::span<const std::byte> data) {
  CompressedOps ops(blocks, cblock_shift);
  return Pyramid(blocks, ops, CacheHint::ThreadCache).write(d, offset, data);
}

}  // namespace vog
