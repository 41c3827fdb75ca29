// Encrypted block stores: what reaches the file, passwords, and the
// read-modify-write paths that only an encrypted store takes.
#include <gtest/gtest.h>

#include <algorithm>

#include "block_test_util.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::filled;
using testing::kStandardSlots;
using testing::memory_store;
using testing::must;
using testing::reopen;
using testing::text_bytes;

const std::span<const std::byte> kPassword = text_bytes("correct horse");

std::vector<std::byte> on_disk(testing::MemoryDisk& disk, BlockNo block, std::size_t block_size) {
  auto bytes = disk.snapshot();
  auto at = bytes.begin() + static_cast<std::ptrdiff_t>(143 + block * block_size);
  return {at, at + static_cast<std::ptrdiff_t>(block_size)};
}

bool contains(const std::vector<std::byte>& haystack, const std::vector<std::byte>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// Reads `block` whole, uncached.
std::vector<std::byte> plain_block(BlockLayer& store, BlockNo block) {
  std::vector<std::byte> out(store.block_size());
  EXPECT_TRUE(store.read_block(block, 0, out, CacheHint::NoCache));
  return out;
}

TEST(EncryptedStore, HeaderRecordAndEncryptedBlock0) {
  testing::TempDir dir;
  std::string path = dir.file("a.vog");
  must(BlocksInFile::create(path, 12, kStandardSlots, kPassword));
  auto bytes = testing::read_all(path);
  ASSERT_EQ(bytes.size(), 143u + 4096u);
  EXPECT_EQ(bytes[10], 143);
  EXPECT_EQ(bytes[11], 0);
  EXPECT_EQ(bytes[12], 12);
  EXPECT_EQ(bytes[13], 1);
  EXPECT_EQ(bytes[14 + 16], 0x00);  // memory cost 19456 = 0x4C00, little-endian
  EXPECT_EQ(bytes[14 + 17], 0x4C);
  EXPECT_EQ(bytes[14 + 20], 2);  // time cost
  EXPECT_EQ(bytes[14 + 24], 1);  // parallelism
  EXPECT_FALSE(std::equal(bytes.begin() + 143, bytes.begin() + 147, "blk0"));
}

TEST(EncryptedStore, ReopensOnlyWithTheRightPassword) {
  auto m = memory_store(9, kPassword);
  ASSERT_TRUE(m.store->write_admin_slot(0, filled(28, 0xC3)));
  ASSERT_TRUE(m.store->allocate_blocks(2));
  ASSERT_TRUE(m.store->write_block(2, 100, filled(50, 0x3C), CacheHint::NoCache));
  m.store.reset();

  auto wrong = reopen(m.disk, text_bytes("correct horse!"));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error(), VogError::wrong_password("password verification hash mismatch"));
  auto none = reopen(m.disk);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(),
            VogError::encryption_required("file is encrypted but no password was provided"));

  auto store = must(reopen(m.disk, kPassword));
  EXPECT_TRUE(store->is_encrypted());
  EXPECT_EQ(store->total_blocks(), 3u);
  EXPECT_EQ(must(store->read_admin_slot(0)), filled(28, 0xC3));
  std::vector<std::byte> out(50);
  ASSERT_TRUE(store->read_block(2, 100, out, CacheHint::SharedCache));
  EXPECT_EQ(out, filled(50, 0x3C));
}

// The password still checks out; only unwrapping the master key fails.
TEST(EncryptedStore, DamagedWrappedKeyIsRefusedAsAWrongPassword) {
  auto m = memory_store(9, kPassword);
  m.store.reset();
  m.disk->bytes[14 + 57 + 5] ^= std::byte{1};  // inside the wrapped master key
  auto unwrap = reopen(m.disk, kPassword);
  ASSERT_FALSE(unwrap);
  EXPECT_EQ(unwrap.error(), VogError::wrong_password("AES-KW unwrap failed"));
}

TEST(EncryptedStore, EmptyPasswordIsAPasswordLikeAnyOther) {
  const std::span<const std::byte> empty;
  auto m = memory_store(9, empty);
  m.store.reset();
  EXPECT_TRUE(reopen(m.disk, empty));
  const std::byte one_nul[1] = {};  // not the same as no bytes at all
  auto other = reopen(m.disk, one_nul);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error(), VogError::wrong_password("password verification hash mismatch"));
}

TEST(EncryptedStore, NothingReachesTheFileInPlain) {
  auto m = memory_store(9, kPassword);
  auto slot = filled(28, 0x5E);
  ASSERT_TRUE(m.store->write_admin_slot(0, slot));
  ASSERT_TRUE(m.store->allocate_blocks(3));
  auto same = filled(512, 0x42);
  ASSERT_TRUE(m.store->write_block(1, 0, same, CacheHint::SharedCache));
  ASSERT_TRUE(m.store->write_contiguous_blocks(2, 0, filled(1024, 0x42)));
  auto disk = m.disk->snapshot();
  EXPECT_FALSE(contains(disk, slot));
  EXPECT_FALSE(contains(disk, filled(32, 0x42)));
  auto one = on_disk(*m.disk, 1, 512);
  auto two = on_disk(*m.disk, 2, 512);
  auto three = on_disk(*m.disk, 3, 512);
  EXPECT_NE(one, two);  // same plaintext, different tweaks
  EXPECT_NE(two, three);
  for (BlockNo b : {1u, 2u, 3u}) EXPECT_EQ(plain_block(*m.store, b), same) << b;
}

TEST(EncryptedStore, PartialWriteBeyondTheFilePatchesTheDecryptedZeros) {
  auto m = memory_store(9, kPassword);
  const BlockNo beyond = 6;
  ASSERT_TRUE(m.store->allocate_blocks(6));
  m.disk->bytes.resize(143 + 512);  // block 6 is held but past the end of the file
  auto before = plain_block(*m.store, beyond);
  EXPECT_EQ(must(m.store->write_block(beyond, 10, filled(4, 0xEE), CacheHint::ThreadCache)), 4u);
  EXPECT_EQ(m.disk->snapshot().size(), 143u + 7 * 512u);  // a full block was written
  EXPECT_EQ(m.store->thread_cache_size(), 1u);
  auto expected = before;
  std::fill(expected.begin() + 10, expected.begin() + 14, std::byte{0xEE});
  EXPECT_EQ(plain_block(*m.store, beyond), expected);
  std::vector<std::byte> cached(512);
  ASSERT_TRUE(m.store->read_block(beyond, 0, cached, CacheHint::ThreadCache));
  EXPECT_EQ(cached, expected);
}

TEST(EncryptedStore, WritesThroughACacheStartFromTheCachedPlaintext) {
  auto m = memory_store(9, kPassword);
  ASSERT_TRUE(m.store->allocate_blocks(1));
  std::vector<std::byte> out(512);
  ASSERT_TRUE(m.store->read_block(1, 0, out, CacheHint::SharedCache));
  std::uint64_t reads = m.disk->read_count();
  ASSERT_TRUE(m.store->write_block(1, 0, filled(8, 1), CacheHint::SharedCache));
  ASSERT_TRUE(m.store->write_block(1, 504, filled(8, 2), CacheHint::SharedCache));
  EXPECT_EQ(m.disk->read_count(), reads);  // no read-back from the file
  auto expected = out;                     // a new block: whatever its zero bytes decrypt to
  std::fill(expected.begin(), expected.begin() + 8, std::byte{1});
  std::fill(expected.end() - 8, expected.end(), std::byte{2});
  EXPECT_EQ(plain_block(*m.store, 1), expected);
}

TEST(EncryptedStore, ContiguousReadAcrossTheEndReturnsTheFullLength) {
  auto m = memory_store(9, kPassword);
  ASSERT_TRUE(m.store->allocate_blocks(1));
  ASSERT_TRUE(m.store->write_block(1, 0, filled(512, 9), CacheHint::NoCache));
  auto missing = plain_block(*m.store, 2);  // the decryption of zeros under tweak 2

  std::vector<std::byte> whole(1024, std::byte{0xAA});
  EXPECT_EQ(must(m.store->read_contiguous_blocks(1, 0, whole)), 1024u);
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 512, filled(512, 9).begin()));
  EXPECT_TRUE(std::equal(whole.begin() + 512, whole.end(), missing.begin()));

  std::vector<std::byte> part(400);
  EXPECT_EQ(must(m.store->read_contiguous_blocks(1, 500, part)), 400u);
  EXPECT_TRUE(std::equal(part.begin(), part.begin() + 12, filled(12, 9).begin()));
  EXPECT_TRUE(std::equal(part.begin() + 12, part.end(), missing.begin()));
}

// Every way a run can end mid-block: both ends, the start only, the end
// only, inside one block, over four blocks. Writes build on one another.
TEST(EncryptedStore, UnalignedContiguousWritesKeepTheRestOfTheirBlocks) {
  auto m = memory_store(9, kPassword);
  ASSERT_TRUE(m.store->allocate_blocks(4));
  auto expected = filled(4 * 512, 1);
  ASSERT_TRUE(m.store->write_contiguous_blocks(1, 0, expected));
  std::uint8_t value = 2;
  for (auto [at, length] : {std::pair<std::size_t, std::size_t>{612, 600}, {600, 424},
                            {1024, 700}, {520, 10}, {100, 1900}}) {
    EXPECT_EQ(must(m.store->write_contiguous_blocks(1, at, filled(length, value))), length);
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(at), length, std::byte{value});
    std::vector<std::byte> all(4 * 512);
    ASSERT_TRUE(m.store->read_contiguous_blocks(1, 0, all));
    EXPECT_EQ(all, expected) << at << " + " << length;
    ++value;
  }
}

// A long run is sealed in pieces on several threads and written piece by
// piece: every block still carries its own number as tweak, and a write
// that fails stops the run there, leaving whole blocks old or new. Read
// back, it is read and unsealed in pieces on several threads: block for
// block what single-block reads give, also past the end of the file.
TEST(EncryptedStore, LongRunsSealAndUnsealEachBlockAndStopAtAFailedWrite) {
  auto m = memory_store(9, kPassword);
  constexpr std::size_t kBlocks = 9000;  // past one 4 MiB batch of sealed bytes
  ASSERT_TRUE(m.store->allocate_blocks(kBlocks));
  auto run_of = [](std::uint8_t salt) {
    std::vector<std::byte> run(kBlocks * 512);
    for (std::size_t i = 0; i < run.size(); ++i)
      run[i] = static_cast<std::byte>(i / 512 * 7 + i % 13 + salt);
    return run;
  };
  const auto first = run_of(0), second = run_of(1);
  auto block_of = [](const std::vector<std::byte>& run, std::size_t b) {
    return std::vector<std::byte>(run.begin() + static_cast<std::ptrdiff_t>(b * 512),
                                  run.begin() + static_cast<std::ptrdiff_t>((b + 1) * 512));
  };
  ASSERT_TRUE(m.store->write_contiguous_blocks(1, 0, first));
  for (std::size_t b = 0; b < kBlocks; ++b)
    ASSERT_EQ(plain_block(*m.store, static_cast<BlockNo>(b + 1)), block_of(first, b)) << b;

  m.disk->fail_nth_write_from_now(18);  // in the second batch
  EXPECT_FALSE(m.store->write_contiguous_blocks(1, 0, second));
  std::size_t b = 0;
  while (b < kBlocks && plain_block(*m.store, static_cast<BlockNo>(b + 1)) == block_of(second, b)) ++b;
  EXPECT_EQ(b, 17u * 512);  // the 17 pieces of 256 KiB written before the failed one
  for (; b < kBlocks; ++b)
    ASSERT_EQ(plain_block(*m.store, static_cast<BlockNo>(b + 1)), block_of(first, b)) << b;

  m.disk->bytes.resize(143 + 7001 * 512);  // blocks 7001 on lie past the end of the file
  std::vector<std::byte> blockwise;
  for (std::size_t block = 1; block <= kBlocks; ++block) {
    auto plain = plain_block(*m.store, static_cast<BlockNo>(block));
    blockwise.insert(blockwise.end(), plain.begin(), plain.end());
  }
  std::vector<std::byte> whole(kBlocks * 512, std::byte{0xAA});
  EXPECT_EQ(must(m.store->read_contiguous_blocks(1, 0, whole)), whole.size());
  EXPECT_TRUE(whole == blockwise);  // not EXPECT_EQ: 4.6 MB each
}

// The freed blocks spread over several trunks, which verify reads back through
// the cipher before and after reopening.
TEST(EncryptedStore, ManyScatteredReusedBlocksAreAllZeroedAndTrunksVerify) {
  testing::TempDir dir;
  std::string path = dir.file("a.vog");
  std::vector<BlockNo> kept, thirds;  // every third block is freed, then reused
  for (BlockNo b = 1; b <= 600; ++b) (b % 3 == 0 ? thirds : kept).push_back(b);
  {
    auto store = must(BlocksInFile::create(path, 9, kStandardSlots, kPassword));
    ASSERT_TRUE(store->allocate_blocks(600));
    ASSERT_TRUE(store->write_contiguous_blocks(1, 0, filled(600 * 512, 0x61)));
    std::vector<BlockNo> freed = thirds;
    ASSERT_TRUE(store->deallocate_blocks(freed));
    EXPECT_EQ(must(store->verify(kept)), std::vector<std::string>{});
  }
  auto store = must(BlocksInFile::open(path, AccessMode::Writable, kPassword));
  EXPECT_EQ(must(store->allocate_blocks(200)), thirds);
  kept.insert(kept.end(), thirds.begin(), thirds.end());
  EXPECT_EQ(must(store->verify(kept)), std::vector<std::string>{});
  std::vector<std::byte> all(600 * 512);
  ASSERT_EQ(must(store->read_contiguous_blocks(1, 0, all)), all.size());
  for (BlockNo b = 1; b <= 600; ++b) {
    auto first = all.begin() + static_cast<std::ptrdiff_t>((b - 1) * 512);
    bool zero = std::all_of(first, first + 512, [](std::byte x) { return x == std::byte{0}; });
    ASSERT_EQ(zero, b % 3 == 0) << "block " << b;
  }
}

}  // namespace
}  // namespace vog
