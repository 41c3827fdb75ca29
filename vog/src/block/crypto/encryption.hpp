// Block encryption: AES-256-XTS per block under a password-unlocked master key.
//
// Encryption record (129 bytes, little-endian), stored after the block-layer header:
//   0   16  Argon2 salt
//   16  4   memory cost (KiB)
//   20  4   time cost (iterations)
//   24  1   parallelism (lanes)
//   25  32  SHA-256 of the derived key's last 32 bytes (verification hash)
//   57  72  RFC 3394 wrap of the 64-byte master key under the derived key's first 32 bytes
//
// The master key is the XTS key: data key (bytes 0..31), then tweak key (32..63).
// A block's tweak is its number as a 128-bit little-endian integer.
//
// Thread safety: a BlockCipher is immutable and may be used by any number of
// threads at once. The run transforms fan out to the process-wide worker pool
// and may be called from any thread, also while holding locks; blocks that are
// not consecutive can be spread over WorkerPool::process_pool().run() with one
// encrypt_block per task. The block transforms cannot fail.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "error.hpp"

namespace vog {

class WorkerPool;

inline constexpr std::size_t kEncryptionRecordSize = 129;
inline constexpr std::size_t kMasterKeySize = 64;
// The longest XTS data unit (IEEE 1619 and OpenSSL): 2^20 AES blocks, 16 MiB.
inline constexpr std::size_t kMaxXtsDataUnit = std::size_t{1} << 24;

struct EncryptionConfig {
  std::array<std::byte, 16> salt{};
  std::uint32_t memory_cost = 0;  // KiB
  std::uint32_t time_cost = 0;
  std::uint32_t parallelism = 0;  // only the low byte is stored
  std::array<std::byte, 32> verification_hash{};
  std::array<std::byte, 72> wrapped_master_key{};

  friend bool operator==(const EncryptionConfig&, const EncryptionConfig&) = default;
};

// The XTS transform of whole blocks under one master key. The engine's one
// implementation comes from cipher_from_master_key(); tests may substitute
// their own to watch how runs are cut up.
class BlockCipher {
 public:
  virtual ~BlockCipher() = default;
  // One XTS data unit, in place, tweak = block number. Data shorter than one
  // AES block (16 bytes) cannot be an XTS data unit and is left as it is.
  // REQUIRES: data.size() <= kMaxXtsDataUnit.
  virtual void encrypt_block(std::uint32_t block, std::span<std::byte> data) const = 0;
  virtual void decrypt_block(std::uint32_t block, std::span<std::byte> data) const = 0;
  // Consecutive data units of `unit` bytes numbered first, first + 1, ..., in
  // place on the calling thread; a final piece shorter than `unit` is a data
  // unit of its own length. The default transforms unit by unit through the
  // single-block calls.
  // REQUIRES: 0 < unit <= kMaxXtsDataUnit; the unit numbers stay below 2^32.
  virtual void encrypt_units(std::uint32_t first, std::span<std::byte> data,
                             std::size_t unit) const;
  virtual void decrypt_units(std::uint32_t first, std::span<std::byte> data,
                             std::size_t unit) const;
  // encrypt_units of `in` into `out` (as long), leaving `in` as it is, for a
  // caller that keeps its plaintext: no copy first. The default copies, then
  // transforms in place.
  virtual void encrypt_units_to(std::uint32_t first, std::span<const std::byte> in,
                                std::span<std::byte> out, std::size_t unit) const;
};

struct NewEncryption {
  EncryptionConfig config;
  std::unique_ptr<BlockCipher> cipher;
};

// Draws a salt and a master key, derives the key-encryption key from the
// password with Argon2id (19456 KiB, 2 passes, 1 lane) and wraps the master key.
[[nodiscard]] Result<NewEncryption> create_encryption(std::span<const std::byte> password);
// Checks the stored Argon2 parameters (Argon2's own limits, then at most
// 4194304 KiB and 64 passes), derives, verifies the hash and unwraps.
// Failures: IoError "argon2id params: ..." or "argon2id derivation failed: ...";
// WrongPassword "password verification hash mismatch" or "AES-KW unwrap failed".
[[nodiscard]] Result<std::unique_ptr<BlockCipher>> open_encryption(
    const EncryptionConfig& config, std::span<const std::byte> password);
// Fails with IoError "AES-XTS key setup failed" when OpenSSL refuses the key
// (its two halves are equal).
[[nodiscard]] Result<std::unique_ptr<BlockCipher>> cipher_from_master_key(
    std::span<const std::byte, kMasterKeySize> master_key);

[[nodiscard]] std::array<std::byte, kEncryptionRecordSize> serialize_config(
    const EncryptionConfig& config);
// Reads the first 129 bytes; fewer fail with IoError "encryption config too
// short: <given> < 129". The costs are not judged here (open_encryption does).
[[nodiscard]] Result<EncryptionConfig> deserialize_config(std::span<const std::byte> bytes);

inline void encrypt_block(const BlockCipher& cipher, std::uint32_t block, std::span<std::byte> data) {
  cipher.encrypt_block(block, data);
}
inline void decrypt_block(const BlockCipher& cipher, std::uint32_t block, std::span<std::byte> data) {
  cipher.decrypt_block(block, data);
}

// Transforms the consecutive blocks first, first + 1, ... of `buffer` in place,
// split into one contiguous chunk of whole blocks per worker-pool thread; the
// caller waits for all chunks. A buffer shorter than one block is left as it is.
// The short forms use the process-wide pool.
void encrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first);
void decrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first);
void encrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first, WorkerPool& pool);
void decrypt_blocks(const BlockCipher& cipher, std::span<std::byte> buffer,
                    std::size_t block_size, std::uint32_t first, WorkerPool& pool);

// How a run of `length` bytes is cut for `threads` threads: B = length /
// block_size whole blocks, P = ceil(B / threads) blocks per chunk; chunk c
// starts at byte c * chunk_length and block first + c * P, the last chunk may
// be shorter. All zero when the run holds no whole block.
struct RunSplit {
  std::size_t blocks_per_chunk = 0;
  std::size_t chunk_length = 0;
  std::size_t chunk_count = 0;

  friend bool operator==(const RunSplit&, const RunSplit&) = default;
};
[[nodiscard]] RunSplit split_run(std::size_t length, std::size_t block_size, std::size_t threads);

}  // namespace vog
