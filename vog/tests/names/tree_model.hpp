// A model of the tree and a driver of random operations checked against it,
// for any Vog: on the in-memory stream layer or on a real file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "path.hpp"
#include "vog_test_util.hpp"

namespace vog::testing {

inline const VogError kNoParentDirectory = VogError::not_found("parent directory does not exist");

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

inline void expect_same_tree(Vog& vog, const TreeModel& model) {
  EXPECT_EQ(ok(vog.list("")), model.listing(""));
  for (const auto& [path, node] : model.nodes()) {
    if (node.dir)
      EXPECT_EQ(ok(vog.list(path)), model.listing(path)) << path;
    else
      EXPECT_EQ(get_stream(vog, path), node.data) << path;
  }
}

// Random operations, each checked against what the model predicts.
class RandomTree {
 public:
  // Streams get up to `max_data` bytes per write.
  RandomTree(Vog& vog, TreeModel& model, unsigned seed, std::size_t max_data = 300)
      : vog_(vog), model_(model), rng_(seed), max_data_(max_data) {}

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
    std::string out(pick(max_data_), '\0');
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
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParentDirectory;
    else if (model_.exists(p)) want = VogError::already_exists(p);
    expect(vog_.mkdir(p), want, "mkdir " + p);
    if (!want) model_.add(p, true);
  }

  void rmdir() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParentDirectory;
    else if (!model_.is_dir(p)) want = VogError::not_found(p);
    else if (model_.has_children(p)) want = VogError::not_empty(p);
    expect(vog_.rmdir(p), want, "rmdir " + p);
    if (!want) model_.erase(p);
  }

  void rename_dir() {
    std::string from = path(), to = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(from)) || !model_.is_dir(TreeModel::parent_of(to)))
      want = kNoParentDirectory;
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
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParentDirectory;
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
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParentDirectory;
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
      want = kNoParentDirectory;
    else if (!model_.is_stream(from)) want = VogError::not_found(from);
    else if (from != to && model_.exists(to)) want = VogError::already_exists(to);
    expect(vog_.rename_stream(from, to), want, "rename_stream " + from + " -> " + to);
    if (!want) model_.move(from, to);
  }

  void delete_stream() {
    std::string p = path();
    std::optional<VogError> want;
    if (!model_.is_dir(TreeModel::parent_of(p))) want = kNoParentDirectory;
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
      EXPECT_EQ(error_of(got), kNoParentDirectory) << "list " << p;
  }

  Vog& vog_;
  TreeModel& model_;
  std::mt19937 rng_;
  std::size_t max_data_;
};

}  // namespace vog::testing
