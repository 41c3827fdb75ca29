// StreamsFromBlocks::verify: the descriptor table, its free list and every
// stream's tree, checked without changing anything, then the block layer's
// check of the blocks the trees claim.
//
// Reads the table as it is on disk: copies held by open writable handles are
// not seen. Takes only table_mu_, for the copy of the Streams descriptor.
// Lines whose order would otherwise follow a hash set are sorted by slot.
// Lines go to the caller's report as found; what this check holds grows with
// the slots and blocks of the file, never with the number of problems.
//
// However damaged the file, the work is bounded by the blocks it holds: each
// index block inside the file is walked at most once (others are only
// claimed, and the block layer reports them), and a descriptor table longer
// than the file could hold is reported and examined only as far as it could
// reach.
#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

#include "format.hpp"
#include "le_bytes.hpp"
#include "pyramid.hpp"
#include "streams_from_blocks.hpp"

namespace vog {
namespace {

// Descriptors read from the table a chunk at a time.
constexpr std::uint64_t kChunkSlots = 4096;
constexpr std::uint64_t kSlotsStart = 4;  // after the free-list head

}  // namespace

Result<void> StreamsFromBlocks::verify(std::span<const StreamId> claimed_ids,
                                       VerifyReport& report) {
  // Other threads may have rewritten index blocks this thread still holds.
  blocks_->clear_thread_cache();
  const StreamDescriptor table = streams_descriptor();
  const std::uint32_t block_size = blocks_->block_size();
  std::vector<BlockNo> claimed;
  std::unordered_set<BlockNo> visited;  // index blocks walked, across all trees
  const std::uint64_t total_blocks = blocks_->total_blocks();

  if (table.size != 0) {
    PlainOps plain(block_size);
    Pyramid tree(*blocks_, plain, CacheHint::SharedCache);
    tree.collect_tree_blocks(table.top_block, tree.depth(units_for(table.size, block_size)),
                             "Streams-stream", claimed, report, visited, total_blocks);
  }

  if (table.reserved < table.size)
    report.add("L3: Streams-stream: reserved ({}) < size ({}) \u2014 invariant violation",
               table.reserved, table.size);
  std::uint64_t num_slots = table.size < 4 ? 0 : (table.size - 4) / kDescriptorSize;
  if (const std::uint64_t needs = units_for(table.size, block_size); needs > total_blocks) {
    report.add("L3: Streams-stream: size {} needs {} blocks but the file holds {}", table.size,
               needs, total_blocks);
    num_slots = (total_blocks * block_size - 4) / kDescriptorSize;
  }
  // Slot IDs are 32-bit, and the last value names the table itself.
  num_slots = std::min<std::uint64_t>(num_slots, kStreamsStreamId);

  // A chunk that cannot be read whole is read slot by slot, so that each
  // unreadable slot gets its own line.
  std::vector<std::byte> chunk;
  std::uint64_t chunk_first = num_slots;
  bool chunk_whole = false;
  auto read_descriptor = [&](StreamId k) -> Result<StreamDescriptor> {
    if (const std::uint64_t first = k / kChunkSlots * kChunkSlots; first != chunk_first) {
      chunk_first = first;
      chunk.resize(std::min(kChunkSlots, num_slots - first) * kDescriptorSize);
      auto got = pyramid_read(*blocks_, table, kSlotsStart + first * kDescriptorSize, chunk,
                              CacheHint::SharedCache);
      chunk_whole = got && *got == chunk.size();
    }
    if (!chunk_whole) return read_slot(table, k);
    return StreamDescriptor::decode(
        std::span(chunk).subspan((k - chunk_first) * kDescriptorSize).first<kDescriptorSize>());
  };

  std::set<StreamId> active;
  std::map<StreamId, StreamId> marked_free;  // slot -> its next free slot
  for (std::uint64_t slot = 0; slot < num_slots; ++slot) {
    auto k = static_cast<StreamId>(slot);
    auto d = read_descriptor(k);
    if (!d) {
      report.add("L3: error reading descriptor for stream {}: {}", k, d.error().to_string());
      continue;
    }
    if (d->is_free()) {
      marked_free.emplace(k, d->next_free());
      continue;
    }
    active.insert(k);
    if (d->top_block != 0 && d->size == 0 && d->reserved == 0)
      report.add("L3: stream {}: size is 0 but top_block is {} (expected 0)", k, d->top_block);
    if (d->reserved < d->size)
      report.add("L3: stream {}: reserved ({}) < size ({}) \u2014 invariant violation", k,
                 d->reserved, d->size);
    if (d->extent() == 0) continue;
    if (auto usable = require_compression(*d); !usable) {
      report.add("L3: stream {}: {}", k, usable.error().to_string());
      continue;
    }
    const Pyramid tree = tree_of(*d);
    tree.collect_tree_blocks(d->top_block, tree.depth(tree.unit_count(*d)), std::to_string(k),
                             claimed, report, visited, total_blocks);
  }

  std::set<StreamId> named;
  for (StreamId id : claimed_ids) {
    if (!named.insert(id).second) continue;
    if (!active.contains(id))
      report.add("L3: stream {} claimed by L4 but not found in stream descriptors", id);
  }
  for (StreamId id : active)
    if (!named.contains(id))
      report.add(
          "L3: stream {} exists in stream descriptors but is not claimed by L4 (orphaned stream)",
          id);

  std::set<StreamId> on_free_list;
  std::array<std::byte, 4> head{};
  auto got = table.size >= 4 ? pyramid_read(*blocks_, table, 0, head, CacheHint::SharedCache)
                             : Result<std::size_t>(0);
  if (got && *got == head.size()) {
    for (StreamId s = load_u32(head, 0); s != kStreamsStreamId;) {
      if (s >= num_slots) {
        report.add("L3: free-list entry {} is out of range (num_slots={})", s, num_slots);
        break;
      }
      if (!on_free_list.insert(s).second) {
        report.add("L3: free-list cycle detected at slot {}", s);
        break;
      }
      if (auto known = marked_free.find(s); known != marked_free.end()) {
        s = known->second;
        continue;
      }
      // Not marked free: read again for the reason.
      auto d = read_slot(table, s);
      if (!d) {
        report.add("L3: error reading free-list entry {}: {}", s, d.error().to_string());
        break;
      }
      if (!d->is_free()) {
        report.add("L3: slot {} is on free list but top_block is not FREE_DESCRIPTOR_MARKER", s);
        break;
      }
      s = d->next_free();
    }
  }
  for (const auto& [s, next] : marked_free)
    if (!on_free_list.contains(s))
      report.add("L3: slot {} is marked free but not reachable from free list", s);
  for (StreamId s : on_free_list)
    if (!marked_free.contains(s))
      report.add("L3: slot {} is on free list but not marked free in descriptor", s);
  if (active.size() + marked_free.size() != num_slots)
    report.add("L3: active ({}) + free ({}) = {} but num_slots = {}", active.size(),
               marked_free.size(), active.size() + marked_free.size(), num_slots);

  return blocks_->verify(claimed, report);
}

}  // namespace vog
