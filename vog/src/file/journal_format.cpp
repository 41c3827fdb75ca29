#include "journal_format.hpp"

#include <xxhash.h>
#if defined(__x86_64__)
// Picks the widest vector unit the processor has when first called: twice
// SSE2's speed with AVX2, for the same checksums.
#include <xxh_x86dispatch.h>
#endif

#include <algorithm>
#include <cstring>

#include "format.hpp"
#include "le_bytes.hpp"

namespace vog::journal {
namespace {

constexpr std::array<char, 8> kMagic = {'v', 'o', 'g', 'j', 'r', 'n', 'l', '\0'};
constexpr std::size_t kSummedHeader = 56;

// Version 2's sum, kept to roll back what an older build left behind.
std::uint64_t checksum_v2(std::uint64_t seed, std::span<const std::byte> data) {
  constexpr std::uint64_t kPrime = 0x9E3779B97F4A7C15ull;
  // Four lanes of 8-byte words keep the multiplications independent.
  std::uint64_t lanes[4] = {seed ^ kPrime, seed + data.size(), ~seed, seed * kPrime + 1};
  auto mix = [](std::uint64_t h, std::uint64_t word) {
    h = (h ^ word) * kPrime;
    return h ^ (h >> 29);
  };
  std::size_t i = 0;
  for (; i + 32 <= data.size(); i += 32)
    for (std::size_t lane = 0; lane < 4; ++lane) {
      std::uint64_t word;
      std::memcpy(&word, data.data() + i + 8 * lane, 8);
      lanes[lane] = mix(lanes[lane], word);
    }
  std::uint64_t h = mix(mix(mix(lanes[0], lanes[1]), lanes[2]), lanes[3]);
  for (; i + 8 <= data.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data.data() + i, 8);
    h = mix(h, word);
  }
  std::uint64_t tail = 0;
  for (std::size_t shift = 0; i < data.size(); ++i, shift += 8)
    tail |= std::to_integer<std::uint64_t>(data[i]) << shift;
  return mix(mix(h, tail), data.size());
}

VogError not_this_files(const std::string& journal, std::string_view why) {
  return VogError::io(format("journal '{}' does not belong to this Vog file ({}); move it away "
                             "to open the file as it is",
                             journal, why));
}

}  // namespace

std::uint64_t checksum(std::uint32_t version, std::uint64_t seed,
                       std::span<const std::byte> data) {
  if (version == 2) return checksum_v2(seed, data);
  return XXH3_64bits_withSeed(data.data(), data.size(), seed);
}

std::array<std::byte, kHeaderSize> encode(const Header& header, std::uint32_t version) {
  std::array<std::byte, kHeaderSize> out{};
  std::memcpy(out.data(), kMagic.data(), kMagic.size());
  store_u32(out, 8, version);
  store_u32(out, 12, kPageSize);
  store_u64(out, 16, header.data_offset);
  store_u64(out, 24, header.identity);
  store_u64(out, 32, header.committed_length);
  store_u64(out, 40, header.nonce);
  store_u32(out, 48, static_cast<std::uint32_t>(header.state));
  store_u64(out, kSummedHeader, checksum(version, 0, std::span(out).first(kSummedHeader)));
  return out;
}

void append_record(std::vector<std::byte>& out, std::uint64_t nonce, std::uint64_t offset,
                   std::span<const std::byte> bytes, std::uint32_t version) {
  std::array<std::byte, kRecordHeaderSize> head{};
  store_u64(head, 0, offset);
  store_u32(head, 8, static_cast<std::uint32_t>(bytes.size()));
  store_u64(head, 16, checksum(version, checksum(version, nonce, std::span(head).first(16)), bytes));
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

std::pair<std::uint64_t, std::uint64_t> page_range(std::uint64_t page, std::uint64_t data_offset) {
  if (page == 0) return {0, data_offset};
  std::uint64_t start = data_offset + (page - 1) * kPageSize;
  return {start, start + kPageSize};
}

std::uint64_t page_of(std::uint64_t offset, std::uint64_t data_offset) {
  return offset < data_offset ? 0 : 1 + (offset - data_offset) / kPageSize;
}

Result<std::uint64_t> identity_of(FileLayer& file) {
  std::vector<std::byte> head(file.data_offset());
  VOG_TRY(got, read_fully(file, 0, head));
  return checksum(kVersion, 0, std::span(head).first(*got));
}

Result<void> read_more_records(PlainFile& journal, std::span<const std::byte, kHeaderSize> header,
                               std::uint64_t data_offset, Undo& undo) {
  const std::uint32_t version = load_u32(header, 8);
  auto sum = [version](std::uint64_t seed, std::span<const std::byte> data) {
    return checksum(version, seed, data);
  };
  const std::uint64_t nonce = load_u64(header, 40);
  std::array<std::byte, kRecordHeaderSize> head{};
  for (;;) {
    VOG_TRY(have, read_fully(journal, undo.end, head));
    if (*have < head.size()) return {};
    const std::uint64_t offset = load_u64(head, 0);
    const std::uint32_t length = load_u32(head, 8);
    if (length == 0 || length > std::max<std::uint64_t>(kPageSize, data_offset) ||
        offset > undo.committed_length || undo.committed_length - offset < length)
      return {};
    std::vector<std::byte> bytes(length);
    VOG_TRY(body, read_fully(journal, undo.end + kRecordHeaderSize, bytes));
    if (*body < length) return {};
    if (load_u64(head, 16) != sum(sum(nonce, std::span(head).first(16)), bytes)) return {};
    undo.records.push_back({offset, std::move(bytes)});
    undo.end += kRecordHeaderSize + length;
  }
}

Result<std::optional<Undo>> read_undo(PlainFile& journal, const std::string& name,
                                      FileLayer& file) {
  std::array<std::byte, kHeaderSize> header{};
  VOG_TRY(got, read_fully(journal, 0, header));
  if (std::all_of(header.begin(), header.end(), [](std::byte b) { return b == std::byte{0}; }))
    return std::nullopt;
  if (*got < kHeaderSize || std::memcmp(header.data(), kMagic.data(), kMagic.size()) != 0)
    return std::unexpected(not_this_files(name, "not a Vog journal"));
  const std::uint32_t version = load_u32(header, 8);
  if ((version != kVersion && version != 2) || load_u32(header, 12) != kPageSize)
    return std::unexpected(not_this_files(name, "unknown journal version or page size"));
  auto sum = [version](std::uint64_t seed, std::span<const std::byte> data) {
    return checksum(version, seed, data);
  };
  if (load_u64(header, kSummedHeader) != sum(0, std::span(header).first(kSummedHeader)))
    return std::nullopt;  // torn while it was written: nothing it covers reached the file
  const auto state = static_cast<State>(load_u32(header, 48));
  if (state != State::Transaction && state != State::Committed)
    return std::unexpected(not_this_files(name, "unknown journal state"));
  // A committed mark of another file asks nothing of this one.
  const bool mark = state == State::Committed;
  if (load_u64(header, 16) != file.data_offset()) {
    if (mark) return std::nullopt;
    return std::unexpected(not_this_files(name, "another data offset"));
  }

  const std::uint64_t nonce = load_u64(header, 40);
  Undo undo{load_u64(header, 32), {}, mark ? nonce : nonce - 1};
  if (!mark) VOG_CHECK(read_more_records(journal, header, file.data_offset(), undo));
  // The identity is of the header bytes as committed, which the records
  // restore where the transaction changed them (only a creation does).
  std::vector<std::byte> head_bytes(file.data_offset());
  VOG_TRY(got_head, read_fully(file, 0, head_bytes));
  head_bytes.resize(*got_head);
  for (auto record = undo.records.rbegin(); record != undo.records.rend(); ++record) {
    if (record->offset >= file.data_offset()) continue;
    const auto end = static_cast<std::size_t>(
        std::min<std::uint64_t>(record->offset + record->bytes.size(), file.data_offset()));
    if (head_bytes.size() < end) head_bytes.resize(end);
    std::memcpy(head_bytes.data() + record->offset, record->bytes.data(),
                end - static_cast<std::size_t>(record->offset));
  }
  if (load_u64(header, 24) != sum(0, head_bytes)) {
    if (mark) return std::nullopt;
    return std::unexpected(not_this_files(name, "another file header"));
  }
  // Rolling back restores what the records hold and cuts the rest: it never
  // needs to grow the file past them, which a damaged length would ask for.
  if (!mark) {
    VOG_TRY(length, file.len());
    std::uint64_t reach = *length;
    for (const Record& record : undo.records)
      reach = std::max<std::uint64_t>(reach, record.offset + record.bytes.size());
    if (undo.committed_length > reach)
      return std::unexpected(not_this_files(name, "committed length past the file"));
  }
  return undo;
}

}  // namespace vog::journal
