// BlockCache: an LRU of whole blocks in one vector of nodes.
//
// Nodes are addressed by index and doubly linked in recency order, head_ the
// most and tail_ the least recently used; index_ maps a block to its node.
// Removed nodes go to a spare list and keep their buffers, so a cache that has
// filled once allocates nothing more until clear().
//
// Invariants:
//  1. index_.size() <= capacity_, and index_ names exactly the listed nodes.
//  2. The recency list and the spare list are disjoint and cover nodes_.
//  3. Every node in nodes_ owns a buffer of block_size_ bytes.
#include "block_cache.hpp"

#include <cassert>
#include <cstring>

namespace vog {

BlockCache::BlockCache(std::size_t capacity, std::size_t block_size)
    : capacity_(capacity), block_size_(block_size) {
  assert(capacity >= 1 && capacity < kNil && block_size >= 1);
}

std::span<std::byte> BlockCache::get(BlockNo block) {
  auto found = index_.find(block);
  if (found == index_.end()) return {};
  std::uint32_t at = found->second;
  if (at != head_) {
    unlink(at);
    link_front(at);
  }
  return bytes_of(at);
}

std::span<const std::byte> BlockCache::peek(BlockNo block) const {
  auto found = index_.find(block);
  if (found == index_.end()) return {};
  return bytes_of(found->second);
}

void BlockCache::put(BlockNo block, std::span<const std::byte> data) {
  assert(data.size() == block_size_);
  std::uint32_t at;
  if (auto found = index_.find(block); found != index_.end()) {
    at = found->second;
    unlink(at);
  } else if (index_.size() >= capacity_) {
    at = tail_;  // reuse the least recently used node and its buffer
    unlink(at);
    index_.erase(nodes_[at].block);
    index_.emplace(block, at);
  } else if (spare_ != kNil) {
    at = spare_;
    spare_ = nodes_[at].next;
    index_.emplace(block, at);
  } else {
    at = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back(Node{.data = std::make_unique_for_overwrite<std::byte[]>(block_size_)});
    index_.emplace(block, at);
  }
  nodes_[at].block = block;
  std::memcpy(nodes_[at].data.get(), data.data(), block_size_);
  link_front(at);
  check_invariants();
}

bool BlockCache::pop(BlockNo block) {
  auto found = index_.find(block);
  if (found == index_.end()) return false;
  std::uint32_t at = found->second;
  index_.erase(found);
  unlink(at);
  nodes_[at].block = kNoBlock;
  nodes_[at].next = spare_;
  spare_ = at;
  check_invariants();
  return true;
}

void BlockCache::clear() {
  nodes_.clear();
  nodes_.shrink_to_fit();
  index_.clear();
  head_ = tail_ = spare_ = kNil;
}

void BlockCache::unlink(std::uint32_t at) noexcept {
  Node& node = nodes_[at];
  if (node.prev != kNil)
    nodes_[node.prev].next = node.next;
  else
    head_ = node.next;
  if (node.next != kNil)
    nodes_[node.next].prev = node.prev;
  else
    tail_ = node.prev;
  node.prev = node.next = kNil;
}

void BlockCache::link_front(std::uint32_t at) noexcept {
  Node& node = nodes_[at];
  node.prev = kNil;
  node.next = head_;
  if (head_ != kNil) nodes_[head_].prev = at;
  head_ = at;
  if (tail_ == kNil) tail_ = at;
}

void BlockCache::check_invariants() const {
#ifndef NDEBUG
  assert(index_.size() <= capacity_);
  std::size_t listed = 0;
  for (std::uint32_t at = head_; at != kNil; at = nodes_[at].next) {
    auto found = index_.find(nodes_[at].block);
    assert(found != index_.end() && found->second == at);
    assert(nodes_[at].data != nullptr);
    ++listed;
  }
  std::size_t spare = 0;
  for (std::uint32_t at = spare_; at != kNil; at = nodes_[at].next) ++spare;
  assert(listed == index_.size() && listed + spare == nodes_.size());
#endif
}

}  // namespace vog
