// The stream table, stream lifecycle, locks and handles, on the in-memory block layer.
#include "streams_from_blocks.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "memory_block_layer.hpp"
#include "stream_test_helpers.hpp"

namespace vog {
namespace {

using testing::BorrowedBlockLayer;
using testing::bytes_of;
using testing::FakeOp;
using testing::MemoryBlockLayer;
using testing::must;
using testing::noise;

class StreamLayerTest : public ::testing::Test {
 protected:
  void make(std::uint8_t shift = 12, std::uint8_t cshift = 15) {
    fake = std::make_unique<MemoryBlockLayer>(shift, std::vector<std::uint16_t>{28, 11});
    layer = must(StreamsFromBlocks::create_on(std::make_unique<BorrowedBlockLayer>(*fake), cshift));
  }
  void SetUp() override { make(); }
  void reopen() {
    layer.reset();
    layer = must(StreamsFromBlocks::open_on(std::make_unique<BorrowedBlockLayer>(*fake)));
  }
  StreamDescriptor slot(StreamId id) {
    return testing::table_slot(*fake, layer->streams_descriptor(), id);
  }
  std::uint32_t free_head() {
    return testing::entry_at(testing::table_bytes(*fake, layer->streams_descriptor(), 0, 4), 0);
  }
  BlockStreamHandle open(StreamId id, bool for_write) {
    return must(layer->open_stream_inner(id, for_write, false));
  }

  std::unique_ptr<MemoryBlockLayer> fake;
  std::unique_ptr<StreamsFromBlocks> layer;
};

TEST_F(StreamLayerTest, NewTableIsEmptyAndTheFirstStreamMakesA195SlotBatch) {
  auto header_fields = [&] {
    auto header = must(fake->read_admin_slot(0));
    return StreamDescriptor::decode_fields(std::span(header).subspan<7, 20>());
  };
  StreamDescriptor table = layer->streams_descriptor();
  EXPECT_EQ(table.size, 4u);
  EXPECT_EQ(table.reserved, 4096u);
  EXPECT_EQ(free_head(), 0xFFFFFFFFu);
  auto header = must(fake->read_admin_slot(0));
  ASSERT_EQ(header.size(), 28u);
  EXPECT_EQ(std::memcmp(header.data(), "pyra  \x04", 7), 0);
  EXPECT_EQ(header_fields(), table);
  EXPECT_EQ(header[27], std::byte{15});

  EXPECT_EQ(must(layer->create_stream(false)), 0u);
  EXPECT_EQ(free_head(), 1u);
  EXPECT_EQ(layer->streams_descriptor().size, 4u + 195 * 21);
  EXPECT_EQ(slot(0), StreamDescriptor{});
  EXPECT_EQ(slot(1), StreamDescriptor::free_record(2));
  EXPECT_EQ(slot(194), StreamDescriptor::free_record(0xFFFFFFFF));
  EXPECT_EQ(must(layer->create_stream(true)), 1u);
  EXPECT_EQ(slot(1).compressed, 1u);
  EXPECT_EQ(header_fields(), layer->streams_descriptor());  // the header follows every change
}

TEST_F(StreamLayerTest, SmallBlocksMakeBatchesOf24AndTheNextBatchFollows) {
  make(9, 12);
  for (StreamId id = 0; id < 24; ++id) EXPECT_EQ(must(layer->create_stream(false)), id);
  EXPECT_EQ(layer->streams_descriptor().size, 4u + 24 * 21);
  EXPECT_EQ(free_head(), 0xFFFFFFFFu);
  EXPECT_EQ(must(layer->create_stream(false)), 24u);
  EXPECT_EQ(layer->streams_descriptor().size, 4u + 48 * 21);
  EXPECT_EQ(free_head(), 25u);
}

TEST_F(StreamLayerTest, DeletedIdsComeBackLastInFirstOut) {
  for (int i = 0; i < 8; ++i) must(layer->create_stream(false));
  must(layer->delete_stream(5));
  EXPECT_EQ(slot(5), StreamDescriptor::free_record(8));
  EXPECT_EQ(free_head(), 5u);
  must(layer->delete_stream(3));
  EXPECT_EQ(must(layer->create_stream(false)), 3u);
  EXPECT_EQ(must(layer->create_stream(false)), 5u);
  EXPECT_EQ(must(layer->create_stream(false)), 8u);
}

TEST_F(StreamLayerTest, DeleteRefusesOpenMissingAndFreeStreams) {
  for (int i = 0; i < 6; ++i) must(layer->create_stream(false));
  auto reader = open(5, false);
  EXPECT_VOG_ERROR(layer->delete_stream(5), LockConflict, "cannot delete open stream 5");
  must(layer->close_stream(reader));
  must(layer->delete_stream(5));
  EXPECT_VOG_ERROR(layer->delete_stream(5), NotFound, "stream 5");
  EXPECT_VOG_ERROR(layer->delete_stream(195), NotFound, "stream 195");
  EXPECT_VOG_ERROR(layer->delete_stream(0xFFFFFFFF), NotFound, "stream 4294967295");
  // The failed attempts left no lock behind.
  must(layer->close_stream(open(4, true)));
}

TEST_F(StreamLayerTest, ReadersShareAndAWriterIsRefusedWithoutWaiting) {
  StreamId id = must(layer->create_stream(false));
  auto r1 = open(id, false);
  auto r2 = open(id, false);
  EXPECT_VOG_ERROR(layer->open_stream_inner(id, true, false), LockConflict, "lock conflict on stream 0");
  must(layer->close_stream(r1));
  must(layer->close_stream(r2));
  auto w = open(id, true);
  EXPECT_VOG_ERROR(layer->open_stream_inner(id, false, false), LockConflict, "lock conflict on stream 0");
  EXPECT_VOG_ERROR(layer->open_stream_inner(id, true, false), LockConflict, "lock conflict on stream 0");
  must(layer->close_stream(w));
}

TEST_F(StreamLayerTest, WaitingWriterProceedsWhenTheReaderCloses) {
  StreamId id = must(layer->create_stream(false));
  auto reader = open(id, false);
  std::atomic<bool> opened{false};
  std::thread writer([&] {
    auto h = layer->open_stream_inner(id, true, true);
    ASSERT_TRUE(h) << h.error().to_string();
    opened = true;
    must(layer->write(*h, 0, bytes_of("after")));
    must(layer->close_stream(*h));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(opened.load());
  must(layer->close_stream(reader));
  writer.join();
  EXPECT_TRUE(opened.load());
  auto h = open(id, false);
  EXPECT_EQ(must(layer->stream_length(h)), 5u);
  must(layer->close_stream(h));
}

TEST_F(StreamLayerTest, ClosedHandlesAreInvalid) {
  StreamId id = must(layer->create_stream(false));
  auto h = open(id, true);
  must(layer->close_stream(h));
  std::vector<std::byte> out(4);
  EXPECT_VOG_ERROR(layer->stream_length(h), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->stream_reserved(h), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->is_stream_compressed(h), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->close_stream(h), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->read(h, 0, out), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->write(h, 0, out), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->truncate(h, 0), NotFound, "invalid stream handle");
  EXPECT_VOG_ERROR(layer->reserve(h, 10), NotFound, "invalid stream handle");
}

TEST_F(StreamLayerTest, ReadHandlesCannotChange) {
  StreamId id = must(layer->create_stream(false));
  auto data = bytes_of("hello");
  testing::write_stream(*layer, id, data);
  auto r = open(id, false);
  EXPECT_VOG_ERROR(layer->write(r, 0, data), LockConflict, "stream is not opened for writing");
  EXPECT_VOG_ERROR(layer->reserve(r, 100), LockConflict, "stream is not opened for writing");
  EXPECT_VOG_ERROR(layer->truncate(r, 0), LockConflict, "stream is not opened for writing");
  EXPECT_EQ(must(layer->stream_length(r)), 5u);
  must(layer->close_stream(r));
}

TEST_F(StreamLayerTest, HandlesAreNumberedFromZeroAndNeverReused) {
  StreamId id = must(layer->create_stream(false));
  EXPECT_EQ(open(id, false), 0u);
  EXPECT_EQ(open(id, false), 1u);
  must(layer->close_stream(0));
  EXPECT_EQ(open(id, false), 2u);
  EXPECT_VOG_ERROR(layer->open_stream_inner(7, false, false), NotFound, "stream 7");
  EXPECT_VOG_ERROR(layer->open_stream_inner(300, false, false), NotFound, "stream 300");
  EXPECT_VOG_ERROR(layer->open_stream_inner(0xFFFFFFFF, false, false), InvalidPath,
                   "cannot open Streams stream directly");
  EXPECT_EQ(open(id, false), 3u);  // failed opens take no number and leave no lock
}

TEST_F(StreamLayerTest, DescriptorReachesTheTableOnlyWhenTheWriterCloses) {
  StreamId id = must(layer->create_stream(false));
  auto w = open(id, true);
  must(layer->write(w, 0, noise(10000, 1)));
  EXPECT_EQ(must(layer->stream_length(w)), 10000u);
  EXPECT_EQ(slot(id).size, 0u);
  must(layer->close_stream(w));
  EXPECT_EQ(slot(id).size, 10000u);

  w = open(id, true);
  must(layer->write(w, 10000, noise(100, 2)));
  reopen();  // the layer went away with the writer still open
  auto r = open(id, false);
  EXPECT_EQ(must(layer->stream_length(r)), 10000u);
  std::vector<std::byte> out(10000);
  must(layer->read(r, 0, out));
  EXPECT_EQ(out, noise(10000, 1));
}

TEST_F(StreamLayerTest, ReopenedLayerContinuesTheFreeList) {
  for (int i = 0; i < 3; ++i) must(layer->create_stream(false));
  must(layer->delete_stream(1));
  reopen();
  EXPECT_EQ(layer->compressed_block_size_shift(), 15u);
  EXPECT_EQ(must(layer->create_stream(false)), 1u);
  EXPECT_EQ(must(layer->create_stream(false)), 3u);
}

TEST_F(StreamLayerTest, CompressedStreamsNeedACompressedBlockSize) {
  make(12, 0);
  EXPECT_VOG_ERROR(layer->create_stream(true), IoError, "compression not configured for this filesystem");
  EXPECT_EQ(must(layer->create_stream(false)), 0u);
}

// A compressed block smaller than a block would take a block or two for every
// few bytes written. No file is made with one; a header damaged into naming
// one leaves compression unusable, and the plain streams as they were.
TEST_F(StreamLayerTest, CompressedBlocksSmallerThanABlockAreNeverUsed) {
  const std::string message = "compressed_block_size_shift (11) must be >= block_size_shift (12)";
  MemoryBlockLayer fresh(12, {28});
  EXPECT_VOG_ERROR(StreamsFromBlocks::create_on(std::make_unique<BorrowedBlockLayer>(fresh), 11),
                   IoError, message);
  const StreamId packed = must(layer->create_stream(true));
  const StreamId plain = must(layer->create_stream(false));
  testing::write_stream(*layer, packed, noise(5000, 1));
  testing::write_stream(*layer, plain, noise(5000, 2));
  layer.reset();
  fake->poke_slot(0, 27, std::array{std::byte{11}});
  layer = must(StreamsFromBlocks::open_on(std::make_unique<BorrowedBlockLayer>(*fake)));
  const std::uint64_t total = fake->total_blocks();
  EXPECT_VOG_ERROR(layer->create_stream(true), IoError, message);
  auto h = open(packed, true);
  std::vector<std::byte> out(100);
  EXPECT_VOG_ERROR(layer->read(h, 0, out), IoError, message);
  EXPECT_VOG_ERROR(layer->write(h, 0, noise(100, 3)), IoError, message);
  must(layer->close_stream(h));
  h = open(plain, true);
  EXPECT_EQ(must(layer->read(h, 0, out)), 100u);
  must(layer->close_stream(h));
  EXPECT_EQ(fake->total_blocks(), total);
}

TEST_F(StreamLayerTest, FailedWriteKeepsTheHandlesDescriptor) {
  StreamId id = must(layer->create_stream(false));
  auto w = open(id, true);
  must(layer->write(w, 0, bytes_of("abc")));
  fake->fail_after(FakeOp::Write, 0);
  EXPECT_FALSE(layer->write(w, 3, noise(9000, 4)));
  EXPECT_EQ(must(layer->stream_length(w)), 3u);
  EXPECT_EQ(must(layer->stream_reserved(w)), 4096u);
  must(layer->close_stream(w));
}

TEST_F(StreamLayerTest, OpeningChecksTheHeaderInOrder) {
  auto corrupt_and_open = [&](std::size_t offset, std::vector<std::byte> bytes) {
    layer.reset();
    fake->poke_slot(0, offset, bytes);
    return StreamsFromBlocks::open_on(std::make_unique<BorrowedBlockLayer>(*fake));
  };
  EXPECT_VOG_ERROR(corrupt_and_open(6, {std::byte{3}}), IoError,
                   "unsupported L3 version: 3 (expected 4; re-create the file)");
  EXPECT_VOG_ERROR(corrupt_and_open(0, bytes_of("blob  ")), IoError,
                   "expected L3 identifier 'pyra  ', got 'blob  '");
  EXPECT_VOG_ERROR(corrupt_and_open(0, {std::byte{'a'}, std::byte{0xFF}, std::byte{0xC3},
                                        std::byte{0xA9}, std::byte{0xE2}, std::byte{0x82}}),
                   IoError, "expected L3 identifier 'pyra  ', got 'a\xEF\xBF\xBD\xC3\xA9\xEF\xBF\xBD'");
}

// The table's own descriptor comes from the header. A damaged one that still
// opens (verify reports it) lets no change of the table through: none grows
// the file, and a deletion frees none of the stream's blocks first.
TEST_F(StreamLayerTest, DamagedTableDescriptorRefusesEveryChangeAndGrowsNothing) {
  make(9, 12);
  const StreamId id = must(layer->create_stream(false));
  testing::write_stream(*layer, id, noise(2000, 1));
  const StreamDescriptor table = layer->streams_descriptor();
  const std::uint64_t total = fake->total_blocks();
  const std::uint64_t huge = std::uint64_t{1} << 40;
  struct Case {
    StreamDescriptor table;
    std::string message;
  };
  const Case cases[] = {
      {{0, static_cast<BlockNo>(total + 1000), table.reserved},
       format("stream table's top block {} is beyond the end of the file ({} blocks)",
              total + 1000, total)},
      {{0, 0, table.reserved}, format("stream table of {} bytes has no top block", table.reserved)},
      {{huge, table.top_block, table.reserved},
       format("stream table of {} bytes needs {} blocks but the file holds {}", huge, huge / 512,
              total)},
      {{table.size, table.top_block, 0},
       format("stream table's reserved (0) is less than its size ({})", table.size)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    layer.reset();
    std::array<std::byte, kDescriptorFieldsSize> fields{};
    c.table.encode_fields(fields);
    fake->poke_slot(0, 7, fields);
    layer = must(StreamsFromBlocks::open_on(std::make_unique<BorrowedBlockLayer>(*fake)));
    EXPECT_VOG_ERROR(layer->create_stream(false), IoError, c.message);
    EXPECT_VOG_ERROR(layer->delete_stream(id), IoError, c.message);
    if (c.table.size == table.size) {  // the stream itself is still readable
      auto w = open(id, true);
      must(layer->write(w, 1990, noise(40, 2)));  // inside its last block
      EXPECT_VOG_ERROR(layer->commit(), IoError, c.message);
      EXPECT_VOG_ERROR(layer->close_stream(w), IoError, c.message);
    }
    EXPECT_EQ(fake->total_blocks(), total);
    EXPECT_TRUE(fake->free_blocks().empty());
  }
}

TEST(StreamLayerOpen, ShortHeaderSlotIsRefused) {
  MemoryBlockLayer fake(12, {20});
  EXPECT_VOG_ERROR(StreamsFromBlocks::open_on(std::make_unique<BorrowedBlockLayer>(fake)), IoError,
                   "L3 payload too short: 20 < 28");
}

TEST(StreamLayerCreate, OversizedCompressedBlockIsRefusedBeforeWriting) {
  MemoryBlockLayer fake(9, {28});
  EXPECT_VOG_ERROR(StreamsFromBlocks::create_on(std::make_unique<BorrowedBlockLayer>(fake), 16),
                   IoError, "compressed_block_size_shift (16) is too large for block_size_shift (9)");
  EXPECT_EQ(fake.total_blocks(), 1u);
}

}  // namespace
}  // namespace vog
