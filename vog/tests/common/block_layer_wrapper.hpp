// A BlockLayer that forwards every call to another one it does not own. Tests
// derive from it to watch or fail single calls, and hand it to an owner that
// wants a unique_ptr while the blocks live on for a later reopening.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "block_layer.hpp"

namespace vog::testing {

class BlockLayerWrapper : public BlockLayer {
 public:
  explicit BlockLayerWrapper(BlockLayer& target) : target_(target) {}

  std::uint8_t block_size_shift() const noexcept override { return target_.block_size_shift(); }
  bool is_encrypted() const noexcept override { return target_.is_encrypted(); }
  std::uint64_t total_blocks() override { return target_.total_blocks(); }
  Result<std::vector<std::byte>> read_admin_slot(std::uint8_t index) override {
    return target_.read_admin_slot(index);
  }
  Result<void> write_admin_slot(std::uint8_t index, std::span<const std::byte> payload) override {
    return target_.write_admin_slot(index, payload);
  }
  Result<std::size_t> read_block(BlockNo block, std::uint32_t offset, std::span<std::byte> out,
                                 CacheHint hint) override {
    return target_.read_block(block, offset, out, hint);
  }
  Result<std::size_t> write_block(BlockNo block, std::uint32_t offset,
                                  std::span<const std::byte> data, CacheHint hint) override {
    return target_.write_block(block, offset, data, hint);
  }
  Result<std::size_t> read_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                             std::span<std::byte> out) override {
    return target_.read_contiguous_blocks(first, offset, out);
  }
  Result<std::size_t> write_contiguous_blocks(BlockNo first, std::uint64_t offset,
                                              std::span<const std::byte> data) override {
    return target_.write_contiguous_blocks(first, offset, data);
  }
  Result<void> write_gathered_blocks(BlockNo first,
                                     std::span<const std::span<const std::byte>> pieces) override {
    return target_.write_gathered_blocks(first, pieces);
  }
  void clear_thread_cache() override { target_.clear_thread_cache(); }
  Result<std::vector<BlockNo>> allocate_blocks(std::uint32_t count) override {
    return target_.allocate_blocks(count);
  }
  Result<void> deallocate_block(BlockNo block) override { return target_.deallocate_block(block); }
  Result<void> deallocate_blocks(std::vector<BlockNo>& blocks) override {
    return target_.deallocate_blocks(blocks);
  }
  Result<void> commit() override { return target_.commit(); }
  using BlockLayer::verify;
  Result<void> verify(std::span<const BlockNo> claimed, VerifyReport& report) override {
    return target_.verify(claimed, report);
  }

 private:
  BlockLayer& target_;
};

}  // namespace vog::testing
