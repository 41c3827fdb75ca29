// Key-hierarchy primitives over libargon2 and OpenSSL's libcrypto.
//
// Owns no bytes on disk. Every OpenSSL context lives in an RAII owner; a
// failed OpenSSL call leaves entries on the calling thread's error queue,
// which are cleared here so that no later, unrelated check trips over them.
#include "encryption_keys.hpp"

#include <argon2.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <thread>

#include "format.hpp"

namespace vog {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

const unsigned char* as_uchars(std::span<const std::byte> bytes) noexcept {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}
unsigned char* as_uchars(std::span<std::byte> bytes) noexcept {
  return reinterpret_cast<unsigned char*>(bytes.data());
}

bool fits_int(std::size_t n) noexcept {
  return n <= static_cast<std::size_t>(std::numeric_limits<int>::max());
}

VogError argon2_failure(int code) {
  return VogError::io(format("argon2id derivation failed: {}", argon2_error_message(code)));
}

// One key-wrap pass (wrap when `encrypt`), all of `in` into exactly `out`.
bool run_key_wrap(bool encrypt, std::span<const std::byte, 32> kek, std::span<const std::byte> in,
                  std::span<std::byte> out) {
  if (!fits_int(in.size())) return false;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  // Older OpenSSL refuses the wrap modes unless asked for them explicitly.
  EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, as_uchars(kek), nullptr,
                        encrypt ? 1 : 0) != 1)
    return false;
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), as_uchars(out), &written, as_uchars(in),
                       static_cast<int>(in.size())) != 1)
    return false;
  return static_cast<std::size_t>(written) == out.size();
}

}  // namespace

void wipe_secret(std::span<std::byte> bytes) noexcept {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

Result<void> derive_argon2id(std::span<const std::byte> password, std::span<const std::byte> salt,
                             const Argon2idCosts& costs, std::span<std::byte> out,
                             std::span<const std::byte> secret,
                             std::span<const std::byte> associated_data) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  // The library takes 32-bit lengths; a longer input must not be cut short.
  if (password.size() > kMax) return std::unexpected(argon2_failure(ARGON2_PWD_TOO_LONG));
  if (salt.size() > kMax) return std::unexpected(argon2_failure(ARGON2_SALT_TOO_LONG));
  if (secret.size() > kMax) return std::unexpected(argon2_failure(ARGON2_SECRET_TOO_LONG));
  if (associated_data.size() > kMax) return std::unexpected(argon2_failure(ARGON2_AD_TOO_LONG));
  if (out.size() > kMax) return std::unexpected(argon2_failure(ARGON2_OUTPUT_TOO_LONG));

  // The library reads but never writes these inputs (no clear-on-use flags).
  auto writable = [](std::span<const std::byte> in) {
    return const_cast<std::uint8_t*>(reinterpret_cast<const std::uint8_t*>(in.data()));
  };
  argon2_context ctx{};
  ctx.out = reinterpret_cast<std::uint8_t*>(out.data());
  ctx.outlen = static_cast<std::uint32_t>(out.size());
  ctx.pwd = writable(password);
  ctx.pwdlen = static_cast<std::uint32_t>(password.size());
  ctx.salt = writable(salt);
  ctx.saltlen = static_cast<std::uint32_t>(salt.size());
  ctx.secret = writable(secret);
  ctx.secretlen = static_cast<std::uint32_t>(secret.size());
  ctx.ad = writable(associated_data);
  ctx.adlen = static_cast<std::uint32_t>(associated_data.size());
  ctx.t_cost = costs.time_cost;
  ctx.m_cost = costs.memory_cost;
  ctx.lanes = costs.parallelism;
  // The result does not depend on the thread count; a stored lane count must
  // not make us start hundreds of threads.
  ctx.threads = std::clamp<std::uint32_t>(std::thread::hardware_concurrency(), 1,
                                          std::max<std::uint32_t>(costs.parallelism, 1));
  ctx.version = ARGON2_VERSION_13;
  ctx.allocate_cbk = nullptr;
  ctx.free_cbk = nullptr;
  ctx.flags = ARGON2_DEFAULT_FLAGS;

  int code = argon2_ctx(&ctx, Argon2_id);
  if (code != ARGON2_OK) {
    wipe_secret(out);
    return std::unexpected(argon2_failure(code));
  }
  return {};
}

Result<std::array<std::byte, 32>> sha256(std::span<const std::byte> data) {
  std::array<std::byte, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), as_uchars(std::span<std::byte>(digest)), &length,
                 EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    ERR_clear_error();
    return std::unexpected(VogError::io("SHA-256 failed"));
  }
  return digest;
}

Result<void> wrap_key(std::span<const std::byte, 32> kek, std::span<const std::byte> key,
                      std::span<std::byte> out) {
  if (out.size() != key.size() + 8 || key.size() < 16 || key.size() % 8 != 0 ||
      !run_key_wrap(true, kek, key, out)) {
    ERR_clear_error();
    wipe_secret(out);
    return std::unexpected(VogError::io("AES-KW wrap failed"));
  }
  return {};
}

Result<void> unwrap_key(std::span<const std::byte, 32> kek, std::span<const std::byte> wrapped,
                        std::span<std::byte> out) {
  if (out.size() + 8 != wrapped.size() || !run_key_wrap(false, kek, wrapped, out)) {
    ERR_clear_error();
    wipe_secret(out);
    std::fill(out.begin(), out.end(), std::byte{0});
    return std::unexpected(VogError::wrong_password("AES-KW unwrap failed"));
  }
  return {};
}

Result<void> random_bytes(std::span<std::byte> out) {
  if (!fits_int(out.size()) || RAND_bytes(as_uchars(out), static_cast<int>(out.size())) != 1) {
    ERR_clear_error();
    return std::unexpected(VogError::io("random generator failed"));
  }
  return {};
}

}  // namespace vog
