// BlocksInFile: block allocation and the free list.
//
// Bytes owned on disk: the free-list head (block 0, bytes 5..8) and the trunk
// blocks, one whole block each (layout in trunk.hpp).
// The free blocks are the trunks plus the blocks of every non-empty extent.
// Extents are neither sorted nor merged; new trunks go in front of the chain.
//
// Invariants:
//  1. Every free-list change happens under state_mu_, from the first trunk
//     read to the final flush of block 0, so changes are serialised.
//  2. Block 0, the sentinel and blocks the file does not hold are never
//     handed out or taken back; a free list that names one is reported as
//     corrupt rather than used.
//  3. Blocks leave the caches (evict_from_all_caches) after state_mu_ is
//     released, never under it.
//  4. Only allocate_blocks() extends the file, always to exactly
//     data_offset + total_blocks * block size; everything else here reads and
//     writes blocks below total_blocks_ only.
//
// Failed allocation: blocks already out of the free list when a later step
// fails (growth past the sentinel, set_len, zero-fill, flush) are put back on
// the free list before the error is returned, so they do not become orphans.
// Blocks whose removal never reached the file (a trunk that could not be
// written back) are left where they are. A corrupt free list is left alone.
#include <algorithm>
#include <optional>
#include <unordered_set>

#include "blocks_in_file.hpp"
#include "format.hpp"
#include "trunk.hpp"

namespace vog {
namespace {

struct Extent {
  BlockNo start;
  std::uint32_t length;
};

// Runs of consecutive numbers in a sorted list; a repeat starts a new run.
std::vector<Extent> extents_of(std::span<const BlockNo> sorted) {
  std::vector<Extent> extents;
  for (BlockNo block : sorted) {
    if (!extents.empty()) {
      Extent& last = extents.back();
      if (std::uint64_t{last.start} + last.length == block) {
        ++last.length;
        continue;
      }
    }
    extents.push_back({block, 1});
  }
  return extents;
}

VogError corrupt(std::string detail) { return VogError::io("free list corrupt: " + detail); }

// Refuses a whole list before anything changes: block 0 is the superblock,
// the sentinel as a trunk would read as the end of the list and lose it, and
// a block the file does not hold was never handed out (as a trunk it would
// grow the file).
Result<void> check_freeable(std::span<const BlockNo> blocks, std::uint64_t total) {
  if (std::find(blocks.begin(), blocks.end(), BlockNo{0}) != blocks.end())
    return std::unexpected(VogError::io("cannot deallocate block 0 (superblock)"));
  if (std::find(blocks.begin(), blocks.end(), kNoBlock) != blocks.end())
    return std::unexpected(VogError::io(format("cannot deallocate block {} (sentinel)", kNoBlock)));
  if (auto beyond = std::find_if(blocks.begin(), blocks.end(),
                                 [total](BlockNo block) { return block >= total; });
      beyond != blocks.end())
    return std::unexpected(VogError::io(
        format("cannot deallocate block {} (>= total_blocks {})", *beyond, total)));
  return {};
}

// Why `number`, met on the chain, cannot be a trunk; nothing when it can.
// Block 0 would hand out or overwrite the superblock; a block the file does
// not hold would be written far past its end.
std::optional<std::string> trunk_problem(BlockNo number, std::uint64_t total) {
  if (number == 0) return "the head names block 0 (superblock)";
  if (number >= total) return format("trunk {} is >= total_blocks ({})", number, total);
  return std::nullopt;
}

}  // namespace

Result<std::vector<std::byte>> BlocksInFile::read_head_trunk(const BlocksInFileState& state) {
  if (auto problem = trunk_problem(state.free_head, total_blocks_.load()))
    return std::unexpected(corrupt(std::move(*problem)));
  return read_raw_block(state.free_head);
}

Result<void> BlocksInFile::take_free_blocks(BlocksInFileState& state, std::uint32_t count,
                                            std::vector<BlockNo>& taken) {
  // taken[0, committed) are out of the free list for good: their trunk was
  // written back or consumed. On failure only those are kept; on finding the
  // list corrupt none are, as freeing them again could spread the damage.
  std::size_t committed = taken.size();
  std::unordered_set<BlockNo> consumed;  // a chain that comes back to one is a cycle
  const std::uint64_t total = total_blocks_.load();
  auto fail = [&](VogError error) -> Result<void> {
    taken.resize(committed);
    return std::unexpected(std::move(error));
  };
  auto fail_corrupt = [&](std::string detail) -> Result<void> {
    taken.clear();
    return std::unexpected(corrupt(std::move(detail)));
  };

  while (taken.size() < count && state.free_head != kNoBlock) {
    const BlockNo number = state.free_head;
    if (consumed.contains(number))
      return fail_corrupt(format("trunk {} appears twice in the chain", number));
    if (auto problem = trunk_problem(number, total)) return fail_corrupt(std::move(*problem));
    auto bytes = read_raw_block(number);
    if (!bytes) return fail(std::move(bytes).error());
    Trunk trunk(*bytes);

    bool changed = false;
    for (std::size_t k = 0; k < trunk.entries() && taken.size() < count; ++k) {
      if (trunk.empty(k)) continue;
      const BlockNo start = trunk.start(k);
      const std::uint32_t length = trunk.length(k);
      if (length > 0 && (start == 0 || std::uint64_t{start} + length > kNoBlock))
        return fail_corrupt(
            format("trunk {}, extent slot {}: extent ({}, {}) covers block 0 or the sentinel",
                   number, k, start, length));
      if (length > 0 && std::uint64_t{start} + length > total)
        return fail_corrupt(
            format("trunk {}, extent slot {}: extent ({}, {}) passes total_blocks ({})", number,
                   k, start, length, total));
      const auto need = static_cast<std::uint32_t>(count - taken.size());
      if (length > need) {  // the tail of the extent, so the entry only shrinks
        for (std::uint32_t i = length - need; i < length; ++i) taken.push_back(start + i);
        trunk.set_entry(k, start, length - need);
      } else {
        for (std::uint32_t i = 0; i < length; ++i) taken.push_back(start + i);
        trunk.set_entry(k, kNoBlock, 0);
      }
      changed = true;
    }

    if (taken.size() < count && trunk.all_empty()) {
      // An empty trunk is itself a free block; it is not written back.
      state.free_head = trunk.next();
      taken.push_back(number);
      consumed.insert(number);
      committed = taken.size();
    } else if (changed) {
      if (auto wrote = write_raw_block(number, *bytes); !wrote)
        return fail(std::move(wrote).error());
      committed = taken.size();
    }
  }
  return {};
}

Result<void> BlocksInFile::allocate_locked(BlocksInFileState& state, std::uint32_t count,
                                           std::vector<BlockNo>& result) {
  VOG_CHECK(take_free_blocks(state, count, result));
  std::sort(result.begin(), result.end());
  // Handing one block out twice would let two owners overwrite each other.
  if (auto twice = std::adjacent_find(result.begin(), result.end()); twice != result.end()) {
    const BlockNo block = *twice;
    result.clear();  // a corrupt list gets nothing back
    return std::unexpected(corrupt(format("block {} is free twice", block)));
  }
  const std::size_t reused = result.size();

  const std::uint64_t missing = count - reused;
  if (missing > 0) {
    const std::uint64_t total = total_blocks_.load();
    if (total + missing > kNoBlock)
      return std::unexpected(VogError::io(
          format("block index overflow: need {} blocks but only {} available before sentinel",
                 missing, kNoBlock - total)));
    VOG_CHECK(storage_.file().set_len(storage_.block_offset(total + missing)));
    for (std::uint64_t i = 0; i < missing; ++i) result.push_back(static_cast<BlockNo>(total + i));
    // Published only once the file holds the new blocks.
    total_blocks_.store(total + missing, std::memory_order_release);
  }
  VOG_CHECK(storage_.write_zero_blocks(std::span(result).first(reused)));
  return flush_block0(state);
}

Result<std::vector<BlockNo>> BlocksInFile::allocate_blocks(std::uint32_t count) {
  if (count == 0) return std::vector<BlockNo>{};
  std::vector<BlockNo> result;
  Result<void> outcome;
  {
    std::lock_guard lock(state_mu_);
    outcome = allocate_locked(state_, count, result);
    // Whatever left the free list goes back on it rather than be orphaned.
    if (!outcome) give_back(state_, result);
  }
  evict_from_all_caches(result);
  if (!outcome) return std::unexpected(std::move(outcome).error());
  return result;
}

// Puts sorted blocks on the free list: first into the head trunk's empty
// entries, then as new trunks pushed in front, each made of the first block
// of the next extent and holding the extents after it.
Result<void> BlocksInFile::free_sorted_blocks(BlocksInFileState& state,
                                              std::span<const BlockNo> sorted) {
  std::vector<Extent> extents = extents_of(sorted);
  std::size_t next = 0;
  if (state.free_head != kNoBlock) {
    VOG_TRY(bytes, read_head_trunk(state));
    Trunk trunk(*bytes);
    bool filled = false;
    for (std::size_t k = 0; k < trunk.entries() && next < extents.size(); ++k) {
      if (!trunk.empty(k)) continue;
      trunk.set_entry(k, extents[next].start, extents[next].length);
      ++next;
      filled = true;
    }
    if (filled) VOG_CHECK(write_raw_block(state.free_head, *bytes));
  }
  while (next < extents.size()) {
    Extent& donor = extents[next];
    const BlockNo number = donor.start;
    if (donor.length == 1) {
      ++next;
    } else {
      ++donor.start;
      --donor.length;
    }
    std::vector<std::byte> bytes = Trunk::fresh(block_bytes(), state.free_head);
    Trunk trunk(bytes);
    for (std::size_t k = 0; k < trunk.entries() && next < extents.size(); ++k, ++next)
      trunk.set_entry(k, extents[next].start, extents[next].length);
    VOG_CHECK(write_raw_block(number, bytes));
    state.free_head = number;
  }
  return {};
}

// Best effort after a failed allocation; the allocation's own error is the
// one reported, so a failure here only leaves the blocks orphaned.
void BlocksInFile::give_back(BlocksInFileState& state, std::span<const BlockNo> blocks) {
  if (blocks.empty()) return;
  std::vector<BlockNo> sorted(blocks.begin(), blocks.end());
  std::sort(sorted.begin(), sorted.end());
  if (free_sorted_blocks(state, sorted)) (void)flush_block0(state);
}

Result<void> BlocksInFile::deallocate_block(BlockNo block) {
  const BlockNo one[] = {block};
  VOG_CHECK(check_freeable(one, total_blocks_.load()));
  return deallocate_blocks_sorted(one);
}

Result<void> BlocksInFile::deallocate_blocks(std::vector<BlockNo>& blocks) {
  if (blocks.empty()) return {};
  VOG_CHECK(check_freeable(blocks, total_blocks_.load()));
  std::sort(blocks.begin(), blocks.end());
  return deallocate_blocks_sorted(blocks);
}

Result<void> BlocksInFile::deallocate_blocks_sorted(std::span<const BlockNo> sorted) {
  Result<void> outcome;
  {
    std::lock_guard lock(state_mu_);
    outcome = free_sorted_blocks(state_, sorted);
    if (outcome) outcome = flush_block0(state_);
  }
  evict_from_all_caches(sorted);
  return outcome;
}

Result<void> BlocksInFile::return_blocks(std::vector<BlockNo>& blocks) {
  if (blocks.empty()) return {};
  VOG_CHECK(check_freeable(blocks, total_blocks_.load()));
  std::sort(blocks.begin(), blocks.end());
  std::span<const BlockNo> rest(blocks);
  Result<void> outcome;
  {
    std::lock_guard lock(state_mu_);
    const std::uint64_t total = total_blocks_.load();
    std::uint64_t kept = total;
    while (!rest.empty() && rest.back() + std::uint64_t{1} == kept && kept > 1) {
      rest = rest.first(rest.size() - 1);
      --kept;
    }
    if (kept != total) {
      outcome = storage_.file().set_len(storage_.block_offset(kept));
      if (outcome) total_blocks_.store(kept, std::memory_order_release);
    }
    if (outcome && !rest.empty()) {
      outcome = free_sorted_blocks(state_, rest);
      if (outcome) outcome = flush_block0(state_);
    }
  }
  evict_from_all_caches(blocks);
  return outcome;
}

}  // namespace vog
