// The AES-256-XTS block cipher behind cipher_from_master_key, with its one
// tuning knob exposed: the longest data unit handed to OpenSSL's XTS. Longer
// units are transformed over AES-ECB with the same tweak sequence; lowering
// the limit lets the two paths be checked against each other on small units.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "encryption.hpp"

namespace vog {

// OpenSSL refuses XTS data units of more than 2^20 AES blocks.
inline constexpr std::size_t kOpenSslMaxXtsUnit = std::size_t{1} << 24;

// cipher_from_master_key with units above min(max_xts_unit, kOpenSslMaxXtsUnit)
// bytes taking the ECB path.
[[nodiscard]] Result<std::unique_ptr<BlockCipher>> xts_cipher_with_unit_limit(
    std::span<const std::byte, kMasterKeySize> master_key, std::size_t max_xts_unit);

}  // namespace vog
