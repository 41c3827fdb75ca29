// Pyramids: the block tree under every stream.
//
// A tree covers N units (N = ceil(max(size, reserved) / unit size)). Its depth d
// is 0 when N <= 1 (top_block is unit 0 itself) and otherwise the smallest d with
// F^d >= N, F = block size / 4. An index block is F little-endian u32 entries;
// 0xFFFFFFFF is an empty entry. Entry (u / F^(k-1)) mod F of a level-k block
// leads towards unit u; level-1 blocks (leaves) point at units.
//
// The unit kind is a PyramidOps: a plain stream's unit is one data block, a
// compressed stream's unit is the redirector of one compressed block. Growing,
// shrinking, freeing and walking a tree, and the checks around a byte transfer,
// are written once here for both kinds; only the units' own operations (making,
// freeing and claiming one, moving bytes through them) differ.
//
// Nothing here locks: the stream layer gives each call a private descriptor
// copy and holds the stream's lock around it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "block_layer.hpp"
#include "error.hpp"
#include "stream_descriptor.hpp"

namespace vog {

// ceil(bytes / unit) without overflow. REQUIRES: unit > 0.
[[nodiscard]] constexpr std::uint64_t units_for(std::uint64_t bytes, std::uint64_t unit) noexcept {
  return bytes / unit + (bytes % unit != 0 ? 1 : 0);
}

// The depth of a tree of `units` units; stops growing where F^d would leave 64 bits.
[[nodiscard]] unsigned pyramid_depth(std::uint64_t units, std::uint32_t fanout) noexcept;

struct BlockRun {
  BlockNo first = 0;
  std::uint32_t count = 0;
};

// The run of consecutive block numbers starting at `slot` of a leaf, at most
// `max` long (max >= 1).
[[nodiscard]] Result<BlockRun> scan_run_from_buffer(std::span<const std::byte> leaf,
                                                    std::uint32_t slot, std::uint32_t max);

// Fails unless `block`, found at `slot` of the `structure` block `holder`, lies
// inside the file. Every block number read from disk passes this before it is
// read, written or freed, so a damaged number can neither reach past the end
// of the file nor make the file grow.
[[nodiscard]] Result<void> check_in_file(BlockLayer& blocks, std::string_view structure,
                                         BlockNo holder, std::uint64_t slot, BlockNo block);

// The entries a transfer last read of a leaf, and the leaf group (first unit
// under it) they serve. Only entries [from, to) of `bytes` hold the leaf's.
// A leaf of the usual block sizes lives in place, so that a small read
// allocates nothing; `bytes` points into the object, which therefore stays put.
struct LeafCache {
  // Left uninitialised: only loaded entries are ever looked at.
  explicit LeafCache(std::uint32_t block_size)
      : storage(block_size > kInPlace ? new std::byte[block_size] : nullptr),
        bytes(storage ? storage.get() : in_place.data(), block_size) {}
  LeafCache(const LeafCache&) = delete;
  LeafCache& operator=(const LeafCache&) = delete;
  // The entry at `slot`, checked against the file; kNoBlock passes unchecked.
  // REQUIRES: the slot is loaded.
  [[nodiscard]] Result<BlockNo> entry(BlockLayer& blocks, std::uint32_t slot) const;

  static constexpr std::size_t kInPlace = 4096;
  std::array<std::byte, kInPlace> in_place;
  std::unique_ptr<std::byte[]> storage;  // for larger blocks
  std::span<std::byte> bytes;  // of in_place or storage
  BlockNo block = kNoBlock;  // the leaf's own number
  std::optional<std::uint64_t> group;
  std::uint32_t from = 0, to = 0;
};

class Pyramid;

// What a tree holds at its bottom.
class PyramidOps {
 public:
  virtual ~PyramidOps() = default;
  [[nodiscard]] virtual std::uint64_t unit_size() const noexcept = 0;
  // Prepares blocks just allocated as units before they are hung into a tree.
  [[nodiscard]] virtual Result<void> init_units(std::span<const BlockNo> units) const = 0;
  // Appends every block that freeing `unit` releases, the unit's own block last.
  [[nodiscard]] virtual Result<void> collect_unit_blocks(BlockNo unit,
                                                         std::vector<BlockNo>& out) const = 0;
  // Verification: appends the blocks `unit` uses to `claimed`; a unit that
  // cannot be read becomes a line of `report`.
  virtual void claim_unit(BlockNo unit, std::string_view label, std::vector<BlockNo>& claimed,
                          VerifyReport& report) const = 0;
  // Byte transfers through the units of `tree`.
  // REQUIRES: out is not empty and offset + out.size() <= d.size; d's top is checked.
  [[nodiscard]] virtual Result<std::size_t> read_units(const Pyramid& tree,
                                                       const StreamDescriptor& d,
                                                       std::uint64_t offset,
                                                       std::span<std::byte> out) const = 0;
  // Writes `data` at `offset`; bytes between d.size (the length before the
  // write) and `offset` must read as zeros afterwards. Units from `fresh_from`
  // on were made by this write's reserve and are as init_units left them.
  // Returns the count written; 0 when the transfer stopped short before
  // reaching `offset`.
  // REQUIRES: data is not empty and the tree already covers offset + data.size().
  [[nodiscard]] virtual Result<std::size_t> write_units(const Pyramid& tree,
                                                        const StreamDescriptor& d,
                                                        std::uint64_t offset,
                                                        std::span<const std::byte> data,
                                                        std::uint64_t fresh_from) const = 0;
};

// A unit is one data block; there is nothing to prepare or to follow.
class PlainOps final : public PyramidOps {
 public:
  explicit PlainOps(std::uint32_t block_size) noexcept : block_size_(block_size) {}
  [[nodiscard]] std::uint64_t unit_size() const noexcept override { return block_size_; }
  [[nodiscard]] Result<void> init_units(std::span<const BlockNo>) const override { return {}; }
  [[nodiscard]] Result<void> collect_unit_blocks(BlockNo unit,
                                                 std::vector<BlockNo>& out) const override;
  void claim_unit(BlockNo unit, std::string_view label, std::vector<BlockNo>& claimed,
                  VerifyReport& report) const override;
  // Moves bytes in runs of consecutive data blocks.
  [[nodiscard]] Result<std::size_t> read_units(const Pyramid& tree, const StreamDescriptor& d,
                                               std::uint64_t offset,
                                               std::span<std::byte> out) const override;
  [[nodiscard]] Result<std::size_t> write_units(const Pyramid& tree, const StreamDescriptor& d,
                                                std::uint64_t offset,
                                                std::span<const std::byte> data,
                                                std::uint64_t fresh_from) const override;

 private:
  std::uint32_t block_size_;
};

// The tree operations of one stream kind. `hint` goes with every single-block
// transfer of index blocks; with CacheHint::SharedCache the data blocks of a
// plain stream move through the shared cache too (the descriptor table's
// small reads and writes, which would otherwise reach the file each time).
class Pyramid {
 public:
  Pyramid(BlockLayer& blocks, const PyramidOps& ops, CacheHint hint) noexcept;

  [[nodiscard]] BlockLayer& blocks() const noexcept { return blocks_; }
  [[nodiscard]] CacheHint hint() const noexcept { return hint_; }
  [[nodiscard]] std::uint32_t fanout() const noexcept { return fanout_; }
  [[nodiscard]] std::uint64_t unit_size() const noexcept { return ops_.unit_size(); }
  // N: the units a descriptor's tree covers.
  [[nodiscard]] std::uint64_t unit_count(const StreamDescriptor& d) const noexcept {
    return units_for(d.extent(), unit_size());
  }
  [[nodiscard]] unsigned depth(std::uint64_t units) const noexcept {
    return pyramid_depth(units, fanout_);
  }

  // A tree that covers units must have a top block (block 0 is never one)
  // inside the file.
  [[nodiscard]] Result<void> check_top(const StreamDescriptor& d) const;
  // A stream cannot cover more units than its file has blocks: a length that
  // claims more is damage, refused before any walk that it would stretch.
  [[nodiscard]] Result<void> check_fits(const StreamDescriptor& d) const;
  // The level-1 block above `unit` (the top itself at depth 1).
  [[nodiscard]] Result<BlockNo> navigate_to_leaf(BlockNo top, std::uint64_t unit,
                                                 unsigned depth) const;
  // Makes `cache` hold the entries of the leaf above `unit` from its slot up to
  // slot `to` (the leaf's end by default), reading them only when it lacks
  // some: a small transfer copies a few entries, not the whole leaf.
  [[nodiscard]] Result<void> load_leaf(LeafCache& cache, BlockNo top, std::uint64_t unit,
                                       unsigned depth, std::uint32_t to = 0) const;

  // Grows the tree so that every unit below ceil(capacity / unit) exists. A
  // failure leaves the tree and the free list as they were.
  [[nodiscard]] Result<void> reserve(StreamDescriptor& d, std::uint64_t capacity) const;
  // Empties one entry of an index block.
  [[nodiscard]] Result<void> write_block_index(BlockNo index_block, std::uint32_t slot) const;
  // Shortens the stream to `length` bytes, releasing the units past it and every
  // index block that is left empty; never lengthens.
  [[nodiscard]] Result<void> truncate(StreamDescriptor& d, std::uint64_t length) const;
  // Frees a whole tree with one deallocation.
  [[nodiscard]] Result<void> deallocate_tree(BlockNo top, unsigned depth) const;
  // Appends the tree below `block` (a unit at level 0), children before parents.
  // `seen` holds the index blocks met so far: a tree that reaches one twice is corrupt.
  [[nodiscard]] Result<void> collect_tree_blocks_for_dealloc(
      BlockNo block, unsigned level, std::vector<BlockNo>& out,
      std::unordered_set<BlockNo>& seen) const;
  // Verification: appends every block of the tree to `claimed` and reports
  // unreadable entries. An index block already in `visited`, or at or beyond
  // `total_blocks` (so not in the file), is claimed but not walked, which bounds
  // the walk on damaged files by the blocks the file holds.
  void collect_tree_blocks(BlockNo top, unsigned depth, std::string_view label,
                           std::vector<BlockNo>& claimed, VerifyReport& report,
                           std::unordered_set<BlockNo>& visited,
                           std::uint64_t total_blocks) const;

  // Reads from `offset`, stopping at the stream's length.
  [[nodiscard]] Result<std::size_t> read(const StreamDescriptor& d, std::uint64_t offset,
                                         std::span<std::byte> out) const;
  // Writes all of `data` at `offset`, growing the tree first; a gap between
  // the old length and `offset` reads as zeros. A failure gives back what the
  // growth took (bytes written into units the stream had stay written).
  [[nodiscard]] Result<std::size_t> write(StreamDescriptor& d, std::uint64_t offset,
                                          std::span<const std::byte> data) const;

 private:
  friend class PlainOps;  // moves bytes with for_each_run

  // What a descent does at an empty entry above the leaf level.
  enum class AtEmpty { Fail, Make, Stop };
  struct Step {
    BlockNo block = 0;
    std::uint64_t slot = 0;
  };
  struct Descent {
    BlockNo leaf = kNoBlock;  // the level-1 block, when reached
    unsigned stopped_at = 0;  // AtEmpty::Stop: the level whose entry was empty; else 0
  };
  // What one growth of the tree changed, so that a failure can put it back:
  // the blocks it allocated, and the entries it wrote into index blocks it
  // did not allocate (entries past the old extent, which were all empty).
  struct Growth {
    struct Touched {
      BlockNo block;
      std::uint32_t slot, count;
    };
    std::vector<BlockNo> made;        // every block allocated
    std::vector<BlockNo> made_index;  // of which index blocks
    std::vector<Touched> touched;
    [[nodiscard]] bool made_here(BlockNo index_block) const;
  };
  // reserve() that records in `growth` and leaves the undoing to the caller.
  [[nodiscard]] Result<void> grow(StreamDescriptor& d, std::uint64_t capacity,
                                  Growth& growth) const;
  // Empties the touched entries and frees what was made; best effort, for
  // a caller that reports the failure that led here.
  void undo(const Growth& growth) const;
  // Hangs `units` (unit numbers first, first + 1, ...) into the tree, making
  // missing index blocks on the way; each leaf is written once.
  [[nodiscard]] Result<void> batch_fill_leaf_redirectors(BlockNo top,
                                                         std::span<const BlockNo> units,
                                                         std::uint64_t first, unsigned depth,
                                                         Growth& growth) const;
  // The one walk from the top towards `unit`. With `path` (depth + 1 steps),
  // path[k] is the block met at level k and the slot taken in it. A block met
  // twice on the way is damage: no walk goes round a loop. AtEmpty::Make
  // records what it makes in `growth`.
  [[nodiscard]] Result<Descent> descend(BlockNo top, std::uint64_t unit, unsigned depth,
                                        AtEmpty at_empty, std::span<Step> path = {},
                                        Growth* growth = nullptr) const;
  // An index entry as stored; read_entry also checks it against the file.
  [[nodiscard]] Result<BlockNo> read_raw_entry(BlockNo index_block, std::uint64_t slot) const;
  [[nodiscard]] Result<BlockNo> read_entry(BlockNo index_block, std::uint64_t slot) const;
  [[nodiscard]] Result<void> write_entry(BlockNo index_block, std::uint64_t slot,
                                         BlockNo value) const;
  [[nodiscard]] Result<std::vector<BlockNo>> allocate(std::uint64_t count, Growth& growth) const;
  // A fresh index block, every entry empty except entry 0 = `first_entry`.
  [[nodiscard]] Result<BlockNo> new_index_block(BlockNo first_entry, Growth& growth) const;
  [[nodiscard]] Result<bool> index_block_empty(BlockNo index_block) const;
  [[nodiscard]] Result<std::uint64_t> release_unit(std::uint64_t unit, BlockNo top,
                                                   unsigned depth) const;
  template <class Move>
  [[nodiscard]] Result<std::size_t> for_each_run(const StreamDescriptor& d, std::uint64_t offset,
                                                 std::size_t len, Move move) const;

  BlockLayer& blocks_;
  const PyramidOps& ops_;
  CacheHint hint_;
  std::uint32_t block_size_;
  std::uint32_t fanout_;
};

// Plain streams: the byte operations of a stream with one data block per unit.
[[nodiscard]] Result<std::size_t> pyramid_read(BlockLayer& blocks, const StreamDescriptor& d,
                                               std::uint64_t offset, std::span<std::byte> out,
                                               CacheHint hint);
// Writes all of `data` at `offset`; a gap between the old length and `offset` reads as zeros.
[[nodiscard]] Result<std::size_t> pyramid_write(BlockLayer& blocks, StreamDescriptor& d,
                                                std::uint64_t offset,
                                                std::span<const std::byte> data, CacheHint hint);

}  // namespace vog
