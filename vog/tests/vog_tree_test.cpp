// Long random sequences of tree operations checked against an in-memory model,
// and threads changing the tree at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "directory_stream.hpp"
#include "path.hpp"
#include "vog_test_util.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::error_of;
using testing::FakeVog;
using testing::get_stream;
using testing::ok;
using testing::put_stream;

const VogError kNoParent = VogError::not_found("parent directory does not exist");

// Every stream ID the tree names, found by walking the stored directory bytes.
void collect_ids(testing::MemoryStreamLayer& layer, StreamId dir, std::vector<StreamId>& ids) {
  ids.push_back(dir);
  auto bytes = layer.contents(dir);
  ASSERT_TRUE(bytes) << "directory stream " << dir << " is missing";
  auto entries = parse_entries(dir, *bytes);
  ASSERT_TRUE(entries) << entries.error().to_string();
  for (const StreamEntry& entry : *entries) {
    if (entry.name.ends_with('/'))
      collect_ids(layer, entry.stream_id, ids);
    else
      ids.push_back(entry.stream_id);
  }
}

// The tree names every stream that exists, once, and nothing else.
void expect_no_orphans_or_dangling(FakeVog& vog) {
  std::vector<StreamId> ids;
  collect_ids(vog.layer(), *deserialize_header(vog.store()->admin_slots[1]), ids);
  std::set<StreamId> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), ids.size()) << "a stream ID is named twice";
  EXPECT_EQ(ok(vog.layer().verify(ids)), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Model

class TreeModel {
 public:
  struct Node {
    bool dir = false;
    std::string data;
  };

  [[nodiscard]] bool is_dir(const std::string& p) const {
    if (p.empty()) return true;
    auto it = nodes_.find(p);
    return it != nodes_.end() && it->second.dir;
  }
  [[nodiscard]] bool is_stream(const std::string& p) const {
    auto it = nodes_.find(p);
    return it != nodes_.end() && !it->second.dir;
  }
  [[nodiscard]] bool exists(const std::string& p) const { return nodes_.contains(p); }
  [[nodiscard]] static std::string parent_of(const std::string& p) {
    return std::string(split_parent_leaf(p).parent);
  }
  [[nodiscard]] bool has_children(const std::string& p) const {
    auto it = nodes_.upper_bound(p + "/");
    return it != nodes_.end() && it->first.starts_with(p + "/");
  }
  [[nodiscard]] std::vector<DirEntry> listing(const std::string& dir) const {
    std::vector<DirEntry> out;
    for (const auto& [path, node] : nodes_)
      if (parent_of(path) == dir)
        out.push_back({std::string(split_parent_leaf(path).leaf),
                       node.dir ? EntryType::Directory : EntryType::Stream});
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) {
      return std::string_view(a.name) < std::string_view(b.name);
    });
    return out;
  }
  [[nodiscard]] std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const auto& [path, node] : nodes_) out.push_back(path);
    return out;
  }
  [[nodiscard]] const std::map<std::string, Node>& nodes() const { return nodes_; }

  void add(const std::string& p, bool dir) { nodes_[p] = Node{dir, {}}; }
  void erase(const std::string& p) { nodes_.erase(p); }
  std::string& data(const std::string& p) { return nodes_.at(p).data; }
  // Renames `from` and everything below it.
  void move(const std::string& from, const std::string& to) {
    std::map<std::string, Node> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == from || it->first.starts_with(from + "/")) {
        moved[to + it->first.substr(from.size())] = std::move(it->second);
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    nodes_.merge(moved);
  }

 private:
  std::map<std::string, Node> nodes_;  // the root is implicit
};

void expect_same_tree(Vog& vog, const TreeModel& model) {
  EXPECT_EQ(ok(vog.list("")), model.listing(""));
  for (const auto& [path, node] : model.nodes()) {
    if (node.dir)
      EXPECT_EQ(ok(vog.list(path)), model.listing(path)) << path;
    else
      EXPECT_EQ(get_stream(vog, path), node.data) << path;
  }
}

// ---------------------------------------------------------------------------
// Random operations

class RandomTree {
 public:
  RandomTree(Vog& vog, TreeModel& model, unsigned seed) : vog_(vog), model_(model), rng_(seed) {}

  void step() {
    switch (pick(10)) {
      case 0: mkdir(); break;
      case 1: rmdir(); break;
      case 2: rename_dir(); break;
      case 3: case 4: create_stream(); break;
      case 5: write(); break;
      case 6: rename_stream(); break;
      case 7: delete_stream(); break;
      case 8: truncate(); break;
      default: list(); break;
    }
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string component() {
    static const char* const kNames[] = {"a", "b", "c", "d", "a b", "\xC3\xA9", "B", "ab"};
    return kNames[pick(std::size(kNames))];
  }
  // Mostly paths near existing ones, so operations meet each other often.
  std::string path() {
    auto existing = model_.paths();
    std::string base;
    if (!existing.empty() && pick(3) != 0) {
      base = existing[pick(existing.size())];
      if (pick(2) == 0) return base;
      if (pick(3) == 0) base = TreeModel::parent_of(base);
    }
    std::string p = base.empty() ? component() : base + "/" + component();
    return p;
  }
  std::string data() {
    std::string out(pick(300), '\0');
    for (char& c : out) c = static_cast<char>('a' + pick(26));
    return out;
  }

  static void expect(const Result<void>& got, const std::optional<VogError>& want,
                     const std::string& what) {
    if (want)
      EXPECT_EQ(error_of(got), *want) << what;
    else
      EXPECT_TRUE(got) << what << ": " << got.error().to_string();
  }

  void mkdir() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParent;
    else if (model_.exists(p)) want = VogError::already_exists(p);
    expect(vog_.mkdir(p), want, "mkdir " + p);
    if (!want) model_.add(p, true);
  }

  void rmdir() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParent;
    else if (!model_.is_dir(p)) want = VogError::not_found(p);
    else if (model_.has_children(p)) want = VogError::not_empty(p);
    expect(vog_.rmdir(p), want, "rmdir " + p);
    if (!want) model_.erase(p);
  }

  void rename_dir() {
    std::string from = path(), to = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(from)) || !model_.is_dir(TreeModel::parent_of(to)))
      want = kNoParent;
    else if (to.starts_with(from + "/"))
      want = VogError::invalid_path("cannot move a directory into its own subtree");
    else if (!model_.is_dir(from)) want = VogError::not_found(from);
    else if (from != to && model_.exists(to)) want = VogError::already_exists(to);
    expect(vog_.rename_dir(from, to), want, "rename_dir " + from + " -> " + to);
    if (!want) model_.move(from, to);
  }

  void create_stream() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParent;
    else if (model_.exists(p)) want = VogError::already_exists(p);
    auto handle = vog_.create_stream(p, pick(2) == 0);
    if (want) {
      EXPECT_EQ(error_of(handle), *want) << "create_stream " << p;
      return;
    }
    ASSERT_TRUE(handle) << "create_stream " << p << ": " << handle.error().to_string();
    model_.add(p, false);
    std::string text = data();
    EXPECT_EQ(ok(vog_.write(*handle, bytes_of(text))), text.size());
    model_.data(p) = text;
    ok(vog_.close_stream(*handle));
  }

  // Opens `p` for writing as the model predicts, or checks the refusal.
  std::optional<StreamHandle> open_for_write(const std::string& p) {
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParent;
    else if (!model_.is_stream(p)) want = VogError::not_found(p);
    auto handle = vog_.open_stream(p, OpenMode::Write);
    if (want) {
      EXPECT_EQ(error_of(handle), *want) << "open_stream " << p;
      return std::nullopt;
    }
    if (!handle) ADD_FAILURE() << "open_stream " << p << ": " << handle.error().to_string();
    return handle ? std::optional(*handle) : std::nullopt;
  }

  void write() {
    std::string p = path();
    auto handle = open_for_write(p);
    if (!handle) return;
    std::string& stored = model_.data(p);
    std::size_t at = pick(stored.size() + 1);
    ok(vog_.seek(*handle, at));
    std::string text = data();
    EXPECT_EQ(ok(vog_.write(*handle, bytes_of(text))), text.size());
    if (stored.size() < at + text.size()) stored.resize(at + text.size());
    stored.replace(at, text.size(), text);
    EXPECT_EQ(ok(vog_.tell(*handle)), at + text.size());
    ok(vog_.close_stream(*handle));
  }

  void truncate() {
    std::string p = path();
    auto handle = open_for_write(p);
    if (!handle) return;
    std::string& stored = model_.data(p);
    std::size_t length = pick(stored.size() + 1);
    ok(vog_.truncate(*handle, length));
    stored.resize(length);
    ok(vog_.close_stream(*handle));
  }

  void rename_stream() {
    std::string from = path(), to = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(from)) || !model_.is_dir(TreeModel::parent_of(to)))
      want = kNoParent;
    else if (!model_.is_stream(from)) want = VogError::not_found(from);
    else if (from != to && model_.exists(to)) want = VogError::already_exists(to);
    expect(vog_.rename_stream(from, to), want, "rename_stream " + from + " -> " + to);
    if (!want) model_.move(from, to);
  }

  void delete_stream() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParent;
    else if (!model_.is_stream(p)) want = VogError::not_found(p);
    expect(vog_.delete_stream(p), want, "delete_stream " + p);
    if (!want) model_.erase(p);
  }

  void list() {
    std::string p = pick(4) == 0 ? std::string() : path();
    auto got = vog_.list(p);
    if (model_.is_dir(p))
      EXPECT_EQ(ok(std::move(got)), model_.listing(p)) << "list " << p;
    else
      EXPECT_EQ(error_of(got), kNoParent) << "list " << p;
  }

  Vog& vog_;
  TreeModel& model_;
  std::mt19937 rng_;
};

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
    expect_no_orphans_or_dangling(vog);
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
  expect_no_orphans_or_dangling(vog);
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
  expect_no_orphans_or_dangling(vog);
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
  expect_no_orphans_or_dangling(vog);
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
  expect_no_orphans_or_dangling(vog);
}

}  // namespace
}  // namespace vog
