// The namespace layer on real Vog files: create, reopen, read-only opening.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "raw_tree.hpp"
#include "temp_dir.hpp"
#include "vog.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::error_of;
using testing::get_stream;
using testing::ok;
using testing::pattern;
using testing::put_stream;
using testing::TempDir;

TEST(VogFiles, CreateReopenAndReadOnly) {
  TempDir dir;
  const std::string path = dir.file("tree.vog");
  const std::string big = pattern(300000, 1);
  {
    auto file = Vog::create(path);
    ASSERT_TRUE(file) << file.error().to_string();
    Vog& vog = **file;
    EXPECT_TRUE(ok(vog.list("")).empty());
    ok(vog.mkdir("docs"));
    ok(vog.mkdir("docs/old"));
    put_stream(vog, "docs/plain", big);
    put_stream(vog, "docs/packed", big, /*compressed=*/true);
    put_stream(vog, "docs/old/empty", "");
    StreamHandle open = ok(vog.create_stream("left-open"));
    ok(vog.write(open, bytes_of("written, closed by teardown")));
  }
  {
    auto file = Vog::open(path, OpenMode::Write);
    ASSERT_TRUE(file) << file.error().to_string();
    Vog& vog = **file;
    EXPECT_EQ(ok(vog.list("")),
              (std::vector<DirEntry>{{"docs", EntryType::Directory}, {"left-open", EntryType::Stream}}));
    EXPECT_EQ(get_stream(vog, "docs/plain"), big);
    EXPECT_EQ(get_stream(vog, "docs/packed"), big);
    EXPECT_EQ(get_stream(vog, "left-open"), "written, closed by teardown");
    StreamHandle packed = ok(vog.open_stream("docs/packed", OpenMode::Write));
    EXPECT_TRUE(ok(vog.is_stream_compressed(packed)));
    ok(vog.seek(packed, 1000));
    ok(vog.write(packed, bytes_of("patched")));
    ok(vog.truncate(packed, 200000));
    ok(vog.close_stream(packed));
    ok(vog.rename_dir("docs/old", "old"));
    ok(vog.rename_stream("left-open", "old/kept"));
  }
  std::string expected = big.substr(0, 200000);
  expected.replace(1000, 7, "patched");
  auto file = Vog::open(path, OpenMode::Read);
  ASSERT_TRUE(file) << file.error().to_string();
  Vog& vog = **file;
  EXPECT_FALSE(vog.is_writable());
  EXPECT_EQ(get_stream(vog, "docs/packed"), expected);
  EXPECT_EQ(get_stream(vog, "old/kept"), "written, closed by teardown");
  EXPECT_EQ(ok(vog.list("old")),
            (std::vector<DirEntry>{{"empty", EntryType::Stream}, {"kept", EntryType::Stream}}));
  EXPECT_EQ(ok(vog.verify()), std::vector<std::string>{});
}

TEST(VogFiles, ShiftsAreCheckedBeforeAnyFileExists) {
  TempDir dir;
  const std::string path = dir.file("never.vog");
  CreateOptions options;
  options.block_size_shift = 12;
  options.compressed_block_size_shift = 11;
  EXPECT_EQ(error_of(Vog::create(path, options)),
            VogError::io("compressed_block_size_shift (11) must be >= block_size_shift (12)"));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(VogFiles, ThreadsShareOneFile) {
  TempDir dir;
  const std::string path = dir.file("threads.vog");
  constexpr int kThreads = 4;
  std::vector<std::set<std::string>> kept(kThreads);
  {
    auto file = Vog::create(path);
    ASSERT_TRUE(file) << file.error().to_string();
    Vog& vog = **file;
    ok(vog.mkdir("shared"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string own = "own" + std::to_string(t);
        ok(vog.mkdir(own));
        std::set<std::string>& mine = kept[static_cast<std::size_t>(t)];
        for (int round = 0; round < 60; ++round) {
          std::string name = std::to_string(t) + "-" + std::to_string(round);
          put_stream(vog, "shared/" + name, pattern(static_cast<std::size_t>(round) * 97, 2));
          put_stream(vog, own + "/" + name, name, round % 2 == 0);
          mine.insert(name);
          if (round % 3 == 0) {
            std::string victim = *mine.begin();
            ok(vog.delete_stream("shared/" + victim));
            ok(vog.delete_stream(own + "/" + victim));
            mine.erase(victim);
          }
          EXPECT_EQ(ok(vog.list(own)).size(), mine.size());
          EXPECT_TRUE(vog.list("shared"));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  auto file = Vog::open(path, OpenMode::Read);
  ASSERT_TRUE(file) << file.error().to_string();
  std::size_t shared = 0;
  for (int t = 0; t < kThreads; ++t) {
    const std::set<std::string>& mine = kept[static_cast<std::size_t>(t)];
    shared += mine.size();
    std::vector<DirEntry> want;
    for (const std::string& name : mine) want.push_back({name, EntryType::Stream});
    EXPECT_EQ(ok((*file)->list("own" + std::to_string(t))), want);
    for (const std::string& name : mine) {
      EXPECT_EQ(get_stream(**file, "own" + std::to_string(t) + "/" + name), name);
      std::size_t round = std::stoul(name.substr(name.find('-') + 1));
      EXPECT_EQ(get_stream(**file, "shared/" + name), pattern(round * 97, 2));
    }
  }
  EXPECT_EQ(ok((*file)->list("shared")).size(), shared);
  EXPECT_EQ(ok((*file)->verify()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vog
