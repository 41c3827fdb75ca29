// Stream layer: numbered byte streams stored as block trees, plain or LZ4-compressed.
//
// Streams are named by StreamId, an index into the descriptor table; IDs are
// reused after deletion. kStreamsStreamId (0xFFFFFFFF) is the descriptor table
// itself and never names a user stream. An open stream is reached through a
// BlockStreamHandle, counted from 0 per open layer and never reused.
//
// Each stream has one reader/writer lock: a handle opened for writing holds the
// write lock, one opened for reading a read lock, until close_stream().
// Descriptor changes made through a writable handle reach the table when that
// handle is closed.
//
// Thread safety: every method may be called concurrently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "block_layer.hpp"
#include "error.hpp"

namespace vog {

using StreamId = std::uint32_t;
inline constexpr StreamId kStreamsStreamId = 0xFFFFFFFF;

using BlockStreamHandle = std::uint64_t;

class StreamLayer {
 public:
  virtual ~StreamLayer() = default;

  // A new, empty stream; its ID is the head of the descriptor free list.
  [[nodiscard]] virtual Result<StreamId> create_stream(bool compressed) = 0;
  // Frees the stream's blocks and its descriptor slot. Fails while it is open.
  [[nodiscard]] virtual Result<void> delete_stream(StreamId id) = 0;

  // With `wait` clear a conflicting lock fails at once with LockConflict;
  // with it set the call blocks until the lock is free.
  [[nodiscard]] virtual Result<BlockStreamHandle> open_stream_inner(StreamId id, bool for_write,
                                                                    bool wait) = 0;
  // Writes a writable handle's descriptor back; the handle is gone in any case.
  [[nodiscard]] virtual Result<void> close_stream(BlockStreamHandle handle) = 0;

  [[nodiscard]] virtual Result<std::uint64_t> stream_length(BlockStreamHandle handle) = 0;
  [[nodiscard]] virtual Result<std::uint64_t> stream_reserved(BlockStreamHandle handle) = 0;
  [[nodiscard]] virtual Result<bool> is_stream_compressed(BlockStreamHandle handle) = 0;

  // Reads from `offset`; returns fewer bytes than asked at the end of the stream.
  [[nodiscard]] virtual Result<std::size_t> read(BlockStreamHandle handle, std::uint64_t offset,
                                                 std::span<std::byte> out) = 0;
  // REQUIRES (checked): the handle was opened for writing, as for reserve and truncate.
  [[nodiscard]] virtual Result<std::size_t> write(BlockStreamHandle handle, std::uint64_t offset,
                                                  std::span<const std::byte> data) = 0;
  // Grows the stream's capacity to at least `capacity` bytes without changing its length.
  [[nodiscard]] virtual Result<void> reserve(BlockStreamHandle handle, std::uint64_t capacity) = 0;
  [[nodiscard]] virtual Result<void> truncate(BlockStreamHandle handle, std::uint64_t length) = 0;

  // Consistency check given the stream IDs that the namespace layer refers
  // to: adds "L3: ..." lines, then the block layer's, to `report`.
  [[nodiscard]] virtual Result<void> verify(std::span<const StreamId> claimed,
                                            VerifyReport& report) = 0;
  // The same as a list of lines, at the default bound.
  [[nodiscard]] Result<std::vector<std::string>> verify(std::span<const StreamId> claimed) {
    VerifyReport report;
    VOG_CHECK(verify(claimed, report));
    return std::move(report).finish();
  }

  // Saves the descriptors of writable handles still open (they stay open),
  // then commits the block layer. REQUIRES: no change runs meanwhile.
  [[nodiscard]] virtual Result<void> commit() { return block_layer().commit(); }

  // Reading beside a writer of another open (BlockLayer::begin_read).
  [[nodiscard]] virtual Result<std::uint64_t> begin_read() { return block_layer().begin_read(); }
  virtual void end_read() { block_layer().end_read(); }
  // Forgets what was read before another open's commit: the block layer's
  // state, the descriptor table's, and the descriptor each open handle holds
  // (a stream deleted meanwhile then reads as empty). REQUIRES: inside a
  // read, with no other call of this layer in flight.
  [[nodiscard]] virtual Result<void> refresh() { return block_layer().refresh(); }
  // Throws away every change since the last commit: every open handle goes
  // without writing its descriptor back, the block layer rolls back
  // (BlockLayer::roll_back), and the descriptor table and its free-list head
  // are read again. A layer that cannot roll back refuses (the default).
  // REQUIRES: no other call of this layer in flight.
  [[nodiscard]] virtual Result<void> roll_back() {
    return std::unexpected(VogError::io("a Vog file without a journal cannot roll back"));
  }

  // The block layer underneath, whose admin slots after the first belong to the
  // layers above.
  [[nodiscard]] virtual BlockLayer& block_layer() noexcept = 0;
  // A compressed stream is cut into units of 2^shift bytes; 0 when the file has
  // no compression. Fixed for the layer's life.
  [[nodiscard]] virtual std::uint8_t compressed_block_size_shift() const noexcept = 0;
};

}  // namespace vog
