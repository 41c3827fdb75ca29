// Throughput of the block transforms: one block at a time on the calling
// thread, then whole runs on the worker pool, over a 64 MiB buffer of
// 4096-byte blocks. Beside each figure: processor time over wall time, i.e.
// how many processors were busy on average, and for runs the speed-up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>
#include <span>
#include <vector>

#include "encryption.hpp"
#include "worker_pool.hpp"

namespace {

constexpr std::size_t kBlockSize = 4096;
constexpr std::size_t kBufferSize = std::size_t{64} << 20;
constexpr int kRounds = 5;

struct Figure {
  double mb_per_s = 0;
  double busy_processors = 0;
};

double process_cpu_seconds() {
  std::timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

template <class Body>
Figure best_of_rounds(Body body) {
  Figure best;
  for (int round = 0; round < kRounds; ++round) {
    double cpu_start = process_cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    body();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    double cpu = process_cpu_seconds() - cpu_start;
    double mb_per_s = static_cast<double>(kBufferSize) / 1e6 / took.count();
    if (mb_per_s > best.mb_per_s) best = {mb_per_s, cpu / took.count()};
  }
  return best;
}

}  // namespace

int main() {
  std::mt19937_64 gen(42);
  std::array<std::byte, vog::kMasterKeySize> key{};
  for (std::byte& b : key) b = static_cast<std::byte>(gen() & 0xFF);
  auto cipher = vog::cipher_from_master_key(key);
  if (!cipher) {
    std::fprintf(stderr, "%s\n", cipher.error().to_string().c_str());
    return 1;
  }
  const vog::BlockCipher& xts = **cipher;

  std::vector<std::byte> buffer(kBufferSize);
  for (std::byte& b : buffer) b = static_cast<std::byte>(gen() & 0xFF);
  std::span<std::byte> all(buffer);
  const std::size_t blocks = kBufferSize / kBlockSize;

  auto one_by_one = [&](bool encrypt) {
    for (std::size_t i = 0; i < blocks; ++i) {
      auto block = all.subspan(i * kBlockSize, kBlockSize);
      auto number = static_cast<std::uint32_t>(i);
      if (encrypt)
        vog::encrypt_block(xts, number, block);
      else
        vog::decrypt_block(xts, number, block);
    }
  };
  auto as_run = [&](bool encrypt) {
    if (encrypt)
      vog::encrypt_blocks(xts, all, kBlockSize, 0);
    else
      vog::decrypt_blocks(xts, all, kBlockSize, 0);
  };

  const std::size_t threads = vog::WorkerPool::process_pool().thread_count();
  std::printf("buffer %zu MiB of %zu-byte blocks, worker pool of %zu threads, best of %d\n",
              kBufferSize >> 20, kBlockSize, threads, kRounds);
  Figure single_enc = best_of_rounds([&] { one_by_one(true); });
  Figure single_dec = best_of_rounds([&] { one_by_one(false); });
  Figure run_enc = best_of_rounds([&] { as_run(true); });
  Figure run_dec = best_of_rounds([&] { as_run(false); });
  auto line = [](const char* what, const Figure& f, const Figure* single) {
    std::printf("%-22s %9.1f MB/s  %4.2f processors busy", what, f.mb_per_s, f.busy_processors);
    if (single) std::printf("  x%.2f", f.mb_per_s / single->mb_per_s);
    std::printf("\n");
  };
  line("single-block encrypt", single_enc, nullptr);
  line("single-block decrypt", single_dec, nullptr);
  line("run encrypt", run_enc, &single_enc);
  line("run decrypt", run_dec, &single_dec);
  return 0;
}
