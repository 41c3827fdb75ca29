// Builds a small tree of directories with plain and compressed streams in a new
// Vog file, reopens it for reading and prints every directory's listing.
//
// usage: vog_tree_example [PATH]   (default: a fresh file in the temporary directory)
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "vog.hpp"

namespace {

int fail(const vog::VogError& error) {
  std::fprintf(stderr, "error: %s\n", error.to_string().c_str());
  return 1;
}

std::vector<std::byte> bytes_of(std::string_view text) {
  std::vector<std::byte> out(text.size());
  if (!text.empty()) std::memcpy(out.data(), text.data(), text.size());
  return out;
}

vog::Result<void> put(vog::Vog& file, std::string_view path, std::string_view text,
                      bool compressed) {
  VOG_TRY(handle, file.create_stream(path, compressed));
  VOG_TRY(wrote, file.write(*handle, bytes_of(text)));
  (void)wrote;
  return file.close_stream(*handle);
}

vog::Result<void> build(vog::Vog& file) {
  VOG_CHECK(file.mkdir("docs"));
  VOG_CHECK(file.mkdir("docs/drafts"));
  VOG_CHECK(file.mkdir("logs"));
  VOG_CHECK(put(file, "README", "A small tree inside one file.\n", false));
  VOG_CHECK(put(file, "docs/guide.txt", "Open, read, write, seek, close.\n", false));
  VOG_CHECK(put(file, "docs/drafts/notes.txt", "to do\n", false));
  std::string log;
  for (int i = 0; i < 1000; ++i) log += "line " + std::to_string(i) + ": all quiet\n";
  VOG_CHECK(put(file, "logs/day1.log", log, true));
  VOG_CHECK(put(file, "logs/day2.log", log, true));
  return file.rename_stream("logs/day2.log", "logs/yesterday.log");
}

vog::Result<void> print_tree(vog::Vog& file, const std::string& dir, int depth) {
  VOG_TRY(entries, file.list(dir));
  for (const vog::DirEntry& entry : *entries) {
    std::string path = dir.empty() ? entry.name : dir + "/" + entry.name;
    if (entry.entry_type == vog::EntryType::Directory) {
      std::printf("%*s%s/\n", 2 * depth, "", entry.name.c_str());
      VOG_CHECK(print_tree(file, path, depth + 1));
      continue;
    }
    VOG_TRY(handle, file.open_stream(path, vog::OpenMode::Read));
    auto length = file.stream_length(*handle);
    auto compressed = file.is_stream_compressed(*handle);
    VOG_CHECK(file.close_stream(*handle));
    if (!length) return std::unexpected(length.error());
    if (!compressed) return std::unexpected(compressed.error());
    std::printf("%*s%s  (%llu bytes%s)\n", 2 * depth, "", entry.name.c_str(),
                static_cast<unsigned long long>(*length), *compressed ? ", compressed" : "");
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = argc > 1 ? argv[1]
                              : (std::filesystem::temp_directory_path() /
                                 ("vog-tree-" + std::to_string(::getpid()) + ".vog"))
                                    .string();
  {
    auto file = vog::Vog::create(path);
    if (!file) return fail(file.error());
    if (auto built = build(**file); !built) return fail(built.error());
  }  // the last reference closes the file and releases its lock

  {
    auto file = vog::Vog::open(path, vog::OpenMode::Read);
    if (!file) return fail(file.error());
    std::printf("%s\n", path.c_str());
    if (auto printed = print_tree(**file, "", 1); !printed) return fail(printed.error());
  }
  if (argc <= 1) std::filesystem::remove(path);
  return 0;
}
