// Whole copies of directory streams, kept up to a byte budget: past it, the
// copies used least recently go, so browsing a large tree holds memory in
// proportion to the budget and not to the tree.
//
// Not thread-safe: VogState guards it with its mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "stream_layer.hpp"

namespace vog {

class DirectoryCopies {
 public:
  static constexpr std::size_t kDefaultBudget = std::size_t{64} << 20;

  explicit DirectoryCopies(std::size_t budget = kDefaultBudget) : budget_(budget) {}

  // The copy of `dir`, now the most recently used; null when none is kept.
  // Valid until the next call that changes this object.
  [[nodiscard]] const std::vector<std::byte>* find(StreamId dir);
  // Keeps `bytes` as the copy of `dir`, replacing any; a copy larger than
  // the whole budget is not kept.
  void put(StreamId dir, std::vector<std::byte> bytes);
  // Removes the copy of `dir` and returns it.
  [[nodiscard]] std::optional<std::vector<std::byte>> take(StreamId dir);
  void erase(StreamId dir) { (void)take(dir); }

  [[nodiscard]] std::size_t bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::size_t size() const noexcept { return copies_.size(); }

 private:
  struct Copy {
    std::vector<std::byte> bytes;
    std::list<StreamId>::iterator use;  // its place in by_use_
  };
  std::unordered_map<StreamId, Copy> copies_;
  std::list<StreamId> by_use_;  // most recently used first
  const std::size_t budget_;
  std::size_t bytes_ = 0;
};

}  // namespace vog
