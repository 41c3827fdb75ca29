// The encryption record and the key hierarchy that unlocks the master key.
//
// Bytes owned on disk: the 129-byte encryption record (layout in
// encryption.hpp), written by the block layer after its header bytes.
//
// Key hierarchy:
//   password --Argon2id(salt, costs)--> derived[64]
//   derived[0..32)  = key-encryption key; wraps master[64] (RFC 3394) -> 72 bytes
//   derived[32..64) -> SHA-256 -> verification hash, checked before unwrapping
//   master[0..32) data key, master[32..64) tweak key of AES-256-XTS
//
// Invariants:
//  1. Derived bytes and the master key live only in SecretBytes, so they are
//     wiped on every path out, once the cipher (key schedules only) is built.
//  2. open_encryption checks the stored costs before allocating anything for
//     Argon2, in a fixed order; a hostile record gets an error, never a huge
//     allocation beyond kMaxMemoryCost KiB.
//  3. The record is fixed once created; nothing here writes to the file.
#include "encryption.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "encryption_keys.hpp"
#include "format.hpp"
#include "le_bytes.hpp"

namespace vog {
namespace {

constexpr std::uint32_t kCreateMemoryCost = 19456;  // KiB
constexpr std::uint32_t kCreateTimeCost = 2;
constexpr std::uint32_t kCreateParallelism = 1;

// Limits beyond Argon2's own: a stored record may not make opening cost more
// than 4 GiB of memory or 64 passes.
constexpr std::uint32_t kMaxMemoryCost = 4194304;  // KiB
constexpr std::uint32_t kMaxTimeCost = 64;
constexpr std::uint64_t kMaxParallelism = (std::uint64_t{1} << 24) - 1;

constexpr std::size_t kSaltOffset = 0;
constexpr std::size_t kMemoryCostOffset = 16;
constexpr std::size_t kTimeCostOffset = 20;
constexpr std::size_t kParallelismOffset = 24;
constexpr std::size_t kHashOffset = 25;
constexpr std::size_t kWrappedKeyOffset = 57;
static_assert(kWrappedKeyOffset + sizeof(EncryptionConfig::wrapped_master_key) ==
              kEncryptionRecordSize);

constexpr std::size_t kDerivedSize = 64;
constexpr std::size_t kKekSize = 32;

template <std::size_t N>
void put_bytes(std::span<std::byte> out, std::size_t at, const std::array<std::byte, N>& bytes) {
  std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

template <std::size_t N>
void get_bytes(std::span<const std::byte> in, std::size_t at, std::array<std::byte, N>& bytes) {
  std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at), N, bytes.begin());
}

// Argon2's own limits first, in its order, then ours; nullptr when acceptable.
const char* argon2_params_problem(const EncryptionConfig& config) {
  if (config.memory_cost < 8 || config.memory_cost < std::uint64_t{8} * config.parallelism)
    return "memory cost is too small";
  if (config.time_cost == 0) return "time cost is too small";
  if (config.parallelism > kMaxParallelism) return "too many threads";
  if (config.parallelism == 0) return "not enough threads";
  if (config.memory_cost > kMaxMemoryCost) return "memory cost is too large";
  if (config.time_cost > kMaxTimeCost) return "time cost is too large";
  return nullptr;
}

Result<void> derive_key(std::span<const std::byte> password, const EncryptionConfig& config,
                        SecretBytes<kDerivedSize>& derived) {
  return derive_argon2id(password, config.salt,
                         Argon2idCosts{config.memory_cost, config.time_cost, config.parallelism},
                         derived.bytes());
}

}  // namespace

Result<NewEncryption> create_encryption(std::span<const std::byte> password) {
  NewEncryption result;
  EncryptionConfig& config = result.config;
  config.memory_cost = kCreateMemoryCost;
  config.time_cost = kCreateTimeCost;
  config.parallelism = kCreateParallelism;

  SecretBytes<kMasterKeySize> master;
  VOG_CHECK(random_bytes(config.salt));  // the salt is drawn before the master key
  VOG_CHECK(random_bytes(master.bytes()));

  SecretBytes<kDerivedSize> derived;
  VOG_CHECK(derive_key(password, config, derived));
  VOG_TRY(hash, sha256(derived.bytes().last<kDerivedSize - kKekSize>()));
  config.verification_hash = *hash;
  VOG_CHECK(wrap_key(derived.bytes().first<kKekSize>(), master.bytes(), config.wrapped_master_key));

  VOG_TRY(cipher, cipher_from_master_key(master.bytes()));
  result.cipher = std::move(*cipher);
  return result;
}

Result<std::unique_ptr<BlockCipher>> open_encryption(const EncryptionConfig& config,
                                                     std::span<const std::byte> password) {
  if (const char* problem = argon2_params_problem(config))
    return std::unexpected(VogError::io(format("argon2id params: {}", problem)));

  SecretBytes<kDerivedSize> derived;
  VOG_CHECK(derive_key(password, config, derived));
  VOG_TRY(hash, sha256(derived.bytes().last<kDerivedSize - kKekSize>()));
  if (CRYPTO_memcmp(hash->data(), config.verification_hash.data(), hash->size()) != 0)
    return std::unexpected(VogError::wrong_password("password verification hash mismatch"));

  SecretBytes<kMasterKeySize> master;
  VOG_CHECK(unwrap_key(derived.bytes().first<kKekSize>(), config.wrapped_master_key,
                       master.bytes()));
  return cipher_from_master_key(master.bytes());
}

std::array<std::byte, kEncryptionRecordSize> serialize_config(const EncryptionConfig& config) {
  std::array<std::byte, kEncryptionRecordSize> out{};
  put_bytes(out, kSaltOffset, config.salt);
  store_u32(out, kMemoryCostOffset, config.memory_cost);
  store_u32(out, kTimeCostOffset, config.time_cost);
  out[kParallelismOffset] = static_cast<std::byte>(config.parallelism & 0xFF);
  put_bytes(out, kHashOffset, config.verification_hash);
  put_bytes(out, kWrappedKeyOffset, config.wrapped_master_key);
  return out;
}

Result<EncryptionConfig> deserialize_config(std::span<const std::byte> bytes) {
  if (bytes.size() < kEncryptionRecordSize)
    return std::unexpected(VogError::io(
        format("encryption config too short: {} < {}", bytes.size(), kEncryptionRecordSize)));
  EncryptionConfig config;
  get_bytes(bytes, kSaltOffset, config.salt);
  config.memory_cost = load_u32(bytes, kMemoryCostOffset);
  config.time_cost = load_u32(bytes, kTimeCostOffset);
  config.parallelism = std::to_integer<std::uint32_t>(bytes[kParallelismOffset]);
  get_bytes(bytes, kHashOffset, config.verification_hash);
  get_bytes(bytes, kWrappedKeyOffset, config.wrapped_master_key);
  return config;
}

}  // namespace vog
