// The speed limit for encrypted Vog files: AES-256-XTS straight through
// OpenSSL over the bytes of a given file, in 4096-byte data units with the unit
// number as tweak (as the block layer does), on N threads each taking one
// contiguous share. Nothing else is done per unit, so this is the ceiling.
// A third pass reads the file itself with pread, 32 KiB at a time into a
// 1 MiB buffer per thread, and decrypts each piece there: the ceiling for
// reading any encrypted file through the page cache.
//
// usage: xts_speed FILE THREADS
// prints one JSON object:
//   {"bytes": n, "threads": t, "encrypt_s": x, "decrypt_s": y, "read_decrypt_s": z}
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kUnit = 4096;

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

constexpr std::size_t kPiece = 32768;
constexpr std::size_t kCall = std::size_t{1} << 20;

Ctx keyed(const unsigned char* key, bool encrypt) {
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (ctx && EVP_CipherInit_ex(ctx.get(), EVP_aes_256_xts(), nullptr, key, nullptr, encrypt) != 1)
    ctx.reset();
  return ctx;
}

// Transforms `count` units at `at`, the first numbered `unit`, in place.
bool transform_units(EVP_CIPHER_CTX* ctx, unsigned char* at, std::size_t unit, std::size_t count,
                     bool encrypt) {
  unsigned char tweak[16] = {};
  for (std::size_t i = 0; i < count; ++i, ++unit, at += kUnit) {
    std::uint64_t n = unit;
    std::memcpy(tweak, &n, sizeof n);  // little-endian host, as the block layer assumes
    int out = 0;
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, tweak, encrypt) != 1 ||
        EVP_CipherUpdate(ctx, at, &out, at, static_cast<int>(kUnit)) != 1)
      return false;
  }
  return true;
}

// Transforms units [first, last) of `data` in place; false on any OpenSSL failure.
bool transform(unsigned char* data, std::size_t first, std::size_t last, const unsigned char* key,
               bool encrypt) {
  Ctx ctx = keyed(key, encrypt);
  return ctx && transform_units(ctx.get(), data + first * kUnit, first, last - first, encrypt);
}

// Reads units [first, last) of the file a piece at a time and decrypts each.
bool read_and_decrypt(int fd, std::size_t first, std::size_t last, const unsigned char* key) {
  Ctx ctx = keyed(key, false);
  std::vector<unsigned char> call(kCall);
  for (std::size_t unit = first, at = 0; ctx && unit < last; at = (at + kPiece) % kCall) {
    const std::size_t count = std::min(kPiece / kUnit, last - unit);
    const auto want = static_cast<ssize_t>(count * kUnit);
    if (::pread(fd, call.data() + at, count * kUnit, static_cast<off_t>(unit * kUnit)) != want ||
        !transform_units(ctx.get(), call.data() + at, unit, count, false))
      return false;
    unit += count;
  }
  return ctx != nullptr;
}

// Runs body(first, last) over units [0, units) split in `threads` shares;
// returns the seconds taken, exiting when a share fails.
template <class Body>
double timed_shares(std::size_t units, unsigned threads, Body body) {
  std::vector<std::thread> workers;
  std::vector<char> ok(threads, 0);
  auto start = std::chrono::steady_clock::now();
  for (unsigned t = 0; t < threads; ++t)
    workers.emplace_back([&, t] { ok[t] = body(units * t / threads, units * (t + 1) / threads); });
  for (std::thread& w : workers) w.join();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
    std::fprintf(stderr, "xts_speed: OpenSSL or the read failed\n");
    std::exit(1);
  }
  return took.count();
}

double timed_pass(std::vector<unsigned char>& data, unsigned threads, const unsigned char* key,
                  bool encrypt) {
  return timed_shares(data.size() / kUnit, threads, [&](std::size_t first, std::size_t last) {
    return transform(data.data(), first, last, key, encrypt);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: xts_speed FILE THREADS\n");
    return 2;
  }
  unsigned threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  std::vector<unsigned char> data(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  data.resize(data.size() / kUnit * kUnit);
  if (!in || data.empty()) {
    std::fprintf(stderr, "xts_speed: cannot read whole units from %s\n", argv[1]);
    return 1;
  }
  unsigned char key[64];
  for (int i = 0; i < 64; ++i) key[i] = static_cast<unsigned char>(i * 37 + 11);  // halves differ
  double enc = timed_pass(data, threads, key, true);
  double dec = timed_pass(data, threads, key, false);
  // What lies in the file does not change the cipher's cost.
  const int fd = ::open(argv[1], O_RDONLY);
  double read_dec = timed_shares(data.size() / kUnit, threads, [&](std::size_t first, std::size_t last) {
    return fd >= 0 && read_and_decrypt(fd, first, last, key);
  });
  ::close(fd);
  std::printf(
      "{\"bytes\": %zu, \"threads\": %u, \"encrypt_s\": %.6f, \"decrypt_s\": %.6f, "
      "\"read_decrypt_s\": %.6f}\n",
      data.size(), threads, enc, dec, read_dec);
  return 0;
}
