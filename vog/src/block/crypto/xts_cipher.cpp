// XtsCipher: AES-256-XTS over OpenSSL EVP, one data unit per block.
//
// Owns no bytes on disk; it turns plaintext blocks into the stored form:
// data unit = one block, tweak = block number as a 128-bit little-endian
// integer, key = data key (master bytes 0..31) then tweak key (32..63).
//
// Context reuse. Keying an EVP context expands both AES key schedules, which
// costs about as much as encrypting a block, so a cipher keys each direction
// once into a template context and lends out keyed copies (KeyedContexts).
// A borrower sets the tweak for each unit and transforms it; a whole chunk of
// a run borrows once. Borrowed contexts go back to a per-cipher idle list and
// are freed (and cleansed by OpenSSL) with the cipher, so nothing outlives it
// and nothing leaks when ciphers or threads come and go. A per-thread cache
// was rejected: keying it safely needs cipher generations, and it would keep
// key schedules alive in threads after their cipher is gone.
//
// Data units OpenSSL's XTS does not take:
//  - shorter than 16 bytes: XTS cannot transform them; they are left as they
//    are (callers only ever pass whole blocks of at least 512 bytes);
//  - longer than 2^20 AES blocks (16 MiB, blocks of shift 25 and up): OpenSSL
//    enforces the IEEE 1619 limit, so such units are transformed here over
//    AES-ECB with the same tweak sequence and ciphertext stealing, giving the
//    bytes the standard's algorithm gives. Transforms never fail silently.
//
// Locking: each KeyedContexts has one mutex guarding only its idle list;
// no AES work runs under it.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "encryption_keys.hpp"
#include "xts_cipher.hpp"

namespace vog {
namespace {

constexpr std::size_t kAesBlock = 16;
constexpr std::size_t kBatchBlocks = 1024;  // AES blocks per ECB call on the long-unit path
constexpr std::size_t kMaxIdleContexts = 64;

enum class Direction { Encrypt, Decrypt };

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using Block16 = std::array<unsigned char, kAesBlock>;

// A keyed context that fails to copy or to run on valid sizes means memory is
// exhausted or OpenSSL is broken; the block transforms have no error path, and
// carrying on would store plaintext or garbage.
[[noreturn]] void cipher_fault(const char* what) {
  std::fprintf(stderr, "vog: AES-XTS %s failed\n", what);
  std::abort();
}

unsigned char* as_uchars(std::span<std::byte> bytes) noexcept {
  return reinterpret_cast<unsigned char*>(bytes.data());
}

CipherCtx keyed_context(const EVP_CIPHER* cipher, const unsigned char* key, Direction direction) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr,
                        direction == Direction::Encrypt ? 1 : 0) != 1 ||
      (EVP_CIPHER_get_mode(cipher) == EVP_CIPH_ECB_MODE &&
       EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)) {
    ERR_clear_error();
    return nullptr;
  }
  return ctx;
}

CipherCtx copy_context(const EVP_CIPHER_CTX* keyed) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CIPHER_CTX_copy(ctx.get(), keyed) != 1) cipher_fault("context copy");
  return ctx;
}

Block16 tweak_of(std::uint64_t unit) noexcept {
  Block16 tweak{};
  for (std::size_t i = 0; i < 8; ++i) tweak[i] = static_cast<unsigned char>(unit >> (8 * i));
  return tweak;
}

// The next tweak: multiplication by x in GF(2^128), little-endian bytes.
void times_alpha(Block16& t) noexcept {
  const bool carry = (t[15] & 0x80) != 0;
  for (std::size_t i = 15; i > 0; --i)
    t[i] = static_cast<unsigned char>((t[i] << 1) | (t[i - 1] >> 7));
  t[0] = static_cast<unsigned char>((t[0] << 1) ^ (carry ? 0x87 : 0));
}

void xor_into(unsigned char* data, const unsigned char* mask, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] ^ mask[i]);
}

// In-place ECB over n bytes. REQUIRES: n is a multiple of 16 and fits an int.
void ecb(EVP_CIPHER_CTX* ctx, unsigned char* data, std::size_t n) {
  int written = 0;
  if (EVP_CipherUpdate(ctx, data, &written, data, static_cast<int>(n)) != 1 ||
      static_cast<std::size_t>(written) != n)
    cipher_fault("ECB transform");
}

// A keyed template and the idle keyed copies lent out from it.
class KeyedContexts {
 public:
  explicit KeyedContexts(CipherCtx keyed) : template_(std::move(keyed)) {}

  // A keyed context for the borrower's thread alone; returned when dropped.
  class Lease {
   public:
    Lease(const KeyedContexts& owner, CipherCtx ctx) : owner_(&owner), ctx_(std::move(ctx)) {}
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (ctx_) owner_->give_back(std::move(ctx_));
    }
    [[nodiscard]] EVP_CIPHER_CTX* get() const noexcept { return ctx_.get(); }

   private:
    const KeyedContexts* owner_;
    CipherCtx ctx_;
  };

  [[nodiscard]] Lease borrow() const {
    {
      std::lock_guard lock(mu_);
      if (!idle_.empty()) {
        CipherCtx ctx = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(ctx));
      }
    }
    return Lease(*this, copy_context(template_.get()));
  }

  [[nodiscard]] const EVP_CIPHER_CTX* keyed() const noexcept { return template_.get(); }

 private:
  void give_back(CipherCtx ctx) const {
    std::lock_guard lock(mu_);
    if (idle_.size() < kMaxIdleContexts) idle_.push_back(std::move(ctx));
  }

  CipherCtx template_;  // never used directly, only copied
  mutable std::mutex mu_;
  mutable std::vector<CipherCtx> idle_;  // guarded by mu_
};

class XtsCipher final : public BlockCipher {
 public:
  XtsCipher(std::size_t max_xts_unit, CipherCtx xts_encrypt, CipherCtx xts_decrypt,
            CipherCtx ecb_encrypt, CipherCtx ecb_decrypt, CipherCtx ecb_tweak)
      : max_xts_unit_(max_xts_unit),
        xts_encrypt_(std::move(xts_encrypt)),
        xts_decrypt_(std::move(xts_decrypt)),
        ecb_encrypt_(std::move(ecb_encrypt)),
        ecb_decrypt_(std::move(ecb_decrypt)),
        ecb_tweak_(std::move(ecb_tweak)) {}

  void encrypt_block(std::uint32_t block, std::span<std::byte> data) const override {
    transform(Direction::Encrypt, block, data, data.size());
  }
  void decrypt_block(std::uint32_t block, std::span<std::byte> data) const override {
    transform(Direction::Decrypt, block, data, data.size());
  }
  void encrypt_units(std::uint32_t first, std::span<std::byte> data,
                     std::size_t unit) const override {
    transform(Direction::Encrypt, first, data, unit);
  }
  void decrypt_units(std::uint32_t first, std::span<std::byte> data,
                     std::size_t unit) const override {
    transform(Direction::Decrypt, first, data, unit);
  }

 private:
  void transform(Direction direction, std::uint64_t first, std::span<std::byte> data,
                 std::size_t unit) const;
  void transform_long_unit(Direction direction, std::uint64_t number,
                           std::span<std::byte> data) const;

  const std::size_t max_xts_unit_;  // longer units take the ECB path
  KeyedContexts xts_encrypt_;
  KeyedContexts xts_decrypt_;
  // Only for units beyond OpenSSL's XTS limit.
  KeyedContexts ecb_encrypt_;  // data key
  KeyedContexts ecb_decrypt_;  // data key
  KeyedContexts ecb_tweak_;    // tweak key, always encrypting
};

void XtsCipher::transform(Direction direction, std::uint64_t first, std::span<std::byte> data,
                          std::size_t unit) const {
  if (unit == 0) return;
  const KeyedContexts& contexts = direction == Direction::Encrypt ? xts_encrypt_ : xts_decrypt_;
  std::optional<KeyedContexts::Lease> lease;  // borrowed once for the whole call
  std::uint64_t number = first;
  for (std::size_t at = 0; at < data.size(); at += unit, ++number) {
    std::span<std::byte> piece = data.subspan(at, std::min(unit, data.size() - at));
    if (piece.size() < kAesBlock) continue;
    if (piece.size() > max_xts_unit_) {
      transform_long_unit(direction, number, piece);
      continue;
    }
    if (!lease) lease.emplace(contexts.borrow());
    const Block16 tweak = tweak_of(number);
    int written = 0;
    if (EVP_CipherInit_ex(lease->get(), nullptr, nullptr, nullptr, tweak.data(), -1) != 1 ||
        EVP_CipherUpdate(lease->get(), as_uchars(piece), &written, as_uchars(piece),
                         static_cast<int>(piece.size())) != 1 ||
        static_cast<std::size_t>(written) != piece.size())
      cipher_fault("transform");
  }
}

// IEEE 1619 XTS on AES-ECB: C_j = E1(P_j ^ T_j) ^ T_j with T_0 = E2(tweak) and
// T_{j+1} = T_j * x; a partial final block steals from the last whole one.
void XtsCipher::transform_long_unit(Direction direction, std::uint64_t number,
                                    std::span<std::byte> data) const {
  const bool encrypt = direction == Direction::Encrypt;
  CipherCtx tweak_ctx = copy_context(ecb_tweak_.keyed());
  CipherCtx data_ctx = copy_context(encrypt ? ecb_encrypt_.keyed() : ecb_decrypt_.keyed());

  Block16 t = tweak_of(number);
  ecb(tweak_ctx.get(), t.data(), t.size());

  unsigned char* const bytes = as_uchars(data);
  const std::size_t remainder = data.size() % kAesBlock;
  const std::size_t whole = data.size() / kAesBlock;
  const std::size_t plain_blocks = remainder == 0 ? whole : whole - 1;

  std::array<unsigned char, kBatchBlocks * kAesBlock> masks;
  for (std::size_t done = 0; done < plain_blocks;) {
    const std::size_t batch = std::min(kBatchBlocks, plain_blocks - done);
    for (std::size_t j = 0; j < batch; ++j) {
      std::memcpy(&masks[j * kAesBlock], t.data(), kAesBlock);
      times_alpha(t);
    }
    unsigned char* run = bytes + done * kAesBlock;
    xor_into(run, masks.data(), batch * kAesBlock);
    ecb(data_ctx.get(), run, batch * kAesBlock);
    xor_into(run, masks.data(), batch * kAesBlock);
    done += batch;
  }

  if (remainder != 0) {
    // t is the tweak of the last whole block; the stolen block uses the next.
    Block16 t_next = t;
    times_alpha(t_next);
    auto one_block = [&](Block16& block, const Block16& tweak) {
      xor_into(block.data(), tweak.data(), kAesBlock);
      ecb(data_ctx.get(), block.data(), kAesBlock);
      xor_into(block.data(), tweak.data(), kAesBlock);
    };
    unsigned char* const last_whole = bytes + plain_blocks * kAesBlock;
    unsigned char* const tail = last_whole + kAesBlock;
    Block16 head;
    std::memcpy(head.data(), last_whole, kAesBlock);
    one_block(head, encrypt ? t : t_next);
    Block16 stolen;
    std::memcpy(stolen.data(), tail, remainder);
    std::memcpy(stolen.data() + remainder, head.data() + remainder, kAesBlock - remainder);
    std::memcpy(tail, head.data(), remainder);
    one_block(stolen, encrypt ? t_next : t);
    std::memcpy(last_whole, stolen.data(), kAesBlock);
    wipe_secret(std::as_writable_bytes(std::span(head)));
    wipe_secret(std::as_writable_bytes(std::span(stolen)));
    wipe_secret(std::as_writable_bytes(std::span(t_next)));
  }
  wipe_secret(std::as_writable_bytes(std::span(masks)));
  wipe_secret(std::as_writable_bytes(std::span(t)));
}

}  // namespace

Result<std::unique_ptr<BlockCipher>> xts_cipher_with_unit_limit(
    std::span<const std::byte, kMasterKeySize> master_key, std::size_t max_xts_unit) {
  const auto* key = reinterpret_cast<const unsigned char*>(master_key.data());
  const unsigned char* tweak_key = key + kMasterKeySize / 2;
  // OpenSSL refuses an XTS key whose two halves are equal; a crafted record
  // can unwrap to one, so this is an error, not a fault.
  CipherCtx xts_encrypt = keyed_context(EVP_aes_256_xts(), key, Direction::Encrypt);
  CipherCtx xts_decrypt = keyed_context(EVP_aes_256_xts(), key, Direction::Decrypt);
  CipherCtx ecb_encrypt = keyed_context(EVP_aes_256_ecb(), key, Direction::Encrypt);
  CipherCtx ecb_decrypt = keyed_context(EVP_aes_256_ecb(), key, Direction::Decrypt);
  CipherCtx ecb_tweak = keyed_context(EVP_aes_256_ecb(), tweak_key, Direction::Encrypt);
  if (!xts_encrypt || !xts_decrypt || !ecb_encrypt || !ecb_decrypt || !ecb_tweak)
    return std::unexpected(VogError::io("AES-XTS key setup failed"));
  return std::make_unique<XtsCipher>(std::min(max_xts_unit, kOpenSslMaxXtsUnit),
                                     std::move(xts_encrypt), std::move(xts_decrypt),
                                     std::move(ecb_encrypt), std::move(ecb_decrypt),
                                     std::move(ecb_tweak));
}

Result<std::unique_ptr<BlockCipher>> cipher_from_master_key(
    std::span<const std::byte, kMasterKeySize> master_key) {
  return xts_cipher_with_unit_limit(master_key, kOpenSslMaxXtsUnit);
}

}  // namespace vog
