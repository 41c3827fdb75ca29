// Whole-file verification on real files: clean files verify to nothing, and
// each kind of damage, made by patching a closed file, gives exactly its lines.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "file_patch.hpp"
#include "raw_tree.hpp"
#include "temp_dir.hpp"
#include "tree_model.hpp"
#include "vog.hpp"
#include "vog_test_util.hpp"

namespace vog::testing {
namespace {

using Lines = std::vector<std::string>;

constexpr std::uint32_t kBlockSize = 512;

Lines verify_file(const std::string& path, Password password = std::nullopt) {
  auto vog = Vog::open(path, OpenMode::Read, password);
  if (!vog) {
    ADD_FAILURE() << vog.error().to_string();
    return {"<not opened>"};
  }
  return ok((*vog)->verify());
}

std::string orphan(std::uint64_t block) {
  return "L2: block " + std::to_string(block) +
         " is orphaned (not claimed by any stream, not on free list)";
}

// A plain file of 512-byte blocks holding streams "a" (ID 1) and "b" (ID 2) of
// 10 bytes each under the root (ID 0).
class DamagedFile : public ::testing::Test {
 protected:
  void SetUp() override {
    auto vog = Vog::create(path_, small_blocks(std::nullopt));
    ASSERT_TRUE(vog) << vog.error().to_string();
    put_stream(**vog, "a", "0123456789");
    put_stream(**vog, "b", "abcdefghij");
    ASSERT_EQ(ok((*vog)->verify()), Lines{});
  }

  // Adds a stream of `bytes` bytes at `path`, then deletes `doomed` so that the
  // free list is not empty.
  void with_free_blocks(const std::string& doomed, std::size_t bytes) {
    auto vog = Vog::open(path_, OpenMode::Write);
    ASSERT_TRUE(vog) << vog.error().to_string();
    put_stream(**vog, doomed, std::string(bytes, 'x'));
    ok((*vog)->delete_stream(doomed));
    ASSERT_EQ(ok((*vog)->verify()), Lines{});
  }

  TempDir dir_;
  std::string path_ = dir_.file("damaged.vog");
  FilePatch file_{path_, kBlockSize};
};

// Random operations in every kind of file, with reservations on top, and
// runs of them in transactions, some rolled back (which gives back the tree
// they began with); the file stays consistent throughout, from fresh (open or
// closed) on, and reopened for writing or reading it holds the same tree.
TEST(VerifyClean, LongRandomSequenceStaysConsistent) {
  TempDir dir;
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted ? "encrypted" : "plain");
    std::string path = dir.file(encrypted ? "encrypted.vog" : "plain.vog");
    const Password password = encrypted ? Password(kPassword) : std::nullopt;
    {
      auto fresh = Vog::create(path, small_blocks(password));
      ASSERT_TRUE(fresh) << fresh.error().to_string();
      EXPECT_EQ(ok((*fresh)->verify()), Lines{});
    }
    EXPECT_EQ(verify_file(path, password), Lines{});
    auto created = Vog::open(path, OpenMode::Write, password);
    ASSERT_TRUE(created) << created.error().to_string();
    Vog& vog = **created;
    TreeModel model;
    RandomTree random(vog, model, encrypted ? 7u : 11u, /*max_data=*/5000);
    std::mt19937 rng(3);
    std::optional<Transaction> transaction;
    TreeModel before;
    int rolled_back = 0;
    for (int step = 0; step < 400; ++step) {
      if (!transaction && rng() % 20 == 0) {
        auto begun = vog.transaction();
        ASSERT_TRUE(begun) << begun.error().to_string();
        transaction.emplace(std::move(*begun));
        before = model;
      }
      random.step();
      if (transaction && rng() % 10 == 0) {
        if (rng() % 2 == 0) {
          ok(transaction->commit());
        } else {
          ok(transaction->roll_back());
          model = before;
          expect_same_tree(vog, model);
          ++rolled_back;
        }
        transaction.reset();
      }
      if (rng() % 6 == 0) {
        for (const auto& [stream, node] : model.nodes()) {
          if (node.dir || rng() % 3 != 0) continue;
          auto handle = vog.open_stream(stream, OpenMode::Write);
          ASSERT_TRUE(handle) << handle.error().to_string();
          ok(vog.reserve(*handle, node.data.size() + rng() % 20000));
          ok(vog.close_stream(*handle));
        }
      }
      if (step % 100 == 99) {
        ASSERT_EQ(ok(vog.verify()), Lines{}) << "after step " << step;
      }
    }
    if (transaction) ok(transaction->commit());
    EXPECT_GE(rolled_back, 3);
    expect_same_tree(vog, model);
    created->reset();
    for (OpenMode mode : {OpenMode::Write, OpenMode::Read}) {
      auto reopened = Vog::open(path, mode, password);
      ASSERT_TRUE(reopened) << reopened.error().to_string();
      expect_same_tree(**reopened, model);
    }
    EXPECT_EQ(verify_file(path, password), Lines{});
  }
}

TEST(VerifyClean, OpenWritersAreSeenAsOfTheirLastClose) {
  TempDir dir;
  auto vog = Vog::create(dir.file("f.vog"), small_blocks(std::nullopt));
  ASSERT_TRUE(vog) << vog.error().to_string();
  auto handle = (*vog)->create_stream("s", /*compressed=*/true);
  ASSERT_TRUE(handle);
  ok((*vog)->write(*handle, bytes_of("tiny")));
  // The writer's new blocks are not in the table yet: they show up as orphans,
  // and nothing is reported about the stream itself.
  auto lines = ok((*vog)->verify());
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_TRUE(line.ends_with("not on free list)")) << line;
  ok((*vog)->close_stream(*handle));
  EXPECT_EQ(ok((*vog)->verify()), Lines{});
}

// --- the file and block layers ---------------------------------------------

TEST_F(DamagedFile, FileLayerLinesComeFirst) {
  auto vog = Vog::open(path_, OpenMode::Read);
  ASSERT_TRUE(vog) << vog.error().to_string();
  std::uint64_t size = file_.file_size();
  file_.append_byte();
  file_.put(0, 1, 'X');  // the open handle keeps its header, the file does not
  EXPECT_EQ(ok((*vog)->verify()),
            (Lines{"L1: file magic 'vogvogvog' is corrupted",
                   "L2: file size (" + std::to_string(size + 1) + ") does not match expected (" +
                       std::to_string(size) + ") for " +
                       std::to_string(file_.total_blocks()) + " blocks"}));
}

// Every entry of a trunk naming the whole file: the walk stops once the
// extents have named as many blocks as the file holds.
TEST_F(DamagedFile, OverlappingWholeFileExtentsStopTheWalk) {
  with_free_blocks("gone", 3000);
  auto free = file_.free_blocks();
  std::uint32_t trunk = file_.free_head();
  std::uint64_t total = file_.total_blocks();
  for (std::uint32_t k = 0; k < kBlockSize / 8 - 1; ++k) {
    file_.put_u32(file_.block_at(trunk) + 4 + 8 * k, 1);
    file_.put_u32(file_.block_at(trunk) + 8 + 8 * k, static_cast<std::uint32_t>(total - 1));
  }
  Lines want = {"L2: block " + std::to_string(trunk) + " appears multiple times in free list",
                "L2: block 1 appears multiple times in free list",
                "L2: free list extents name more than total_blocks (" + std::to_string(total) +
                    ") blocks (overlap likely)"};
  for (std::uint64_t block = 1; block < total; ++block)
    if (!free.contains(block))
      want.push_back("L2: block " + std::to_string(block) +
                     " is both claimed by a stream and on the free list");
  EXPECT_EQ(verify_file(path_), want);
}

// --- the stream layer ------------------------------------------------------

// 129 blocks of 512 bytes need a tree of depth 2: a top whose entries 0 and 1
// lead to two leaves; the second leaf names the stream's last data block.
struct DeepTree {
  std::uint32_t top = 0;
  std::uint32_t second_leaf = 0;
  std::uint32_t last_data = 0;
};

DeepTree write_deep_stream(const std::string& path, FilePatch& file) {
  {
    auto vog = Vog::open(path, OpenMode::Write);
    EXPECT_TRUE(vog);
    if (vog) put_stream(**vog, "deep", std::string(129 * kBlockSize, 'd'));
  }
  DeepTree tree;
  tree.top = file.top_block_of(3);
  tree.second_leaf = file.get_u32(file.block_at(tree.top) + 4);
  tree.last_data = file.get_u32(file.block_at(tree.second_leaf));
  return tree;
}

TEST_F(DamagedFile, IndexBlockBeyondTheFileIsClaimedNotWalked) {
  auto [top, second_leaf, last_data] = write_deep_stream(path_, file_);
  std::uint64_t total = file_.total_blocks();
  file_.put_u32(file_.block_at(top) + 4, 0x7FFFFFFF);
  Lines want = {"L2: claimed block 2147483647 is >= total_blocks (" + std::to_string(total) + ")"};
  for (std::uint32_t block : std::set<std::uint32_t>{second_leaf, last_data})
    want.push_back(orphan(block));
  EXPECT_EQ(verify_file(path_), want);
}

// A descriptor table claiming a terabyte: reported, and examined only as far
// as a file of this size could hold one.
TEST_F(DamagedFile, DescriptorTableLongerThanTheFile) {
  std::uint64_t total = file_.total_blocks();
  file_.put_u64(file_.block_at(0) + 19, std::uint64_t{1} << 40);
  Lines lines = verify_file(path_);
  std::string want = "L3: Streams-stream: size 1099511627776 needs 2147483648 blocks but the file holds " +
                     std::to_string(total);
  EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end());
}

// --- the namespace layer ---------------------------------------------------

TEST_F(DamagedFile, DirectoryCutToTwoBytes) {
  {
    auto vog = Vog::open(path_, OpenMode::Write);
    ASSERT_TRUE(vog);
    ok((*vog)->mkdir("d"));  // ID 3
    put_stream(**vog, "d/x", "x");
    put_stream(**vog, "d/y", "y");
  }
  file_.put_u64(file_.descriptor_at(3), 2);
  EXPECT_EQ(verify_file(path_),
            (Lines{"L4: failed to read entries from directory stream 3: I/O error: directory "
                   "stream too short for footer",
                   "L3: stream 4 exists in stream descriptors but is not claimed by L4 "
                   "(orphaned stream)",
                   "L3: stream 5 exists in stream descriptors but is not claimed by L4 "
                   "(orphaned stream)"}));
}

TEST_F(DamagedFile, TwoEntriesNamingOneStream) {
  // The root's entry region: "a" (ID 1) at offset 0, "b" (ID 2) at offset 7.
  std::uint64_t root = file_.block_at(file_.top_block_of(0));
  ASSERT_EQ(file_.get_u32(root + 7), 2u);
  file_.put_u32(root + 7, 1);
  EXPECT_EQ(verify_file(path_),
            (Lines{"L4: stream ID 1 appears in multiple directory entries",
                   "L3: stream 2 exists in stream descriptors but is not claimed by L4 "
                   "(orphaned stream)"}));
}

TEST_F(DamagedFile, EntryNamingItsOwnAncestorIsACycle) {
  {
    auto vog = Vog::open(path_, OpenMode::Write);
    ASSERT_TRUE(vog);
    ok((*vog)->mkdir("d"));    // ID 3
    ok((*vog)->mkdir("d/e"));  // ID 4, the only entry of d
  }
  file_.put_u32(file_.block_at(file_.top_block_of(3)), 3);
  EXPECT_EQ(verify_file(path_),
            (Lines{"L4: directory stream 3 is its own ancestor (cycle)",
                   "L4: stream ID 3 appears in multiple directory entries",
                   "L3: stream 4 exists in stream descriptors but is not claimed by L4 "
                   "(orphaned stream)"}));
}

// Names edited on disk into ones no path can reach: each gets one line, its
// directory's path quoted and the name escaped, and everything stays claimed.
// Salvage copies none of them.
TEST_F(DamagedFile, EntriesNoPathCanReachAreReportedAndNotSalvaged) {
  {
    auto vog = Vog::open(path_, OpenMode::Write);
    ASSERT_TRUE(vog);
    ok((*vog)->mkdir("d"));           // ID 3
    ok((*vog)->mkdir("d/e"));         // ID 4
    put_stream(**vog, "d/e/f", "f");  // ID 5
    ok((*vog)->mkdir("d/e/g"));       // ID 6
  }
  // Each entry is the ID (4 bytes), the name's length (2) and the name.
  const std::uint64_t root = file_.block_at(file_.top_block_of(0));
  file_.put(root + 6, 1, '.');                                   // "a" becomes "."
  file_.put(root + 13, 1, 0);                                    // "b" becomes "\0"
  file_.put(file_.block_at(file_.top_block_of(3)) + 6, 1, '/');  // "e/" becomes "//"
  file_.put(file_.block_at(file_.top_block_of(4)) + 13, 1, 0);   // "g/" becomes "\0/"
  auto line = [](const std::string& dir, int id, const std::string& name) {
    return "L4: directory \"" + dir + "\" (stream " + std::to_string(id) +
           ") holds an entry whose name cannot be a path component: \"" + name + "\"";
  };
  EXPECT_EQ(verify_file(path_), (Lines{line("", 0, "."), line("", 0, "\\x00"), line("d", 3, "//"),
                                       line("d//", 4, "\\x00/")}));

  auto report = salvage(path_, dir_.file("saved.vog"), std::nullopt);
  ASSERT_TRUE(report) << report.error().to_string();
  std::vector<std::pair<std::string, SalvageLossKind>> lost;
  for (const SalvageLoss& loss : report->lost) lost.emplace_back(loss.path, loss.kind);
  EXPECT_EQ(lost, (std::vector<std::pair<std::string, SalvageLossKind>>{
                      {".", SalvageLossKind::Stream},
                      {std::string("\0", 1), SalvageLossKind::Stream},
                      {"d//", SalvageLossKind::Directory}}));
  auto saved = Vog::open(dir_.file("saved.vog"), OpenMode::Read);
  ASSERT_TRUE(saved);
  EXPECT_EQ(ok((*saved)->list("")), (std::vector<DirEntry>{{"d", EntryType::Directory}}));
  EXPECT_EQ(ok((*saved)->list("d")), std::vector<DirEntry>{});
}

TEST_F(DamagedFile, UnopenableDirectoryIsStillClaimed) {
  {
    auto vog = Vog::open(path_, OpenMode::Write);
    ASSERT_TRUE(vog);
    ok((*vog)->mkdir("d"));  // ID 3
  }
  // Slot 3 becomes free: opening it fails, and it is then both claimed by L4
  // and off the descriptor free list.
  file_.put_u32(file_.descriptor_at(3) + 8, 0xFFFFFFFF);
  EXPECT_EQ(verify_file(path_),
            (Lines{"L4: failed to open directory stream 3 for verification: not found: stream 3",
                   "L3: stream 3 claimed by L4 but not found in stream descriptors",
                   "L3: slot 3 is marked free but not reachable from free list"}));
}

// --- the headers and block 0 -----------------------------------------------

// Each byte of the headers and of the part of block 0 in use (the free-list
// head, the slot registry, the stream table's descriptor and the root
// directory's ID) changed on its own to a few values: opening the file for
// writing and changing it either fails or leaves the file small, and verify
// then gives a bounded report. A number that damage makes huge must be
// refused, never make the file grow to it.
class HeaderByteChange : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(HeaderByteChange, FailsOrStaysSmallAndVerifies) {
  const auto [compressed, shift] = GetParam();
  // Block 0 starts at 14 in a plain file; its slot records end 53 bytes in,
  // and the rest of it is never read.
  constexpr std::size_t kEnd = FilePatch::kDataOffset + 53;
  constexpr std::uint64_t kGrowthBound = std::uint64_t{64} << 20;
  TempDir dir;
  const std::string path = dir.file("f.vog");
  {
    CreateOptions options;
    options.block_size_shift = static_cast<std::uint8_t>(shift);
    auto vog = Vog::create(path, options);
    ASSERT_TRUE(vog) << vog.error().to_string();
    ok((*vog)->mkdir("d"));
    put_stream(**vog, "d/s", pattern(3000, 1), compressed);
    put_stream(**vog, "gone", pattern(9000, 2), compressed);
    put_stream(**vog, "t", "tail", compressed);
    ok((*vog)->delete_stream("gone"));  // so that the free list has a trunk
  }
  const std::vector<unsigned char> pristine = read_all(path);
  for (std::size_t at = 0; at < kEnd; ++at) {
    std::set<unsigned char> values = {0x00, 0x01, 0x80, 0xFF,
                                      static_cast<unsigned char>(pristine[at] ^ 0xFF)};
    values.erase(pristine[at]);
    for (unsigned char value : values) {
      SCOPED_TRACE("byte " + std::to_string(at) + " set to " + std::to_string(value));
      std::vector<unsigned char> bytes = pristine;
      bytes[at] = value;
      write_all(path, bytes);
      std::filesystem::remove(path + "-journal");
      if (auto vog = Vog::open(path, OpenMode::Write)) {
        (void)(*vog)->mkdir("z");
        if (auto handle = (*vog)->create_stream("z/n", compressed)) {
          (void)(*vog)->write(*handle, bytes_of(pattern(5000, 3)));
          (void)(*vog)->close_stream(*handle);
        }
        (void)(*vog)->sync();
      }
      ASSERT_LE(std::filesystem::file_size(path), kGrowthBound);
      // Write, so that what a failed change left in the journal is rolled back.
      if (auto vog = Vog::open(path, OpenMode::Write)) {
        auto lines = (*vog)->verify(100);
        if (lines) {
          EXPECT_LE(lines->size(), 101u);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, HeaderByteChange,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(9, 12)));

// Caps the address space at what the process maps now plus `extra` bytes.
// Sanitizers map memory of their own as they go, so under them nothing is capped.
void limit_address_space([[maybe_unused]] std::uint64_t extra) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  std::uint64_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  std::uint64_t limit = pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) + extra;
  rlimit cap{limit, limit};
  ::setrlimit(RLIMIT_AS, &cap);
#endif
}

// A small clean file with 8 GiB of sparse tail that the block layer counts as
// blocks of its own: one orphan per tail block, 2^21 problems in all.
TEST(VerifyBounded, HugeSparseTailKeepsTheFirstLinesAndSumsUpTheRest) {
  TempDir dir;
  std::string path = dir.file("tail.vog");
  {
    auto vog = Vog::create(path);  // blocks of 4096 bytes
    ASSERT_TRUE(vog) << vog.error().to_string();
    put_stream(**vog, "a", std::string(90000, 'a'));
  }
  FilePatch file(path, 4096);
  const std::uint64_t first = file.total_blocks();
  constexpr std::uint64_t kTail = std::uint64_t{1} << 21;
  std::filesystem::resize_file(path, file.file_size() + kTail * 4096);
  auto summary = [&](std::uint64_t kept) {
    return "verify: " + std::to_string(kTail - kept) +
           " more problems not listed (the report keeps " + std::to_string(kept) + " lines): " +
           std::to_string(kTail - kept) +
           " like \"L2: block {} is orphaned (not claimed by any stream, not on free list)\"";
  };

  // One line per problem would take hundreds of MiB; the report gets 64.
  EXPECT_EXIT(
      {
        limit_address_space(std::uint64_t{64} << 20);
        auto vog = Vog::open(path, OpenMode::Read);
        auto lines = vog ? (*vog)->verify() : Result<Lines>(Lines{});
        bool good = lines && lines->size() == 10001 && lines->front() == orphan(first) &&
                    (*lines)[9999] == orphan(first + 9999) && lines->back() == summary(10000);
        std::fprintf(stderr, "%s\n", good ? "as expected" : "unexpected report");
        std::_Exit(good ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "as expected");

  auto vog = Vog::open(path, OpenMode::Read);
  ASSERT_TRUE(vog) << vog.error().to_string();
  EXPECT_EQ(ok((*vog)->verify(2)), (Lines{orphan(first), orphan(first + 1), summary(2)}));
}

}  // namespace
}  // namespace vog::testing
