// The journal's own checks: what it refuses to apply, who may roll it back,
// and that it never changes the Vog file's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "crash_file_system.hpp"
#include "journaled_file.hpp"
#include "le_bytes.hpp"

namespace vog {
namespace {

using testing::CrashFileSystem;

constexpr const char* kPath = "/a.vog";
constexpr std::uint16_t kDataOffset = 14;

std::vector<std::byte> filled(std::size_t size, unsigned char value) {
  return std::vector<std::byte>(size, std::byte{value});
}

template <class T>
T must(Result<T> result) {
  EXPECT_TRUE(result) << result.error().to_string();
  return std::move(*result);
}

std::vector<std::byte> committed_bytes(std::size_t pages = 3);

// A file of `pages` committed pages of 0x11, then a transaction that rewrites
// page 1, grows the file and is cut off by a crash before its commit. Both
// changes are gathered writes: the rewrite must still be journaled.
void interrupted_transaction(CrashFileSystem& fs, Durability level, std::size_t pages = 3) {
  auto file = must(create_vog_file(fs, kPath, kDataOffset, level));
  ASSERT_TRUE(file->write(kDataOffset, filled(pages * JournaledFile::kPageSize, 0x11)));
  ASSERT_TRUE(file->commit());
  const auto rewrite = filled(100, 0x22), growth = filled(5000, 0x33);
  const std::span<const std::byte> rewrite_pieces[] = {std::span(rewrite).first(60),
                                                       std::span(rewrite).subspan(60)};
  const std::span<const std::byte> growth_pieces[] = {{}, growth};
  ASSERT_TRUE(file->write_gathered(kDataOffset + JournaledFile::kPageSize + 7, rewrite_pieces));
  ASSERT_TRUE(file->write_gathered(kDataOffset + pages * JournaledFile::kPageSize, growth_pieces));
  ASSERT_TRUE(file->sync());  // everything reaches the file, as a crash might leave it
  auto written = committed_bytes(pages);
  std::ranges::copy(rewrite, written.begin() + kDataOffset + JournaledFile::kPageSize + 7);
  written.insert(written.end(), growth.begin(), growth.end());
  ASSERT_EQ(fs.contents(kPath), written);
  fs.crash_after(0);
  (void)file->write(0, filled(1, 0));
  file.reset();
  std::mt19937 rng(1);
  fs.restart(Durability::Process, rng);
}

std::vector<std::byte> committed_bytes(std::size_t pages) {
  std::vector<std::byte> bytes(kDataOffset);
  std::memcpy(bytes.data(), "vogvogvog\x01\x0e\x00", 12);
  auto body = filled(pages * JournaledFile::kPageSize, 0x11);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

TEST(Journal, ChecksumsAreTheFormats) {
  auto counting = [](std::size_t size) {
    std::vector<std::byte> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>(i * 7);
    return bytes;
  };
  const auto bytes = counting(100);  // lanes, whole words and a tail
  EXPECT_EQ(journal::checksum(journal::kVersion, 5, bytes), 0xd137572f0bfeba15u);
  EXPECT_EQ(journal::checksum(2, 5, bytes), 0x5da9fe2ff6795d5au);
  // A page takes XXH3's vector path, which every processor's unit must agree on.
  EXPECT_EQ(journal::checksum(journal::kVersion, 5, counting(JournaledFile::kPageSize)),
            0x8f076a883381abf7u);
}

// The same journal as an older build (version 2, another checksum) wrote it.
std::vector<std::byte> as_version_2(const std::vector<std::byte>& journal) {
  const std::vector<std::byte> head = committed_bytes(0);
  const journal::Header header{load_u64(journal, 16), journal::checksum(2, 0, head),
                               load_u64(journal, 32), load_u64(journal, 40),
                               static_cast<journal::State>(load_u32(journal, 48))};
  const auto encoded = journal::encode(header, 2);
  std::vector<std::byte> out(encoded.begin(), encoded.end());
  for (std::size_t at = journal::kHeaderSize; at + journal::kRecordHeaderSize <= journal.size();) {
    const std::size_t length = load_u32(journal, at + 8);
    journal::append_record(out, header.nonce, load_u64(journal, at),
                           std::span(journal).subspan(at + journal::kRecordHeaderSize, length), 2);
    at += journal::kRecordHeaderSize + length;
  }
  return out;
}

TEST(Journal, RollbackRestoresPagesAndCutsGrowth) {
  for (auto [level, version] : {std::pair{Durability::Process, journal::kVersion},
                                {Durability::Full, journal::kVersion},
                                {Durability::Process, 2u}}) {
    CrashFileSystem fs;
    interrupted_transaction(fs, level);
    ASSERT_NE(fs.contents(kPath), committed_bytes());
    if (version == 2) fs.put(journal_path(kPath), as_version_2(fs.contents(journal_path(kPath))));

    // A reader reads the last commit through the journal and changes nothing.
    const std::vector<std::byte> interrupted = fs.contents(kPath);
    auto reader = must(open_vog_file(fs, kPath, AccessMode::ReadOnly, level));
    std::vector<std::byte> seen(committed_bytes().size() + 1);
    EXPECT_EQ(must(reader->len()), seen.size() - 1);
    seen.resize(must(reader->read(0, seen)));
    EXPECT_EQ(seen, committed_bytes());
    reader.reset();
    EXPECT_EQ(fs.contents(kPath), interrupted);

    must(open_vog_file(fs, kPath, AccessMode::Writable, level)).reset();
    EXPECT_EQ(fs.contents(kPath), committed_bytes());
    EXPECT_FALSE(*fs.exists(journal_path(kPath)));  // a clean close leaves no journal
    EXPECT_TRUE(open_vog_file(fs, kPath, AccessMode::ReadOnly, level));
  }
}

// After a crash, by the next open; without one, by roll_back() in place. A
// reader beside the writer reads the last commit throughout.
TEST(Journal, AWriteBeyondTheMemoryBoundGoesOutEarlyAndStillRollsBack) {
  for (Durability level : {Durability::Process, Durability::Full}) {
    for (bool crash : {true, false}) {
      CrashFileSystem fs;
      constexpr std::size_t kPages = JournaledFile::kPendingLimit / JournaledFile::kPageSize + 8;
      constexpr std::size_t kBytes = kPages * JournaledFile::kPageSize;
      auto file = must(create_vog_file(fs, kPath, kDataOffset, level));
      ASSERT_TRUE(file->write(kDataOffset, filled(kBytes, 0x11)));
      ASSERT_TRUE(file->commit());
      auto reader = must(open_vog_file(fs, kPath, AccessMode::ReadOnly, level));
      const std::uint64_t committed_generation = must(reader->begin_read());
      reader->end_read();
      ASSERT_TRUE(file->write(kDataOffset, filled(kBytes, 0x22)));
      ASSERT_TRUE(file->write(kDataOffset + kBytes, filled(5000, 0x33)));  // growth
      EXPECT_NE(fs.contents(kPath), committed_bytes(kPages));  // written out before any commit
      std::vector<std::byte> seen(kDataOffset + kBytes + 1);
      EXPECT_EQ(must(reader->begin_read()), committed_generation);
      seen.resize(must(reader->read(0, seen)));
      reader->end_read();
      EXPECT_EQ(seen, committed_bytes(kPages));
      if (!crash) {
        ASSERT_TRUE(file->roll_back());
        EXPECT_EQ(fs.contents(kPath), committed_bytes(kPages));
        seen.assign(kDataOffset + kBytes + 1, std::byte{0});
        seen.resize(must(file->read(0, seen)));
        EXPECT_EQ(seen, committed_bytes(kPages));
        // A new generation: readers drop what they read while the early pages were out.
        EXPECT_NE(must(reader->begin_read()), committed_generation);
        reader->end_read();
        ASSERT_TRUE(file->write(kDataOffset + 1, filled(1, 0x44)));
        ASSERT_TRUE(file->commit());
        EXPECT_EQ(fs.contents(kPath)[kDataOffset + 1], std::byte{0x44});
        reader.reset();
        file.reset();
        EXPECT_FALSE(*fs.exists(journal_path(kPath)));  // closed clean
        continue;
      }
      reader.reset();
      fs.crash_after(0);
      (void)file->write(0, filled(1, 0));
      file.reset();
      std::mt19937 rng(2);
      fs.restart(level, rng);
      must(open_vog_file(fs, kPath, AccessMode::Writable, level)).reset();
      EXPECT_EQ(fs.contents(kPath), committed_bytes(kPages));
    }
  }
}

TEST(Journal, ANewFileGetsItsNameAtItsFirstCommitAndNeverTakesAnother) {
  for (bool intruder : {false, true}) {
    CrashFileSystem fs;
    auto file = must(create_vog_file(fs, kPath, kDataOffset, Durability::Process));
    ASSERT_TRUE(file->write(kDataOffset, filled(10, 1)));
    EXPECT_FALSE(*fs.exists(kPath));
    if (intruder) fs.put(kPath, filled(5, 9));  // another process made the name meanwhile
    auto committed = file->commit();
    ASSERT_EQ(bool(committed), !intruder);
    if (intruder) {
      EXPECT_EQ(committed.error().kind(), ErrorKind::AlreadyExists);
      file.reset();
      EXPECT_EQ(fs.contents(kPath), filled(5, 9));
      EXPECT_FALSE(*fs.exists(journal_path(kPath)));
    } else {
      EXPECT_EQ(fs.contents(kPath).size(), kDataOffset + 10u);
    }
  }
}

TEST(Journal, ForeignOrTornJournalIsNeverApplied) {
  CrashFileSystem fs;
  interrupted_transaction(fs, Durability::Process);
  const std::vector<std::byte> journal = fs.contents(journal_path(kPath));
  const std::vector<std::byte> damaged_file = fs.contents(kPath);

  // Not a journal at all: refused, nothing written.
  fs.put(journal_path(kPath), filled(200, 0x5A));
  auto foreign = open_vog_file(fs, kPath, AccessMode::Writable, Durability::Process);
  ASSERT_FALSE(foreign);
  EXPECT_TRUE(foreign.error().detail().starts_with("journal '/a.vog-journal' does not belong"))
      << foreign.error().detail();
  EXPECT_EQ(fs.contents(kPath), damaged_file);

  // Another file's journal (its header differs in the data offset byte).
  std::vector<std::byte> other_file = fs.contents(kPath);
  other_file[10] = std::byte{15};
  fs.put(kPath, other_file);
  fs.put(journal_path(kPath), journal);
  EXPECT_FALSE(open_vog_file(fs, kPath, AccessMode::Writable, Durability::Process));
  EXPECT_EQ(fs.contents(kPath), other_file);

  // A committed mark asks nothing of another file, which opens as it is.
  {
    CrashFileSystem elsewhere;
    auto file = must(create_vog_file(elsewhere, kPath, kDataOffset, Durability::Process));
    ASSERT_TRUE(file->commit());
    fs.put(journal_path(kPath), elsewhere.contents(journal_path(kPath)));
  }
  EXPECT_TRUE(open_vog_file(fs, kPath, AccessMode::ReadOnly, Durability::Process));
  EXPECT_EQ(fs.contents(kPath), other_file);

  // A header that checks out but names a committed length past the file and
  // its records: rolling it back would grow the file from nothing.
  fs.put(kPath, damaged_file);
  std::vector<std::byte> grown = journal;
  const auto header = journal::encode({load_u64(journal, 16), load_u64(journal, 24),
                                       std::uint64_t{1} << 40, load_u64(journal, 40),
                                       journal::State::Transaction});
  std::copy(header.begin(), header.end(), grown.begin());
  fs.put(journal_path(kPath), grown);
  auto grows = open_vog_file(fs, kPath, AccessMode::Writable, Durability::Process);
  ASSERT_FALSE(grows);
  EXPECT_TRUE(grows.error().detail().ends_with("(committed length past the file); move it away "
                                               "to open the file as it is"))
      << grows.error().detail();
  EXPECT_EQ(fs.contents(kPath), damaged_file);

  // A header torn while the transaction began: the file was not touched yet.
  std::vector<std::byte> torn = journal;
  torn[33] ^= std::byte{1};
  fs.put(journal_path(kPath), torn);
  must(open_vog_file(fs, kPath, AccessMode::Writable, Durability::Process)).reset();
  EXPECT_EQ(fs.contents(kPath), damaged_file);

  // A torn record ends the transaction's records; the ones before still apply
  // and the growth is still cut.
  std::vector<std::byte> cut = journal;
  cut.back() ^= std::byte{1};
  fs.put(journal_path(kPath), cut);
  must(open_vog_file(fs, kPath, AccessMode::Writable, Durability::Process)).reset();
  EXPECT_EQ(fs.contents(kPath).size(), committed_bytes().size());
}

TEST(Journal, ChangesWaitInMemoryUntilTheCommit) {
  for (Durability level : {Durability::Process, Durability::Full}) {
    CrashFileSystem fs;
    auto file = must(create_vog_file(fs, kPath, kDataOffset, level));
    ASSERT_TRUE(file->write(kDataOffset, filled(JournaledFile::kPageSize, 0x11)));
    ASSERT_TRUE(file->commit());
    const auto committed = fs.contents(kPath);

    ASSERT_TRUE(file->write(kDataOffset + 10, filled(4, 0x22)));
    ASSERT_TRUE(file->write(kDataOffset + 30, filled(2, 0x33)));
    EXPECT_EQ(fs.contents(kPath), committed);  // nothing reached the file yet
    ASSERT_TRUE(file->set_len(kDataOffset + 20));
    ASSERT_TRUE(file->write(kDataOffset + 30, filled(2, 0x44)));
    EXPECT_EQ(must(file->len()), kDataOffset + 32u);
    std::vector<std::byte> seen(40, std::byte{0x77});
    ASSERT_EQ(must(file->read(kDataOffset + 8, seen)), 24u);
    std::vector<std::byte> want = filled(24, 0);  // the cut bytes read as zeros
    for (int i : {0, 1, 6, 7, 8, 9, 10, 11}) want[static_cast<std::size_t>(i)] = std::byte{0x11};
    for (int i : {2, 3, 4, 5}) want[static_cast<std::size_t>(i)] = std::byte{0x22};
    want[22] = want[23] = std::byte{0x44};
    EXPECT_EQ(std::vector(seen.begin(), seen.begin() + 24), want);
    EXPECT_EQ(seen[24], std::byte{0x77});  // past the end: untouched

    ASSERT_TRUE(file->commit());
    std::vector<std::byte> on_disk = fs.contents(kPath);
    EXPECT_EQ(on_disk.size(), kDataOffset + 32u);
    EXPECT_EQ(std::vector(on_disk.begin() + kDataOffset + 8, on_disk.end()), want);

    // Growth waits too: only writes reach the file before the commit, and
    // what the file does not hold yet reads as zeros.
    const std::uint64_t grown = kDataOffset + 3 * JournaledFile::kPageSize;
    ASSERT_TRUE(file->set_len(grown));
    ASSERT_TRUE(file->write(grown - 10, filled(4, 0x55)));
    EXPECT_EQ(fs.contents(kPath).size(), grown - 6);
    EXPECT_EQ(must(file->len()), grown);
    std::vector<std::byte> tail(20, std::byte{0x77});
    ASSERT_EQ(must(file->read(grown - 20, tail)), 20u);
    want = filled(20, 0);
    for (int i : {10, 11, 12, 13}) want[static_cast<std::size_t>(i)] = std::byte{0x55};
    EXPECT_EQ(tail, want);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(fs.contents(kPath).size(), grown);
    // A cut of growth not yet made never grows the file (it needs no room on
    // a full disk); the length settles at the commit.
    ASSERT_TRUE(file->set_len(grown + JournaledFile::kPageSize));
    ASSERT_TRUE(file->set_len(grown + 100));
    EXPECT_EQ(fs.contents(kPath).size(), grown);
    EXPECT_EQ(must(file->len()), grown + 100);
    ASSERT_TRUE(file->commit());
    EXPECT_EQ(fs.contents(kPath).size(), grown + 100);
  }
}

TEST(Journal, OffNeitherMakesNorKeepsAJournal) {
  CrashFileSystem fs;
  fs.put(journal_path(kPath), filled(64, 0));  // left from an older file of this name
  auto file = must(create_vog_file(fs, kPath, kDataOffset, Durability::Off));
  EXPECT_FALSE(*fs.exists(journal_path(kPath)));
  ASSERT_TRUE(file->write(kDataOffset, filled(10, 1)));
  EXPECT_EQ(fs.contents(kPath).size(), kDataOffset + 10u);
  EXPECT_FALSE(file->roll_back());  // nothing to roll back to
  EXPECT_EQ(fs.contents(kPath).size(), kDataOffset + 10u);
}

}  // namespace
}  // namespace vog
