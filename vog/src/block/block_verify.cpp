// BlocksInFile: the block layer's consistency report.
//
// Reads, never writes: trunks are read through the uncached whole-block path,
// no cache is consulted or filled, and state_mu_ is held only to snapshot
// total_blocks and the head, and to parse the in-memory block 0 again.
//
// The free set and the claimed set are bitmaps over total_blocks (at most
// 2^32 bits, 512 MiB, for the largest file), so millions of blocks check in
// one pass over words. Only blocks below total_blocks ever enter the free set;
// claimed blocks at or above it are kept in a hash set of their own, which
// the caller's list bounds.
//
// Problems go to the caller's report as they are found, so this check holds
// its two bitmaps and nothing that grows with the number of problems.
// Lines come in the order the checks run; within the "both claimed and free"
// and "orphaned" checks, in increasing block order.
//
// A sound free list names each block at most once, so its extents name at
// most total_blocks blocks. A walk that reaches that many stops with a line of
// its own, as a trunk chain longer than the file does: otherwise a damaged
// trunk of overlapping whole-file extents would cost (and report) the file's
// block count once per entry.
#include <bit>
#include <unordered_set>

#include "blocks_in_file.hpp"
#include "format.hpp"
#include "trunk.hpp"

namespace vog {
namespace {

class Bitmap {
 public:
  explicit Bitmap(std::uint64_t bits) : words_((bits + 63) / 64) {}

  [[nodiscard]] bool test(std::uint64_t bit) const {
    return (words_[bit / 64] >> (bit % 64) & 1u) != 0;
  }
  // Sets the bit; returns whether it was already set.
  bool test_and_set(std::uint64_t bit) {
    std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    bool was = (words_[bit / 64] & mask) != 0;
    words_[bit / 64] |= mask;
    return was;
  }
  [[nodiscard]] std::uint64_t word(std::size_t at) const { return words_[at]; }
  [[nodiscard]] std::size_t words() const noexcept { return words_.size(); }

 private:
  std::vector<std::uint64_t> words_;
};

// Calls visit(block) for every block below `total` whose bit is set in
// select(word index), in increasing order.
template <class Select, class Visit>
void for_each_set(std::size_t words, std::uint64_t total, Select select, Visit visit) {
  for (std::size_t at = 0; at < words; ++at) {
    std::uint64_t bits = select(at);
    while (bits != 0) {
      std::uint64_t block = at * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
      if (block >= total) return;
      visit(block);
      bits &= bits - 1;
    }
  }
}

}  // namespace

Result<void> BlocksInFile::verify(std::span<const BlockNo> claimed, VerifyReport& report) {
  VOG_TRY(header, storage_.file().verify());
  for (std::string& line : *header) report.add_line(std::move(line));

  std::uint64_t total;
  BlockNo head;
  {
    std::lock_guard lock(state_mu_);
    total = total_blocks_.load(std::memory_order_relaxed);
    head = state_.free_head;
  }

  VOG_TRY(file_size, storage_.file().len());
  const std::uint64_t expected = storage_.block_offset(total);
  if (*file_size != expected)
    report.add("L2: file size ({}) does not match expected ({}) for {} blocks", *file_size,
               expected, total);

  Bitmap free_set(total);
  std::uint64_t trunks = 0;
  std::uint64_t listed = 0;  // extent blocks met so far
  bool overlong = false;
  for (BlockNo trunk = head; trunk != kNoBlock && !overlong;) {
    if (trunk >= total) {
      report.add("L2: free list trunk {} is >= total_blocks ({})", trunk, total);
      break;
    }
    if (trunk == 0) {
      report.add("L2: block 0 (superblock) found as trunk on free list");
      break;
    }
    if (free_set.test_and_set(trunk)) {
      report.add("L2: trunk cycle detected at block {} after {} trunks", trunk, trunks);
      break;
    }
    if (++trunks > total) {
      report.add("L2: trunk chain longer than total_blocks (cycle likely)");
      break;
    }
    VOG_TRY(bytes, read_raw_block(trunk));
    const Trunk contents(*bytes);
    for (std::size_t k = 0; k < contents.entries() && !overlong; ++k) {
      if (contents.empty(k)) continue;
      const BlockNo start = contents.start(k);
      const std::uint32_t length = contents.length(k);
      if (length == 0) {
        report.add("L2: trunk {}, extent slot {}: zero-length extent at start {}", trunk, k, start);
        continue;
      }
      for (std::uint64_t b = start; b < std::uint64_t{start} + length; ++b) {
        if (b >= total) {
          report.add("L2: extent in trunk {} references block {} >= total_blocks ({})", trunk, b,
                     total);
          break;
        }
        if (listed++ == total) {
          report.add(
              "L2: free list extents name more than total_blocks ({}) blocks (overlap likely)",
              total);
          overlong = true;
          break;
        }
        if (b == 0) report.add("L2: block 0 found in free list extent");
        if (free_set.test_and_set(b))
          report.add("L2: block {} appears multiple times in free list", b);
      }
    }
    trunk = contents.next();
  }

  for (BlockNo block : claimed) {
    if (block >= total) report.add("L2: claimed block {} is >= total_blocks ({})", block, total);
  }

  // The claimed set is what this walk sees plus block 0; a block met again in
  // the walk is claimed more than once (block 0 listed once is not).
  Bitmap claimed_set(total);
  std::unordered_set<BlockNo> claimed_beyond;
  for (BlockNo block : claimed) {
    bool again =
        block < total ? claimed_set.test_and_set(block) : !claimed_beyond.insert(block).second;
    if (again) report.add("L2: block {} claimed by multiple streams", block);
  }
  claimed_set.test_and_set(0);

  for_each_set(
      free_set.words(), total,
      [&](std::size_t at) { return claimed_set.word(at) & free_set.word(at); },
      [&](std::uint64_t block) {
        report.add("L2: block {} is both claimed by a stream and on the free list", block);
      });
  for_each_set(
      free_set.words(), total,
      [&](std::size_t at) { return ~(claimed_set.word(at) | free_set.word(at)); },
      [&](std::uint64_t block) {
        report.add("L2: block {} is orphaned (not claimed by any stream, not on free list)", block);
      });

  {
    std::lock_guard lock(state_mu_);
    if (auto parsed = parse_block0(state_.block0); !parsed)
      report.add("L2: block 0 parse error: {}", parsed.error().to_string());
  }
  return {};
}

}  // namespace vog
