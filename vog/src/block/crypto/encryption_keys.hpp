// The primitives of the key hierarchy: Argon2id, SHA-256, AES key wrap and
// random bytes, each one library call behind a Result, so the record code in
// encryption.cpp reads as its steps and each primitive can be checked against
// its published test vectors on its own.
//
// Thread safety: all functions may be called concurrently.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error.hpp"

namespace vog {

// Overwrites `bytes` in a way the compiler may not drop as a dead store.
void wipe_secret(std::span<std::byte> bytes) noexcept;

// Key bytes that are wiped however their scope is left.
template <std::size_t N>
class SecretBytes {
 public:
  SecretBytes() = default;
  ~SecretBytes() { wipe_secret(bytes_); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  [[nodiscard]] std::span<std::byte, N> bytes() noexcept { return bytes_; }
  [[nodiscard]] std::span<const std::byte, N> bytes() const noexcept { return bytes_; }

 private:
  std::array<std::byte, N> bytes_{};
};

struct Argon2idCosts {
  std::uint32_t memory_cost = 0;  // KiB
  std::uint32_t time_cost = 0;    // passes
  std::uint32_t parallelism = 0;  // lanes
};

// Argon2id version 0x13, raw output of out.size() bytes. Fails with IoError
// "argon2id derivation failed: <the library's description>". The secret and
// associated data are empty for the key hierarchy; they exist for the
// published test vectors.
[[nodiscard]] Result<void> derive_argon2id(std::span<const std::byte> password,
                                           std::span<const std::byte> salt,
                                           const Argon2idCosts& costs, std::span<std::byte> out,
                                           std::span<const std::byte> secret = {},
                                           std::span<const std::byte> associated_data = {});

[[nodiscard]] Result<std::array<std::byte, 32>> sha256(std::span<const std::byte> data);

// RFC 3394 AES-256 key wrap with the default initial value A6A6A6A6A6A6A6A6.
// REQUIRES: key.size() is a multiple of 8, at least 16; out.size() == key.size() + 8.
[[nodiscard]] Result<void> wrap_key(std::span<const std::byte, 32> kek,
                                    std::span<const std::byte> key, std::span<std::byte> out);
// The inverse; an integrity check value other than the default initial value
// fails with WrongPassword "AES-KW unwrap failed" and leaves `out` zeroed.
// REQUIRES: out.size() + 8 == wrapped.size().
[[nodiscard]] Result<void> unwrap_key(std::span<const std::byte, 32> kek,
                                      std::span<const std::byte> wrapped, std::span<std::byte> out);

// Cryptographically secure random bytes (OpenSSL's generator, seeded from the
// operating system).
[[nodiscard]] Result<void> random_bytes(std::span<std::byte> out);

}  // namespace vog
