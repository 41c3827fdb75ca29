// Writes the seed corpus of every fuzz target into <out>/<target>/, made anew
// from the engine of this build so that the seeds follow the format.
//   fuzz_open_file   small files: plain, compressed and encrypted (cheap key
//                    derivation), each with the sample tree, and a new empty file
//   fuzz_headers     block 0 of the plain sample file (the body fuzz_headers keeps)
//   fuzz_directory   a name to look up, then a directory stream
//   fuzz_operations  a few operation sequences
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "directory_stream.hpp"
#include "fuzz_support.hpp"

namespace vog::fuzz {
namespace {

namespace fs = std::filesystem;

void write_seed(const fs::path& dir, const std::string& name, std::span<const std::byte> bytes) {
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
    std::exit(1);
  }
}

Result<void> write_file_seeds(const fs::path& out) {
  struct Case {
    const char* name;
    NewFile options;
    bool compressed;
  };
  const Case cases[] = {
      {"plain.vog", {}, false},
      {"compressed.vog", {}, true},
      {"encrypted.vog", {.encrypted = true}, true},
      {"plain_4k.vog", {.block_size_shift = 12, .compressed_block_size_shift = 12}, false},
  };
  for (const Case& c : cases) {
    VOG_TRY(bytes, sample_file(c.options, c.compressed));
    write_seed(out / "fuzz_open_file", c.name, *bytes);
  }
  auto empty = std::make_shared<std::vector<std::byte>>();
  VOG_CHECK(create_vog(empty, NewFile{}));
  write_seed(out / "fuzz_open_file", "empty.vog", *empty);

  VOG_TRY(body, headers_template());
  write_seed(out / "fuzz_headers", "sample.block0", std::span(*body).subspan(kHeadersBlock0Offset,
                                                                         kHeadersBlockSize));
  return {};
}

void write_directory_seeds(const fs::path& out) {
  const std::vector<StreamEntry> entries = {
      {"docs/", 1}, {"a.txt", 2}, {"\xC3\xA9t\xC3\xA9", 3}, {"empty/", 4}, {"big", 5}};
  const char* const lookups[] = {"a.txt", "docs/", "missing", ""};
  int n = 0;
  for (const char* name : lookups)
    write_seed(out / "fuzz_directory", "lookup" + std::to_string(n++),
               directory_input(name, build_directory_stream(entries)));
  const std::vector<StreamEntry> one = {{"x", 9}};
  write_seed(out / "fuzz_directory", "single", directory_input("x", build_directory_stream(one)));
  write_seed(out / "fuzz_directory", "empty", directory_input("x", {}));
}

void write_operation_seeds(const fs::path& out) {
  // One byte chooses the operation, the next ones its arguments; these walk
  // through every operation a few times over.
  for (int seed = 0; seed < 4; ++seed) {
    std::vector<std::byte> ops;
    for (int i = 0; i < 96; ++i) ops.push_back(static_cast<std::byte>(i * (2 * seed + 1) + seed));
    write_seed(out / "fuzz_operations", "walk" + std::to_string(seed), ops);
  }
}

}  // namespace
}  // namespace vog::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = argv[1];
  if (auto written = vog::fuzz::write_file_seeds(out); !written) {
    std::fprintf(stderr, "cannot make the seed files: %s\n", written.error().to_string().c_str());
    return 1;
  }
  vog::fuzz::write_directory_seeds(out);
  vog::fuzz::write_operation_seeds(out);
  return 0;
}
