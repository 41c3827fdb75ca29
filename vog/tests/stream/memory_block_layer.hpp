// An in-memory BlockLayer for the stream layer's tests.
//
// Blocks live in a vector; freed blocks go into a set that tests can inspect.
// Misuse that the real layer would not notice becomes a test failure here:
// freeing block 0 or a block that is already free, and (while strict) touching
// block 0 or a free block through reads and writes. Counters record every call
// so tests can check that data moves in runs; failures can be injected.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "block_layer.hpp"
#include "block_layer_wrapper.hpp"
#include "format.hpp"

namespace vog::testing {

enum class FakeOp { Read, Write, Verify };

struct FakeCounters {
  int read_block = 0;
  int write_block = 0;
  int read_contiguous = 0;
  int write_contiguous = 0;
  int allocate_calls = 0;
  int deallocate_calls = 0;
};

class MemoryBlockLayer final : public BlockLayer {
 public:
  explicit MemoryBlockLayer(std::uint8_t shift, std::vector<std::uint16_t> slot_sizes = {28})
      : shift_(shift), blocks_(1, std::vector<std::byte>(std::size_t{1} << shift)) {
    for (auto size : slot_sizes) slots_.emplace_back(size);
  }

  [[nodiscard]] std::uint8_t block_size_shift() const noexcept override { return shift_; }
  [[nodiscard]] bool is_encrypted() const noexcept override { return false; }

  Result<std::vector<std::byte>> read_admin_slot(std::uint8_t index) override {
    std::lock_guard lock(mu_);
    if (index >= slots_.size()) return std::unexpected(slot_range(index));
    return slots_[index];
  }
  Result<void> write_admin_slot(std::uint8_t index, std::span<const std::byte> payload) override {
    std::lock_guard lock(mu_);
    if (index >= slots_.size()) return std::unexpected(slot_range(index));
    if (payload.size() != slots_[index].size())
      return std::unexpected(VogError::io(format("admin slot {}: expected {} bytes, got {}", index,
                                                 slots_[index].size(), payload.size())));
    if (auto failed = inject(FakeOp::Write)) return std::unexpected(*failed);
    slots_[index].assign(payload.begin(), payload.end());
    return {};
  }

  Result<std::size_t> read_block(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                                 CacheHint) override {
    std::lock_guard lock(mu_);
    ++counters_.read_block;
    if (block == kNoBlock)
      return std::unexpected(VogError::io(format("read_block: block index {} is sentinel", block)));
    if (std::uint64_t{offset} + out.size() > bytes_per_block())
      return std::unexpected(VogError::io(format("read_block: offset {} + len {} exceeds block_size {}",
                                                 offset, out.size(), bytes_per_block())));
    if (auto failed = inject(FakeOp::Read)) return std::unexpected(*failed);
    check_owned(block, "read_block");
    if (block < blocks_.size())
      std::memcpy(out.data(), blocks_[block].data() + offset, out.size());
    else
      std::fill(out.begin(), out.end(), std::byte{0});
    return out.size();
  }

  Result<std::size_t> write_block(BlockNo block, std::uint32_t offset,
                                  std::span<const std::byte> data, CacheHint) override {
    std::lock_guard lock(mu_);
    ++counters_.write_block;
    if (std::uint64_t{offset} + data.size() > bytes_per_block())
      return std::unexpected(VogError::io(format(
          "write_block: offset {} + len {} exceeds block_size {}", offset, data.size(), bytes_per_block())));
    if (auto failed = inject(FakeOp::Write)) return std::unexpected(*failed);
    check_owned(block, "write_block");
    if (block >= blocks_.size()) {
      ADD_FAILURE() << "write_block beyond the last block: " << block;
      return data.size();
    }
    std::memcpy(blocks_[block].data() + offset, data.data(), data.size());
    return data.size();
  }

  Result<std::size_t> read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                             std::span<std::byte> out) override {
    std::lock_guard lock(mu_);
    ++counters_.read_contiguous;
    if (auto failed = inject(FakeOp::Read)) return std::unexpected(*failed);
    std::uint64_t start = std::uint64_t{first} * bytes_per_block() + offset;
    std::size_t done = 0;
    while (done < out.size()) {
      std::uint64_t at = start + done;
      std::uint64_t block = at / bytes_per_block();
      if (block >= blocks_.size()) break;  // the end of the file: a short count
      check_owned(static_cast<BlockNo>(block), "read_contiguous_blocks");
      std::size_t in_block = static_cast<std::size_t>(at % bytes_per_block());
      std::size_t n = std::min(out.size() - done, bytes_per_block() - in_block);
      std::memcpy(out.data() + done, blocks_[block].data() + in_block, n);
      done += n;
    }
    return done;
  }

  Result<std::size_t> write_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                              std::span<const std::byte> data) override {
    std::lock_guard lock(mu_);
    ++counters_.write_contiguous;
    if (auto failed = inject(FakeOp::Write)) return std::unexpected(*failed);
    std::uint64_t start = std::uint64_t{first} * bytes_per_block() + offset;
    for (std::size_t done = 0; done < data.size();) {
      std::uint64_t at = start + done;
      std::uint64_t block = at / bytes_per_block();
      if (block >= blocks_.size()) {
        ADD_FAILURE() << "write_contiguous_blocks beyond the last block: " << block;
        break;
      }
      check_owned(static_cast<BlockNo>(block), "write_contiguous_blocks");
      std::size_t in_block = static_cast<std::size_t>(at % bytes_per_block());
      std::size_t n = std::min(data.size() - done, bytes_per_block() - in_block);
      std::memcpy(blocks_[block].data() + in_block, data.data() + done, n);
      done += n;
    }
    return data.size();
  }

  void clear_thread_cache() override {}

  Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t count) override {
    std::lock_guard lock(mu_);
    ++counters_.allocate_calls;
    if (count == 0) return std::vector<BlockNo>{};
    std::vector<BlockNo> out;
    while (out.size() < count && !free_.empty()) {
      BlockNo block = *free_.begin();
      free_.erase(free_.begin());
      std::fill(blocks_[block].begin(), blocks_[block].end(), std::byte{0});
      out.push_back(block);
    }
    while (out.size() < count) {
      out.push_back(static_cast<BlockNo>(blocks_.size()));
      blocks_.emplace_back(bytes_per_block());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  Result<void> deallocate_block(BlockNo block) override {
    std::vector<BlockNo> one{block};
    return deallocate_blocks(one);
  }

  Result<void> deallocate_blocks(std::vector<BlockNo>& list) override {
    std::lock_guard lock(mu_);
    ++counters_.deallocate_calls;
    if (list.empty()) return {};
    if (std::find(list.begin(), list.end(), BlockNo{0}) != list.end()) {
      ADD_FAILURE() << "deallocating block 0";
      return std::unexpected(VogError::io("cannot deallocate block 0 (superblock)"));
    }
    std::sort(list.begin(), list.end());
    for (BlockNo block : list) {
      if (block >= blocks_.size()) {
        ADD_FAILURE() << "deallocating block " << block << " that was never allocated";
        continue;
      }
      if (!free_.insert(block).second) ADD_FAILURE() << "block " << block << " freed twice";
    }
    return {};
  }

  using BlockLayer::verify;
  Result<void> verify(std::span<const BlockNo> claimed, VerifyReport& report) override {
    std::lock_guard lock(mu_);
    verified_claims_.assign(claimed.begin(), claimed.end());
    if (auto failed = inject(FakeOp::Verify)) return std::unexpected(*failed);
    for (const std::string& line : verify_lines_) report.add_line(line);
    return {};
  }

  // --- inspection and control for tests ---

  [[nodiscard]] FakeCounters counters() const {
    std::lock_guard lock(mu_);
    return counters_;
  }
  void reset_counters() {
    std::lock_guard lock(mu_);
    counters_ = {};
  }
  [[nodiscard]] std::uint64_t total_blocks() override {
    std::lock_guard lock(mu_);
    return static_cast<std::uint32_t>(blocks_.size());
  }
  [[nodiscard]] std::set<BlockNo> free_blocks() const {
    std::lock_guard lock(mu_);
    return free_;
  }
  // Every block but block 0 that is not free.
  [[nodiscard]] std::set<BlockNo> used_blocks() const {
    std::lock_guard lock(mu_);
    std::set<BlockNo> used;
    for (BlockNo b = 1; b < blocks_.size(); ++b)
      if (!free_.contains(b)) used.insert(b);
    return used;
  }
  [[nodiscard]] std::vector<std::byte> block(BlockNo n) const {
    std::lock_guard lock(mu_);
    return blocks_.at(n);
  }
  // Changes stored bytes behind the stream layer's back.
  void poke(BlockNo n, std::size_t offset, std::span<const std::byte> bytes) {
    std::lock_guard lock(mu_);
    std::memcpy(blocks_.at(n).data() + offset, bytes.data(), bytes.size());
  }
  void poke_slot(std::uint8_t index, std::size_t offset, std::span<const std::byte> bytes) {
    std::lock_guard lock(mu_);
    std::memcpy(slots_.at(index).data() + offset, bytes.data(), bytes.size());
  }
  // The `failures` calls of kind `op` after `calls` more successful ones fail.
  void fail_after(FakeOp op, int calls, int failures = 1) {
    std::lock_guard lock(mu_);
    fail_countdown_[op] = {calls, failures};
  }
  // While strict, touching block 0 or a free block is a test failure.
  void set_strict(bool strict) {
    std::lock_guard lock(mu_);
    strict_ = strict;
  }
  void set_verify_lines(std::vector<std::string> lines) {
    std::lock_guard lock(mu_);
    verify_lines_ = std::move(lines);
  }
  [[nodiscard]] std::vector<BlockNo> verified_claims() const {
    std::lock_guard lock(mu_);
    return verified_claims_;
  }
  // The last verify claimed every block in use, and each only once.
  void expect_claims_match_used_blocks() const {
    auto claims = verified_claims();
    std::set<BlockNo> unique(claims.begin(), claims.end());
    EXPECT_EQ(unique.size(), claims.size()) << "a block was claimed twice";
    EXPECT_EQ(unique, used_blocks());
  }

 private:
  [[nodiscard]] std::size_t bytes_per_block() const { return std::size_t{1} << shift_; }

  VogError slot_range(std::uint8_t index) const {
    return VogError::io(format("admin slot index {} out of range (have {} slots in block 0)", index,
                               slots_.size()));
  }

  std::optional<VogError> inject(FakeOp op) {
    auto it = fail_countdown_.find(op);
    if (it == fail_countdown_.end()) return std::nullopt;
    auto& [calls, failures] = it->second;
    if (calls-- > 0) return std::nullopt;
    if (--failures == 0) fail_countdown_.erase(it);
    return VogError::io("injected failure");
  }

  void check_owned(BlockNo block, const char* what) const {
    if (!strict_) return;
    if (block == 0) ADD_FAILURE() << what << " on block 0";
    if (free_.contains(block)) ADD_FAILURE() << what << " on free block " << block;
  }

  const std::uint8_t shift_;
  mutable std::mutex mu_;
  std::vector<std::vector<std::byte>> blocks_;
  std::vector<std::vector<std::byte>> slots_;
  std::set<BlockNo> free_;
  FakeCounters counters_;
  std::map<FakeOp, std::pair<int, int>> fail_countdown_;  // calls to let through, failures
  bool strict_ = true;
  std::vector<std::string> verify_lines_;
  std::vector<BlockNo> verified_claims_;
};

// Lends a MemoryBlockLayer to an owner that wants a unique_ptr, so that a test
// can drop a stream layer and open another one on the same blocks.
using BorrowedBlockLayer = BlockLayerWrapper;

}  // namespace vog::testing
