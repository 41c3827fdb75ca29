#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "copy_distance.hpp"
#include "file_on_disk.hpp"
#include "temp_dir.hpp"

namespace vog {
namespace {

using testing::read_all;
using testing::TempDir;
using testing::write_all;

std::vector<std::byte> bytes_of(std::string_view text) {
  std::vector<std::byte> out(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return out;
}

template <class T>
VogError error_of(const Result<T>& result) {
  return result ? VogError::io("<the operation succeeded>") : result.error();
}

std::unique_ptr<FileOnDisk> must_create(const std::string& path, std::uint16_t data_offset = 14) {
  auto file = FileOnDisk::create(path, data_offset);
  EXPECT_TRUE(file) << file.error().to_string();
  return std::move(*file);
}

std::unique_ptr<FileOnDisk> must_open(const std::string& path, AccessMode mode) {
  auto file = FileOnDisk::open(path, mode);
  EXPECT_TRUE(file) << file.error().to_string();
  return std::move(*file);
}

TEST(FileOnDiskCreate, WritesExactHeaderAndZeroFill) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  EXPECT_EQ(*file->len(), 14u);
  std::vector<unsigned char> expected = {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'g', 1, 14, 0, 0, 0};
  EXPECT_EQ(read_all(dir.file("a.vog")), expected);
}

TEST(FileOnDiskCreate, LargeDataOffsetIsLittleEndianAndReadsBack) {
  TempDir dir;
  must_create(dir.file("a.vog"), 0x1234);
  auto bytes = read_all(dir.file("a.vog"));
  ASSERT_EQ(bytes.size(), 0x1234u);
  EXPECT_EQ(bytes[10], 0x34);
  EXPECT_EQ(bytes[11], 0x12);
  EXPECT_EQ(must_open(dir.file("a.vog"), AccessMode::Writable)->data_offset(), 0x1234u);
}

TEST(FileOnDiskCreate, ExistingPathFailsWithThePathAndIsUntouched) {
  TempDir dir;
  std::string path = dir.file("taken");
  write_all(path, {1, 2, 3});
  auto file = FileOnDisk::create(path, 14);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), VogError::already_exists(path));
  EXPECT_EQ(read_all(path), (std::vector<unsigned char>{1, 2, 3}));
}

TEST(FileOnDisk, MissingPathsReportTheSystemErrorAfterTheAction) {
  TempDir dir;
  EXPECT_EQ(error_of(FileOnDisk::create(dir.file("no/such/dir.vog"), 14)),
            VogError::os(ENOENT, "failed to create Vog file: "));
  EXPECT_EQ(error_of(FileOnDisk::open(dir.file("none.vog"), AccessMode::ReadOnly)),
            VogError::os(ENOENT, "failed to open Vog file: "));
}

TEST(FileOnDiskCreate, DataOffsetBelowHeaderIsRefused) {
  TempDir dir;
  auto file = FileOnDisk::create(dir.file("a.vog"), 11);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::IoError);
  EXPECT_FALSE(std::filesystem::exists(dir.file("a.vog")));
}

TEST(FileOnDiskOpen, FileShorterThanHeaderCannotBeRead) {
  TempDir dir;
  write_all(dir.file("short"), {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'g', 1, 14});
  auto file = FileOnDisk::open(dir.file("short"), AccessMode::ReadOnly);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::IoError);
  EXPECT_TRUE(file.error().detail().starts_with("failed to read Vog header magic: "))
      << file.error().detail();
}

TEST(FileOnDiskOpen, BadMagicAndVersionAreRefusedAndReleaseTheLock) {
  TempDir dir;
  write_all(dir.file("magic"), {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'x', 1, 14, 0, 0, 0});
  auto bad_magic = FileOnDisk::open(dir.file("magic"), AccessMode::ReadOnly);
  ASSERT_FALSE(bad_magic);
  EXPECT_EQ(bad_magic.error(), VogError::io("not a Vog file (bad magic)"));

  write_all(dir.file("version"), {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'g', 2, 14, 0, 0, 0});
  auto bad_version = FileOnDisk::open(dir.file("version"), AccessMode::Writable);
  ASSERT_FALSE(bad_version);
  EXPECT_EQ(bad_version.error(), VogError::io("unsupported header format version: 2"));
  // A lock left behind would make this a lock conflict instead of the same refusal.
  EXPECT_EQ(error_of(FileOnDisk::open(dir.file("version"), AccessMode::Writable)),
            bad_version.error());
}

TEST(FileOnDiskLock, ReadersShareAndWritersExcludeEveryone) {
  TempDir dir;
  std::string path = dir.file("a.vog");
  must_create(path);  // dropped at once: the creator's lock goes with it

  auto reader1 = must_open(path, AccessMode::ReadOnly);
  auto reader2 = must_open(path, AccessMode::ReadOnly);
  auto writer = FileOnDisk::open(path, AccessMode::Writable);
  ASSERT_FALSE(writer);
  EXPECT_EQ(writer.error(), VogError::os(EWOULDBLOCK, "Vog file is locked by another process: "));

  reader1.reset();
  reader2.reset();
  auto holder = must_open(path, AccessMode::Writable);
  EXPECT_FALSE(FileOnDisk::open(path, AccessMode::Writable));
  auto reader = FileOnDisk::open(path, AccessMode::ReadOnly);
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error(), VogError::io("Vog file is locked by another process: lock acquisition "
                                         "failed because the operation would block"));
}

TEST(FileOnDiskLock, CreatorHoldsTheWriterLock) {
  TempDir dir;
  auto creator = must_create(dir.file("a.vog"));
  auto reader = FileOnDisk::open(dir.file("a.vog"), AccessMode::ReadOnly);
  ASSERT_FALSE(reader);
  EXPECT_TRUE(reader.error().detail().starts_with("Vog file is locked by another process: "));
}

TEST(FileOnDiskTransfer, ReadsAtAndAcrossTheEnd) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  std::vector<std::byte> buffer(8, std::byte{0xAA});

  EXPECT_EQ(*file->read(14, buffer), 0u);
  EXPECT_EQ(*file->read(1000, buffer), 0u);
  EXPECT_EQ(buffer, std::vector<std::byte>(8, std::byte{0xAA}));

  EXPECT_EQ(*file->read(10, buffer), 4u);
  EXPECT_EQ(buffer[0], std::byte{14});
  EXPECT_EQ(buffer[3], std::byte{0});
  EXPECT_EQ(buffer[4], std::byte{0xAA});  // the untouched tail keeps its bytes
}

TEST(FileOnDiskTransfer, WriteBeyondTheEndExtendsWithZeros) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  ASSERT_TRUE(file->write(20, bytes_of("abc")));
  EXPECT_EQ(*file->len(), 23u);
  std::vector<std::byte> buffer(9);
  ASSERT_EQ(*file->read(14, buffer), 9u);
  EXPECT_EQ(buffer, (std::vector<std::byte>{{}, {}, {}, {}, {}, {}, std::byte{'a'}, std::byte{'b'},
                                            std::byte{'c'}}));
}

TEST(FileOnDiskTransfer, GatheredWriteEqualsTheJoinedWrite) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  // More pieces than one system call takes, some of them empty.
  std::vector<std::vector<std::byte>> pieces;
  std::vector<std::byte> joined;
  for (std::size_t i = 0; i < 2500; ++i) {
    pieces.emplace_back(i % 7, static_cast<std::byte>(i));
    joined.insert(joined.end(), pieces.back().begin(), pieces.back().end());
  }
  const std::vector<std::span<const std::byte>> spans(pieces.begin(), pieces.end());
  ASSERT_TRUE(file->write_gathered(100, spans));
  EXPECT_EQ(*file->len(), 100 + joined.size());
  std::vector<std::byte> back(joined.size());
  ASSERT_EQ(*file->read(100, back), joined.size());
  EXPECT_EQ(back, joined);
}

TEST(FileOnDiskTransfer, SetLenTruncatesAndExtends) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  ASSERT_TRUE(file->set_len(4096));
  EXPECT_EQ(*file->len(), 4096u);
  ASSERT_TRUE(file->set_len(20));
  EXPECT_EQ(*file->len(), 20u);
}

TEST(FileOnDiskTransfer, ReadOnlyHandleRefusesWrites) {
  TempDir dir;
  must_create(dir.file("a.vog"));
  auto file = must_open(dir.file("a.vog"), AccessMode::ReadOnly);
  auto wrote = file->write(14, bytes_of("x"));
  ASSERT_FALSE(wrote);
  EXPECT_EQ(wrote.error(), VogError::os(EBADF));
  EXPECT_FALSE(file->set_len(100));
}

TEST(FileOnDiskTransfer, ConcurrentWritersAtDistinctOffsetsDoNotInterfere) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  constexpr int kThreads = 4;
  constexpr int kChunks = 200;
  constexpr std::size_t kChunk = 64;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::byte> chunk(kChunk, static_cast<std::byte>(t + 1));
      for (int c = 0; c < kChunks; ++c) {
        auto offset = 14 + (static_cast<std::uint64_t>(c) * kThreads + static_cast<unsigned>(t)) * kChunk;
        ASSERT_TRUE(file->write(offset, chunk));
        std::vector<std::byte> back(kChunk);
        ASSERT_EQ(*file->read(offset, back), kChunk);
        ASSERT_EQ(back, chunk);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(*file->len(), 14 + kThreads * kChunks * kChunk);
}

TEST(FileOnDiskVerify, FileCutToFiveBytesReportsFourProblemsInOrder) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  ASSERT_TRUE(file->set_len(5));
  EXPECT_EQ(*file->verify(), (std::vector<std::string>{
                                 "L1: file size (5) is less than data_offset (14)",
                                 "L1: file magic 'vogvogvog' is corrupted",
                                 "L1: header format version 0 does not match expected 1",
                                 "L1: data_offset in magic (0) does not match stored data_offset (14)",
                             }));
}

TEST(FileOnDiskVerify, ChangedHeaderFieldsAreReported) {
  TempDir dir;
  auto file = must_create(dir.file("a.vog"));
  EXPECT_EQ(*file->verify(), std::vector<std::string>{});
  ASSERT_TRUE(file->write(9, std::vector<std::byte>{std::byte{3}, std::byte{15}, std::byte{0}}));
  EXPECT_EQ(*file->verify(), (std::vector<std::string>{
                                 "L1: header format version 3 does not match expected 1",
                                 "L1: data_offset in magic (15) does not match stored data_offset (14)",
                             }));
}

TEST(FileOnDiskPaths, NulInPathIsRefusedBeforeTouchingTheDisk) {
  TempDir dir;
  const std::string path = dir.file("a") + std::string("\0b", 2);
  auto created = FileOnDisk::create(path, 14);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().kind(), ErrorKind::InvalidPath);
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")));

  write_all(dir.file("a"), {1});
  auto opened = FileOnDisk::open(path, AccessMode::Writable);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind(), ErrorKind::InvalidPath);
  for (auto result : {os_file_system().remove(path), os_file_system().replace(dir.file("a"), path),
                      os_file_system().sync_directory_of(path)})
    EXPECT_EQ(error_of(result).kind(), ErrorKind::InvalidPath);
  EXPECT_EQ(read_all(dir.file("a")), std::vector<unsigned char>{1});
}

TEST(OsFileSystem, ReplaceRemoveAndSizeWorkOnPaths) {
  TempDir dir;
  FileSystem& fs = os_file_system();
  write_all(dir.file("new"), {1, 2, 3});
  write_all(dir.file("old"), {9});
  ASSERT_TRUE(fs.replace(dir.file("new"), dir.file("old")));
  EXPECT_FALSE(*fs.exists(dir.file("new")));
  EXPECT_EQ(*fs.file_size(dir.file("old")), 3u);
  ASSERT_TRUE(fs.remove(dir.file("old")));
  EXPECT_TRUE(fs.remove(dir.file("old")));  // already gone is fine
  EXPECT_FALSE(*fs.exists(dir.file("old")));
  EXPECT_EQ(error_of(fs.file_size(dir.file("old"))), VogError::os(ENOENT));

  auto file = fs.open(dir.file("plain"), OpenHow::OpenOrCreate, AccessMode::Writable);
  ASSERT_TRUE(file);
  ASSERT_TRUE((*file)->write(4, bytes_of("ab")));
  ASSERT_TRUE((*file)->sync());
  EXPECT_EQ(read_all(dir.file("plain")), (std::vector<unsigned char>{0, 0, 0, 0, 'a', 'b'}));
}

TEST(CopyDistance, StallsOnlyOneToThirtyOneBytesForwardWithinAPage) {
  struct Case {
    std::uint64_t from, to;
    bool stalls;
  };
  for (auto [from, to, stalls] : {Case{14, 16, true}, Case{14, 45, true}, Case{14, 14, false},
                                  Case{14, 46, false}, Case{16, 14, false},
                                  Case{4095, 4096 + 30, true}, Case{4090, 2, true},
                                  Case{0, 4096, false}, Case{0, 8192 + 1, true}})
    EXPECT_EQ(stalling_distance(from, to), stalls) << from << " -> " << to;
}

// Every route moves the same bytes. Bounced sends each transfer at a stalling
// distance through its buffer on any processor: one byte, a page and some, and
// more than one buffer's worth, from and to buffers at several places in a page.
TEST(OsFileSystem, EveryCopyRouteMovesTheSameBytes) {
  TempDir dir;
  constexpr std::size_t kLarge = (std::size_t{256} << 10) + 4096 + 3;
  constexpr std::size_t kPlaces[] = {0, 2, 16, 30, 48};
  std::vector<std::byte> room(kLarge + 3 * 4096);
  std::byte* page = page_boundary_from(room.data());
  std::vector<std::byte> back(kLarge + 3 * 4096);
  std::byte* back_page = page_boundary_from(back.data());
  for (CopyRoute route : {CopyRoute::Direct, CopyRoute::Bounced}) {
    auto fs = make_os_file_system(route);
    for (std::size_t size : {std::size_t{1}, std::size_t{4096 + 7}, kLarge}) {
      for (std::uint64_t offset : {14u, 4096u + 30u}) {
        for (std::size_t i = 0; i < std::size(kPlaces); ++i) {
          const std::string path = dir.file("f");
          ASSERT_TRUE(fs->remove(path));
          auto file = fs->open(path, OpenHow::CreateNew, AccessMode::Writable);
          ASSERT_TRUE(file);
          std::span<std::byte> data(page + kPlaces[i], size);
          for (std::size_t k = 0; k < size; ++k) data[k] = std::byte(k * 131 + i + size);
          ASSERT_TRUE((*file)->write(offset, data));
          const std::vector<unsigned char> stored = read_all(path);
          ASSERT_EQ(stored.size(), offset + size);
          EXPECT_EQ(std::memcmp(stored.data() + offset, data.data(), size), 0);

          // Read back to another place, and across the end: a short count.
          std::span<std::byte> out(back_page + kPlaces[(i + 1) % std::size(kPlaces)], size + 5);
          auto got = (*file)->read(offset, out);
          ASSERT_TRUE(got);
          ASSERT_EQ(*got, size);
          EXPECT_EQ(std::memcmp(out.data(), data.data(), size), 0) << size << " at " << offset;
        }
      }
    }
    // A gathered write of pieces at stalling and passing distances, of more
    // bytes than the bounce buffer holds, arrives in order.
    auto file = fs->open(dir.file("g"), OpenHow::OpenOrCreate, AccessMode::Writable);
    ASSERT_TRUE(file);
    constexpr std::size_t kSizes[] = {40, 4056, 32898, 1, 3966, 70000};
    constexpr std::uint64_t kDistances[] = {2, 16, 30, 48, 0};
    std::vector<std::vector<std::byte>> owners;
    std::vector<std::span<const std::byte>> pieces;
    std::vector<std::byte> expected;
    std::uint64_t at = 14;
    for (std::size_t j = 0; j < 40; ++j) {
      const std::size_t size = kSizes[j % std::size(kSizes)];
      std::byte* piece = page_boundary_from(owners.emplace_back(size + 2 * 4096).data()) +
                         (at - kDistances[j % std::size(kDistances)]) % 4096;
      for (std::size_t k = 0; k < size; ++k) piece[k] = std::byte(k * 7 + j);
      pieces.emplace_back(piece, size);
      expected.insert(expected.end(), piece, piece + size);
      at += size;
    }
    ASSERT_TRUE((*file)->write_gathered(14, pieces));
    const std::vector<unsigned char> stored = read_all(dir.file("g"));
    ASSERT_EQ(stored.size(), 14 + expected.size());
    EXPECT_EQ(std::memcmp(stored.data() + 14, expected.data(), expected.size()), 0);
  }
}

}  // namespace
}  // namespace vog
