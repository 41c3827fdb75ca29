#include "text.hpp"

#include "format.hpp"

namespace vog {
namespace {

struct Sequence {
  std::size_t length;  // bytes consumed: the whole sequence, or the malformed subpart
  bool valid;
  bool incomplete;  // malformed only because the text ended
};

Sequence sequence_at(std::string_view text, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned lead = byte(at);
  if (lead < 0x80) return {1, true, false};
  std::size_t need;
  // The narrower ranges of the first continuation byte exclude overlongs,
  // surrogates and code points above U+10FFFF.
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false, false};  // a byte that can never start a sequence
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (at + k >= text.size()) return {k, false, true};
    unsigned next = byte(at + k);
    unsigned lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xBF;
    if (next < lo || next > hi) return {k, false, false};
  }
  return {need + 1, true, false};
}

}  // namespace

std::string lossy_utf8(std::span<const std::byte> bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    Sequence seq = sequence_at(text, at);
    if (seq.valid)
      out.append(text.substr(at, seq.length));
    else
      out.append(kReplacement);  // one replacement for the whole broken subpart
    at += seq.length;
  }
  return out;
}

std::optional<std::string> utf8_fault(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    Sequence seq = sequence_at(text, at);
    if (!seq.valid) {
      if (seq.incomplete) return format("incomplete sequence at offset {}", at);
      return format("invalid sequence of {} bytes at offset {}", seq.length, at);
    }
    at += seq.length;
  }
  return std::nullopt;
}

std::string escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\\' || byte == '"') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else if (byte == 0xC2 && at + 1 < text.size() &&
               static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
      const auto low = static_cast<unsigned char>(text[++at]);
      out += "\\u00";
      out += kHex[low >> 4];
      out += kHex[low & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

}  // namespace vog
