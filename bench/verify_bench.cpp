// How long Vog::verify takes on a file of about a million blocks: 512-byte
// blocks, four large streams, and a free list with many extents. Most data
// blocks are reserved rather than written, so the file stays sparse on disk;
// verification reads every index block entry and walks every block number
// all the same. Each figure is one full verify after reopening the file
// read-only; the first run meets a cold block cache.
//
// usage: verify_bench [BLOCKS] [DIRECTORY]   (default: 1000000 in the temporary directory)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vog.hpp"

namespace {

constexpr std::uint64_t kBlockSize = 512;
constexpr int kStreams = 4;

bool report(const vog::VogError& error) {
  std::fprintf(stderr, "error: %s\n", error.to_string().c_str());
  return false;
}

// Streams s0..s3 sharing `blocks` between them, each partly written and mostly
// reserved, then every other small stream of a batch deleted to leave holes.
bool build(const std::string& path, std::uint64_t blocks) {
  vog::CreateOptions options;
  options.block_size_shift = 9;
  options.compressed_block_size_shift = 12;
  auto created = vog::Vog::create(path, options);
  if (!created) return report(created.error());
  vog::Vog& vog = **created;
  const std::vector<std::byte> piece(1 << 20, std::byte{'v'});
  for (int i = 0; i < kStreams; ++i) {
    auto handle = vog.create_stream("s" + std::to_string(i));
    if (!handle) return report(handle.error());
    if (auto wrote = vog.write(*handle, piece); !wrote) return report(wrote.error());
    if (auto reserved = vog.reserve(*handle, blocks / kStreams * kBlockSize); !reserved)
      return report(reserved.error());
    if (auto closed = vog.close_stream(*handle); !closed) return report(closed.error());
  }
  const std::vector<std::byte> small(3 * kBlockSize, std::byte{'f'});
  for (int i = 0; i < 2000; ++i) {
    auto handle = vog.create_stream("f" + std::to_string(i));
    if (!handle) return report(handle.error());
    if (auto wrote = vog.write(*handle, small); !wrote) return report(wrote.error());
    if (auto closed = vog.close_stream(*handle); !closed) return report(closed.error());
  }
  for (int i = 0; i < 2000; i += 2)
    if (auto deleted = vog.delete_stream("f" + std::to_string(i)); !deleted)
      return report(deleted.error());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t blocks = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::filesystem::path dir =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  const std::string path = (dir / "verify_bench.vog").string();
  std::filesystem::remove(path);
  if (!build(path, blocks)) return 1;

  std::printf("file: %llu blocks of %llu bytes\n",
              static_cast<unsigned long long>((std::filesystem::file_size(path) - 14) / kBlockSize),
              static_cast<unsigned long long>(kBlockSize));
  for (int run = 0; run < 3; ++run) {
    auto vog = vog::Vog::open(path, vog::OpenMode::Read);
    if (!vog) return report(vog.error()) ? 0 : 1;
    auto start = std::chrono::steady_clock::now();
    auto lines = (*vog)->verify();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!lines) return report(lines.error()) ? 0 : 1;
    std::printf("verify run %d: %.3f s, %zu problem lines\n", run + 1, took.count(),
                lines->size());
    for (std::size_t i = 0; i < lines->size() && i < 5; ++i)
      std::printf("  %s\n", (*lines)[i].c_str());
  }
  std::filesystem::remove(path);
  return 0;
}
