// What LZ4 itself gives on this machine's cores: the bytes of a given file
// compressed, then decompressed, in independent blocks (as a compressed Vog
// stream stores them) on N threads, each taking one contiguous share. Set
// beside the same run on one thread, it says how far a pool of N threads can
// raise compressed streaming at all here. A third pass stores the compressed
// blocks back to back in a file beside FILE (removed after), then reads each
// with pread and decodes it: the ceiling for reading any file of LZ4 blocks
// through the page cache. A fourth compresses the blocks again on N threads
// while the calling thread writes them, in order, to a file as a compressed
// Vog stream lays them out (each padded to whole 4 KiB blocks beside a 4 KiB
// block naming them, at a Vog file's offsets), 1 MiB of input per write: the
// ceiling for writing compressed streams of that layout through the page cache.
//
// usage: lz4_speed FILE THREADS [BLOCK]   (THREADS 0: one per processor; BLOCK 32768)
// prints one JSON object:
//   {"bytes": n, "threads": t, "compress_s": x, "compress_store_s": w, "decompress_s": y,
//    "read_decompress_s": z}
#include <fcntl.h>
#include <lz4.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kCall = std::size_t{1} << 20;
constexpr std::size_t kStoreBlock = 4096;  // a Vog file's default block
constexpr off_t kBlocksStart = 14;         // where a Vog file's blocks begin

// Runs body(first, last) over blocks [0, blocks) split in `threads` shares;
// returns the seconds taken.
template <class Body>
double timed_shares(std::size_t blocks, unsigned threads, Body body) {
  std::vector<std::thread> workers;
  auto start = std::chrono::steady_clock::now();
  for (unsigned t = 0; t < threads; ++t)
    workers.emplace_back([&, t] { body(blocks * t / threads, blocks * (t + 1) / threads); });
  for (std::thread& w : workers) w.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "lz4_speed: %s\n", what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: lz4_speed FILE THREADS [BLOCK]\n");
    return 2;
  }
  unsigned threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t block = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 32768;
  if (block == 0 || block > (std::size_t{1} << 30)) fail("block size out of range");
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  std::vector<char> data(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (!in || data.empty()) fail("cannot read the file");

  const std::size_t blocks = (data.size() + block - 1) / block;
  const auto bound = static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(block)));
  std::vector<char> packed(blocks * bound);
  std::vector<int> packed_size(blocks);
  std::vector<char> unpacked(data.size());
  auto length_of = [&](std::size_t b) {
    return static_cast<int>(std::min(block, data.size() - b * block));
  };
  std::atomic<bool> ok = true;
  const double compress_s = timed_shares(blocks, threads, [&](std::size_t first, std::size_t last) {
    for (std::size_t b = first; b < last; ++b) {
      packed_size[b] = LZ4_compress_default(data.data() + b * block, packed.data() + b * bound,
                                            length_of(b), static_cast<int>(bound));
      if (packed_size[b] <= 0) ok = false;
    }
  });
  // Run twice, the first time untimed and flushed: on a virtual machine the
  // first large write after a pause runs several times slower than the next.
  const std::string store_path = std::string(argv[1]) + ".lz4-store";
  // A call's blocks go out in one pwritev: two pieces each, and the redirectors.
  const std::size_t per_call =
      std::clamp<std::size_t>(kCall / block, 1, (std::size_t{IOV_MAX} - 1) / 2);
  const std::vector<char> zeros(kStoreBlock);
  std::vector<char> redirectors(per_call * kStoreBlock);
  std::vector<iovec> pieces;
  auto store_pass = [&] {
    const int store = ::open(store_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (store < 0) fail("cannot create the store file");
    std::vector<std::atomic<bool>> compressed(blocks);
    std::atomic<std::size_t> next_block = 0;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> packers;
    for (unsigned t = 0; t < threads; ++t)
      packers.emplace_back([&] {
        for (std::size_t b = next_block++; b < blocks; b = next_block++) {
          packed_size[b] = LZ4_compress_default(data.data() + b * block,
                                                packed.data() + b * bound, length_of(b),
                                                static_cast<int>(bound));
          compressed[b].store(true, std::memory_order_release);
          compressed[b].notify_one();
        }
      });
    off_t stored_to = kBlocksStart;
    for (std::size_t first = 0; first < blocks; first += per_call) {
      const std::size_t count = std::min(per_call, blocks - first);
      pieces.clear();
      std::fill(redirectors.begin(), redirectors.end(), 0);
      std::size_t total = count * kStoreBlock;
      for (std::size_t b = first; b < first + count; ++b) {
        compressed[b].wait(false, std::memory_order_acquire);
        const auto length = static_cast<std::size_t>(std::max(packed_size[b], 0));
        const std::size_t pad = (kStoreBlock - length % kStoreBlock) % kStoreBlock;
        pieces.push_back({packed.data() + b * bound, length});
        if (pad != 0) pieces.push_back({const_cast<char*>(zeros.data()), pad});
        total += length + pad;
        // The record's length; its block numbers would cost no more to write.
        std::memcpy(redirectors.data() + (b - first) * kStoreBlock, &packed_size[b], 4);
      }
      pieces.push_back({redirectors.data(), count * kStoreBlock});
      if (::pwritev(store, pieces.data(), static_cast<int>(pieces.size()), stored_to) !=
          static_cast<ssize_t>(total))
        fail("cannot write the store file");
      stored_to += static_cast<off_t>(total);
    }
    for (std::thread& packer : packers) packer.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (::fsync(store) != 0) fail("cannot flush the store file");
    ::close(store);
    ::unlink(store_path.c_str());
    return seconds;
  };
  store_pass();
  const double compress_store_s = store_pass();
  for (std::size_t b = 0; b < blocks; ++b)
    if (packed_size[b] <= 0) ok = false;

  // Each thread decodes into one 1 MiB buffer over and over, as a reader
  // taking 1 MiB calls would; a buffer the size of the file would time the
  // memory instead.
  const double decompress_s =
      timed_shares(blocks, threads, [&](std::size_t first, std::size_t last) {
        std::vector<char> call(std::max<std::size_t>(block, kCall));
        for (std::size_t b = first, at = 0; b < last; ++b, at = (at + block) % call.size())
          if (at + block > call.size() ||
              LZ4_decompress_safe(packed.data() + b * bound, call.data() + at, packed_size[b],
                                  length_of(b)) != length_of(b))
            ok = false;
      });
  // Untimed: the blocks stored back to back, read once so the page cache holds them.
  const std::string stored_path = std::string(argv[1]) + ".lz4-blocks";
  const int fd = ::open(stored_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) fail("cannot create the file of blocks");
  std::vector<std::size_t> stored_at(blocks + 1);
  for (std::size_t b = 0; b < blocks; ++b) {
    const auto length = static_cast<std::size_t>(packed_size[b]);
    if (::pwrite(fd, packed.data() + b * bound, length, static_cast<off_t>(stored_at[b])) !=
        static_cast<ssize_t>(length))
      fail("cannot write the file of blocks");
    stored_at[b + 1] = stored_at[b] + length;
  }
  const double read_decompress_s =
      timed_shares(blocks, threads, [&](std::size_t first, std::size_t last) {
        std::vector<char> input(bound), call(std::max<std::size_t>(block, kCall));
        for (std::size_t b = first, at = 0; b < last; ++b, at = (at + block) % call.size()) {
          const std::size_t length = stored_at[b + 1] - stored_at[b];
          if (at + block > call.size() ||
              ::pread(fd, input.data(), length, static_cast<off_t>(stored_at[b])) !=
                  static_cast<ssize_t>(length) ||
              LZ4_decompress_safe(input.data(), call.data() + at, static_cast<int>(length),
                                  length_of(b)) != length_of(b))
            ok = false;
        }
      });
  ::close(fd);
  ::unlink(stored_path.c_str());
  for (std::size_t b = 0; b < blocks; ++b)  // untimed: the bytes come back
    if (LZ4_decompress_safe(packed.data() + b * bound, unpacked.data() + b * block, packed_size[b],
                            length_of(b)) != length_of(b))
      ok = false;
  if (!ok || unpacked != data) fail("LZ4 failed");
  std::printf(
      "{\"bytes\": %zu, \"threads\": %u, \"compress_s\": %.6f, \"compress_store_s\": %.6f, "
      "\"decompress_s\": %.6f, \"read_decompress_s\": %.6f}\n",
      data.size(), threads, compress_s, compress_store_s, decompress_s, read_decompress_s);
  return 0;
}
