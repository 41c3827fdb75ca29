// The namespace layer on real Vog files: create, reopen, read-only opening.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
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

template <class T>
T must(Result<T> result) {
  if (!result) throw std::runtime_error(result.error().to_string());
  return std::move(*result);
}

// Transactions beside a reader of another open: the reader sees none of one
// before its commit, not even what went to the file early, and its snapshot
// holds the commit off (the transaction stays open) until it ends. A rollback
// takes back every kind of change and closes every handle; a transaction
// begun inside another joins it.
TEST(VogFiles, TransactionsCommitWholeOrNotAtAll) {
  TempDir dir;
  const std::string path = dir.file("tx.vog");
  CreateOptions short_wait;
  short_wait.timeout = std::chrono::milliseconds(200);
  std::shared_ptr<Vog> writer = must(Vog::create(path, short_wait));
  Vog& vog = *writer;
  // Past the bound on pages waiting in memory: rewriting it goes out early.
  const std::string big = pattern(17 << 20, 3), rewritten = pattern(17 << 20, 4);
  ok(vog.mkdir("d"));
  put_stream(vog, "d/kept", "kept");
  put_stream(vog, "d/held", "held");
  put_stream(vog, "gone", "gone");
  put_stream(vog, "big", big);
  const std::vector<DirEntry> committed = {{"big", EntryType::Stream},
                                           {"d", EntryType::Directory},
                                           {"gone", EntryType::Stream}};
  std::shared_ptr<Vog> reader = must(Vog::open(path, OpenMode::Read));
  std::vector<std::byte> buffer(8);
  // A few pieces of "big" as `vog` reads them (a reader reads the journal's
  // records of the early pages at every read: the whole stream would be slow).
  auto pieces_of_big = [&](Vog& from) {
    StreamHandle handle = ok(from.open_stream("big", OpenMode::Read));
    std::string seen;
    for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{9} << 20, big.size() - 5000}) {
      std::vector<std::byte> piece(5000);
      piece.resize(ok(from.read_at(handle, at, piece)));
      seen += testing::text_of(piece);
    }
    ok(from.close_stream(handle));
    return seen;
  };
  const std::string big_pieces =
      big.substr(0, 5000) + big.substr(std::size_t{9} << 20, 5000) + big.substr(big.size() - 5000);

  StreamHandle before = ok(vog.open_stream("d/held", OpenMode::Read));
  Transaction transaction = must(vog.transaction());
  ok(vog.mkdir("new"));
  put_stream(vog, "new/s", "s");
  ok(vog.delete_stream("gone"));
  ok(vog.rename_dir("d", "e"));
  ok(vog.rename_stream("e/kept", "e/moved"));
  StreamHandle open = ok(vog.open_stream("e/moved", OpenMode::Write));
  ok(vog.truncate(open, 2));
  StreamHandle whole = ok(vog.open_stream("big", OpenMode::Write));
  EXPECT_EQ(ok(vog.write(whole, bytes_of(rewritten))), rewritten.size());
  ok(vog.close_stream(whole));
  ok(vog.sync());  // commits nothing inside a transaction
  {
    Transaction inner = must(vog.transaction());
    ok(vog.mkdir("inner"));
    ok(inner.commit());  // joined: the outer one commits or not
  }
  EXPECT_EQ(ok(reader->list("")), committed);
  EXPECT_EQ(get_stream(*reader, "d/kept"), "kept");
  EXPECT_EQ(pieces_of_big(*reader), big_pieces);
  EXPECT_EQ(pieces_of_big(vog).substr(0, 5000), rewritten.substr(0, 5000));
  ok(transaction.roll_back());
  EXPECT_EQ(error_of(transaction.commit()), VogError::io("the transaction has already ended"));
  for (StreamHandle handle : {before, open})
    EXPECT_EQ(error_of(vog.read(handle, buffer)), VogError::not_found("invalid stream handle"));
  EXPECT_EQ(ok(vog.list("")), committed);
  EXPECT_EQ(ok(vog.list("d")),
            (std::vector<DirEntry>{{"held", EntryType::Stream}, {"kept", EntryType::Stream}}));
  EXPECT_EQ(get_stream(vog, "d/kept"), "kept");
  EXPECT_EQ(pieces_of_big(vog), big_pieces);
  EXPECT_EQ(ok(vog.verify()), std::vector<std::string>{});
  EXPECT_EQ(get_stream(*reader, "gone"), "gone");

  Transaction held_off = must(vog.transaction());
  ok(vog.mkdir("a"));
  put_stream(vog, "a/s", "one");
  {
    Snapshot snapshot = must(reader->snapshot());
    EXPECT_EQ(error_of(held_off.commit()).kind(), ErrorKind::LockConflict);
    EXPECT_EQ(ok(reader->list("")), committed);
  }
  ok(held_off.commit());
  EXPECT_EQ(get_stream(*reader, "a/s"), "one");

  {
    Transaction outer = must(vog.transaction());
    ok(vog.mkdir("b"));
    Transaction inner = must(vog.transaction());
    ok(vog.mkdir("b/c"));
    ok(inner.roll_back());  // the whole transaction, at once
    EXPECT_EQ(error_of(vog.stat("b")).kind(), ErrorKind::NotFound);
    EXPECT_EQ(error_of(outer.commit()),
              VogError::io("the transaction was rolled back: nothing was committed"));
  }
  {
    Transaction dropped = must(vog.transaction());
    ok(vog.mkdir("never"));
  }
  EXPECT_EQ(error_of(vog.stat("never")).kind(), ErrorKind::NotFound);
  EXPECT_EQ(error_of(reader->transaction()).kind(), ErrorKind::ReadOnly);
  reader.reset();
  writer.reset();
  OpenOptions off;
  off.durability = Durability::Off;
  EXPECT_EQ(error_of(must(Vog::open(path, OpenMode::Write, off))->transaction()).kind(),
            ErrorKind::IoError);
  EXPECT_EQ(ok(must(Vog::open(path, OpenMode::Read))->list("")),
            (std::vector<DirEntry>{{"a", EntryType::Directory}, {"big", EntryType::Stream},
                                   {"d", EntryType::Directory}, {"gone", EntryType::Stream}}));
}

}  // namespace
}  // namespace vog
