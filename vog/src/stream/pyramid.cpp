// Pyramid: growing, shrinking, freeing and walking the block tree of a stream,
// and the plain byte transfers over it.
//
// Bytes owned on disk: index blocks (F u32 entries, 0xFFFFFFFF = empty; a new
// one is all 0xFF before any entry is set) and, for plain streams, data blocks.
//
// Invariants of a well-formed tree (descriptor d, unit size U, N units):
//  1. reserved is a whole number of units, reserved >= size, N = reserved / U.
//  2. Every unit below N exists; every index entry on the way to it is set.
//  3. No block appears twice in one tree or in two trees.
//  4. top_block is 0 exactly when the stream owns no block.
// On a damaged file, every block number read from an index block is checked
// against the file before it is read, written or freed (check_in_file), and
// no walk meets a block twice, so no damage makes a walk outgrow the file.
// reserve() and truncate() keep 1 to 4; the descriptor is changed only when
// the whole operation succeeded, so a caller that drops it on failure never
// sees a tree that disagrees with its copy (at worst blocks are leaked).
#include "pyramid.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "format.hpp"
#include "le_bytes.hpp"

namespace vog {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
// A run of zeros written to close a gap is moved in pieces of at most this size.
constexpr std::size_t kZeroChunk = std::size_t{1} << 20;

// F^power; callers only ask for powers below a depth that pyramid_depth returned.
std::uint64_t fanout_power(std::uint32_t fanout, unsigned power) noexcept {
  std::uint64_t value = 1;
  for (unsigned i = 0; i < power; ++i) value *= fanout;
  return value;
}

VogError corrupt_tree(BlockNo block) {
  return VogError::io(format("corrupt stream tree: block {} is reached twice", block));
}

}  // namespace

unsigned pyramid_depth(std::uint64_t units, std::uint32_t fanout) noexcept {
  unsigned depth = 0;
  std::uint64_t covered = 1;
  while (covered < units) {
    ++depth;
    if (covered > kMaxU64 / fanout) break;
    covered *= fanout;
  }
  return depth;
}

Result<BlockRun> scan_run_from_buffer(std::span<const std::byte> leaf, std::uint32_t slot,
                                      std::uint32_t max) {
  BlockNo first = load_u32(leaf, 4 * std::size_t{slot});
  if (first == kNoBlock)
    return std::unexpected(VogError::io(format("scan_run_from_buffer: sentinel at slot {}", slot)));
  std::uint32_t count = 1;
  while (count < max && first + count != kNoBlock &&
         load_u32(leaf, 4 * (std::size_t{slot} + count)) == first + count)
    ++count;
  return BlockRun{first, count};
}

Result<void> check_in_file(BlockLayer& blocks, std::string_view structure, BlockNo holder,
                           std::uint64_t slot, BlockNo block) {
  const std::uint64_t total = blocks.total_blocks();
  if (block < total) return {};
  return std::unexpected(
      VogError::io(format("{} {} slot {} names block {} beyond the end of the file ({} blocks)",
                          structure, holder, slot, block, total)));
}

Result<BlockNo> LeafCache::entry(BlockLayer& blocks, std::uint32_t slot) const {
  BlockNo unit = load_u32(bytes, 4 * std::size_t{slot});
  if (unit == kNoBlock) return unit;
  VOG_CHECK(check_in_file(blocks, "index block", block, slot, unit));
  if (unit == block) return std::unexpected(corrupt_tree(unit));
  return unit;
}

Result<void> PlainOps::collect_unit_blocks(BlockNo unit, std::vector<BlockNo>& out) const {
  out.push_back(unit);
  return {};
}

void PlainOps::claim_unit(BlockNo unit, std::string_view, std::vector<BlockNo>& claimed,
                          VerifyReport&) const {
  claimed.push_back(unit);
}

Pyramid::Pyramid(BlockLayer& blocks, const PyramidOps& ops, CacheHint hint) noexcept
    : blocks_(blocks),
      ops_(ops),
      hint_(hint),
      block_size_(blocks.block_size()),
      fanout_(blocks.block_size() / 4) {}

Result<BlockNo> Pyramid::read_raw_entry(BlockNo index_block, std::uint64_t slot) const {
  std::array<std::byte, 4> entry{};
  VOG_CHECK(blocks_.read_block(index_block, static_cast<std::uint32_t>(4 * slot), entry, hint_));
  return load_u32(entry, 0);
}

Result<BlockNo> Pyramid::read_entry(BlockNo index_block, std::uint64_t slot) const {
  VOG_TRY(entry, read_raw_entry(index_block, slot));
  if (*entry != kNoBlock) VOG_CHECK(check_in_file(blocks_, "index block", index_block, slot, *entry));
  return *entry;
}

Result<void> Pyramid::write_entry(BlockNo index_block, std::uint64_t slot, BlockNo value) const {
  std::array<std::byte, 4> entry{};
  store_u32(entry, 0, value);
  VOG_CHECK(blocks_.write_block(index_block, static_cast<std::uint32_t>(4 * slot), entry, hint_));
  return {};
}

Result<void> Pyramid::write_block_index(BlockNo index_block, std::uint32_t slot) const {
  return write_entry(index_block, slot, kNoBlock);
}

bool Pyramid::Growth::made_here(BlockNo index_block) const {
  return std::find(made_index.begin(), made_index.end(), index_block) != made_index.end();
}

Result<std::vector<BlockNo>> Pyramid::allocate(std::uint64_t count, Growth& growth) const {
  if (count > kNoBlock)
    return std::unexpected(
        VogError::io(format("cannot allocate {} blocks: more than a Vog file can address", count)));
  VOG_TRY(got, blocks_.allocate_blocks(static_cast<std::uint32_t>(count)));
  growth.made.insert(growth.made.end(), got->begin(), got->end());
  if (got->size() != count)
    return std::unexpected(VogError::io(
        format("block allocation returned {} blocks for a request of {}", got->size(), count)));
  return std::move(*got);
}

Result<BlockNo> Pyramid::new_index_block(BlockNo first_entry, Growth& growth) const {
  VOG_TRY(got, allocate(1, growth));
  BlockNo block = got->front();
  growth.made_index.push_back(block);
  std::vector<std::byte> image(block_size_, std::byte{0xFF});
  store_u32(image, 0, first_entry);
  VOG_CHECK(blocks_.write_block(block, 0, image, hint_));
  return block;
}

Result<bool> Pyramid::index_block_empty(BlockNo index_block) const {
  std::vector<std::byte> image(block_size_);
  VOG_CHECK(blocks_.read_block(index_block, 0, image, hint_));
  return std::all_of(image.begin(), image.end(), [](std::byte b) { return b == std::byte{0xFF}; });
}

Result<void> Pyramid::check_top(const StreamDescriptor& d) const {
  if (unit_count(d) == 0) return {};
  if (d.top_block == 0 || d.top_block == kNoBlock)
    return std::unexpected(
        VogError::io(format("stream of {} bytes has no top block", d.extent())));
  if (const std::uint64_t total = blocks_.total_blocks(); d.top_block >= total)
    return std::unexpected(VogError::io(format(
        "stream descriptor names top block {} beyond the end of the file ({} blocks)", d.top_block,
        total)));
  return {};
}

Result<void> Pyramid::check_fits(const StreamDescriptor& d) const {
  const std::uint64_t units = unit_count(d);
  if (const std::uint64_t total = blocks_.total_blocks(); units > total)
    return std::unexpected(VogError::io(format(
        "stream of {} bytes needs {} blocks but the file holds {}", d.extent(), units, total)));
  return {};
}

Result<Pyramid::Descent> Pyramid::descend(BlockNo top, std::uint64_t unit, unsigned depth,
                                          AtEmpty at_empty, std::span<Step> path,
                                          Growth* growth) const {
  BlockNo block = top;
  std::uint64_t rest = unit;
  // A fanout of at least 2 keeps a tree of 64-bit unit numbers at most 64 deep.
  std::array<BlockNo, 64> above;
  auto above_end = above.begin();
  for (unsigned level = depth; level >= 2; --level) {
    std::uint64_t span = fanout_power(fanout_, level - 1);
    std::uint64_t slot = rest / span;
    rest %= span;
    if (!path.empty()) path[level] = {block, slot};
    *above_end++ = block;
    VOG_TRY(entry, read_entry(block, slot));
    if (*entry == kNoBlock) {
      switch (at_empty) {
        case AtEmpty::Fail:
          return std::unexpected(VogError::io(
              format("navigate_to_leaf: invalid block at depth {}, slot {}", level - 1, slot)));
        case AtEmpty::Stop:
          return Descent{kNoBlock, level};
        case AtEmpty::Make: {
          VOG_TRY(made, new_index_block(kNoBlock, *growth));
          if (!growth->made_here(block))
            growth->touched.push_back({block, static_cast<std::uint32_t>(slot), 1});
          VOG_CHECK(write_entry(block, slot, *made));
          *entry = *made;
          break;
        }
      }
    }
    if (std::find(above.begin(), above_end, *entry) != above_end)
      return std::unexpected(corrupt_tree(*entry));
    block = *entry;
  }
  if (!path.empty()) path[1] = {block, rest};
  return Descent{block, 0};
}

Result<BlockNo> Pyramid::navigate_to_leaf(BlockNo top, std::uint64_t unit, unsigned depth) const {
  VOG_TRY(found, descend(top, unit, depth, AtEmpty::Fail));
  return found->leaf;
}

Result<void> Pyramid::load_leaf(LeafCache& cache, BlockNo top, std::uint64_t unit,
                                unsigned depth, std::uint32_t to) const {
  const std::uint64_t group = unit - unit % fanout_;
  const auto from = static_cast<std::uint32_t>(unit % fanout_);
  if (to <= from) to = fanout_;
  if (cache.group == group && cache.from <= from && to <= cache.to) return {};
  if (cache.group != group) {
    VOG_TRY(leaf, navigate_to_leaf(top, unit, depth));
    cache.block = *leaf;
    cache.group.reset();  // until its entries are in
  }
  const std::span<std::byte> entries =
      cache.bytes.subspan(4 * std::size_t{from}, 4 * std::size_t{to - from});
  VOG_CHECK(blocks_.read_block(cache.block, 4 * from, entries, hint_));
  cache.group = group;
  cache.from = from;
  cache.to = to;
  return {};
}

Result<void> Pyramid::reserve(StreamDescriptor& d, std::uint64_t capacity) const {
  Growth growth;
  auto grown = grow(d, capacity, growth);
  if (!grown) undo(growth);
  return grown;
}

Result<void> Pyramid::grow(StreamDescriptor& d, std::uint64_t capacity, Growth& growth) const {
  if (capacity < d.size)
    return std::unexpected(VogError::io(
        format("cannot reserve {} bytes: stream size is already {}", capacity, d.size)));
  if (capacity <= d.reserved) return {};
  if (d.reserved != 0) VOG_CHECK(check_top(d));
  const std::uint64_t unit = unit_size();
  const std::uint64_t need = units_for(capacity, unit);
  if (need > kNoBlock)
    return std::unexpected(VogError::io(
        format("cannot reserve {} bytes: more blocks than a Vog file can address", capacity)));
  const std::uint64_t current = units_for(d.reserved, unit);
  unsigned depth_now = depth(current);
  const unsigned need_depth = depth(need);

  BlockNo top = d.top_block;
  if (d.reserved == 0 && d.top_block == 0) {
    VOG_TRY(first_unit, allocate(1, growth));
    VOG_CHECK(ops_.init_units(*first_unit));
    top = first_unit->front();
  }
  if (need > 1) {
    for (; depth_now < need_depth; ++depth_now) {
      VOG_TRY(raised, new_index_block(top, growth));  // the old tree hangs under entry 0
      top = *raised;
    }
    const std::uint64_t first = std::max<std::uint64_t>(current, 1);
    if (need > first) {
      VOG_TRY(units, allocate(need - first, growth));
      VOG_CHECK(ops_.init_units(*units));
      VOG_CHECK(batch_fill_leaf_redirectors(top, *units, first, need_depth, growth));
    }
  }
  d.top_block = top;
  d.reserved = need * unit;
  return {};
}

void Pyramid::undo(const Growth& growth) const {
  for (const Growth::Touched& entries : growth.touched) {
    const std::vector<std::byte> empty(4 * std::size_t{entries.count}, std::byte{0xFF});
    (void)blocks_.write_block(entries.block, 4 * entries.slot, empty, hint_);
  }
  std::vector<BlockNo> made = growth.made;
  (void)blocks_.return_blocks(made);
}

Result<void> Pyramid::batch_fill_leaf_redirectors(BlockNo top, std::span<const BlockNo> units,
                                                  std::uint64_t first, unsigned depth,
                                                  Growth& growth) const {
  if (units.empty() || depth == 0) return {};
  std::vector<std::byte> entries;
  std::size_t placed = 0;
  while (placed < units.size()) {
    VOG_TRY(found, descend(top, first + placed, depth, AtEmpty::Make, {}, &growth));
    const std::uint64_t slot = (first + placed) % fanout_;
    std::size_t count = std::min<std::size_t>(units.size() - placed, fanout_ - slot);
    entries.resize(4 * count);
    for (std::size_t i = 0; i < count; ++i) store_u32(entries, 4 * i, units[placed + i]);
    if (!growth.made_here(found->leaf))
      growth.touched.push_back({found->leaf, static_cast<std::uint32_t>(slot),
                                static_cast<std::uint32_t>(count)});
    VOG_CHECK(blocks_.write_block(found->leaf, static_cast<std::uint32_t>(4 * slot), entries, hint_));
    placed += count;
  }
  return {};
}

// Frees unit `unit` if present, clears its leaf entry, and releases each index
// block below the top that is left without entries. Returns the next unit worth
// visiting: past a whole subtree whose index entry is empty, so that a damaged
// length cannot make truncation visit units that do not exist one by one.
Result<std::uint64_t> Pyramid::release_unit(std::uint64_t unit, BlockNo top,
                                            unsigned depth) const {
  std::vector<Step> path(depth + 1);
  VOG_TRY(found, descend(top, unit, depth, AtEmpty::Stop, path));
  if (found->stopped_at != 0) {
    std::uint64_t span = fanout_power(fanout_, found->stopped_at - 1);
    std::uint64_t base = unit / span;
    return base + 1 > kMaxU64 / span ? kMaxU64 : (base + 1) * span;
  }
  const BlockNo leaf = path[1].block;
  const std::uint64_t rest = path[1].slot;
  VOG_TRY(target, read_entry(leaf, rest));
  if (*target == kNoBlock) return unit + 1;
  for (unsigned level = 1; level <= depth; ++level)
    if (path[level].block == *target) return std::unexpected(corrupt_tree(*target));

  std::vector<BlockNo> freed;
  VOG_CHECK(ops_.collect_unit_blocks(*target, freed));
  VOG_CHECK(blocks_.deallocate_blocks(freed));
  VOG_CHECK(write_block_index(leaf, static_cast<std::uint32_t>(rest)));
  for (unsigned level = 1; level < depth; ++level) {
    VOG_TRY(empty, index_block_empty(path[level].block));
    if (!*empty) break;
    VOG_CHECK(blocks_.deallocate_block(path[level].block));
    VOG_CHECK(write_block_index(path[level + 1].block,
                                static_cast<std::uint32_t>(path[level + 1].slot)));
  }
  return unit + 1;
}

Result<void> Pyramid::truncate(StreamDescriptor& d, std::uint64_t length) const {
  if (length >= d.size) return {};
  const std::uint64_t units = unit_count(d);
  const unsigned old_depth = depth(units);
  if (length == 0) {
    // A stream without a top block owns nothing to free; emptying it is sound.
    if (d.top_block != 0) {
      VOG_CHECK(check_top(d));
      VOG_CHECK(deallocate_tree(d.top_block, old_depth));
    }
    d.size = 0;
    d.reserved = 0;
    d.top_block = 0;
    return {};
  }
  VOG_CHECK(check_top(d));
  const std::uint64_t keep = units_for(length, unit_size());
  const unsigned new_depth = depth(keep);
  BlockNo top = d.top_block;
  if (old_depth >= 1) {
    for (std::uint64_t unit = keep; unit < units;) {
      VOG_TRY(next, release_unit(unit, top, old_depth));
      unit = *next;
    }
  }
  for (unsigned level = old_depth; level > new_depth; --level) {
    VOG_TRY(below, read_entry(top, 0));
    if (*below == kNoBlock)
      return std::unexpected(
          VogError::io(format("navigate_to_leaf: invalid block at depth {}, slot {}", level - 1, 0)));
    VOG_CHECK(blocks_.deallocate_block(top));
    top = *below;
  }
  d.size = length;
  d.reserved = keep * unit_size();
  d.top_block = top;
  return {};
}

Result<void> Pyramid::deallocate_tree(BlockNo top, unsigned depth) const {
  std::vector<BlockNo> all;
  std::unordered_set<BlockNo> seen;
  VOG_CHECK(collect_tree_blocks_for_dealloc(top, depth, all, seen));
  std::sort(all.begin(), all.end());
  if (auto twice = std::adjacent_find(all.begin(), all.end()); twice != all.end())
    return std::unexpected(corrupt_tree(*twice));
  return blocks_.deallocate_blocks(all);
}

Result<void> Pyramid::collect_tree_blocks_for_dealloc(BlockNo block, unsigned level,
                                                      std::vector<BlockNo>& out,
                                                      std::unordered_set<BlockNo>& seen) const {
  if (level == 0) return ops_.collect_unit_blocks(block, out);
  if (!seen.insert(block).second) return std::unexpected(corrupt_tree(block));
  std::vector<std::byte> image(block_size_);
  VOG_CHECK(blocks_.read_block(block, 0, image, hint_));
  for (std::uint32_t slot = 0; slot < fanout_; ++slot) {
    BlockNo entry = load_u32(image, 4 * std::size_t{slot});
    if (entry == kNoBlock) continue;
    VOG_CHECK(check_in_file(blocks_, "index block", block, slot, entry));
    VOG_CHECK(collect_tree_blocks_for_dealloc(entry, level - 1, out, seen));
  }
  out.push_back(block);
  return {};
}

void Pyramid::collect_tree_blocks(BlockNo top, unsigned depth, std::string_view label,
                                  std::vector<BlockNo>& claimed,
                                  VerifyReport& report, std::unordered_set<BlockNo>& visited,
                                  std::uint64_t total_blocks) const {
  if (depth == 0) {
    ops_.claim_unit(top, label, claimed, report);
    return;
  }
  claimed.push_back(top);  // the block layer reports a block beyond the file
  if (top >= total_blocks || !visited.insert(top).second) return;
  for (std::uint32_t slot = 0; slot < fanout_; ++slot) {
    auto entry = read_raw_entry(top, slot);
    if (!entry) {
      report.add("L3: stream {}: error reading redirector block {} slot {}: {}", label, top, slot,
                 entry.error().to_string());
      continue;
    }
    if (*entry != kNoBlock)
      collect_tree_blocks(*entry, depth - 1, label, claimed, report, visited, total_blocks);
  }
}

// Calls move(first block, offset in it, bytes done so far, bytes wanted) for
// each run of consecutive blocks under [offset, offset + len); move returns
// the count it transferred. Stops early on a short transfer.
template <class Move>
Result<std::size_t> Pyramid::for_each_run(const StreamDescriptor& d, std::uint64_t offset,
                                          std::size_t len, Move move) const {
  const std::uint64_t units = unit_count(d);
  if (units <= 1) return move(d.top_block, offset % block_size_, std::size_t{0}, len);
  const unsigned tree_depth = depth(units);
  const std::uint64_t end_unit = std::min(units, units_for(offset + len, block_size_));
  LeafCache leaf(block_size_);
  std::size_t done = 0;
  std::uint64_t pos = offset;
  for (;;) {
    std::uint64_t unit = pos / block_size_;
    if (unit >= units) return done;
    auto slot = static_cast<std::uint32_t>(unit % fanout_);
    // Runs never reach past the blocks wanted: a small transfer looks at one
    // or two entries, not at the rest of the leaf.
    auto max = static_cast<std::uint32_t>(std::min<std::uint64_t>(fanout_ - slot, end_unit - unit));
    VOG_CHECK(load_leaf(leaf, d.top_block, unit, tree_depth, slot + max));
    const std::uint64_t in_first = pos % block_size_;
    VOG_TRY(run, scan_run_from_buffer(leaf.bytes, slot, max));
    // The run's last block is its largest; the leaf must not be one of its own units.
    const std::uint32_t last = run->count - 1;
    VOG_CHECK(check_in_file(blocks_, "index block", leaf.block, slot + last, run->first + last));
    if (leaf.block - run->first <= last) return std::unexpected(corrupt_tree(leaf.block));
    auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::uint64_t{run->count} * block_size_ - in_first, len - done));
    VOG_TRY(got, move(run->first, in_first, done, want));
    done += *got;
    pos += *got;
    if (done >= len || *got < want) return done;
  }
}

Result<std::size_t> Pyramid::read(const StreamDescriptor& d, std::uint64_t offset,
                                  std::span<std::byte> out) const {
  if (offset >= d.size) return 0;
  auto len = static_cast<std::size_t>(std::min<std::uint64_t>(d.size - offset, out.size()));
  if (len == 0) return 0;
  VOG_CHECK(check_top(d));
  return ops_.read_units(*this, d, offset, out.first(len));
}

Result<std::size_t> Pyramid::write(StreamDescriptor& d, std::uint64_t offset,
                                   std::span<const std::byte> data) const {
  if (data.empty()) return 0;
  if (offset > kMaxU64 - data.size())
    return std::unexpected(VogError::io(format(
        "write of {} bytes at offset {} exceeds the largest stream length", data.size(), offset)));
  // Every unit below the extent may hold data; unit 0 does once there is a top.
  const std::uint64_t fresh_from =
      d.top_block == 0 ? 0 : std::max<std::uint64_t>(unit_count(d), 1);
  const StreamDescriptor before = d;
  Growth growth;
  auto wrote = [&]() -> Result<std::size_t> {
    VOG_CHECK(grow(d, std::max(offset + data.size(), d.size), growth));
    VOG_CHECK(check_top(d));
    return ops_.write_units(*this, d, offset, data, fresh_from);
  }();
  if (!wrote) {
    undo(growth);
    d = before;
    return wrote;
  }
  if (*wrote > 0) d.size = std::max(d.size, offset + *wrote);
  return *wrote;
}

namespace {

// The bytes [in_first, in_first + bytes.size()) of the run from `first`, one
// block at a time through the shared cache.
template <class Bytes, class Move>
Result<std::size_t> block_by_block(std::uint32_t block_size, BlockNo first, std::uint64_t in_first,
                                   Bytes bytes, Move move) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint64_t at = in_first + done;
    const auto in_block = static_cast<std::uint32_t>(at % block_size);
    const std::size_t piece = std::min<std::size_t>(block_size - in_block, bytes.size() - done);
    VOG_CHECK(move(static_cast<BlockNo>(first + at / block_size), in_block,
                   bytes.subspan(done, piece)));
    done += piece;
  }
  return done;
}

}  // namespace

Result<std::size_t> PlainOps::read_units(const Pyramid& tree, const StreamDescriptor& d,
                                         std::uint64_t offset, std::span<std::byte> out) const {
  BlockLayer& blocks = tree.blocks();
  const bool cached = tree.hint() == CacheHint::SharedCache;
  return tree.for_each_run(
      d, offset, out.size(),
      [&](BlockNo first, std::uint64_t in_first, std::size_t done, std::size_t want) {
        if (!cached) return blocks.read_contiguous_blocks(first, in_first, out.subspan(done, want));
        return block_by_block(block_size_, first, in_first, out.subspan(done, want),
                              [&](BlockNo block, std::uint32_t at, std::span<std::byte> piece) {
                                return blocks.read_block(block, at, piece, CacheHint::SharedCache);
                              });
      });
}

Result<std::size_t> PlainOps::write_units(const Pyramid& tree, const StreamDescriptor& d,
                                          std::uint64_t offset, std::span<const std::byte> data,
                                          std::uint64_t) const {
  BlockLayer& blocks = tree.blocks();
  const bool cached = tree.hint() == CacheHint::SharedCache;
  auto write_at = [&](std::uint64_t at, std::span<const std::byte> bytes) {
    return tree.for_each_run(
        d, at, bytes.size(),
        [&](BlockNo first, std::uint64_t in_first, std::size_t done, std::size_t want) {
          auto part = bytes.subspan(done, want);
          if (!cached) return blocks.write_contiguous_blocks(first, in_first, part);
          return block_by_block(block_size_, first, in_first, part,
                                [&](BlockNo block, std::uint32_t in_block,
                                    std::span<const std::byte> piece) {
                                  return blocks.write_block(block, in_block, piece,
                                                            CacheHint::SharedCache);
                                });
        });
  };
  // Blocks under a gap may hold bytes cut off by a truncate, or (in an
  // encrypted file) never-written noise: the gap must read as zeros.
  if (offset > d.size) {
    std::vector<std::byte> zeros(
        static_cast<std::size_t>(std::min<std::uint64_t>(offset - d.size, kZeroChunk)));
    for (std::uint64_t at = d.size; at < offset;) {
      auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(offset - at, zeros.size()));
      VOG_TRY(wrote, write_at(at, std::span(zeros).first(piece)));
      if (*wrote < piece) return 0;
      at += piece;
    }
  }
  return write_at(offset, data);
}

Result<std::size_t> pyramid_read(BlockLayer& blocks, const StreamDescriptor& d,
                                 std::uint64_t offset, std::span<std::byte> out, CacheHint hint) {
  PlainOps ops(blocks.block_size());
  return Pyramid(blocks, ops, hint).read(d, offset, out);
}

Result<std::size_t> pyramid_write(BlockLayer& blocks, StreamDescriptor& d, std::uint64_t offset,
                                  std::span<const std::byte> data, CacheHint hint) {
  PlainOps ops(blocks.block_size());
  return Pyramid(blocks, ops, hint).write(d, offset, data);
}

}  // namespace vog
