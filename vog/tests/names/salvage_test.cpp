// salvage on damaged real files: whatever the damage, nothing crashes, every
// stream the damage did not reach comes back byte for byte, and the new file
// verifies clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "blocks_in_file.hpp"
#include "file_on_disk.hpp"
#include "file_patch.hpp"
#include "raw_tree.hpp"
#include "streams_from_blocks.hpp"
#include "temp_dir.hpp"
#include "vog.hpp"
#include "vog_test_util.hpp"

namespace vog::testing {
namespace {


struct Range {
  std::uint64_t begin;
  std::uint64_t end;
};

bool overlaps(const std::vector<Range>& a, const std::vector<Range>& b) {
  for (const Range& x : a)
    for (const Range& y : b)
      if (x.begin < y.end && y.begin < x.end) return true;
  return false;
}

// A read-only file that notes every byte range asked of it.
class RecordingFile final : public FileLayer {
 public:
  RecordingFile(std::unique_ptr<FileLayer> inner, std::vector<Range>& reads)
      : inner_(std::move(inner)), reads_(reads) {}
  Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    reads_.push_back({offset, offset + out.size()});
    return inner_->read(offset, out);
  }
  Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    return inner_->write(offset, data);
  }
  Result<std::uint64_t> len() override { return inner_->len(); }
  Result<void> set_len(std::uint64_t length) override { return inner_->set_len(length); }
  Result<std::vector<std::string>> verify() override { return inner_->verify(); }
  std::uint64_t data_offset() const noexcept override { return inner_->data_offset(); }

 private:
  std::unique_ptr<FileLayer> inner_;
  std::vector<Range>& reads_;
};

// A fresh read-only Vog on `path` whose file reads land in `reads`.
std::shared_ptr<Vog> open_recording(const std::string& path, Password password,
                                    std::vector<Range>& reads) {
  auto file = FileOnDisk::open(path, AccessMode::ReadOnly);
  if (!file) return nullptr;
  auto blocks =
      BlocksInFile::open_on(std::make_unique<RecordingFile>(std::move(*file), reads), password);
  if (!blocks) return nullptr;
  auto streams = StreamsFromBlocks::open_on(std::move(*blocks));
  if (!streams) return nullptr;
  auto vog = Vog::open_on(std::move(*streams), OpenMode::Read);
  return vog ? *vog : nullptr;
}

// One path of the tree as written, and every file byte that reading it from a
// fresh open needs: the header, block 0, descriptors, the directories above it
// and its own tree. Damage outside these bytes cannot change it.
struct Node {
  bool dir = false;
  std::string data;
  bool compressed = false;
  std::vector<Range> needs;
};
using Model = std::map<std::string, Node>;

enum class Kind { Plain, Compressed, Encrypted };

Password password_for(Kind kind) {
  return kind == Kind::Encrypted ? Password(kPassword) : std::nullopt;
}

// A random tree of directories and streams of 0 to 90,000 bytes (trees up to
// three levels deep), some deleted again so that free blocks lie between them.
Model build_file(const std::string& path, Kind kind, unsigned seed) {
  std::mt19937 rng(seed);
  auto vog = Vog::create(path, small_blocks(password_for(kind)));
  if (!vog) {
    ADD_FAILURE() << vog.error().to_string();
    return {};
  }
  Model model;
  model[""].dir = true;
  std::vector<std::string> dirs = {""};
  auto child = [&](int i, const char* stem) {
    const std::string& parent = dirs[rng() % dirs.size()];
    return (parent.empty() ? "" : parent + "/") + stem + std::to_string(i);
  };
  for (int i = 0; i < 5; ++i) {
    std::string dir = child(i, "d");
    ok((*vog)->mkdir(dir));
    model[dir].dir = true;
    dirs.push_back(dir);
  }
  std::vector<std::string> streams;
  for (int i = 0; i < 16; ++i) {
    std::string name = child(i, "s");
    std::size_t size = std::array<std::size_t, 4>{0, rng() % 2000, 2000 + rng() % 20000,
                                                  60000 + rng() % 30000}[rng() % 4];
    bool compressed = kind == Kind::Compressed && rng() % 3 != 0;
    std::string data = pattern(size, static_cast<unsigned>(rng()));
    put_stream(**vog, name, data, compressed);
    model[name] = Node{false, data, compressed, {}};
    streams.push_back(name);
  }
  for (int i = 0; i < 3; ++i) {
    const std::string& gone = streams[rng() % streams.size()];
    if (model.erase(gone) != 0) ok((*vog)->delete_stream(gone));
  }
  vog->reset();

  for (auto& [name, node] : model) {
    auto reader = open_recording(path, password_for(kind), node.needs);
    if (!reader) {
      ADD_FAILURE() << "cannot reopen " << path;
      return {};
    }
    if (node.dir) {
      ok(reader->list(name));
    } else {
      EXPECT_EQ(get_stream(*reader, name), node.data);
      auto handle = reader->open_stream(name, OpenMode::Read);
      ok(reader->close_stream(ok(std::move(handle))));
    }
  }
  return model;
}

// Damages `bytes` at random: whole blocks overwritten, a short run of bytes
// overwritten, or the file cut short. Returns the byte ranges changed.
std::vector<Range> damage(std::vector<unsigned char>& bytes, std::mt19937& rng) {
  std::vector<Range> changed;
  auto scribble = [&](std::uint64_t begin, std::uint64_t end) {
    end = std::min<std::uint64_t>(end, bytes.size());
    for (std::uint64_t at = begin; at < end; ++at) bytes[at] = static_cast<unsigned char>(rng());
    changed.push_back({begin, end});
  };
  const std::uint64_t size = bytes.size();
  switch (rng() % 3) {
    case 0:
      for (auto n = 1 + rng() % 3; n != 0; --n) {
        std::uint64_t block = rng() % ((size - FilePatch::kDataOffset) / 512);
        std::uint64_t at = FilePatch::kDataOffset + block * 512;
        scribble(at, at + 512);
      }
      break;
    case 1: {
      std::uint64_t at = rng() % size;
      scribble(at, at + 1 + rng() % 64);
      break;
    }
    default: {
      std::uint64_t cut = rng() % size;
      bytes.resize(cut);
      // The file holds whole blocks only: a block cut in two is gone whole.
      std::uint64_t lost = cut;
      if (cut > FilePatch::kDataOffset)
        lost -= (cut - FilePatch::kDataOffset) % 512;
      changed.push_back({lost, size});
    }
  }
  return changed;
}

class SalvageRandomDamage : public ::testing::TestWithParam<Kind> {};

TEST_P(SalvageRandomDamage, SavesEveryUntouchedStreamAndVerifiesClean) {
  const Kind kind = GetParam();
  const Password password = password_for(kind);
  const int rounds = kind == Kind::Encrypted ? 15 : 60;
  TempDir dir;
  const std::string original = dir.file("original.vog");
  const std::string damaged = dir.file("damaged.vog");
  const std::string saved = dir.file("saved.vog");
  const Model model = build_file(original, kind, 7 + static_cast<unsigned>(kind));
  ASSERT_FALSE(model.empty());
  const std::vector<unsigned char> pristine = read_all(original);
  std::mt19937 rng(1234 + static_cast<unsigned>(kind));

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<unsigned char> bytes = pristine;
    const std::vector<Range> changed = damage(bytes, rng);
    write_all(damaged, bytes);
    std::filesystem::remove(saved);

    auto report = salvage(damaged, saved, password);
    if (!report) {
      // Only a file that cannot be opened fails, and opening is read by every path.
      EXPECT_FALSE(std::filesystem::exists(saved));
      for (const auto& [name, node] : model)
        EXPECT_TRUE(overlaps(node.needs, changed)) << name << ": " << report.error().to_string();
      continue;
    }
    for (const SalvageLoss& loss : report->lost) {
      auto known = model.find(loss.path);
      EXPECT_TRUE(known == model.end() || overlaps(known->second.needs, changed))
          << "untouched path reported lost: " << loss.path << ": " << loss.reason;
    }
    auto copy = Vog::open(saved, OpenMode::Read, password);
    ASSERT_TRUE(copy) << copy.error().to_string();
    EXPECT_EQ(ok((*copy)->verify()), std::vector<std::string>{});
    EXPECT_EQ((*copy)->block_size_shift(), 9);
    EXPECT_EQ((*copy)->compressed_block_size_shift(), 12);
    EXPECT_EQ((*copy)->is_encrypted(), kind == Kind::Encrypted);
    for (const auto& [name, node] : model) {
      if (overlaps(node.needs, changed)) continue;
      if (node.dir) {
        EXPECT_TRUE((*copy)->list(name)) << name;
        continue;
      }
      EXPECT_EQ(get_stream(**copy, name), node.data) << name;
      auto handle = (*copy)->open_stream(name, OpenMode::Read);
      ASSERT_TRUE(handle) << name;
      EXPECT_EQ(ok((*copy)->is_stream_compressed(*handle)), node.compressed) << name;
      ok((*copy)->close_stream(*handle));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SalvageRandomDamage,
                         ::testing::Values(Kind::Plain, Kind::Compressed, Kind::Encrypted));

TEST(Salvage, StreamFailingPartWayKeepsItsReadablePrefix) {
  TempDir dir;
  std::string path = dir.file("broken.vog");
  const std::string data = write_broken_stream(path);
  const auto before = read_all(path);

  auto report = salvage(path, dir.file("saved.vog"), std::nullopt);
  ASSERT_TRUE(report) << report.error().to_string();
  ASSERT_EQ(report->lost.size(), 1u);
  EXPECT_EQ(report->lost[0].path, "s");
  EXPECT_EQ(report->lost[0].kind, SalvageLossKind::Truncated);
  EXPECT_EQ(report->lost[0].saved_bytes, 512u);
  EXPECT_TRUE(report->lost[0].reason.starts_with("I/O error: ")) << report->lost[0].reason;
  EXPECT_EQ(report->streams_saved, 1u);
  EXPECT_EQ(report->directories_saved, 1u);
  EXPECT_EQ(read_all(path), before);  // the damaged file is only read

  auto copy = Vog::open(dir.file("saved.vog"), OpenMode::Read);
  ASSERT_TRUE(copy);
  EXPECT_EQ(get_stream(**copy, "s"), data.substr(0, 512));
  EXPECT_EQ(get_stream(**copy, "t"), "intact");
}

TEST(Salvage, DirectoryCycleIsReportedAndTheRestSaved) {
  TempDir dir;
  std::string path = dir.file("cycle.vog");
  write_directory_cycle(path);

  auto report = salvage(path, dir.file("saved.vog"), std::nullopt);
  ASSERT_TRUE(report) << report.error().to_string();
  EXPECT_EQ(report->lost, (std::vector<SalvageLoss>{{"d/e", SalvageLossKind::Directory, 0,
                                                      "directory stream 2 is its own ancestor (cycle)"}}));
  auto copy = Vog::open(dir.file("saved.vog"), OpenMode::Read);
  ASSERT_TRUE(copy);
  EXPECT_EQ(ok((*copy)->list("")),
            (std::vector<DirEntry>{{"a", EntryType::Stream}, {"d", EntryType::Directory},
                                   {"z", EntryType::Stream}}));
  EXPECT_EQ(ok((*copy)->list("d")), std::vector<DirEntry>{});
  EXPECT_EQ(get_stream(**copy, "z"), "last");
}

TEST(Salvage, RefusalsCreateNothing) {
  TempDir dir;
  std::string path = dir.file("locked.vog");
  {
    auto vog = Vog::create(path, small_blocks(kPassword));
    ASSERT_TRUE(vog);
  }
  std::string target = dir.file("saved.vog");
  EXPECT_EQ(error_of(salvage(path, target, std::nullopt)).kind(), ErrorKind::EncryptionRequired);
  EXPECT_EQ(error_of(salvage(dir.file("missing.vog"), target, std::nullopt)).kind(),
            ErrorKind::IoError);
  EXPECT_FALSE(std::filesystem::exists(target));
  // An existing target is refused and left as it was.
  write_all(target, {1, 2, 3});
  EXPECT_EQ(error_of(salvage(path, target, kPassword)).kind(), ErrorKind::AlreadyExists);
  EXPECT_EQ(read_all(target), (std::vector<unsigned char>{1, 2, 3}));
}

}  // namespace
}  // namespace vog::testing
