// The directory cache's bookkeeping: whole copies of directory streams, kept
// up to a byte budget, and a number per directory that tells a read whether
// the directory changed while it ran. Both hold memory in proportion to
// their bound, not to the tree.
//
// Not thread-safe: VogState guards both with its mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <unordered_map>
#include <vector>

#include "stream_layer.hpp"

namespace vog {

// Past the budget, the copies used least recently go.
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
  void clear() {
    copies_.clear();
    by_use_.clear();
    bytes_ = 0;
  }

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

// A number that changes with every change of a directory, so that a read
// that began before a change does not enter the cache after it. Directories
// not changed lately share one number. Past `limit` changed ones, all are
// forgotten at once and given a new shared number: that only keeps the reads
// running then out of the cache.
class DirectoryGenerations {
 public:
  static constexpr std::size_t kDefaultLimit = std::size_t{1} << 16;

  explicit DirectoryGenerations(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  [[nodiscard]] std::uint64_t of(StreamId dir) const;
  // Gives `dir` a number it never had.
  void bump(StreamId dir);

  [[nodiscard]] std::size_t size() const noexcept { return changed_.size(); }

 private:
  std::unordered_map<StreamId, std::uint64_t> changed_;
  std::uint64_t shared_ = 0;  // the number of every directory not in changed_
  std::uint64_t last_ = 0;    // the latest number given out
  const std::size_t limit_;
};

}  // namespace vog
