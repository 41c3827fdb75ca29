// Compressed streams: a pyramid whose units are redirectors of compressed blocks.
//
// The stream is cut into cblocks of C = 2^compressed_block_size_shift bytes,
// each compressed on its own (LZ4 block format, no frame). Unit u of the tree
// is the redirector block of cblock u:
//   0      4  length of the cblock's compressed data; 0 = no data, reads as zeros
//   4+4i   4  i-th block holding compressed bytes, i < ceil(length / B)
// The compressed bytes lie in order in the named blocks, the last holding the
// remainder at its start. A redirector never moves; its data blocks are
// rewritten in place and only their number changes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "block_layer.hpp"
#include "error.hpp"
#include "pyramid.hpp"
#include "stream_descriptor.hpp"

namespace vog {

// The largest compressed_block_size_shift a file may use.
inline constexpr std::uint8_t kMaxCompressedBlockShift = 30;

// The room a compressed cblock of `bytes` input bytes is given: never less
// than LZ4's worst case.
[[nodiscard]] constexpr std::uint64_t compressed_capacity(std::uint64_t bytes) noexcept {
  return bytes * 110 / 100 + 20;
}

// Whether a cblock of 2^cblock_shift bytes always fits its redirector into one
// block of 2^block_shift bytes. Shift 0 (no compression) always passes.
[[nodiscard]] Result<void> check_compressed_block_size_shift(std::uint8_t cblock_shift,
                                                             std::uint8_t block_shift);
// Whether a cblock of 2^cblock_shift bytes is at least one block. A smaller
// one would cost a redirector block and a data block for every few bytes
// written, so no file is made with one; a damaged header that names one
// leaves compression unusable (the file still opens, for its plain streams).
// Shift 0 (no compression) always passes.
[[nodiscard]] Result<void> check_cblock_fills_a_block(std::uint8_t cblock_shift,
                                                      std::uint8_t block_shift);

struct CompRedirector {
  std::vector<BlockNo> blocks;
  std::uint32_t length = 0;
};

// A unit is a redirector; new ones start empty; freeing one frees its data too.
class CompressedOps final : public PyramidOps {
 public:
  CompressedOps(BlockLayer& blocks, std::uint8_t cblock_shift) noexcept
      : blocks_(blocks), cblock_size_(std::uint64_t{1} << cblock_shift) {}
  [[nodiscard]] std::uint64_t unit_size() const noexcept override { return cblock_size_; }
  [[nodiscard]] Result<void> init_units(std::span<const BlockNo> units) const override;
  [[nodiscard]] Result<void> collect_unit_blocks(BlockNo unit,
                                                 std::vector<BlockNo>& out) const override;
  void claim_unit(BlockNo unit, std::string_view label, std::vector<BlockNo>& claimed,
                  VerifyReport& report) const override;
  // Decodes the cblocks touched in parallel on the worker pool, each whole one
  // straight into `out`; a cblock without a redirector reads as zeros.
  [[nodiscard]] Result<std::size_t> read_units(const Pyramid& tree, const StreamDescriptor& d,
                                               std::uint64_t offset,
                                               std::span<std::byte> out) const override;
  // Recompresses each cblock touched, and the one holding the old end when
  // `offset` lies past it.
  [[nodiscard]] Result<std::size_t> write_units(const Pyramid& tree, const StreamDescriptor& d,
                                                std::uint64_t offset,
                                                std::span<const std::byte> data,
                                                std::uint64_t fresh_from) const override;

 private:
  // Whole blocks from `first` on, held back to be written with one transfer
  // straight from the pieces, which stay valid until the held runs are flushed.
  struct HeldRun {
    BlockNo first = kNoBlock;
    std::uint64_t blocks = 0;
    std::vector<std::span<const std::byte>> pieces;
  };
  // The lists a cblock update fills, kept across the cblocks of one write,
  // and the writes of fresh cblocks held back to be combined: their data,
  // then the redirectors that data completes.
  struct CompressWorkspace {
    std::vector<BlockNo> blocks;   // data blocks of the cblock being written
    std::vector<BlockNo> to_free;  // data blocks it no longer needs
    std::vector<std::byte> zeros;  // pads held pieces to whole blocks
    HeldRun data;
    HeldRun redirectors;
    // The last allocation grew the file, so the free list is empty, and
    // nothing has been freed since.
    bool nothing_free = false;
    // Blocks this write allocated that no surviving redirector names yet:
    // given back when the write fails (fresh cblocks' redirectors go with
    // the growth the tree undoes).
    std::vector<BlockNo> unlinked;
  };
  // A write's extent: [offset, end) of `data`, the stream's length before and after.
  struct WriteSpan {
    std::uint64_t offset, end, old_size, new_size;
    std::span<const std::byte> data;
  };
  // One cblock of a write between reading it and storing it; buffers are reused.
  struct CblockUpdate {
    std::uint64_t unit = 0;
    BlockNo redirector = kNoBlock;
    CompRedirector old;
    bool fresh = false;     // its redirector was made by this write's reserve
    std::size_t valid = 0;  // bytes to compress; 0 leaves the cblock as it is
    // The `valid` bytes: in the caller's data when the write covers them all,
    // else in `cblock`, merged with the old ones.
    std::span<const std::byte> source;
    std::unique_ptr<std::byte[]> cblock;  // C bytes once needed
    std::unique_ptr<std::byte[]> output;  // compressed_capacity(C) bytes once needed
    int clen = 0;
    std::atomic<bool> compressed{false};  // clen and output are final
    std::vector<BlockNo> taken;           // its data blocks, when allocated ahead
    std::vector<std::byte> record;        // its redirector's new bytes
    void compress(std::uint64_t cblock_size);
  };
  class LentBuffers;
  // Compressed writes work in batches of cblocks up to this many bytes.
  static constexpr std::uint64_t kBatchBytes = std::uint64_t{4} << 20;

  // Reads cblock `unit`'s redirector and fills its buffer with what it will hold.
  // A fresh cblock's redirector is known to be empty and is not read.
  // write_units() but for giving back what it allocated when it fails.
  [[nodiscard]] Result<std::size_t> store_all(const Pyramid& tree, const StreamDescriptor& d,
                                              const WriteSpan& write, std::uint64_t fresh_from,
                                              std::span<CblockUpdate> batch,
                                              CompressWorkspace& work) const;
  [[nodiscard]] Result<void> prepare_cblock(const Pyramid& tree, BlockNo top, unsigned depth,
                                            LeafCache& leaf, std::vector<std::byte>& input,
                                            const WriteSpan& write, std::uint64_t unit,
                                            bool fresh, CblockUpdate& update) const;
  // The data blocks a compressed cblock needs.
  [[nodiscard]] std::uint64_t data_blocks(const CblockUpdate& update) const;
  // When the free list is empty, allocates with one call the data blocks of
  // `rest[0]` and of the fresh cblocks after it already compressed: the blocks
  // are the ones that allocating cblock by cblock would give, without growing
  // the file once per cblock.
  [[nodiscard]] Result<void> allocate_ahead(std::span<CblockUpdate> rest,
                                            CompressWorkspace& work) const;
  // Writes the compressed bytes over the cblock's blocks, then its redirector;
  // both may be held back in `work`, pointing into `update`, until flush_held.
  [[nodiscard]] Result<void> store_cblock(CblockUpdate& update, CompressWorkspace& work) const;
  // Adds `bytes` for `block` on to `run`, padded to whole blocks, writing
  // `run` first when `bytes` do not continue it or it is full (redirectors
  // only after the held data).
  // `bytes` must stay valid until the held runs are written.
  [[nodiscard]] Result<void> hold(HeldRun& run, BlockNo block, std::span<const std::byte> bytes,
                                  CompressWorkspace& work) const;
  // Writes the held data, then the held redirectors.
  [[nodiscard]] Result<void> flush_held(CompressWorkspace& work) const;
  // Writes one held run and empties it.
  [[nodiscard]] Result<void> flush_run(HeldRun& run) const;
  // Data held back is written once it reaches this many bytes.
  static constexpr std::size_t kHeldBytes = std::size_t{256} << 10;

  BlockLayer& blocks_;
  std::uint64_t cblock_size_;
};

// Reads redirector `r` whole; refuses one whose length cannot be real. The
// block numbers are as stored: verification claims them unchecked.
[[nodiscard]] Result<CompRedirector> read_comp_redir(BlockLayer& blocks, BlockNo r,
                                                     std::uint64_t cblock_size,
                                                     CacheHint hint = CacheHint::ThreadCache);
// Appends the data blocks of redirector `r`, then `r` itself; refuses a
// redirector that names a block beyond the end of the file.
[[nodiscard]] Result<void> collect_leaf_blocks_for_dealloc(BlockLayer& blocks, BlockNo r,
                                                           std::uint64_t cblock_size,
                                                           std::vector<BlockNo>& out);
// The redirector of cblock `u`, or kNoBlock when its leaf has no entry.
// `to` as for Pyramid::load_leaf: how far along the leaf the caller will look.
[[nodiscard]] Result<BlockNo> resolve_redir_block(const Pyramid& pyramid, BlockNo top,
                                                  std::uint64_t u, unsigned depth,
                                                  LeafCache& cache, std::uint32_t to = 0);
// Fills `out` (C bytes) with the cblock; bytes past its decompressed length
// read as zeros. `input` is scratch space reused between calls.
[[nodiscard]] Result<void> decompress_cblock_data(BlockLayer& blocks,
                                                  const CompRedirector& redirector,
                                                  std::vector<std::byte>& input,
                                                  std::span<std::byte> out);

// Pyramid::read and Pyramid::write on a compressed stream's tree.
[[nodiscard]] Result<std::size_t> compressed_read(BlockLayer& blocks, std::uint8_t cblock_shift,
                                                  const StreamDescriptor& d, std::uint64_t offset,
                                                  std::span<std::byte> out);
[[nodiscard]] Result<std::size_t> compressed_write(BlockLayer& blocks, std::uint8_t cblock_shift,
                                                   StreamDescriptor& d, std::uint64_t offset,
                                                   std::span<const std::byte> data);

}  // namespace vog
