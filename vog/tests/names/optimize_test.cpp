// optimize on real files: the rewritten file holds the same tree and bytes in
// less room, and every refusal leaves the original as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "file_patch.hpp"
#include "raw_tree.hpp"
#include "temp_dir.hpp"
#include "vog.hpp"
#include "vog_test_util.hpp"

namespace vog::testing {
namespace {

const std::array<std::byte, 5> kOtherPassword = {std::byte{'o'}, std::byte{'t'}, std::byte{'h'},
                                                 std::byte{'e'}, std::byte{'r'}};

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// What a file holds: every path with its type, bytes, compressed flag and reservation.
struct Node {
  bool dir = false;
  std::string data;
  bool compressed = false;
  std::uint64_t reserved = 0;
  friend bool operator==(const Node&, const Node&) = default;
};
using Snapshot = std::map<std::string, Node>;

void snapshot_dir(Vog& vog, const std::string& dir, Snapshot& out) {
  for (const DirEntry& entry : ok(vog.list(dir))) {
    std::string path = dir.empty() ? entry.name : dir + "/" + entry.name;
    if (entry.entry_type == EntryType::Directory) {
      out[path] = Node{true, {}, false, 0};
      snapshot_dir(vog, path, out);
      continue;
    }
    auto handle = vog.open_stream(path, OpenMode::Read);
    ASSERT_TRUE(handle) << handle.error().to_string();
    Node node;
    node.compressed = ok(vog.is_stream_compressed(*handle));
    node.reserved = ok(vog.stream_reserved(*handle));
    ok(vog.close_stream(*handle));
    node.data = get_stream(vog, path);
    out[path] = node;
  }
}

Snapshot snapshot(const std::string& path, Password password) {
  auto vog = Vog::open(path, OpenMode::Read, password);
  if (!vog) {
    ADD_FAILURE() << vog.error().to_string();
    return {};
  }
  Snapshot out;
  snapshot_dir(**vog, "", out);
  return out;
}

// A tree with every kind of thing optimize must carry or drop, plus free blocks.
void build_tree(Vog& vog) {
  ok(vog.mkdir("docs"));
  ok(vog.mkdir("docs/empty"));
  ok(vog.mkdir("docs/sub"));
  put_stream(vog, "docs/plain", pattern(20000, 1));
  put_stream(vog, "docs/packed", pattern(50000, 2), /*compressed=*/true);
  put_stream(vog, "docs/sub/big", pattern(300000, 3));  // more than one copy buffer
  put_stream(vog, "docs/sub/big packed", pattern(600000, 4), /*compressed=*/true);
  put_stream(vog, "empty", "");
  put_stream(vog, "empty packed", "", /*compressed=*/true);
  put_stream(vog, "junk", pattern(100000, 5));
  auto handle = vog.create_stream("reserved");
  ASSERT_TRUE(handle);
  ok(vog.write(*handle, bytes_of("ten bytes!")));
  ok(vog.reserve(*handle, 100000));
  ok(vog.close_stream(*handle));
  ok(vog.delete_stream("junk"));
}

class Optimize : public ::testing::TestWithParam<bool> {
 protected:
  [[nodiscard]] Password password() const {
    return GetParam() ? Password(kPassword) : std::nullopt;
  }
  void make_file() {
    auto vog = Vog::create(path_, small_blocks(password()));
    ASSERT_TRUE(vog) << vog.error().to_string();
    build_tree(**vog);
  }

  TempDir dir_;
  std::string path_ = dir_.file("file.vog");
  std::string temporary_ = path_ + ".optimize.tmp";
};

TEST_P(Optimize, KeepsTreeAndBytesAndDropsReservations) {
  make_file();
  Snapshot before = snapshot(path_, password());
  std::uint64_t old_size = std::filesystem::file_size(path_);

  auto reclaimed = optimize(path_, password());
  ASSERT_TRUE(reclaimed) << reclaimed.error().to_string();
  std::uint64_t new_size = std::filesystem::file_size(path_);
  EXPECT_LT(new_size, old_size);
  EXPECT_EQ(*reclaimed, old_size - new_size);
  EXPECT_FALSE(exists(temporary_));

  // Reservations shrink to what the length needs, in whole units.
  Snapshot want = before;
  for (auto& [path, node] : want) {
    if (node.dir) continue;
    std::uint64_t unit = node.compressed ? 4096 : 512;
    node.reserved = (node.data.size() + unit - 1) / unit * unit;
  }
  EXPECT_EQ(want.at("reserved").reserved, 512u);
  EXPECT_EQ(snapshot(path_, password()), want);

  auto vog = Vog::open(path_, OpenMode::Read, password());
  ASSERT_TRUE(vog) << vog.error().to_string();
  EXPECT_EQ(ok((*vog)->verify()), std::vector<std::string>{});
  EXPECT_EQ((*vog)->is_encrypted(), GetParam());
  EXPECT_EQ((*vog)->block_size_shift(), 9);
  EXPECT_EQ((*vog)->compressed_block_size_shift(), 12);
}

TEST_P(Optimize, CompactFileGivesZero) {
  make_file();
  ok(optimize(path_, password()));
  auto bytes = read_all(path_);
  Snapshot before = snapshot(path_, password());
  EXPECT_EQ(ok(optimize(path_, password())), 0u);
  EXPECT_EQ(read_all(path_).size(), bytes.size());
  EXPECT_EQ(snapshot(path_, password()), before);
}

TEST_P(Optimize, LeftoverTemporaryFileIsRemovedByTheFailingCall) {
  make_file();
  auto bytes = read_all(path_);
  write_all(temporary_, {'o', 'l', 'd'});
  EXPECT_EQ(error_of(optimize(path_, password())), VogError::already_exists(temporary_));
  EXPECT_FALSE(exists(temporary_));
  EXPECT_EQ(read_all(path_), bytes);
  EXPECT_TRUE(optimize(path_, password()));
}

TEST_P(Optimize, FileOpenElsewhereIsRefused) {
  make_file();
  auto bytes = read_all(path_);
  auto vog = Vog::open(path_, OpenMode::Read, password());
  ASSERT_TRUE(vog);
  VogError refused = error_of(optimize(path_, password()));
  EXPECT_EQ(refused.kind(), ErrorKind::IoError);
  EXPECT_TRUE(refused.to_string().starts_with("I/O error: Vog file is locked by another process: "))
      << refused.to_string();
  EXPECT_FALSE(exists(temporary_));
  vog->reset();
  EXPECT_EQ(read_all(path_), bytes);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, Optimize, ::testing::Bool(),
                         [](const auto& param_info) { return param_info.param ? "Encrypted" : "Plain"; });

// Sets the process's umask while it lives.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(old_); }
  UmaskGuard(const UmaskGuard&) = delete;
  UmaskGuard& operator=(const UmaskGuard&) = delete;

 private:
  mode_t old_;
};

struct stat stat_of(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

// The journal holds the file's bytes and the rewritten file replaces it: both
// get exactly the file's permission bits, whatever the umask, and a process
// that may (root) also gives them its owner and group.
TEST(OptimizeAccess, JournalAndRewrittenFileTakeTheFilesAccessWhateverTheUmask) {
  TempDir dir;
  const std::string path = dir.file("private.vog");
  const bool privileged = ::geteuid() == 0;
  constexpr uid_t kOwner = 4321;
  constexpr gid_t kGroup = 8765;
  for (mode_t mask : {mode_t{022}, mode_t{077}}) {
    for (mode_t mode : {mode_t{0600}, mode_t{0640}}) {
      std::ostringstream trace;
      trace << std::oct << "umask 0" << mask << ", mode 0" << mode;
      SCOPED_TRACE(trace.str());
      UmaskGuard umask(mask);
      std::filesystem::remove(path);
      {
        auto vog = Vog::create(path, small_blocks(std::nullopt));
        ASSERT_TRUE(vog) << vog.error().to_string();
        put_stream(**vog, "gone", pattern(20000, 1));
        ok((*vog)->delete_stream("gone"));
      }
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      if (privileged) {
        ASSERT_EQ(::chown(path.c_str(), kOwner, kGroup), 0);
      }
      auto expect_access = [&](const std::string& file) {
        struct stat info = stat_of(file);
        EXPECT_EQ(info.st_mode & 07777, mode) << file;
        if (privileged) {
          EXPECT_EQ(info.st_uid, kOwner) << file;
          EXPECT_EQ(info.st_gid, kGroup) << file;
        }
      };
      {
        auto vog = Vog::open(path, OpenMode::Write);
        ASSERT_TRUE(vog) << vog.error().to_string();
        put_stream(**vog, "kept", pattern(3000, 2));
        expect_access(path + "-journal");
      }
      EXPECT_GT(ok(optimize(path, std::nullopt)), 0u);
      expect_access(path);
    }
  }
}

TEST(OptimizePasswords, WrongOrMissingPasswordsFailBeforeAnyTemporaryFile) {
  TempDir dir;
  std::string encrypted = dir.file("encrypted.vog");
  std::string plain = dir.file("plain.vog");
  ASSERT_TRUE(Vog::create(encrypted, small_blocks(kPassword)));
  ASSERT_TRUE(Vog::create(plain, small_blocks(std::nullopt)));

  EXPECT_EQ(error_of(optimize(encrypted, std::nullopt)),
            VogError::encryption_required("file is encrypted but no password was provided"));
  EXPECT_EQ(error_of(optimize(encrypted, kOtherPassword)),
            VogError::wrong_password("password verification hash mismatch"));
  EXPECT_EQ(error_of(optimize(plain, kPassword)),
            VogError::io("password provided but file is not encrypted"));
  EXPECT_FALSE(exists(encrypted + ".optimize.tmp"));
  EXPECT_FALSE(exists(plain + ".optimize.tmp"));
}

// What optimize says about damage it meets in the source.
VogError damaged(const VogError& found) {
  return VogError::io("file is damaged (" + found.to_string() +
                      "): use salvage to copy what can be read");
}

// Damage met while copying (a directory cycle, a stream that breaks part-way,
// a stored name mkdir or create_stream would have refused) fails optimize with
// what was found, and leaves the file as it was and no temporary file.
TEST(OptimizeDamaged, FailsNamingTheDamageAndLeavesTheFile) {
  struct Case {
    std::string what;
    std::function<void(const std::string&)> write;
    VogError found;
  };
  // The root holds "x/" (or the bad root_stored), which holds `stored`.
  auto chain = [](const char* root_stored, const char* stored, VogError found) {
    return Case{stored, [=](const std::string& path) { write_entry_chain(path, {root_stored, stored}); },
                std::move(found)};
  };
  const VogError slash = VogError::io("directory stream 1 holds an entry whose name contains '/'");
  const Case cases[] = {
      {"cycle", write_directory_cycle, VogError::io("directory stream 2 is its own ancestor (cycle)")},
      {"unreadable stream", write_broken_stream, VogError::io("scan_run_from_buffer: sentinel at slot 1")},
      chain("/", "y/", VogError::invalid_path("cannot create root directory")),
      chain("x/", "/", VogError::invalid_path("path must not start or end with /")),
      chain("x/", "../", VogError::invalid_path("path cannot contain . or ..")),
      chain("x/", "a//b/", VogError::invalid_path("path contains empty component")),
      chain("x/", "a/b/", slash),
      chain("x/", "a/b", slash),
      chain("x/", "..", VogError::invalid_path("path cannot contain . or ..")),
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = dir.file("damaged.vog");
    c.write(path);
    auto bytes = read_all(path);
    EXPECT_EQ(error_of(optimize(path, std::nullopt)), damaged(c.found));
    EXPECT_FALSE(exists(path + ".optimize.tmp"));
    EXPECT_EQ(read_all(path), bytes);
  }
}

// Both optimize and verify walk a tree this deep without recursion.
TEST(OptimizeDeep, TenThousandLevelsAreCopiedAndVerified) {
  TempDir dir;
  std::string path = dir.file("deep.vog");
  constexpr int kDepth = 10000;  // "d/d/.../d"
  write_entry_chain(path, std::vector<std::string>(kDepth, "d/"));
  ASSERT_TRUE(optimize(path, std::nullopt));
  auto vog = Vog::open(path, OpenMode::Read);
  ASSERT_TRUE(vog);
  std::string deepest = "d";
  for (int level = 1; level < kDepth; ++level) deepest += "/d";
  EXPECT_EQ(ok((*vog)->list(deepest)), std::vector<DirEntry>{});
  EXPECT_EQ(ok((*vog)->verify()), std::vector<std::string>{});
}

}  // namespace
}  // namespace vog::testing
