// Crashes at random moments of random workloads, on a file system that forgets
// what a killed process or a power loss would: after each one the reopened
// file must hold exactly the tree of a commit point (the last one, or the one
// in flight), and verify must find nothing.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "crash_file_system.hpp"
#include "tree_model.hpp"

namespace vog {
namespace {

using testing::bytes_of;
using testing::CrashFileSystem;
using testing::text_of;
using testing::TreeModel;

constexpr const char* kPath = "/crash.vog";

enum class Kind { Plain, Compressed, Encrypted };

struct CrashCase {
  Kind kind;
  Durability level;
  int crashes;
};

std::string case_name(const ::testing::TestParamInfo<CrashCase>& info) {
  const char* kinds[] = {"Plain", "Compressed", "Encrypted"};
  return std::string(kinds[static_cast<int>(info.param.kind)]) +
         (info.param.level == Durability::Full ? "Full" : "Process");
}

// Whether `vog` holds exactly the tree of `model`, without recording failures.
bool same_tree(Vog& vog, const TreeModel& model) {
  auto root = vog.list("");
  if (!root || *root != model.listing("")) return false;
  for (const auto& [path, node] : model.nodes()) {
    if (node.dir) {
      auto listed = vog.list(path);
      if (!listed || *listed != model.listing(path)) return false;
      continue;
    }
    auto handle = vog.open_stream(path, OpenMode::Read);
    if (!handle) return false;
    std::string data;
    std::vector<std::byte> buffer(8192);
    for (;;) {
      auto got = vog.read(*handle, buffer);
      if (!got) return false;
      if (*got == 0) break;
      data += text_of(std::span(buffer).first(*got));
    }
    if (!vog.close_stream(*handle) || data != node.data) return false;
  }
  return true;
}

// Random changes whose outcome the model knows beforehand; every call that
// ends in a commit first says which tree it will commit.
class Workload {
 public:
  Workload(std::shared_ptr<Vog>& vog, TreeModel& confirmed, std::optional<TreeModel>& pending, std::mt19937& rng,
           Kind kind)
      : vog_(vog), confirmed_(confirmed), pending_(pending), rng_(rng), kind_(kind) {}

  // What the call that failed said.
  std::string failure;

  // False once a call failed; the test then checks that it was the crash.
  bool step() {
    TreeModel next = confirmed_;
    auto dirs = paths(true), streams = paths(false);
    // A bounded tree keeps every check after a crash cheap.
    const bool shrink = confirmed_.nodes().size() > 24;
    switch (shrink ? 5 + 2 * pick(2) : pick(10)) {
      case 0: {
        std::string p = child_of(pick_from(dirs));
        next.add(p, true);
        return commit_point(next, [&] { return ok(vog_->mkdir(p)); });
      }
      case 1: case 2: return create(next, child_of(pick_from(dirs)));
      case 3: if (!streams.empty()) return rewrite(next, pick_from(streams)); break;
      case 4: if (!streams.empty()) return truncate(next, pick_from(streams)); break;
      case 5: if (!streams.empty()) {
        std::string p = pick_from(streams);
        next.erase(p);
        return commit_point(next, [&] { return ok(vog_->delete_stream(p)); });
      } break;
      case 6: {
        std::vector<std::string> movable = pick(2) == 0 ? streams : paths(true);
        std::erase(movable, std::string());
        if (movable.empty()) break;
        std::string from = pick_from(movable), to = child_of(pick_from(dirs));
        if (to.starts_with(from + "/")) break;
        bool dir = confirmed_.is_dir(from);
        next.move(from, to);
        return commit_point(next, [&] {
          return dir ? ok(vog_->rename_dir(from, to))
                     : ok(vog_->rename_stream(from, to));
        });
      }
      case 7: {
        if (shrink && !streams.empty()) {
          std::string p = pick_from(streams);
          next.erase(p);
          return commit_point(next, [&] { return ok(vog_->delete_stream(p)); });
        }
        for (const std::string& d : dirs)
          if (!d.empty() && !confirmed_.has_children(d)) {
            next.erase(d);
            return commit_point(next, [&] { return ok(vog_->rmdir(d)); });
          }
        break;
      }
      case 8: if (!streams.empty()) return sync_while_open(next, pick_from(streams)); break;
      default: return in_transaction(next, dirs);
    }
    return true;
  }

  // Drops the transaction a failed call left open; the test then drops the Vog.
  void abandon() { transaction_.reset(); }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::string pick_from(const std::vector<std::string>& from) { return from[pick(from.size())]; }

  std::vector<std::string> paths(bool dirs) {
    std::vector<std::string> out;
    if (dirs) out.emplace_back();
    for (const auto& [path, node] : confirmed_.nodes())
      if (node.dir == dirs) out.push_back(path);
    return out;
  }
  std::string child_of(const std::string& dir) {
    std::string name = "n" + std::to_string(counter_++);
    return dir.empty() ? name : dir + "/" + name;
  }
  std::string data() {
    // Now and then longer than a compressed block, so trees grow levels.
    std::size_t size = pick(4) == 0 ? pick(20000) : pick(700);
    std::string out(size, '\0');
    char base = static_cast<char>('a' + pick(26));
    for (std::size_t i = 0; i < size; ++i)
      out[i] = pick(8) == 0 ? static_cast<char>('a' + pick(26)) : base;
    return out;
  }
  bool compressed() {
    if (kind_ == Kind::Plain) return false;
    return kind_ == Kind::Compressed || pick(2) == 0;
  }

  template <class T>
  bool ok(const Result<T>& result) {
    if (!result) failure = result.error().to_string();
    return result.has_value();
  }

  template <class Call>
  bool commit_point(const TreeModel& next, Call call) {
    pending_ = next;
    if (!call()) return false;
    confirmed_ = next;
    pending_.reset();
    return true;
  }

  bool write_at(StreamHandle handle, std::string& stored, std::size_t at, const std::string& text) {
    if (!ok(vog_->seek(handle, at)) || !ok(vog_->write(handle, bytes_of(text)))) return false;
    if (stored.size() < at + text.size()) stored.resize(at + text.size());
    stored.replace(at, text.size(), text);
    return true;
  }

  bool create(TreeModel& next, const std::string& p) {
    next.add(p, false);
    std::optional<StreamHandle> handle;
    if (!commit_point(next, [&] {
          auto made = vog_->create_stream(p, compressed());
          if (made) handle = *made;
          return ok(made);
        }))
      return false;
    if (!write_at(*handle, next.data(p), 0, data())) return false;
    return commit_point(next, [&] { return ok(vog_->close_stream(*handle)); });
  }

  bool rewrite(TreeModel& next, const std::string& p) {
    auto handle = vog_->open_stream(p, OpenMode::Write);
    if (!ok(handle)) return false;
    std::string& stored = next.data(p);
    if (!write_at(*handle, stored, pick(stored.size() + 1), data())) return false;
    return commit_point(next, [&] { return ok(vog_->close_stream(*handle)); });
  }

  bool truncate(TreeModel& next, const std::string& p) {
    auto handle = vog_->open_stream(p, OpenMode::Write);
    if (!ok(handle)) return false;
    std::string& stored = next.data(p);
    std::size_t length = pick(stored.size() + 1);
    if (!ok(vog_->truncate(*handle, length))) return false;
    stored.resize(length);
    return commit_point(next, [&] { return ok(vog_->close_stream(*handle)); });
  }

  // A commit while a writable handle is open saves what it wrote so far.
  bool sync_while_open(TreeModel& next, const std::string& p) {
    auto handle = vog_->open_stream(p, OpenMode::Write);
    if (!ok(handle)) return false;
    std::string& stored = next.data(p);
    if (!write_at(*handle, stored, stored.size(), data())) return false;
    if (!commit_point(next, [&] { return ok(vog_->sync()); })) return false;
    std::size_t length = pick(stored.size() + 1);
    if (!ok(vog_->truncate(*handle, length))) return false;
    stored.resize(length);
    if (!write_at(*handle, stored, pick(stored.size() + 1), data())) return false;
    return commit_point(next, [&] { return ok(vog_->close_stream(*handle)); });
  }

  // A few changes in one transaction, then one commit point for them all; now
  // and then a rollback instead, of which nothing may survive.
  bool in_transaction(TreeModel& next, const std::vector<std::string>& dirs) {
    auto begun = vog_->transaction();
    if (!ok(begun)) return false;
    transaction_.emplace(std::move(*begun));
    for (std::size_t changes = 2 + pick(3); changes > 0; --changes) {
      std::vector<std::string> streams;
      for (const auto& [path, node] : next.nodes())
        if (!node.dir) streams.push_back(path);
      const std::string p = child_of(pick_from(dirs));
      switch (streams.empty() ? pick(2) : pick(4)) {
        case 0:
          next.add(p, true);
          if (!ok(vog_->mkdir(p))) return false;
          break;
        case 1: {
          next.add(p, false);
          auto handle = vog_->create_stream(p, compressed());
          if (!ok(handle) || !write_at(*handle, next.data(p), 0, data()) ||
              !ok(vog_->close_stream(*handle)))
            return false;
          break;
        }
        case 2: {
          const std::string victim = pick_from(streams);
          next.erase(victim);
          if (!ok(vog_->delete_stream(victim))) return false;
          break;
        }
        default: {
          const std::string target = pick_from(streams);
          auto handle = vog_->open_stream(target, OpenMode::Write);
          std::string& stored = next.data(target);
          if (!ok(handle) || !write_at(*handle, stored, pick(stored.size() + 1), data()) ||
              !ok(vog_->close_stream(*handle)))
            return false;
        }
      }
    }
    if (pick(6) == 0) return ok(std::exchange(transaction_, std::nullopt)->roll_back());
    return commit_point(next, [&] {
      return ok(transaction_->commit()) && (transaction_.reset(), true);
    });
  }

  std::shared_ptr<Vog>& vog_;  // replaced by the test after each crash
  std::optional<Transaction> transaction_;  // open, or left open by a failed call
  TreeModel& confirmed_;
  std::optional<TreeModel>& pending_;
  std::mt19937& rng_;
  Kind kind_;
  int counter_ = 0;
};

class CrashTest : public ::testing::TestWithParam<CrashCase> {
 protected:
  CreateOptions create_options(CrashFileSystem& fs) {
    CreateOptions options;
    options.block_size_shift = 9;
    options.compressed_block_size_shift = 11;
    options.durability = GetParam().level;
    options.file_system = &fs;
    if (GetParam().kind == Kind::Encrypted) options.password = password_;
    return options;
  }
  Result<std::shared_ptr<Vog>> open_vog(CrashFileSystem& fs) {
    OpenOptions options;
    if (GetParam().kind == Kind::Encrypted) options.password = password_;
    options.durability = GetParam().level;
    options.file_system = &fs;
    return Vog::open(kPath, OpenMode::Write, options);
  }

  std::vector<std::byte> password_ = bytes_of(kPassword);
  static constexpr const char* kPassword = "secret";
};

TEST_P(CrashTest, ReopenFindsTheLastCommitAndVerifyIsEmpty) {
  const CrashCase& param = GetParam();
  CrashFileSystem fs;
  std::mt19937 rng(static_cast<unsigned>(param.crashes) * 31 + static_cast<unsigned>(param.kind));
  const CreateOptions options = create_options(fs);
  // A crash while the file is made leaves no file, or the new empty one.
  std::shared_ptr<Vog> vog;
  for (std::uint64_t changes = 1; !vog; ++changes) {
    fs.crash_after(changes);
    ::testing::internal::CaptureStderr();
    auto created = Vog::create(kPath, options);
    (void)::testing::internal::GetCapturedStderr();
    if (created) {
      vog = std::move(*created);
      break;
    }
    ASSERT_TRUE(fs.crashed()) << created.error().to_string();
    fs.restart(param.level, rng);
    if (!*fs.exists(kPath)) continue;
    auto reopened = open_vog(fs);
    ASSERT_TRUE(reopened) << "crash after " << changes << " changes: " << reopened.error().to_string();
    EXPECT_EQ(*(*reopened)->list(""), std::vector<DirEntry>{});
    EXPECT_EQ(*(*reopened)->verify(), std::vector<std::string>{});
    reopened->reset();
    ASSERT_TRUE(fs.remove(kPath));
  }

  TreeModel confirmed;
  std::optional<TreeModel> pending;
  Workload workload(vog, confirmed, pending, rng, param.kind);
  for (int crash = 0; crash < param.crashes; ++crash) {
    fs.crash_after(1 + rng() % 400);
    while (workload.step()) {
    }
    ASSERT_TRUE(fs.crashed()) << "a call failed without a crash: " << workload.failure;
    ::testing::internal::CaptureStderr();  // the dying handle's teardown complains
    workload.abandon();
    vog.reset();
    (void)::testing::internal::GetCapturedStderr();
    fs.restart(param.level, rng);

    auto reopened = open_vog(fs);
    ASSERT_TRUE(reopened) << "crash " << crash << ": " << reopened.error().to_string();
    vog = std::move(*reopened);
    if (pending && same_tree(*vog, *pending)) {
      confirmed = *pending;
    } else {
      ASSERT_TRUE(same_tree(*vog, confirmed)) << "crash " << crash << " lost committed state";
    }
    pending.reset();
    auto report = vog->verify();
    ASSERT_TRUE(report) << report.error().to_string();
    ASSERT_EQ(*report, std::vector<std::string>{}) << "crash " << crash;
  }
}

// A change that fails on a full disk as it grows a stream gives back what it
// allocated before the next commit and spoils nothing the stream held: once
// there is room again, verify finds no orphaned block and every stream reads
// whole.
TEST_P(CrashTest, AFullDiskLeavesNothingBehind) {
  const CrashCase& param = GetParam();
  std::mt19937 rng(static_cast<unsigned>(param.crashes) * 7 + static_cast<unsigned>(param.kind));
  for (int trial = 0; trial < 40; ++trial) {
    CrashFileSystem fs;
    const CreateOptions options = create_options(fs);
    auto created = Vog::create(kPath, options);
    ASSERT_TRUE(created) << created.error().to_string();
    std::shared_ptr<Vog> vog = std::move(*created);
    fs.limit_length(fs.contents(kPath).size() + rng() % 150000);
    std::vector<StreamHandle> handles;
    bool failed = false;
    for (int step = 0; step < 400 && !failed; ++step) {
      if (handles.size() < 4) {
        auto made = vog->create_stream("s" + std::to_string(handles.size()),
                                       param.kind == Kind::Compressed && step % 2 == 1);
        if (made) handles.push_back(*made);
        failed = !made;
        continue;
      }
      const StreamHandle handle = handles[rng() % handles.size()];
      const std::vector<std::byte> data(rng() % 9000, std::byte(rng()));
      switch (rng() % 3) {
        case 0: failed = !vog->write_at(handle, rng() % 30000, data); break;
        case 1: failed = !vog->resize(handle, *vog->stream_length(handle) + rng() % 9000); break;
        default: failed = !vog->reserve(handle, rng() % 40000); break;
      }
    }
    ASSERT_TRUE(failed) << "the disk never filled";
    fs.limit_length(0);
    for (StreamHandle handle : handles) ASSERT_TRUE(vog->close_stream(handle));
    ASSERT_TRUE(vog->sync());
    auto report = vog->verify();
    ASSERT_TRUE(report) << report.error().to_string();
    ASSERT_EQ(*report, std::vector<std::string>{}) << "trial " << trial;
    for (std::size_t i = 0; i < handles.size(); ++i) {
      auto handle = vog->open_stream("s" + std::to_string(i), OpenMode::Read);
      ASSERT_TRUE(handle);
      std::vector<std::byte> whole(*vog->stream_length(*handle));
      auto got = vog->read_at(*handle, 0, whole);
      ASSERT_TRUE(got) << "trial " << trial << ": " << got.error().to_string();
      EXPECT_EQ(*got, whole.size());
      ASSERT_TRUE(vog->close_stream(*handle));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Workloads, CrashTest,
    ::testing::Values(CrashCase{Kind::Plain, Durability::Process, 700},
                      CrashCase{Kind::Compressed, Durability::Process, 500},
                      CrashCase{Kind::Encrypted, Durability::Process, 60},
                      CrashCase{Kind::Plain, Durability::Full, 700},
                      CrashCase{Kind::Compressed, Durability::Full, 500},
                      CrashCase{Kind::Encrypted, Durability::Full, 60}),
    case_name);

}  // namespace
}  // namespace vog
