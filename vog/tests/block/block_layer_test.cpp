// Block layer: creation, opening, block 0, admin slots and block transfers.
#include <gtest/gtest.h>

#include <filesystem>

#include "block_test_util.hpp"
#include "format.hpp"
#include "superblock.hpp"
#include "temp_dir.hpp"
#include "text.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::expect_io_error;
using testing::filled;
using testing::kStandardSlots;
using testing::memory_store;
using testing::must;
using testing::read_all;
using testing::reopen;
using testing::TempDir;

// ---- creation ----------------------------------------------------------------

TEST(BlockStoreCreate, NewPlainFileHasExactBytes) {
  TempDir dir;
  std::string path = dir.file("a.vog");
  must(BlocksInFile::create(path, 12, kStandardSlots, std::nullopt));
  std::vector<unsigned char> bytes = read_all(path);
  ASSERT_EQ(bytes.size(), 14u + 4096u);
  EXPECT_EQ(bytes[12], 12);
  EXPECT_EQ(bytes[13], 0);
  std::vector<unsigned char> block0(bytes.begin() + 14, bytes.end());
  std::vector<unsigned char> expected(4096, 0);
  const unsigned char head[] = {'b', 'l', 'k', '0', 1, 0xFF, 0xFF, 0xFF, 0xFF, 2, 28, 0};
  std::copy(std::begin(head), std::end(head), expected.begin());
  expected[10 + 2 + 28] = 11;  // second slot's size field, after 28 payload bytes
  EXPECT_EQ(block0, expected);
}

TEST(BlockStoreCreate, ShiftLimitsAreCheckedBeforeTheFileIsTouched) {
  TempDir dir;
  auto too_small = BlocksInFile::create(dir.file("8.vog"), 8, kStandardSlots, std::nullopt);
  ASSERT_FALSE(too_small);
  expect_io_error(too_small.error(),
                  "block_size_shift must be >= 9 (minimum 512 bytes for superblock)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("8.vog")));

  auto too_large = BlocksInFile::create(dir.file("25.vog"), 25, kStandardSlots, std::nullopt);
  ASSERT_FALSE(too_large);
  expect_io_error(too_large.error(), "block_size_shift 25 is too large (maximum 24)");
  EXPECT_FALSE(std::filesystem::exists(dir.file("25.vog")));

  auto store = must(BlocksInFile::create(dir.file("9.vog"), 9, kStandardSlots, std::nullopt));
  EXPECT_EQ(store->block_size(), 512u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("9.vog")), 14u + 512u);
}

TEST(BlockStoreCreate, LargestShiftWorks) {
  auto m = memory_store(24);
  EXPECT_EQ(m.store->block_size(), 1u << 24);
  EXPECT_EQ(m.disk->snapshot().size(), 14u + (1u << 24));
  EXPECT_EQ(m.store->cache_capacity(), 1u);
}

TEST(BlockStoreCreate, SlotLayoutsBlock0CannotHoldAreRefused) {
  TempDir dir;
  std::vector<std::uint16_t> many(256, 0);
  auto too_many = BlocksInFile::create(dir.file("a.vog"), 12, many, std::nullopt);
  ASSERT_FALSE(too_many);
  expect_io_error(too_many.error(), "too many admin slots: 256 (block 0 holds at most 255)");

  // 10 + 2 + 500 fills a 512-byte block exactly.
  const std::uint16_t fits[] = {500};
  const std::uint16_t overflows[] = {501};
  EXPECT_TRUE(BlocksInFile::create(dir.file("b.vog"), 9, fits, std::nullopt));
  auto too_big = BlocksInFile::create(dir.file("c.vog"), 9, overflows, std::nullopt);
  ASSERT_FALSE(too_big);
  expect_io_error(too_big.error(),
                  "admin slots do not fit into block 0: 513 bytes needed, block size is 512");
  EXPECT_FALSE(std::filesystem::exists(dir.file("a.vog")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.vog")));

  std::vector<std::uint16_t> max_count(255, 0);
  EXPECT_TRUE(BlocksInFile::create(dir.file("d.vog"), 12, max_count, std::nullopt));
}

// ---- opening -----------------------------------------------------------------

TEST(BlockStoreOpen, ReopenCountsWholeBlocksOnly) {
  TempDir dir;
  std::string path = dir.file("a.vog");
  must(BlocksInFile::create(path, 9, kStandardSlots, std::nullopt));
  {
    auto store = must(BlocksInFile::open(path, AccessMode::Writable, std::nullopt));
    EXPECT_EQ(store->total_blocks(), 1u);
    EXPECT_EQ(store->free_list_head(), kNoBlock);
    EXPECT_EQ(store->block_size_shift(), 9);
    EXPECT_FALSE(store->is_encrypted());
  }
  std::filesystem::resize_file(path, 14 + 3 * 512 + 511);
  auto store = must(BlocksInFile::open(path, AccessMode::ReadOnly, std::nullopt));
  EXPECT_EQ(store->total_blocks(), 3u);
}

TEST(BlockStoreOpen, PasswordForPlainFileIsRefused) {
  auto m = memory_store();
  m.store.reset();
  auto password = testing::text_bytes("secret");
  auto store = reopen(m.disk, password);
  ASSERT_FALSE(store);
  expect_io_error(store.error(), "password provided but file is not encrypted");
}

TEST(BlockStoreOpen, StoredShiftOutsideTheSupportedRangeIsRefused) {
  for (int shift : {0, 8, 25, 255}) {
    auto m = memory_store();
    m.store.reset();
    m.disk->bytes[12] = static_cast<std::byte>(shift);
    auto store = reopen(m.disk);
    ASSERT_FALSE(store);
    expect_io_error(store.error(), format("unsupported block_size_shift: {}", shift));
  }
}

TEST(BlockStoreOpen, BadBlock0IsRefused) {
  auto m = memory_store();
  m.store.reset();
  m.disk->bytes[14 + 4] = std::byte{2};
  auto store = reopen(m.disk);
  ASSERT_FALSE(store);
  expect_io_error(store.error(), "unsupported block 0 version: 2");
}

TEST(BlockStoreOpen, FileCutInsideBlock0StillNeverHandsOutBlock0) {
  auto m = memory_store();
  m.store.reset();
  m.disk->bytes.resize(14 + 100);  // block 0 parses from what is left
  auto store = must(reopen(m.disk));
  EXPECT_EQ(store->total_blocks(), 1u);
  EXPECT_EQ(must(store->allocate_blocks(1)), std::vector<BlockNo>{1});
}

TEST(Block0Parse, ChecksInOrder) {
  std::vector<std::byte> block(512);
  expect_io_error(parse_block0(std::span(block).first(9)).error(), "block 0 too small");

  std::memcpy(block.data(), "bl\xFFz", 4);
  expect_io_error(parse_block0(block).error(),
                  "block 0 magic mismatch: expected 'blk0', got 'bl\xEF\xBF\xBDz'");

  std::memcpy(block.data(), "blk0", 4);
  block[4] = std::byte{0};
  expect_io_error(parse_block0(block).error(), "unsupported block 0 version: 0");

  block[4] = std::byte{1};
  block[9] = std::byte{1};
  block[10] = std::byte{0xF7};  // payload 503 ends at 515 > 512
  block[11] = std::byte{0x01};
  expect_io_error(parse_block0(block).error(), "block 0 slot payload extends beyond block");
  block[10] = std::byte{0xF4};  // payload 500 ends exactly at 512
  auto parsed = must(parse_block0(block));
  ASSERT_EQ(parsed.slots.size(), 1u);
  EXPECT_EQ(parsed.slots[0], (Block0SlotInfo{12, 500}));

  // A second slot finds no room for its size field.
  block[9] = std::byte{2};
  block[10] = std::byte{0xF3};  // payload 499 ends at 511: one byte left
  expect_io_error(parse_block0(block).error(), "block 0 slot registry truncated");
}

TEST(LossyUtf8, ReplacesEachMaximalBrokenSubsequence) {
  auto decode = [](std::initializer_list<int> values) {
    auto bytes = bytes_of(values);
    return lossy_utf8(bytes);
  };
  EXPECT_EQ(decode({'b', 'l', 'k', '0'}), "blk0");
  EXPECT_EQ(decode({0, 0, 0, 0}), std::string(4, '\0'));
  EXPECT_EQ(decode({0xC3, 0xA9}), "\xC3\xA9");
  EXPECT_EQ(decode({0xE2, 0x82, 'x'}), "\xEF\xBF\xBDx");        // truncated 3-byte form
  EXPECT_EQ(decode({0xC0, 0xAF}), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong lead, stray tail
  EXPECT_EQ(decode({0xED, 0xA0, 0x80}), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(decode({0xF0, 0x9F, 0x98, 0x80}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(decode({0xF0, 0x9F, 0x98}), "\xEF\xBF\xBD");  // cut at the end
  EXPECT_EQ(decode({0xF4, 0x90, 0x80, 0x80}),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // beyond U+10FFFF
}

// ---- admin slots -------------------------------------------------------------

TEST(AdminSlots, OutOfRangeAndWrongSizeAreRefusedWithoutChange) {
  auto m = memory_store();
  auto missing = m.store->read_admin_slot(2);
  ASSERT_FALSE(missing);
  expect_io_error(missing.error(), "admin slot index 2 out of range (have 2 slots in block 0)");
  auto write_missing = m.store->write_admin_slot(2, filled(11, 1));
  ASSERT_FALSE(write_missing);
  expect_io_error(write_missing.error(),
                  "admin slot index 2 out of range (have 2 slots in block 0)");

  std::uint64_t writes = m.disk->write_count();
  auto too_long = m.store->write_admin_slot(1, filled(12, 7));
  ASSERT_FALSE(too_long);
  expect_io_error(too_long.error(), "admin slot 1: expected 11 bytes, got 12");
  EXPECT_EQ(m.disk->write_count(), writes);
  EXPECT_EQ(must(m.store->read_admin_slot(1)), filled(11, 0));
}

TEST(AdminSlots, WritesArePersistedAndStayInTheirSlot) {
  TempDir dir;
  std::string path = dir.file("a.vog");
  {
    auto store = must(BlocksInFile::create(path, 12, kStandardSlots, std::nullopt));
    ASSERT_TRUE(store->write_admin_slot(0, filled(28, 0xAA)));
    ASSERT_TRUE(store->write_admin_slot(1, filled(11, 0xBB)));
    EXPECT_EQ(must(store->read_admin_slot(0)), filled(28, 0xAA));
  }
  auto store = must(BlocksInFile::open(path, AccessMode::ReadOnly, std::nullopt));
  EXPECT_EQ(must(store->read_admin_slot(0)), filled(28, 0xAA));
  EXPECT_EQ(must(store->read_admin_slot(1)), filled(11, 0xBB));
  std::vector<unsigned char> bytes = read_all(path);
  EXPECT_EQ(bytes[14 + 10], 28);  // size fields untouched
  EXPECT_EQ(bytes[14 + 40], 11);
  EXPECT_EQ(bytes[14 + 53], 0);  // nothing past the last slot
}

TEST(AdminSlots, FailedFlushKeepsTheNewBytesInMemory) {
  auto m = memory_store();
  m.disk->fail_nth_write_from_now(1);
  auto wrote = m.store->write_admin_slot(1, filled(11, 5));
  ASSERT_FALSE(wrote);
  expect_io_error(wrote.error(), "injected write failure");
  EXPECT_EQ(must(m.store->read_admin_slot(1)), filled(11, 5));
}

// ---- single-block transfers ----------------------------------------------------

TEST(BlockIo, SentinelIsCheckedBeforeTheRange) {
  auto m = memory_store();
  std::vector<std::byte> big(600);
  auto read = m.store->read_block(kNoBlock, 0, big, CacheHint::NoCache);
  ASSERT_FALSE(read);
  expect_io_error(read.error(), "read_block: block index 4294967295 is sentinel");
  auto write = m.store->write_block(kNoBlock, 0, big, CacheHint::SharedCache);
  ASSERT_FALSE(write);
  expect_io_error(write.error(), "write_block: block index 4294967295 is sentinel");
}

TEST(BlockIo, RangeMustStayInsideTheBlock) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(1));
  std::vector<std::byte> three(3);
  auto read = m.store->read_block(1, 510, three, CacheHint::ThreadCache);
  ASSERT_FALSE(read);
  expect_io_error(read.error(), "read_block: offset 510 + len 3 exceeds block_size 512");
  auto write = m.store->write_block(1, 510, three, CacheHint::NoCache);
  ASSERT_FALSE(write);
  expect_io_error(write.error(), "write_block: offset 510 + len 3 exceeds block_size 512");
  EXPECT_EQ(must(m.store->read_block(1, 509, three, CacheHint::NoCache)), 3u);
  EXPECT_EQ(must(m.store->write_block(1, 509, three, CacheHint::NoCache)), 3u);
  // Offsets near 2^32 must not wrap around the check.
  auto wrap = m.store->read_block(1, 0xFFFFFFFF, three, CacheHint::NoCache);
  ASSERT_FALSE(wrap);
}

TEST(BlockIo, WritesReadBackThroughTheirOwnHint) {
  auto m = memory_store();
  ASSERT_EQ(must(m.store->allocate_blocks(3)), (std::vector<BlockNo>{1, 2, 3}));
  BlockNo block = 1;
  for (CacheHint hint : {CacheHint::NoCache, CacheHint::ThreadCache, CacheHint::SharedCache}) {
    std::vector<std::byte> back(100);
    ASSERT_TRUE(
        m.store->read_block(block, 300, back, hint));  // caches the block if the hint says so
    auto data = filled(100, static_cast<int>(block));
    ASSERT_EQ(must(m.store->write_block(block, 300, data, hint)), 100u);
    ASSERT_TRUE(m.store->read_block(block, 300, back, hint));
    EXPECT_EQ(back, data);
    ASSERT_TRUE(m.store->read_block(block, 300, back, CacheHint::NoCache));
    EXPECT_EQ(back, data);
    ++block;
  }
}

TEST(BlockIo, UncachedReadPastTheEndOfTheFileGivesZeros) {
  auto m = memory_store();
  std::vector<std::byte> out = filled(512, 0x55);
  EXPECT_EQ(must(m.store->read_block(7, 0, out, CacheHint::NoCache)), 512u);
  EXPECT_EQ(out, filled(512, 0));
  // Half of block 1 exists on disk.
  m.disk->bytes.resize(14 + 512 + 256, std::byte{0x11});
  out = filled(512, 0x55);
  EXPECT_EQ(must(m.store->read_block(1, 0, out, CacheHint::NoCache)), 512u);
  std::vector<std::byte> expected = filled(256, 0x11);
  expected.resize(512, std::byte{0});
  EXPECT_EQ(out, expected);
}

// ---- contiguous transfers --------------------------------------------------------

TEST(ContiguousIo, PlainReadAcrossTheEndReturnsTheShortCount) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(2));  // blocks 1 and 2; the file ends after block 2
  std::vector<std::byte> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::byte>(i % 251);
  EXPECT_EQ(must(m.store->write_contiguous_blocks(1, 0, data)), 1024u);
  std::vector<std::byte> out(1000);
  EXPECT_EQ(must(m.store->read_contiguous_blocks(1, 600, out)), 424u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 424, data.begin() + 600));
  EXPECT_EQ(must(m.store->read_contiguous_blocks(5, 0, out)), 0u);
}

TEST(ContiguousIo, OffsetMayPassSeveralBlocks) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(4));
  EXPECT_EQ(must(m.store->write_contiguous_blocks(1, 512 * 2 + 10, filled(20, 9))), 20u);
  std::vector<std::byte> out(20);
  ASSERT_TRUE(m.store->read_block(3, 10, out, CacheHint::NoCache));
  EXPECT_EQ(out, filled(20, 9));
  EXPECT_EQ(must(m.store->read_contiguous_blocks(2, 512 + 10, out)), 20u);
  EXPECT_EQ(out, filled(20, 9));
}

// Only allocation grows the file: a write naming a block the file does not
// hold is refused before anything is written.
TEST(BlockIo, WritesToBlocksTheFileDoesNotHoldAreRefused) {
  for (bool encrypted : {false, true}) {
    auto m = encrypted ? memory_store(9, testing::text_bytes("pw")) : memory_store();
    ASSERT_TRUE(m.store->allocate_blocks(2));  // blocks 0 to 2 are held
    const std::vector<std::byte> before = m.disk->snapshot();
    const std::uint64_t writes = m.disk->write_count();
    const std::vector<std::byte> data(10);
    expect_io_error(m.store->write_block(0x50000000, 0, data, CacheHint::SharedCache).error(),
                    "write_block: block 1342177280 is past the last block (2)");
    // Starting inside the file does not let a run end past it.
    expect_io_error(m.store->write_contiguous_blocks(2, 508, data).error(),
                    "write_contiguous_blocks: block 3 is past the last block (2)");
    expect_io_error(m.store->write_contiguous_blocks(0, 3 * 512, data).error(),
                    "write_contiguous_blocks: block 3 is past the last block (2)");
    EXPECT_FALSE(m.store->write_contiguous_blocks(0, ~std::uint64_t{0}, data));
    const auto long_piece = filled(503, 6);
    const std::span<const std::byte> past_the_end[] = {data, {}, long_piece};
    expect_io_error(m.store->write_gathered_blocks(2, past_the_end).error(),
                    "write_contiguous_blocks: block 3 is past the last block (2)");
    EXPECT_EQ(m.disk->write_count(), writes);
    EXPECT_EQ(m.disk->snapshot(), before);
    EXPECT_EQ(m.store->shared_cache_size(), 0u);
    EXPECT_EQ(must(m.store->write_contiguous_blocks(2, 502, data)), 10u);  // the last bytes held
    // Gathered pieces land as their join would.
    const auto last_piece = filled(511, 7);
    const std::span<const std::byte> pieces[] = {data, {}, long_piece, last_piece};
    ASSERT_TRUE(m.store->write_gathered_blocks(1, pieces));
    std::vector<std::byte> joined = data, out(1024);
    joined.insert(joined.end(), long_piece.begin(), long_piece.end());
    joined.insert(joined.end(), last_piece.begin(), last_piece.end());
    ASSERT_EQ(must(m.store->read_contiguous_blocks(1, 0, out)), out.size());
    EXPECT_EQ(out, joined);
  }
}

TEST(ContiguousIo, ReadsPastTheLastBlockNumberAreRefused) {
  auto m = memory_store();
  std::vector<std::byte> out(10);
  expect_io_error(m.store->read_contiguous_blocks(kNoBlock - 1, 508, out).error(),
                  "read_contiguous_blocks: block 4294967295 is past the last block (4294967294)");
  EXPECT_FALSE(m.store->read_contiguous_blocks(0, ~std::uint64_t{0}, out));
}

TEST(ContiguousIo, ZeroLengthTransfersMoveNothingWherever) {
  for (bool encrypted : {false, true}) {
    auto m = encrypted ? memory_store(9, testing::text_bytes("pw")) : memory_store();
    const std::uint64_t reads = m.disk->read_count();
    const std::uint64_t writes = m.disk->write_count();
    for (std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{700}, ~std::uint64_t{0}}) {
      for (BlockNo first : {BlockNo{1}, kNoBlock}) {
        EXPECT_EQ(must(m.store->read_contiguous_blocks(first, offset, {})), 0u)
            << encrypted << " " << first << " " << offset;
        EXPECT_EQ(must(m.store->write_contiguous_blocks(first, offset, {})), 0u)
            << encrypted << " " << first << " " << offset;
      }
    }
    EXPECT_EQ(m.disk->read_count(), reads);
    EXPECT_EQ(m.disk->write_count(), writes);
    EXPECT_EQ(m.disk->snapshot().size(), (encrypted ? 143u : 14u) + 512u);
  }
}

TEST(ContiguousIo, ContiguousTransfersBypassTheCaches) {
  auto m = memory_store();
  ASSERT_TRUE(m.store->allocate_blocks(1));
  std::vector<std::byte> out(512);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::SharedCache));
  ASSERT_TRUE(m.store->write_contiguous_blocks(1, 0, filled(512, 3)));
  EXPECT_EQ(m.store->shared_cache_size(), 1u);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::SharedCache));
  EXPECT_EQ(out, filled(512, 0));  // the cached copy, not refreshed by the run write
  ASSERT_TRUE(m.store->read_contiguous_blocks(1, 0, out));
  EXPECT_EQ(out, filled(512, 3));
}

}  // namespace
}  // namespace vog
