// Long random sequences of tree operations checked against an in-memory model,
// and threads changing the tree at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tree_model.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::FakeVog;
using testing::get_stream;
using testing::ok;
using testing::put_stream;
using testing::RandomTree;
using testing::TreeModel;
using testing::expect_same_tree;

TEST(VogModel, RandomOperationsMatchTheModelAndSurviveReopening) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    FakeVog vog;
    TreeModel model;
    RandomTree random(*vog, model, seed);
    for (int i = 0; i < 3000 && !::testing::Test::HasFailure(); ++i) random.step();
    ASSERT_FALSE(::testing::Test::HasFailure());
    EXPECT_GT(model.nodes().size(), 5u);  // the sequence built a tree worth checking
    expect_same_tree(*vog, model);
    EXPECT_EQ(vog.layer().open_handle_count(), 0u);
    vog.reopen(OpenMode::Write);
    expect_same_tree(*vog, model);
    vog.reopen(OpenMode::Read);
    expect_same_tree(*vog, model);
    EXPECT_EQ(ok(vog->verify()), std::vector<std::string>{});
  }
}

// ---------------------------------------------------------------------------
// Threads

// Gives other threads a chance to run between any two stream-layer steps.
void interleave(FakeVog& vog) {
  vog.layer().set_pause([] {
    thread_local std::minstd_rand rng(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    if (rng() % 4 == 0) std::this_thread::yield();
  });
}

std::vector<DirEntry> streams_named(const std::set<std::string>& names) {
  std::vector<DirEntry> out;
  for (const std::string& name : names) out.push_back({name, EntryType::Stream});
  std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) {
    return std::string_view(a.name) < std::string_view(b.name);
  });
  return out;
}

TEST(VogThreads, CreateListAndDeleteInOneAndInSeparateDirectories) {
  constexpr std::size_t kThreads = 4;
  constexpr int kRounds = 150;
  FakeVog vog;
  interleave(vog);
  ok(vog->mkdir("shared"));
  for (std::size_t t = 0; t < kThreads; ++t) ok(vog->mkdir("own" + std::to_string(t)));

  std::vector<std::set<std::string>> shared_names(kThreads), own_names(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(100 + t));
      const std::string own = "own" + std::to_string(t);
      std::set<std::string>& mine_shared = shared_names[t];
      std::set<std::string>& mine = own_names[t];
      for (int round = 0; round < kRounds; ++round) {
        std::string name = "w" + std::to_string(t) + "-" + std::to_string(round);
        put_stream(*vog, "shared/" + name, name);
        mine_shared.insert(name);
        put_stream(*vog, own + "/" + name, name);
        mine.insert(name);
        if (rng() % 3 == 0) {
          auto victim = std::next(mine_shared.begin(), static_cast<long>(rng() % mine_shared.size()));
          ok(vog->delete_stream("shared/" + *victim));
          mine_shared.erase(victim);
        }
        if (rng() % 3 == 0) {
          auto victim = std::next(mine.begin(), static_cast<long>(rng() % mine.size()));
          std::string renamed = *victim + "r";
          ok(vog->rename_stream(own + "/" + *victim, own + "/" + renamed));
          mine.erase(victim);
          mine.insert(renamed);
        }
        // This thread alone changes its own directory, so its listing is exact;
        // in the shared one at least its own names must show.
        EXPECT_EQ(ok(vog->list(own)), streams_named(mine));
        auto shared = ok(vog->list("shared"));
        std::set<std::string> listed;
        for (const DirEntry& entry : shared) listed.insert(entry.name);
        for (const std::string& kept : mine_shared) EXPECT_TRUE(listed.contains(kept)) << kept;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> all_shared;
  for (std::size_t t = 0; t < kThreads; ++t) {
    all_shared.insert(shared_names[t].begin(), shared_names[t].end());
    EXPECT_EQ(ok(vog->list("own" + std::to_string(t))), streams_named(own_names[t]));
  }
  EXPECT_EQ(ok(vog->list("shared")), streams_named(all_shared));
  for (const std::string& name : all_shared) EXPECT_EQ(get_stream(*vog, "shared/" + name), name);
  vog.reopen(OpenMode::Read);
  EXPECT_EQ(ok(vog->list("shared")), streams_named(all_shared));
  EXPECT_EQ(ok(vog->verify()), std::vector<std::string>{});
}

TEST(VogThreads, DirectoriesComeAndGoWhileOthersResolvePaths) {
  constexpr int kThreads = 3;
  FakeVog vog;
  interleave(vog);
  ok(vog->mkdir("deep"));
  ok(vog->mkdir("deep/er"));
  put_stream(*vog, "deep/er/s", "steady");
  std::atomic<bool> stop = false;

  // Readers keep resolving a path that never changes.
  std::thread reader([&] {
    while (!stop) {
      EXPECT_EQ(get_stream(*vog, "deep/er/s"), "steady");
      EXPECT_EQ(ok(vog->list("deep/er")).size(), 1u);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string base = "d" + std::to_string(t);
      for (int round = 0; round < 100; ++round) {
        ok(vog->mkdir(base));
        ok(vog->mkdir(base + "/sub"));
        put_stream(*vog, base + "/sub/s", "x");
        ok(vog->rename_dir(base + "/sub", "deep/" + base));
        EXPECT_EQ(get_stream(*vog, "deep/" + base + "/s"), "x");
        ok(vog->delete_stream("deep/" + base + "/s"));
        ok(vog->rmdir("deep/" + base));
        ok(vog->rmdir(base));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  stop = true;
  reader.join();
  EXPECT_EQ(ok(vog->list("")), (std::vector<DirEntry>{{"deep", EntryType::Directory}}));
  EXPECT_EQ(ok(vog->list("deep")), (std::vector<DirEntry>{{"er", EntryType::Directory}}));
  EXPECT_EQ(ok(vog->verify()), std::vector<std::string>{});
}

TEST(VogThreads, ARemovedDirectorysReusedIdIsNeverEditedAsADirectory) {
  FakeVog vog;
  interleave(vog);
  std::atomic<bool> stop = false;
  // Removes and remakes "x", freeing its stream ID each time.
  std::thread remover([&] {
    while (!stop) {
      (void)vog->mkdir("x");
      (void)vog->rmdir("x");
    }
  });
  // Creates streams inside "x" whenever it exists.
  std::thread creator([&] {
    while (!stop) {
      auto handle = vog->create_stream("x/s");
      if (!handle) {
        ErrorKind kind = handle.error().kind();
        EXPECT_TRUE(kind == ErrorKind::NotFound || kind == ErrorKind::AlreadyExists)
            << handle.error().to_string();
        continue;
      }
      ok(vog->close_stream(*handle));
      ok(vog->delete_stream("x/s"));
    }
  });
  // Streams that pick up freed IDs at once; their bytes must stay theirs.
  for (int round = 0; round < 400; ++round) {
    std::string name = "u" + std::to_string(round % 5);
    std::string text(40, static_cast<char>('a' + round % 26));
    put_stream(*vog, name, text);
    EXPECT_EQ(get_stream(*vog, name), text);
    ok(vog->delete_stream(name));
  }
  stop = true;
  remover.join();
  creator.join();
  EXPECT_EQ(ok(vog->verify()), std::vector<std::string>{});
}

TEST(VogThreads, CrossedMovesNeverBuildACycle) {
  FakeVog vog;
  interleave(vog);
  ok(vog->mkdir("p"));
  ok(vog->mkdir("q"));
  auto mover = [&](const std::string& self, const std::string& other) {
    for (int round = 0; round < 300; ++round) {
      // Each move may fail as the other thread moves things away; none may
      // leave the two directories inside each other.
      (void)vog->rename_dir(self, other + "/" + self);
      (void)vog->rename_dir(other + "/" + self, self);
    }
  };
  std::thread a(mover, "p", "q");
  std::thread b(mover, "q", "p");
  a.join();
  b.join();
  std::vector<std::string> found;
  for (const char* path : {"p", "q", "p/q", "q/p"})
    if (vog->list(path)) found.push_back(path);
  EXPECT_EQ(found.size(), 2u);
  EXPECT_EQ(ok(vog->verify()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vog
