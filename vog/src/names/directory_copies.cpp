#include "directory_copies.hpp"

namespace vog {

const std::vector<std::byte>* DirectoryCopies::find(StreamId dir) {
  auto hit = copies_.find(dir);
  if (hit == copies_.end()) return nullptr;
  by_use_.splice(by_use_.begin(), by_use_, hit->second.use);
  return &hit->second.bytes;
}

void DirectoryCopies::put(StreamId dir, std::vector<std::byte> bytes) {
  erase(dir);
  if (bytes.size() > budget_) return;
  while (bytes_ + bytes.size() > budget_) erase(by_use_.back());
  bytes_ += bytes.size();
  by_use_.push_front(dir);
  copies_.emplace(dir, Copy{std::move(bytes), by_use_.begin()});
}

std::optional<std::vector<std::byte>> DirectoryCopies::take(StreamId dir) {
  auto node = copies_.extract(dir);
  if (!node) return std::nullopt;
  by_use_.erase(node.mapped().use);
  bytes_ -= node.mapped().bytes.size();
  return std::move(node.mapped().bytes);
}

std::uint64_t DirectoryGenerations::of(StreamId dir) const {
  auto known = changed_.find(dir);
  return known == changed_.end() ? shared_ : known->second;
}

void DirectoryGenerations::bump(StreamId dir) {
  if (changed_.size() >= limit_ && !changed_.contains(dir)) {
    changed_.clear();
    shared_ = ++last_;
  }
  changed_[dir] = ++last_;
}

}  // namespace vog
