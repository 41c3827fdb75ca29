// Compressed streams: cblocks behind redirector blocks, on the in-memory block layer.
#include "compressed_stream.hpp"

#include <gtest/gtest.h>
#include <lz4.h>

#include "memory_block_layer.hpp"
#include "stream_test_helpers.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::entry_at;
using testing::MemoryBlockLayer;
using testing::must;
using testing::noise;
using testing::text_like;

struct CompressedTree {
  CompressedTree(std::uint8_t shift, std::uint8_t cblock_shift)
      : blocks(shift), cshift(cblock_shift), ops(blocks, cblock_shift) {
    d.compressed = 1;
  }
  Pyramid pyramid() { return Pyramid(blocks, ops, CacheHint::ThreadCache); }
  std::size_t write(std::uint64_t offset, std::span<const std::byte> data) {
    return must(compressed_write(blocks, cshift, d, offset, data));
  }
  std::vector<std::byte> read(std::uint64_t offset, std::size_t n) {
    std::vector<std::byte> out(n);
    out.resize(must(compressed_read(blocks, cshift, d, offset, out)));
    return out;
  }
  std::vector<std::byte> read_all() { return read(0, d.size); }
  unsigned depth() { return pyramid().depth(pyramid().unit_count(d)); }
  BlockNo redirector(std::uint64_t cblock) {
    LeafCache leaf(blocks.block_size());
    return must(resolve_redir_block(pyramid(), d.top_block, cblock, depth(), leaf));
  }
  CompRedirector redir(std::uint64_t cblock) {
    return must(read_comp_redir(blocks, redirector(cblock), ops.unit_size()));
  }

  MemoryBlockLayer blocks;
  std::uint8_t cshift;
  CompressedOps ops;
  StreamDescriptor d;
};

TEST(CompressedWrite, HundredBytesMakeOneRedirectorWithTheLz4Length) {
  CompressedTree t(12, 15);
  auto data = text_like(100, 1);
  EXPECT_EQ(t.write(0, data), 100u);
  EXPECT_EQ(t.d.size, 100u);
  EXPECT_EQ(t.d.reserved, 32768u);
  EXPECT_EQ(t.depth(), 0u);

  std::vector<char> expected(130);
  int clen = LZ4_compress_default(reinterpret_cast<const char*>(data.data()), expected.data(), 100, 130);
  auto top = t.blocks.block(t.d.top_block);
  EXPECT_EQ(entry_at(top, 0), static_cast<std::uint32_t>(clen));
  BlockNo data_block = entry_at(top, 1);
  EXPECT_NE(data_block, kNoBlock);
  auto stored = t.blocks.block(data_block);
  EXPECT_EQ(std::memcmp(stored.data(), expected.data(), static_cast<std::size_t>(clen)), 0);
  EXPECT_EQ(t.blocks.used_blocks(), (std::set<BlockNo>{t.d.top_block, data_block}));
  EXPECT_EQ(t.read_all(), data);
}

// Reserved cblocks get empty redirectors, which read as zeros; a write past
// one stores no data for it.
TEST(CompressedReserve, OnAnEmptyStreamMakesEmptyRedirectorsThatReadAsZeros) {
  CompressedTree t(12, 15);
  must(t.pyramid().reserve(t.d, 3 * 32768));
  EXPECT_EQ(t.d.size, 0u);
  EXPECT_EQ(t.d.reserved, 3u * 32768);
  EXPECT_EQ(t.depth(), 1u);
  auto top = t.blocks.block(t.d.top_block);
  for (std::size_t slot = 0; slot < 3; ++slot) {
    BlockNo r = entry_at(top, slot);
    ASSERT_NE(r, kNoBlock);
    EXPECT_EQ(entry_at(t.blocks.block(r), 0), 0u);
  }
  EXPECT_EQ(entry_at(top, 3), kNoBlock);
  EXPECT_EQ(t.blocks.used_blocks().size(), 4u);

  t.write(40000, bytes_of("end"));
  auto all = t.read_all();
  ASSERT_EQ(all.size(), 40003u);
  for (std::size_t i = 0; i < 40000; ++i) ASSERT_EQ(all[i], std::byte{0}) << i;
  EXPECT_EQ(t.redir(0).length, 0u);  // the gap's cblock needed no data
}

TEST(CompressedWrite, RewritingTheMiddleTouchesOnlyItsCblocks) {
  CompressedTree t(9, 12);  // 4 KiB cblocks, F = 128
  auto data = text_like(300 * 4096, 2);
  t.write(0, data);
  ASSERT_EQ(t.depth(), 2u);
  std::vector<BlockNo> before;
  std::vector<std::vector<std::byte>> images;
  for (std::uint64_t u = 0; u < 300; ++u) {
    before.push_back(t.redirector(u));
    images.push_back(t.blocks.block(before.back()));
  }
  auto patch = noise(5000, 3);
  t.write(150 * 4096 + 100, patch);  // cblocks 150 and 151
  std::copy(patch.begin(), patch.end(), data.begin() + 150 * 4096 + 100);
  for (std::uint64_t u = 0; u < 300; ++u) {
    EXPECT_EQ(t.redirector(u), before[u]);
    if (u != 150 && u != 151) {
      EXPECT_EQ(t.blocks.block(before[u]), images[u]) << u;
    }
  }
  EXPECT_NE(t.blocks.block(before[150]), images[150]);
  EXPECT_EQ(t.read_all(), data);
}

TEST(CompressedWrite, IncompressibleCblockTakesCeilOfItsLengthInBlocks) {
  CompressedTree t(9, 15);
  auto data = noise(32768, 4);
  t.blocks.reset_counters();
  t.write(0, data);
  auto r = t.redir(0);
  EXPECT_GT(r.length, 32768u);
  EXPECT_EQ(r.blocks.size(), (r.length + 511) / 512);
  // All data blocks came from one allocation and moved in one transfer, the
  // fresh redirector in another.
  EXPECT_EQ(t.blocks.counters().write_contiguous, 2);
  EXPECT_EQ(t.blocks.counters().write_block, 0);
  EXPECT_EQ(t.read_all(), data);
}

TEST(CompressedWrite, BuffersKeptByTheThreadFollowEachWritesCblockSize) {
  // The calling thread lends each write the buffers of its earlier ones:
  // those of 4 KiB cblocks must never serve 32 KiB ones.
  CompressedTree small(9, 12);
  CompressedTree large(9, 15);
  for (std::uint32_t round = 0; round < 2; ++round) {
    const auto a = noise(1 << 16, 10 + round);
    const auto b = noise(1 << 16, 20 + round);
    small.write(0, a);
    large.write(0, b);
    EXPECT_EQ(small.read_all(), a);
    EXPECT_EQ(large.read_all(), b);
  }
}

TEST(CompressedWrite, ShrinkingAndGrowingCblockReusesItsBlocksInPlace) {
  CompressedTree t(9, 15);
  t.write(0, noise(32768, 5));
  auto big = t.redir(0);
  t.write(0, text_like(32768, 6));
  auto small = t.redir(0);
  ASSERT_LT(small.blocks.size(), big.blocks.size());
  EXPECT_TRUE(std::equal(small.blocks.begin(), small.blocks.end(), big.blocks.begin()));
  for (std::size_t i = small.blocks.size(); i < big.blocks.size(); ++i)
    EXPECT_TRUE(t.blocks.free_blocks().contains(big.blocks[i]));
  t.write(0, noise(32768, 7));
  EXPECT_EQ(t.redir(0).blocks.size(), big.blocks.size());
  EXPECT_EQ(t.read_all(), noise(32768, 7));
}

// Writes of fresh cblocks are held back and joined: over a free list with
// holes (so that data and redirectors break into runs), across more than one
// batch, and failing at the Nth block write, no redirector names data that is
// not all there, and the old descriptor still reads the old bytes.
TEST(CompressedWrite, JoinedWritesFailingAnywhereLeaveNoRedirectorAheadOfItsData) {
  const auto old = text_like(8192, 10);  // two whole cblocks: the write makes only fresh ones
  std::vector<std::byte> data = text_like(4500000, 11);  // more than one batch
  const auto random = noise(300000, 12);
  std::copy(random.begin(), random.end(), data.begin() + 2000000);
  std::vector<std::byte> expect = old;
  expect.insert(expect.end(), data.begin(), data.end());

  int writes = 0;  // block writes of the whole write, counted on the run that does not fail
  for (int fail_at = -1, step = 1; fail_at < writes; fail_at += step) {
    CompressedTree t(9, 12);
    auto holes = must(t.blocks.allocate_blocks(600));
    std::vector<BlockNo> every_third;
    for (std::size_t i = 0; i < holes.size(); i += 3) every_third.push_back(holes[i]);
    must(t.blocks.deallocate_blocks(every_third));
    t.write(0, old);
    const StreamDescriptor before = t.d;

    if (fail_at >= 0) t.blocks.fail_after(testing::FakeOp::Write, fail_at);
    t.blocks.reset_counters();
    auto wrote = compressed_write(t.blocks, t.cshift, t.d, old.size(), data);
    ASSERT_EQ(wrote.has_value(), fail_at < 0) << fail_at;
    if (fail_at < 0) {
      writes = t.blocks.counters().write_block + t.blocks.counters().write_contiguous;
      step = std::max(1, writes / 40);
      EXPECT_EQ(t.read_all(), expect);
      continue;
    }
    // A failed reserve leaves the descriptor, and so the units it covers, as they were.
    for (std::uint64_t u = 2; u < t.pyramid().unit_count(t.d); ++u) {
      LeafCache leaf(t.blocks.block_size());
      const auto at = resolve_redir_block(t.pyramid(), t.d.top_block, u, t.depth(), leaf);
      if (!at || *at == kNoBlock) continue;  // not hung in before the failure
      const auto r = must(read_comp_redir(t.blocks, *at, 4096));
      if (r.length == 0) continue;
      std::vector<std::byte> input, cblock(4096);
      must(decompress_cblock_data(t.blocks, r, input, cblock));
      ASSERT_TRUE(std::equal(cblock.begin(), cblock.end(),
                             expect.begin() + static_cast<std::ptrdiff_t>(u * 4096)))
          << "cblock " << u << ", failing at write " << fail_at;
    }
    t.d = before;
    EXPECT_EQ(t.read_all(), old) << fail_at;
  }
  EXPECT_GT(writes, 40);
}

TEST(CompressedTruncate, InsideCblockZeroKeepsItsDataAndFreesTheRest) {
  CompressedTree t(9, 12);
  auto data = text_like(10 * 4096, 8);
  t.write(0, data);
  BlockNo first = t.redirector(0);
  auto first_redir = t.redir(0);
  auto first_image = t.blocks.block(first);
  must(t.pyramid().truncate(t.d, 1000));
  EXPECT_EQ(t.d.size, 1000u);
  EXPECT_EQ(t.d.reserved, 4096u);
  EXPECT_EQ(t.d.top_block, first);
  EXPECT_EQ(t.blocks.block(first), first_image);
  std::set<BlockNo> expected{first};
  expected.insert(first_redir.blocks.begin(), first_redir.blocks.end());
  EXPECT_EQ(t.blocks.used_blocks(), expected);
  auto prefix = t.read_all();
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), data.begin()));

  auto more = bytes_of("appended");
  t.write(1000, more);
  auto all = t.read_all();
  ASSERT_EQ(all.size(), 1008u);
  EXPECT_TRUE(std::equal(all.begin(), all.begin() + 1000, data.begin()));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), all.begin() + 1000));
}

TEST(CompressedRead, ReadsOverManyBatchesMatchTheDataAtEveryCblockEdge) {
  // Reads are decoded in batches of 4 MiB of cblocks, each split among threads.
  CompressedTree t(12, 12);
  auto data = text_like((std::size_t{9} << 19) + 123, 21);
  t.write(0, data);
  EXPECT_TRUE(t.read_all() == data);
  for (auto [at, n] : {std::pair<std::size_t, std::size_t>{1000, (std::size_t{4} << 20) + 5000},
                       {(std::size_t{4} << 20) - 7, 14}, {data.size() - 5, 100}}) {
    auto got = t.read(at, n);
    const std::size_t expect = std::min(n, data.size() - at);
    ASSERT_EQ(got.size(), expect) << at;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + static_cast<std::ptrdiff_t>(at)))
        << at;
  }
}

TEST(CompressedRead, CorruptedDataFailsWithTheDecoderMessage) {
  CompressedTree t(12, 15);
  t.write(0, text_like(20000, 10));
  auto r = t.redir(0);
  std::vector<std::byte> junk(64, std::byte{0xF0});
  t.blocks.poke(r.blocks[0], 0, junk);
  std::vector<std::byte> out(10);
  auto got = compressed_read(t.blocks, t.cshift, t.d, 0, out);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), ErrorKind::IoError);
  EXPECT_TRUE(got.error().detail().starts_with("lz4 decompression failed: ")) << got.error().to_string();
  EXPECT_FALSE(compressed_write(t.blocks, t.cshift, t.d, 5, bytes_of("x")));
}

TEST(CompressedRead, RedirectorLengthBeyondItsBlockIsCorrupt) {
  CompressedTree t(9, 12);
  t.write(0, text_like(3 * 4096, 11));
  const BlockNo second = t.redirector(1);
  std::array<std::byte, 4> huge{std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0}};  // 65536
  t.blocks.poke(second, 0, huge);
  // Damage further on does not hide the first: a read reports its first bad cblock.
  t.blocks.poke(t.redir(2).blocks[0], 0, std::vector<std::byte>(64, std::byte{0xF0}));
  const std::string expected =
      format("corrupt redirector block {}: length 65536 does not fit in one block", second);
  std::vector<std::byte> all(3 * 4096);
  EXPECT_VOG_ERROR(compressed_read(t.blocks, t.cshift, t.d, 0, all), IoError, expected);
  std::vector<std::byte> out(10);
  EXPECT_VOG_ERROR(compressed_read(t.blocks, t.cshift, t.d, 4096, out), IoError, expected);

  std::array<std::byte, 4> long_one{std::byte{0x00}, std::byte{0x20}, std::byte{0}, std::byte{0}};
  t.blocks.poke(t.redirector(0), 0, long_one);  // 8192 fits the record but no 4 KiB cblock needs it
  auto got = compressed_read(t.blocks, t.cshift, t.d, 0, out);
  ASSERT_FALSE(got);
  EXPECT_TRUE(got.error().detail().starts_with("corrupt redirector block"));
}

TEST(CompressedTruncate, ToZeroReleasesRedirectorsAndData) {
  CompressedTree t(9, 12);
  t.write(0, noise(200 * 4096, 12));  // depth 2 with many data blocks
  ASSERT_EQ(t.depth(), 2u);
  must(t.pyramid().truncate(t.d, 0));
  EXPECT_EQ(t.d.top_block, 0u);
  EXPECT_TRUE(t.blocks.used_blocks().empty());
}

TEST(CompressedShift, CreationBoundKeepsTheWorstCaseInOneRedirector) {
  EXPECT_TRUE(check_compressed_block_size_shift(0, 9));
  EXPECT_TRUE(check_compressed_block_size_shift(15, 9));
  EXPECT_TRUE(check_compressed_block_size_shift(21, 12));
  EXPECT_VOG_ERROR(check_compressed_block_size_shift(16, 9), IoError,
                   "compressed_block_size_shift (16) is too large for block_size_shift (9)");
  EXPECT_VOG_ERROR(check_compressed_block_size_shift(22, 12), IoError,
                   "compressed_block_size_shift (22) is too large for block_size_shift (12)");
  EXPECT_VOG_ERROR(check_compressed_block_size_shift(31, 24), IoError,
                   "compressed_block_size_shift (31) is too large for block_size_shift (24)");
  EXPECT_TRUE(check_compressed_block_size_shift(30, 24));
}

}  // namespace
}  // namespace vog
