#include <argon2.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "encryption.hpp"
#include "encryption_keys.hpp"
#include "worker_pool.hpp"

namespace vog {
namespace {

using Bytes = std::vector<std::byte>;

Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) continue;  // spaces and line breaks as the vectors are printed
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::byte>(high << 4 | digit));
      high = -1;
    }
  }
  return out;
}

Bytes text_bytes(std::string_view text) {
  Bytes out(text.size());
  std::transform(text.begin(), text.end(), out.begin(),
                 [](char c) { return static_cast<std::byte>(c); });
  return out;
}

Bytes random_bytes_for_test(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (std::byte& b : out) b = static_cast<std::byte>(gen() & 0xFF);
  return out;
}

std::array<std::byte, kMasterKeySize> test_master_key(unsigned seed = 7) {
  Bytes random = random_bytes_for_test(kMasterKeySize, seed);
  std::array<std::byte, kMasterKeySize> key{};
  std::copy(random.begin(), random.end(), key.begin());
  return key;
}

std::unique_ptr<BlockCipher> must_cipher(std::span<const std::byte, kMasterKeySize> key) {
  auto cipher = cipher_from_master_key(key);
  EXPECT_TRUE(cipher) << cipher.error().to_string();
  return cipher ? std::move(*cipher) : nullptr;
}

// The same encryption done the plain way: a fresh EVP context per data unit.
Bytes openssl_xts(std::span<const std::byte, kMasterKeySize> key, std::uint32_t block,
                  std::span<const std::byte> in) {
  std::array<unsigned char, 16> iv{};
  for (std::size_t i = 0; i < 4; ++i) iv[i] = static_cast<unsigned char>(block >> (8 * i));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size());
  int written = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_256_xts(), nullptr,
                              reinterpret_cast<const unsigned char*>(key.data()), iv.data(), 1),
            1);
  EXPECT_EQ(EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &written,
                             reinterpret_cast<const unsigned char*>(in.data()),
                             static_cast<int>(in.size())),
            1);
  EXPECT_EQ(static_cast<std::size_t>(written), in.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

EncryptionConfig sample_config() {
  EncryptionConfig config;
  for (std::size_t i = 0; i < config.salt.size(); ++i) config.salt[i] = std::byte(0x10 + i);
  config.memory_cost = 0x04030201;
  config.time_cost = 0x08070605;
  config.parallelism = 0x0C0B0A09;
  for (std::size_t i = 0; i < config.verification_hash.size(); ++i)
    config.verification_hash[i] = std::byte(0x40 + i);
  for (std::size_t i = 0; i < config.wrapped_master_key.size(); ++i)
    config.wrapped_master_key[i] = std::byte(0x80 + i);
  return config;
}

// ---------------------------------------------------------------------------
// The 129-byte record

TEST(EncryptionRecord, SerializeLaysEveryFieldAtItsOffset) {
  auto record = serialize_config(sample_config());
  ASSERT_EQ(record.size(), 129u);
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(record[i], std::byte(0x10 + i)) << i;
  EXPECT_EQ(Bytes(record.begin() + 16, record.begin() + 20), hex("01020304"));
  EXPECT_EQ(Bytes(record.begin() + 20, record.begin() + 24), hex("05060708"));
  EXPECT_EQ(record[24], std::byte{0x09});  // only the low byte of the lane count
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(record[25 + i], std::byte(0x40 + i)) << i;
  for (std::size_t i = 0; i < 72; ++i) EXPECT_EQ(record[57 + i], std::byte(0x80 + i)) << i;
}

TEST(EncryptionRecord, DeserializeReadsBackWhatWasWrittenAndIgnoresWhatFollows) {
  EncryptionConfig config = sample_config();
  auto record = serialize_config(config);
  Bytes longer(record.begin(), record.end());
  longer.resize(200, std::byte{0xEE});
  auto back = deserialize_config(longer);
  ASSERT_TRUE(back) << back.error().to_string();
  config.parallelism = 0x09;
  EXPECT_EQ(*back, config);
}

TEST(EncryptionRecord, DeserializeRefusesAShortRecord) {
  Bytes short_record(128);
  auto back = deserialize_config(short_record);
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error(), VogError::io("encryption config too short: 128 < 129"));
  EXPECT_EQ(deserialize_config({}).error(), VogError::io("encryption config too short: 0 < 129"));
}

// ---------------------------------------------------------------------------
// Key-hierarchy primitives against published vectors

TEST(KeyPrimitives, Argon2idMatchesRfc9106Vector) {
  Bytes password(32, std::byte{0x01});
  Bytes salt(16, std::byte{0x02});
  Bytes secret(8, std::byte{0x03});
  Bytes associated(12, std::byte{0x04});
  Bytes tag(32);
  auto derived = derive_argon2id(password, salt, Argon2idCosts{32, 3, 4}, tag, secret, associated);
  ASSERT_TRUE(derived) << derived.error().to_string();
  EXPECT_EQ(tag, hex("0d 64 0d f5 8d 78 76 6c 08 c0 37 a3 4a 8b 53 c9"
                     "d0 1e f0 45 2d 75 b6 5e b5 25 20 e9 6b 01 e6 59"));
}

TEST(KeyPrimitives, Argon2idReportsTheLibraryDescription) {
  Bytes out(64);
  Bytes short_salt(4);  // below Argon2's minimum of 8
  auto derived = derive_argon2id(text_bytes("pw"), short_salt, Argon2idCosts{8, 1, 1}, out);
  ASSERT_FALSE(derived);
  EXPECT_EQ(derived.error(),
            VogError::io(std::string("argon2id derivation failed: ") +
                         argon2_error_message(ARGON2_SALT_TOO_SHORT)));
}

TEST(KeyPrimitives, KeyWrapMatchesRfc3394Section46) {
  Bytes kek = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  Bytes key = hex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
  Bytes expected = hex("28C9F404C4B810F4 CBCCB35CFB87F826 3F5786E2D80ED326"
                       "CBC7F0E71A99F43B FB988B9B7A02DD21");
  std::span<const std::byte, 32> kek_span(kek.data(), 32);
  Bytes wrapped(40);
  ASSERT_TRUE(wrap_key(kek_span, key, wrapped));
  EXPECT_EQ(wrapped, expected);

  Bytes unwrapped(32);
  ASSERT_TRUE(unwrap_key(kek_span, expected, unwrapped));
  EXPECT_EQ(unwrapped, key);
}

TEST(KeyPrimitives, UnwrapRefusesAnyChangedByteOrWrongKey) {
  Bytes kek = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
  std::span<const std::byte, 32> kek_span(kek.data(), 32);
  Bytes wrapped = hex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326"
                      "CBC7F0E71A99F43BFB988B9B7A02DD21");
  for (std::size_t at : {std::size_t{0}, std::size_t{7}, std::size_t{8}, std::size_t{39}}) {
    Bytes damaged = wrapped;
    damaged[at] ^= std::byte{0x01};
    Bytes out(32, std::byte{0xAA});
    auto result = unwrap_key(kek_span, damaged, out);
    ASSERT_FALSE(result) << at;
    EXPECT_EQ(result.error(), VogError::wrong_password("AES-KW unwrap failed"));
    EXPECT_EQ(out, Bytes(32)) << "nothing of a failed unwrap is left behind";
  }
  Bytes other_kek = kek;
  other_kek[31] ^= std::byte{0x80};
  Bytes out(32);
  EXPECT_FALSE(unwrap_key(std::span<const std::byte, 32>(other_kek.data(), 32), wrapped, out));
}

// ---------------------------------------------------------------------------
// The XTS block transform

// IEEE 1619-2007 XTS-AES-256 vectors 10 and 11: 512-byte data units whose
// sequence numbers 0xff and 0xffff are our block numbers.
constexpr std::string_view kIeeeKey =
    "2718281828459045235360287471352662497757247093699959574966967627"
    "3141592653589793238462643383279502884197169399375105820974944592";
constexpr std::string_view kIeeeVector10 =
    "1c3b3a102f770386e4836c99e370cf9bea00803f5e482357a4ae12d414a3e63b"
    "5d31e276f8fe4a8d66b317f9ac683f44680a86ac35adfc3345befecb4bb188fd"
    "5776926c49a3095eb108fd1098baec70aaa66999a72a82f27d848b21d4a741b0"
    "c5cd4d5fff9dac89aeba122961d03a757123e9870f8acf1000020887891429ca"
    "2a3e7a7d7df7b10355165c8b9a6d0a7de8b062c4500dc4cd120c0f7418dae3d0"
    "b5781c34803fa75421c790dfe1de1834f280d7667b327f6c8cd7557e12ac3a0f"
    "93ec05c52e0493ef31a12d3d9260f79a289d6a379bc70c50841473d1a8cc81ec"
    "583e9645e07b8d9670655ba5bbcfecc6dc3966380ad8fecb17b6ba02469a020a"
    "84e18e8f84252070c13e9f1f289be54fbc481457778f616015e1327a02b140f1"
    "505eb309326d68378f8374595c849d84f4c333ec4423885143cb47bd71c5edae"
    "9be69a2ffeceb1bec9de244fbe15992b11b77c040f12bd8f6a975a44a0f90c29"
    "a9abc3d4d893927284c58754cce294529f8614dcd2aba991925fedc4ae74ffac"
    "6e333b93eb4aff0479da9a410e4450e0dd7ae4c6e2910900575da401fc07059f"
    "645e8b7e9bfdef33943054ff84011493c27b3429eaedb4ed5376441a77ed4385"
    "1ad77f16f541dfd269d50d6a5f14fb0aab1cbb4c1550be97f7ab4066193c4caa"
    "773dad38014bd2092fa755c824bb5e54c4f36ffda9fcea70b9c6e693e148c151";
constexpr std::string_view kIeeeVector11 =
    "77a31251618a15e6b92d1d66dffe7b50b50bad552305ba0217a610688eff7e11"
    "e1d0225438e093242d6db274fde801d4cae06f2092c728b2478559df58e837c2"
    "469ee4a4fa794e4bbc7f39bc026e3cb72c33b0888f25b4acf56a2a9804f1ce6d"
    "3d6e1dc6ca181d4b546179d55544aa7760c40d06741539c7e3cd9d2f6650b201"
    "3fd0eeb8c2b8e3d8d240ccae2d4c98320a7442e1c8d75a42d6e6cfa4c2eca179"
    "8d158c7aecdf82490f24bb9b38e108bcda12c3faf9a21141c3613b58367f922a"
    "aa26cd22f23d708dae699ad7cb40a8ad0b6e2784973dcb605684c08b8d6998c6"
    "9aac049921871ebb65301a4619ca80ecb485a31d744223ce8ddc2394828d6a80"
    "470c092f5ba413c3378fa6054255c6f9df4495862bbb3287681f931b687c888a"
    "bf844dfc8fc28331e579928cd12bd2390ae123cf03818d14dedde5c0c24c8ab0"
    "18bfca75ca096f2d531f3d1619e785f1ada437cab92e980558b3dce1474afb75"
    "bfedbf8ff54cb2618e0244c9ac0d3c66fb51598cd2db11f9be39791abe447c63"
    "094f7c453b7ff87cb5bb36b7c79efb0872d17058b83b15ab0866ad8a58656c5a"
    "7e20dbdf308b2461d97c0ec0024a2715055249cf3b478ddd4740de654f75ca68"
    "6e0d7345c69ed50cdc2a8b332b1f8824108ac937eb050585608ee734097fc090"
    "54fbff89eeaeea791f4a7ab1f9868294a4f9e27b42af8100cb9d59cef9645803";

Bytes ieee_plaintext() {
  Bytes plain(512);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::byte>(i & 0xFF);
  return plain;
}

TEST(XtsCipher, MatchesIeee1619Vectors10And11) {
  Bytes key = hex(kIeeeKey);
  auto cipher = must_cipher(std::span<const std::byte, kMasterKeySize>(key.data(), 64));
  ASSERT_TRUE(cipher);
  struct Case {
    std::uint32_t block;
    std::string_view ciphertext;
  };
  for (const Case& c : {Case{0xFF, kIeeeVector10}, Case{0xFFFF, kIeeeVector11}}) {
    Bytes data = ieee_plaintext();
    encrypt_block(*cipher, c.block, data);
    EXPECT_EQ(data, hex(c.ciphertext)) << c.block;
    decrypt_block(*cipher, c.block, data);
    EXPECT_EQ(data, ieee_plaintext()) << c.block;
  }
}

TEST(XtsCipher, EqualsOneShotOpenSslWithLittleEndianTweak) {
  auto key = test_master_key();
  auto cipher = must_cipher(key);
  ASSERT_TRUE(cipher);
  for (std::size_t size : {std::size_t{512}, std::size_t{4096}, std::size_t{65536}}) {
    for (std::uint32_t block : {0U, 1U, 0x100U, 0x01020304U, 0xFFFFFFFEU}) {
      Bytes plain = random_bytes_for_test(size, block);
      Bytes data = plain;
      encrypt_block(*cipher, block, data);
      EXPECT_EQ(data, openssl_xts(key, block, plain)) << size << " " << block;
      Bytes out(size);
      cipher->encrypt_units_to(block, plain, out, size);
      EXPECT_EQ(out, data) << "out of place " << size << " " << block;
      decrypt_block(*cipher, block, data);
      EXPECT_EQ(data, plain);
    }
  }
}

TEST(XtsCipher, KeyWithEqualHalvesIsRefused) {
  std::array<std::byte, kMasterKeySize> key{};
  for (std::size_t i = 0; i < 32; ++i) key[i] = key[32 + i] = std::byte(i);
  auto cipher = cipher_from_master_key(key);
  ASSERT_FALSE(cipher);
  EXPECT_EQ(cipher.error(), VogError::io("AES-XTS key setup failed"));
}

TEST(XtsCipher, PiecesShorterThanOneAesBlockAreLeftAsTheyAre) {
  auto cipher = must_cipher(test_master_key());
  Bytes data = random_bytes_for_test(15, 1);
  Bytes before = data;
  encrypt_block(*cipher, 1, data);
  EXPECT_EQ(data, before);
  encrypt_block(*cipher, 1, {});

  // Out of place too, where the short piece ends a run.
  const Bytes run = random_bytes_for_test(512 + 15, 2);
  Bytes in_place = run;
  cipher->encrypt_units(7, in_place, 512);
  Bytes out(run.size());
  cipher->encrypt_units_to(7, run, out, 512);
  EXPECT_EQ(out, in_place);
  EXPECT_TRUE(std::equal(out.end() - 15, out.end(), run.end() - 15));
}

// ---------------------------------------------------------------------------
// Creating and opening encryption (each case costs an Argon2 derivation)

class EncryptionKeys : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto created = create_encryption(text_bytes(kPassword));
    ASSERT_TRUE(created) << created.error().to_string();
    created_ = new NewEncryption(std::move(*created));
  }
  static void TearDownTestSuite() {
    delete created_;
    created_ = nullptr;
  }

  static constexpr std::string_view kPassword = "correct horse battery staple";
  static NewEncryption* created_;
};
NewEncryption* EncryptionKeys::created_ = nullptr;

TEST_F(EncryptionKeys, CreatedRecordHoldsFixedCostsHashAndWrappedMasterKey) {
  ASSERT_TRUE(created_);
  const EncryptionConfig& config = created_->config;
  // Recompute the hierarchy straight from libargon2 and OpenSSL at the fixed
  // creation costs: 2 passes, 19456 KiB, one lane.
  std::array<unsigned char, 64> derived{};
  std::string password(kPassword);
  ASSERT_EQ(argon2id_hash_raw(2, 19456, 1, password.data(), password.size(), config.salt.data(),
                              config.salt.size(), derived.data(), derived.size()),
            ARGON2_OK);
  std::array<unsigned char, 32> hash{};
  EXPECT_EQ(EVP_Digest(derived.data() + 32, 32, hash.data(), nullptr, EVP_sha256(), nullptr), 1);
  EXPECT_TRUE(std::equal(hash.begin(), hash.end(),
                         reinterpret_cast<const unsigned char*>(config.verification_hash.data())));

  std::array<std::byte, kMasterKeySize> master{};
  ASSERT_TRUE(unwrap_key(std::as_bytes(std::span(derived)).first<32>(), config.wrapped_master_key,
                         master));
  auto from_master = must_cipher(master);
  Bytes expected = random_bytes_for_test(4096, 3);
  Bytes actual = expected;
  encrypt_block(*from_master, 77, expected);
  encrypt_block(*created_->cipher, 77, actual);
  EXPECT_EQ(actual, expected);
}

TEST_F(EncryptionKeys, EveryCreationDrawsItsOwnSaltAndMasterKey) {
  ASSERT_TRUE(created_);
  auto other = create_encryption(text_bytes(kPassword));
  ASSERT_TRUE(other);
  EXPECT_NE(other->config.salt, created_->config.salt);
  EXPECT_NE(other->config.verification_hash, created_->config.verification_hash);
  EXPECT_NE(other->config.wrapped_master_key, created_->config.wrapped_master_key);
  Bytes a(512), b(512);
  encrypt_block(*created_->cipher, 1, a);
  encrypt_block(*other->cipher, 1, b);
  EXPECT_NE(a, b);
}

// ---------------------------------------------------------------------------
// Stored Argon2 parameters, checked before any derivation

struct ParamCase {
  std::uint32_t memory_cost;
  std::uint32_t time_cost;
  std::uint32_t parallelism;
  std::string_view reason;
};

class EncryptionParams : public ::testing::TestWithParam<ParamCase> {};

TEST_P(EncryptionParams, RefusedWithTheFirstViolation) {
  const ParamCase& c = GetParam();
  EncryptionConfig config = sample_config();
  config.memory_cost = c.memory_cost;
  config.time_cost = c.time_cost;
  config.parallelism = c.parallelism;
  auto opened = open_encryption(config, text_bytes("pw"));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), VogError::io(std::string("argon2id params: ") + std::string(c.reason)));
}

constexpr std::uint32_t kMax32 = 0xFFFFFFFF;

INSTANTIATE_TEST_SUITE_P(
    InOrder, EncryptionParams,
    ::testing::Values(
        ParamCase{4, 2, 1, "memory cost is too small"},
        ParamCase{4, 0, 0, "memory cost is too small"},       // memory is checked first
        ParamCase{7, 1, 1, "memory cost is too small"},
        ParamCase{31, 1, 4, "memory cost is too small"},      // below 8 KiB per lane
        ParamCase{kMax32, 1, kMax32, "memory cost is too small"},  // 8 x lanes overflows 32 bits
        ParamCase{8, 0, 1, "time cost is too small"},
        ParamCase{8, 0, 0, "time cost is too small"},         // before the lane checks
        ParamCase{1u << 27, 1, 1u << 24, "too many threads"},  // before "too large"
        ParamCase{8, 1, 0, "not enough threads"},
        ParamCase{4194305, 1, 1, "memory cost is too large"},
        ParamCase{4194305, 65, 1, "memory cost is too large"},
        ParamCase{4194304, 65, 1, "time cost is too large"},  // 4 GiB itself passes
        ParamCase{8, 65, 1, "time cost is too large"}));

TEST(EncryptionParamsLimits, SixtyFourPassesAreAllowed) {
  EncryptionConfig config = sample_config();
  config.memory_cost = 8;
  config.time_cost = 64;
  config.parallelism = 1;
  auto opened = open_encryption(config, text_bytes("pw"));
  ASSERT_FALSE(opened);  // derived, then refused by the (made-up) hash
  EXPECT_EQ(opened.error(), VogError::wrong_password("password verification hash mismatch"));
}

// A "Name:  value" field of /proc/<pid>/status (sizes in KiB); -1 when absent.
long long proc_status(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.size() > field.size() && line.starts_with(field) && line[field.size()] == ':')
      return std::atoll(line.c_str() + field.size() + 1);
  return -1;
}

// The dearest record a file can carry (4 GiB, 64 passes, 255 lanes: all one
// byte holds) is derived in a child whose address space is capped at what it
// maps already plus that memory and the stacks of the threads we allow; any
// allocation or thread beyond them fails the derivation. The child is killed
// once its lanes run: the whole derivation takes minutes, so only how it
// starts is watched, which is where its memory and threads are taken.
TEST(EncryptionParamsLimits, DearestAcceptedRecordDerivesWithinTheMemoryItNames) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers map memory of their own";
#endif
  EncryptionConfig config = sample_config();
  config.memory_cost = 4194304;
  config.time_cost = 64;
  config.parallelism = 255;
  const std::uint64_t named = std::uint64_t{config.memory_cost} << 10;
  const long long threads =
      std::clamp<long long>(std::thread::hardware_concurrency(), 1, config.parallelism);
  rlimit stack{};
  ::getrlimit(RLIMIT_STACK, &stack);
  const std::uint64_t stack_size =
      stack.rlim_cur == RLIM_INFINITY ? std::uint64_t{32} << 20 : stack.rlim_cur;
  const std::uint64_t allowance =
      static_cast<std::uint64_t>(threads) * (stack_size + (1 << 20)) + (std::uint64_t{16} << 20);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    // A lane thread's first allocation would otherwise reserve an arena of its own.
    ::mallopt(M_ARENA_MAX, 1);
    const std::uint64_t base = static_cast<std::uint64_t>(proc_status(::getpid(), "VmSize")) << 10;
    rlimit cap{base + named + allowance, base + named + allowance};
    std::string message = "address space not capped";
    if (::setrlimit(RLIMIT_AS, &cap) == 0) {
      void* probe = std::malloc(named);
      std::free(probe);
      if (!probe) {
        message = "no " + std::to_string(named) + " bytes of address space here";
      } else {
        (void)!::write(pipe_fds[1], &base, sizeof base);
        // Only a failure returns within the few seconds the child lives.
        auto opened = open_encryption(config, text_bytes("pw"));
        message = opened ? "derived" : opened.error().to_string();
      }
    }
    (void)!::write(pipe_fds[1], message.data(), message.size());
    std::_Exit(1);
  }
  ::close(pipe_fds[1]);
  std::uint64_t base = 0;
  bool started = ::read(pipe_fds[0], &base, sizeof base) == sizeof base;

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  std::optional<Clock::time_point> running_until;
  long long most_threads = 0, peak_kib = -1;
  bool ended = false;
  while (started && Clock::now() < deadline) {
    if (::waitpid(child, nullptr, WNOHANG) == child) {
      ended = true;
      break;
    }
    long long size_kib = proc_status(child, "VmSize"), now_threads = proc_status(child, "Threads");
    most_threads = std::max(most_threads, now_threads);
    if (!running_until && (static_cast<std::uint64_t>(size_kib) << 10) >= base + named / 2 &&
        now_threads >= (threads > 1 ? 2 : 1))
      running_until = Clock::now() + std::chrono::milliseconds(50);
    if (running_until && Clock::now() >= *running_until) {
      peak_kib = proc_status(child, "VmPeak");
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  std::string message(256, '\0');
  message.resize(static_cast<std::size_t>(
      std::max<ssize_t>(::read(pipe_fds[0], message.data(), message.size()), 0)));
  ::close(pipe_fds[0]);

  if (message.starts_with("no ")) GTEST_SKIP() << message;
  ASSERT_FALSE(ended) << "the derivation stopped: " << message;
  ASSERT_TRUE(running_until && peak_kib >= 0)
      << "the derivation did not take its memory and lanes: " << message;
  EXPECT_LE(static_cast<std::uint64_t>(peak_kib) << 10, base + named + allowance);
  EXPECT_LE(most_threads, 1 + threads);  // the child's own thread and the lanes' at once
}

// ---------------------------------------------------------------------------
// Run transforms

TEST(RunSplit, CutsWholeBlocksIntoOneChunkPerThread) {
  EXPECT_EQ(split_run(10 * 512, 512, 4), (RunSplit{3, 3 * 512, 4}));
  EXPECT_EQ(split_run(8 * 512, 512, 4), (RunSplit{2, 2 * 512, 4}));
  EXPECT_EQ(split_run(3 * 4096, 4096, 8), (RunSplit{1, 4096, 3}));
  EXPECT_EQ(split_run(1 * 512, 512, 1), (RunSplit{1, 512, 1}));
  EXPECT_EQ(split_run(100 * 512, 512, 1), (RunSplit{100, 100 * 512, 1}));
  // A trailing partial block rides in the last chunk or makes one of its own.
  EXPECT_EQ(split_run(10 * 512 + 100, 512, 4), (RunSplit{3, 3 * 512, 4}));
  EXPECT_EQ(split_run(4 * 512 + 100, 512, 4), (RunSplit{1, 512, 5}));
}

TEST(RunSplit, NoWholeBlockMeansNoWork) {
  EXPECT_EQ(split_run(0, 512, 4), RunSplit{});
  EXPECT_EQ(split_run(511, 512, 4), RunSplit{});
  EXPECT_EQ(split_run(4096, 0, 4), RunSplit{});
}

TEST(RunTransform, EqualsBlockByBlockForManySizesAndThreadCounts) {
  auto cipher = must_cipher(test_master_key(3));
  for (std::size_t threads : {1u, 2u, 3u, 4u, 8u}) {
    WorkerPool pool(threads);
    for (std::size_t block_size : {512u, 4096u}) {
      for (std::size_t blocks : {1u, 2u, 3u, 5u, 7u, 10u, 33u, 64u}) {
        Bytes plain = random_bytes_for_test(blocks * block_size, static_cast<unsigned>(blocks));
        Bytes expected = plain;
        for (std::size_t i = 0; i < blocks; ++i)
          encrypt_block(*cipher, static_cast<std::uint32_t>(1000 + i),
                        std::span(expected).subspan(i * block_size, block_size));
        Bytes data = plain;
        encrypt_blocks(*cipher, data, block_size, 1000, pool);
        ASSERT_EQ(data, expected) << threads << " threads, " << blocks << " x " << block_size;
        decrypt_blocks(*cipher, data, block_size, 1000, pool);
        ASSERT_EQ(data, plain) << threads << " threads, " << blocks << " x " << block_size;
      }
    }
  }
}

TEST(RunTransform, TrailingPartialBlockIsItsOwnDataUnit) {
  auto key = test_master_key(5);
  auto cipher = must_cipher(key);
  WorkerPool pool(2);
  Bytes plain = random_bytes_for_test(3 * 512 + 100, 6);
  Bytes data = plain;
  encrypt_blocks(*cipher, data, 512, 20, pool);
  Bytes tail(plain.begin() + 3 * 512, plain.end());
  EXPECT_TRUE(std::equal(data.begin() + 3 * 512, data.end(),
                         openssl_xts(key, 23, tail).begin()));
  decrypt_blocks(*cipher, data, 512, 20, pool);
  EXPECT_EQ(data, plain);
}

TEST(RunTransform, EmptyAndSubBlockBuffersAreLeftAlone) {
  auto cipher = must_cipher(test_master_key());
  WorkerPool pool(4);
  Bytes small = random_bytes_for_test(511, 8);
  Bytes before = small;
  encrypt_blocks(*cipher, small, 512, 0, pool);
  decrypt_blocks(*cipher, small, 512, 0);
  EXPECT_EQ(small, before);
  encrypt_blocks(*cipher, {}, 512, 0, pool);
  decrypt_blocks(*cipher, {}, 512, 0);
}

}  // namespace
}  // namespace vog
