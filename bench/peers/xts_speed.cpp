// The speed limit for encrypted Vog files: AES-256-XTS straight through
// OpenSSL over the bytes of a given file, in 4096-byte data units with the unit
// number as tweak (as the block layer does), on N threads each taking one
// contiguous share. Nothing else is done per unit, so this is the ceiling.
//
// usage: xts_speed FILE THREADS
// prints one JSON object: {"bytes": n, "threads": t, "encrypt_s": x, "decrypt_s": y}
#include <openssl/evp.h>

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

// Transforms units [first, last) of `data` in place; false on any OpenSSL failure.
bool transform(unsigned char* data, std::size_t first, std::size_t last, const unsigned char* key,
               bool encrypt) {
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_xts(), nullptr, key, nullptr, encrypt) != 1)
    return false;
  unsigned char tweak[16] = {};
  for (std::size_t unit = first; unit < last; ++unit) {
    std::uint64_t n = unit;
    std::memcpy(tweak, &n, sizeof n);  // little-endian host, as the block layer assumes
    int out = 0;
    unsigned char* at = data + unit * kUnit;
    if (EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, tweak, encrypt) != 1 ||
        EVP_CipherUpdate(ctx.get(), at, &out, at, static_cast<int>(kUnit)) != 1)
      return false;
  }
  return true;
}

double timed_pass(std::vector<unsigned char>& data, unsigned threads, const unsigned char* key,
                  bool encrypt) {
  const std::size_t units = data.size() / kUnit;
  std::vector<std::thread> workers;
  std::vector<char> ok(threads, 0);
  auto start = std::chrono::steady_clock::now();
  for (unsigned t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      ok[t] = transform(data.data(), units * t / threads, units * (t + 1) / threads, key, encrypt);
    });
  for (std::thread& w : workers) w.join();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
    std::fprintf(stderr, "xts_speed: OpenSSL failed\n");
    std::exit(1);
  }
  return took.count();
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
  std::printf("{\"bytes\": %zu, \"threads\": %u, \"encrypt_s\": %.6f, \"decrypt_s\": %.6f}\n",
              data.size(), threads, enc, dec);
  return 0;
}
