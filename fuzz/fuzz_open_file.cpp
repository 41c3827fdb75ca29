// A damaged or hostile file, whole: open it for writing, list the whole tree,
// read every stream to its end, verify, then write a little, commit and close.
// The input is the file; the seeds are the small files of make_seeds.
//
// Beyond the sanitizers it checks what holds for any file, however damaged:
// listings come sorted, a read never passes the stream's length, the position
// follows the bytes read, and the writes never make the file grow far
// (FileInMemory's limit).
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.hpp"

namespace vog::fuzz {
namespace {

// A directory can list itself in a damaged file; the walk stops after this many entries.
constexpr std::size_t kMaxEntries = 256;
constexpr std::uint64_t kMaxStreamBytes = 1u << 20;

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

struct Tree {
  std::vector<std::string> dirs;
  std::vector<std::string> streams;
};

Tree walk(Vog& vog) {
  Tree tree;
  std::vector<std::string> pending{""};
  std::size_t seen = 0;
  while (!pending.empty() && seen < kMaxEntries) {
    std::string dir = std::move(pending.back());
    pending.pop_back();
    auto entries = vog.list(dir);
    if (!entries) continue;
    FUZZ_CHECK(std::is_sorted(entries->begin(), entries->end(),
                              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; }),
               "listing of '" + dir + "' not sorted by name");
    for (const DirEntry& entry : *entries) {
      if (++seen > kMaxEntries) break;
      std::string path = join(dir, entry.name);
      if (entry.entry_type == EntryType::Directory) {
        tree.dirs.push_back(path);
        pending.push_back(std::move(path));
      } else {
        tree.streams.push_back(std::move(path));
      }
    }
  }
  return tree;
}

void read_whole(Vog& vog, const std::string& path) {
  auto handle = vog.open_stream(path, OpenMode::Read);
  if (!handle) return;
  auto length = vog.stream_length(*handle);
  std::vector<std::byte> buffer(4096);
  std::uint64_t total = 0;
  while (total < kMaxStreamBytes) {
    auto got = vog.read(*handle, buffer);
    if (!got || *got == 0) break;
    FUZZ_CHECK(*got <= buffer.size(), "read reports more bytes than asked for");
    total += *got;
  }
  if (length) FUZZ_CHECK(total <= *length, "read past the length of '" + path + "'");
  if (auto position = vog.tell(*handle)) FUZZ_CHECK(*position == total, "position not at the bytes read");
  (void)vog.close_stream(*handle);
}

void write_a_little(Vog& vog, const Tree& tree, bool compressed) {
  const std::string text(300, 'w');
  (void)vog.mkdir("fuzz-dir");
  if (auto handle = vog.create_stream("fuzz-dir/new", compressed)) {
    (void)vog.write(*handle, bytes_of(text));
    (void)vog.close_stream(*handle);
  }
  if (!tree.streams.empty()) {
    if (auto handle = vog.open_stream(tree.streams.front(), OpenMode::Write)) {
      if (auto length = vog.stream_length(*handle)) (void)vog.seek(*handle, *length / 2);
      (void)vog.write(*handle, bytes_of(std::string_view(text).substr(0, 40)));
      (void)vog.close_stream(*handle);
    }
  }
  if (!tree.dirs.empty()) (void)vog.mkdir(tree.dirs.back() + "/fuzz-dir");
  if (tree.streams.size() > 1) (void)vog.delete_stream(tree.streams.back());
  (void)vog.sync();
}

}  // namespace
}  // namespace vog::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vog::fuzz;
  auto input = std::as_bytes(std::span(data, size));
  if (size < vog::kFileHeaderSize) return 0;
  if (!key_derivation_is_cheap(input)) return -1;
  auto bytes = std::make_shared<std::vector<std::byte>>(input.begin(), input.end());
  auto vog = open_vog(bytes, vog::OpenMode::Write);
  if (!vog) return 0;
  Tree tree = walk(**vog);
  for (const std::string& path : tree.streams) read_whole(**vog, path);
  verify_bounded(**vog);
  write_a_little(**vog, tree, (size & 1) != 0);
  vog->reset();  // closing flushes what is still open
  return 0;
}
