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
// Data units shorter than 16 bytes cannot be XTS data units; they are left as
// they are (callers only ever pass whole blocks of at least 512 bytes). The
// longest unit, a block of the largest shift, is OpenSSL's own limit of 2^20
// AES blocks (kMaxXtsDataUnit). Transforms never fail silently.
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
#include <mutex>
#include <optional>
#include <vector>

#include "encryption.hpp"

namespace vog {
namespace {

constexpr std::size_t kAesBlock = 16;
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
const unsigned char* as_uchars(std::span<const std::byte> bytes) noexcept {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}

CipherCtx keyed_context(const EVP_CIPHER* cipher, const unsigned char* key, Direction direction) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr,
                                direction == Direction::Encrypt ? 1 : 0) != 1) {
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
  XtsCipher(CipherCtx encrypt, CipherCtx decrypt)
      : encrypt_(std::move(encrypt)), decrypt_(std::move(decrypt)) {}

  void encrypt_block(std::uint32_t block, std::span<std::byte> data) const override {
    transform(encrypt_, block, data, data, data.size());
  }
  void decrypt_block(std::uint32_t block, std::span<std::byte> data) const override {
    transform(decrypt_, block, data, data, data.size());
  }
  void encrypt_units(std::uint32_t first, std::span<std::byte> data,
                     std::size_t unit) const override {
    transform(encrypt_, first, data, data, unit);
  }
  void decrypt_units(std::uint32_t first, std::span<std::byte> data,
                     std::size_t unit) const override {
    transform(decrypt_, first, data, data, unit);
  }
  void encrypt_units_to(std::uint32_t first, std::span<const std::byte> in,
                        std::span<std::byte> out, std::size_t unit) const override {
    transform(encrypt_, first, in, out, unit);
  }

 private:
  // REQUIRES: out.size() == in.size(); they are the same bytes or do not overlap.
  static void transform(const KeyedContexts& contexts, std::uint64_t first,
                        std::span<const std::byte> in, std::span<std::byte> out,
                        std::size_t unit);

  KeyedContexts encrypt_;
  KeyedContexts decrypt_;
};

void XtsCipher::transform(const KeyedContexts& contexts, std::uint64_t first,
                          std::span<const std::byte> in, std::span<std::byte> out,
                          std::size_t unit) {
  if (unit == 0) return;
  std::optional<KeyedContexts::Lease> lease;  // borrowed once for the whole call
  std::uint64_t number = first;
  for (std::size_t at = 0; at < in.size(); at += unit, ++number) {
    const std::size_t length = std::min(unit, in.size() - at);
    const std::span<const std::byte> from = in.subspan(at, length);
    const std::span<std::byte> to = out.subspan(at, length);
    if (length < kAesBlock) {  // no data unit: passed on as it is
      if (from.data() != to.data()) std::memcpy(to.data(), from.data(), length);
      continue;
    }
    if (!lease) lease.emplace(contexts.borrow());
    const Block16 tweak = tweak_of(number);
    int written = 0;
    if (EVP_CipherInit_ex(lease->get(), nullptr, nullptr, nullptr, tweak.data(), -1) != 1 ||
        EVP_CipherUpdate(lease->get(), as_uchars(to), &written,
                         as_uchars(from),
                         static_cast<int>(length)) != 1 ||
        static_cast<std::size_t>(written) != length)
      cipher_fault("transform");
  }
}

}  // namespace

Result<std::unique_ptr<BlockCipher>> cipher_from_master_key(
    std::span<const std::byte, kMasterKeySize> master_key) {
  const auto* key = reinterpret_cast<const unsigned char*>(master_key.data());
  // OpenSSL refuses an XTS key whose two halves are equal; a crafted record
  // can unwrap to one, so this is an error, not a fault.
  CipherCtx encrypt = keyed_context(EVP_aes_256_xts(), key, Direction::Encrypt);
  CipherCtx decrypt = keyed_context(EVP_aes_256_xts(), key, Direction::Decrypt);
  if (!encrypt || !decrypt) return std::unexpected(VogError::io("AES-XTS key setup failed"));
  return std::make_unique<XtsCipher>(std::move(encrypt), std::move(decrypt));
}

}  // namespace vog
