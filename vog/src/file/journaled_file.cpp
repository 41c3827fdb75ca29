// The rollback journal: its bytes, recovery, and the journaled file layer.
//
// Journal bytes (all integers little-endian). A 64-byte header at offset 0:
//   0   8  magic "vogjrnl\0"
//   8   4  version, 1
//   12  4  page size: changes are saved in pages of this size, counted from
//          data_offset; the bytes before data_offset are one page of their own
//   16  8  data_offset of the Vog file
//   24  8  identity: checksum of the Vog file's first data_offset bytes as
//          committed (its header and the block layer's, which only the
//          creating transaction writes)
//   32  8  committed length: the Vog file's length at the last commit
//   40  8  nonce: drawn anew for every transaction
//   48  8  checksum of bytes 0..47
//   56  8  zero
// An all-zero header means no transaction: the journal was reset by a commit.
// Records follow the header back to back, one per saved page:
//   0   8  file offset of the saved bytes
//   8   4  length n, 1 to the page size
//   12  4  zero
//   16  8  checksum of the nonce, bytes 0..15 and the n bytes
//   24  n  the bytes as they stood at the last commit
// The transaction's records end at the first one that does not check out
// (a torn write, or a record of an earlier transaction: its nonce differs).
//
// Rolling back writes every record's bytes back, cuts the file to the
// committed length, forces the file to disk, then resets the journal and
// forces it too. A header with the magic but a bad checksum was torn while
// it was written, before anything in the file changed, and is ignored; a
// journal with another magic, version, page size, data offset or identity
// is not this file's and is never applied.
//
// Invariants of a JournaledFile (under mu_):
//  1. A committed page (one starting below committed_length_) differs from its
//     committed bytes only if saved_pages_ holds it and its record is in the
//     journal; in Full, only if that record is also on disk.
//  2. in_transaction_ is false exactly when the journal's header is zero, and
//     then saved_pages_, pending_ are empty and the file equals its last commit.
//  3. Full: while !journal_durable_ nothing reaches the file; everything waits
//     in pending_, in order.
//  4. An entry of images_ is a whole page exactly as the file, pending changes
//     included, holds it now.
#include "journaled_file.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>

#include "file_on_disk.hpp"
#include "format.hpp"
#include "le_bytes.hpp"

namespace vog {
namespace {

constexpr std::array<char, 8> kMagic = {'v', 'o', 'g', 'j', 'r', 'n', 'l', '\0'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kRecordHeaderSize = 24;

// A 64-bit checksum in four lanes of 8-byte words; good enough to tell torn
// or stale bytes from what was written, not meant to resist anyone.
std::uint64_t checksum(std::uint64_t seed, std::span<const std::byte> data) {
  constexpr std::uint64_t kPrime = 0x9E3779B97F4A7C15ull;
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

// [start, end) of page `page`: page 0 is [0, data_offset).
std::pair<std::uint64_t, std::uint64_t> page_range(std::uint64_t page, std::uint64_t data_offset) {
  if (page == 0) return {0, data_offset};
  std::uint64_t start = data_offset + (page - 1) * JournaledFile::kPageSize;
  return {start, start + JournaledFile::kPageSize};
}

std::uint64_t page_of(std::uint64_t offset, std::uint64_t data_offset) {
  return offset < data_offset ? 0 : 1 + (offset - data_offset) / JournaledFile::kPageSize;
}

// Reads exactly out.size() bytes or fewer at the end of the file.
Result<std::size_t> read_fully(auto& file, std::uint64_t offset, std::span<std::byte> out) {
  std::size_t have = 0;
  while (have < out.size()) {
    VOG_TRY(got, file.read(offset + have, out.subspan(have)));
    if (*got == 0) break;
    have += *got;
  }
  return have;
}

Result<std::uint64_t> identity_of(FileLayer& file) {
  std::vector<std::byte> head(file.data_offset());
  VOG_TRY(got, read_fully(file, 0, head));
  return checksum(0, std::span(head).first(*got));
}

std::array<std::byte, kHeaderSize> make_header(std::uint64_t data_offset, std::uint64_t identity,
                                               std::uint64_t committed, std::uint64_t nonce) {
  std::array<std::byte, kHeaderSize> header{};
  std::memcpy(header.data(), kMagic.data(), kMagic.size());
  store_u32(header, 8, kVersion);
  store_u32(header, 12, JournaledFile::kPageSize);
  store_u64(header, 16, data_offset);
  store_u64(header, 24, identity);
  store_u64(header, 32, committed);
  store_u64(header, 40, nonce);
  store_u64(header, 48, checksum(0, std::span(header).first(48)));
  return header;
}

struct Record {
  std::uint64_t offset;
  std::vector<std::byte> bytes;
};

struct Rollback {
  std::uint64_t committed_length = 0;
  std::vector<Record> records;
};

VogError not_this_files(const std::string& journal, std::string_view why) {
  return VogError::io(format("journal '{}' does not belong to this Vog file ({}); move it away "
                             "to open the file as it is",
                             journal, why));
}

// What the journal asks to undo; nothing when it holds no transaction.
Result<std::optional<Rollback>> read_journal(PlainFile& journal, const std::string& name,
                                             FileLayer& file) {
  std::array<std::byte, kHeaderSize> header{};
  VOG_TRY(got, read_fully(journal, 0, header));
  if (std::all_of(header.begin(), header.end(), [](std::byte b) { return b == std::byte{0}; }))
    return std::nullopt;
  if (*got < kHeaderSize || std::memcmp(header.data(), kMagic.data(), kMagic.size()) != 0)
    return std::unexpected(not_this_files(name, "not a Vog journal"));
  if (load_u64(header, 48) != checksum(0, std::span(header).first(48)))
    return std::nullopt;  // torn while the transaction began: the file was not touched yet
  if (load_u32(header, 8) != kVersion || load_u32(header, 12) != JournaledFile::kPageSize)
    return std::unexpected(not_this_files(name, "unknown journal version or page size"));
  if (load_u64(header, 16) != file.data_offset())
    return std::unexpected(not_this_files(name, "another data offset"));
  Rollback plan{load_u64(header, 32), {}};
  const std::uint64_t nonce = load_u64(header, 40);
  std::uint64_t at = kHeaderSize;
  std::array<std::byte, kRecordHeaderSize> head{};
  for (;;) {
    VOG_TRY(have, read_fully(journal, at, head));
    if (*have < head.size()) break;
    const std::uint64_t offset = load_u64(head, 0);
    const std::uint32_t length = load_u32(head, 8);
    if (length == 0 || length > JournaledFile::kPageSize || offset > plan.committed_length ||
        plan.committed_length - offset < length)
      break;
    std::vector<std::byte> bytes(length);
    VOG_TRY(body, read_fully(journal, at + kRecordHeaderSize, bytes));
    if (*body < length) break;
    std::uint64_t sum = checksum(nonce, std::span(head).first(16));
    if (load_u64(head, 16) != checksum(sum, bytes)) break;
    plan.records.push_back({offset, std::move(bytes)});
    at += kRecordHeaderSize + length;
  }
  // The identity is of the header bytes as committed, which a record of the
  // first page holds when the transaction changed them (only a creation does).
  std::vector<std::byte> head_bytes(file.data_offset());
  VOG_TRY(got_head, read_fully(file, 0, head_bytes));
  head_bytes.resize(*got_head);
  for (const Record& record : plan.records)
    if (record.offset == 0) head_bytes = record.bytes;
  if (load_u64(header, 24) != checksum(0, head_bytes))
    return std::unexpected(not_this_files(name, "another file header"));
  return plan;
}

Result<void> reset_journal(PlainFile& journal, bool force) {
  const std::array<std::byte, kHeaderSize> zero{};
  VOG_CHECK(journal.write(0, zero));
  return force ? journal.sync() : Result<void>{};
}

std::uint64_t fresh_nonce() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng();
}

}  // namespace

std::string journal_path(const std::string& path) { return path + "-journal"; }

Result<std::unique_ptr<FileLayer>> create_vog_file(FileSystem& fs, const std::string& path,
                                                   std::uint16_t data_offset, Durability level) {
  VOG_TRY(file, FileOnDisk::create(fs, path, data_offset));
  const std::string journal_name = journal_path(path);
  if (level == Durability::Off) {
    // A journal left from an older file of this name must never meet this one.
    VOG_CHECK(fs.remove(journal_name));
    return std::unique_ptr<FileLayer>(std::move(*file));
  }
  VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenOrCreate, AccessMode::Writable));
  VOG_CHECK((*journal)->set_len(0));
  if (level == Durability::Full) VOG_CHECK(fs.sync_directory_of(journal_name));
  return std::unique_ptr<FileLayer>(new JournaledFile(fs, journal_name, std::move(*file),
                                                      std::move(*journal), data_offset, level));
}

Result<std::unique_ptr<FileLayer>> open_vog_file(FileSystem& fs, const std::string& path,
                                                 AccessMode mode, Durability level) {
  VOG_TRY(file, FileOnDisk::open(fs, path, mode));
  const std::string journal_name = journal_path(path);
  VOG_TRY(present, fs.exists(journal_name));
  const bool writable = mode == AccessMode::Writable;
  if (*present) {
    VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenExisting, mode));
    VOG_TRY(plan, read_journal(**journal, journal_name, **file));
    if (*plan) {
      if (!writable)
        return std::unexpected(VogError::io(
            format("Vog file '{}' was not closed cleanly and must be recovered from its journal; "
                   "open it for writing once",
                   path)));
      for (const Record& record : (*plan)->records)
        VOG_CHECK((*file)->write(record.offset, record.bytes));
      VOG_CHECK((*file)->set_len((*plan)->committed_length));
      VOG_CHECK((*file)->sync());
      VOG_CHECK(reset_journal(**journal, /*force=*/true));
    }
  }
  if (!writable) return std::unique_ptr<FileLayer>(std::move(*file));
  if (level == Durability::Off) {
    if (*present) VOG_CHECK(fs.remove(journal_name));
    return std::unique_ptr<FileLayer>(std::move(*file));
  }
  VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenOrCreate, AccessMode::Writable));
  VOG_CHECK(reset_journal(**journal, /*force=*/false));
  if (level == Durability::Full && !*present) VOG_CHECK(fs.sync_directory_of(journal_name));
  VOG_TRY(length, (*file)->len());
  return std::unique_ptr<FileLayer>(new JournaledFile(fs, journal_name, std::move(*file),
                                                      std::move(*journal), *length, level));
}

JournaledFile::JournaledFile(FileSystem& fs, std::string journal_path,
                             std::unique_ptr<FileLayer> file, std::unique_ptr<PlainFile> journal,
                             std::uint64_t length, Durability level)
    : fs_(fs),
      journal_path_(std::move(journal_path)),
      file_(std::move(file)),
      journal_(std::move(journal)),
      level_(level),
      length_(length),
      committed_length_(length),
      nonce_(0) {}

JournaledFile::~JournaledFile() {
  // A journal holding a transaction stays for the next open to roll back.
  if (!in_transaction_) (void)fs_.remove(journal_path_);
}

Result<std::vector<std::byte>> JournaledFile::transaction_header() {
  if (!identity_) {
    VOG_TRY(identity, identity_of(*file_));
    identity_ = *identity;
  }
  nonce_ = fresh_nonce();
  auto header = make_header(file_->data_offset(), *identity_, committed_length_, nonce_);
  return std::vector<std::byte>(header.begin(), header.end());
}

Result<void> JournaledFile::begin_transaction() {
  if (in_transaction_) return {};
  VOG_TRY(header, transaction_header());
  VOG_CHECK(journal_->write(0, *header));
  in_transaction_ = true;
  journal_durable_ = false;
  journal_end_ = kHeaderSize;
  return {};
}

Result<bool> JournaledFile::save_pages(std::uint64_t from, std::uint64_t to,
                                       std::span<const std::byte> data) {
  const bool inside = to <= committed_length_;
  to = std::min(to, committed_length_);
  if (from >= to) return false;
  const std::uint64_t data_offset = file_->data_offset();
  std::vector<std::byte>& record = record_;
  for (std::uint64_t page = page_of(from, data_offset); page_range(page, data_offset).first < to;
       ++page) {
    if (saved_pages_.contains(page)) continue;
    auto [start, end] = page_range(page, data_offset);
    end = std::min(end, committed_length_);
    const auto length = static_cast<std::size_t>(end - start);
    // The transaction's first record carries its header in the same write.
    const std::size_t head = in_transaction_ ? 0 : kHeaderSize;
    record.resize(head + kRecordHeaderSize + length);
    std::fill_n(record.begin(), head + kRecordHeaderSize, std::byte{0});
    std::span<std::byte> entry = std::span(record).subspan(head);
    std::span<std::byte> bytes = entry.subspan(kRecordHeaderSize);
    // Nothing of a committed page has changed yet, so the file (or the image
    // kept of it) holds its committed bytes.
    if (auto image = images_.find(page); image != images_.end()) {
      std::memcpy(bytes.data(), image->second.data(), length);
    } else if (page != 0 && end - start == kPageSize) {
      std::vector<std::byte> full(kPageSize);
      VOG_TRY(got, read_fully(*file_, start, full));
      (void)got;  // bytes past the end of the file read as the zeros they are
      std::memcpy(bytes.data(), full.data(), length);
      if (images_.size() >= kImageLimit) images_.clear();
      images_.emplace(page, std::move(full));
    } else {
      std::fill(bytes.begin(), bytes.end(), std::byte{0});
      VOG_TRY(got, read_fully(*file_, start, bytes));
      (void)got;
    }
    // Rewriting a page with what it holds (block 0 often) changes nothing to save.
    if (inside && !data.empty() && start <= from && to <= end &&
        std::memcmp(bytes.data() + (from - start), data.data(), data.size()) == 0)
      return true;
    if (head != 0) {
      VOG_TRY(header, transaction_header());
      std::memcpy(record.data(), header->data(), header->size());
      journal_end_ = kHeaderSize;
    }
    if (page == 0) identity_.reset();  // the header bytes change: the next transaction looks again
    store_u64(entry, 0, start);
    store_u32(entry, 8, static_cast<std::uint32_t>(length));
    store_u64(entry, 16, checksum(checksum(nonce_, entry.first(16)), bytes));
    VOG_CHECK(journal_->write(journal_end_ - head, record));
    in_transaction_ = true;
    saved_pages_.insert(page);
    journal_end_ += entry.size();
    journal_durable_ = false;
  }
  return false;
}

void JournaledFile::patch_images(std::uint64_t offset, std::span<const std::byte> data) {
  const std::uint64_t data_offset = file_->data_offset();
  const std::uint64_t end = offset + data.size();
  for (std::uint64_t page = page_of(offset, data_offset); page_range(page, data_offset).first < end;
       ++page) {
    auto image = images_.find(page);
    if (image == images_.end()) continue;
    auto [start, stop] = page_range(page, data_offset);
    const std::uint64_t from = std::max(start, offset), to = std::min(stop, end);
    std::memcpy(image->second.data() + (from - start), data.data() + (from - offset),
                static_cast<std::size_t>(to - from));
  }
}

bool JournaledFile::must_wait() const noexcept {
  return level_ == Durability::Full && (!journal_durable_ || !pending_.empty());
}

Result<void> JournaledFile::apply(const Pending& change) {
  if (change.truncate) return file_->set_len(change.offset);
  return file_->write(change.offset, change.bytes);
}

Result<void> JournaledFile::write_out_pending() {
  if (!journal_durable_) VOG_CHECK(journal_->sync());
  journal_durable_ = true;
  for (const Pending& change : pending_) VOG_CHECK(apply(change));
  pending_.clear();
  pending_bytes_ = 0;
  return {};
}

Result<std::size_t> JournaledFile::read(std::uint64_t offset, std::span<std::byte> out) {
  std::shared_lock lock(mu_);
  if (pending_.empty()) return file_->read(offset, out);
  if (offset >= length_) return 0;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), length_ - offset));
  VOG_TRY(got, file_->read(offset, out.first(count)));
  if (*got < count) std::fill(out.begin() + static_cast<std::ptrdiff_t>(*got),
                              out.begin() + static_cast<std::ptrdiff_t>(count), std::byte{0});
  const std::uint64_t end = offset + count;
  for (const Pending& change : pending_) {
    if (change.truncate) {
      if (change.offset < end)
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::max(change.offset, offset) - offset),
                  out.begin() + static_cast<std::ptrdiff_t>(count), std::byte{0});
      continue;
    }
    const std::uint64_t from = std::max(change.offset, offset);
    const std::uint64_t to = std::min(change.offset + change.bytes.size(), end);
    if (from >= to) continue;
    std::memcpy(out.data() + (from - offset), change.bytes.data() + (from - change.offset),
                static_cast<std::size_t>(to - from));
  }
  return count;
}

Result<void> JournaledFile::write(std::uint64_t offset, std::span<const std::byte> data) {
  if (data.empty()) return {};
  std::unique_lock lock(mu_);
  VOG_TRY(unchanged, save_pages(offset, offset + data.size(), data));
  if (*unchanged) return {};
  VOG_CHECK(begin_transaction());
  patch_images(offset, data);
  if (must_wait()) {
    pending_.push_back({offset, {data.begin(), data.end()}, false});
    pending_bytes_ += data.size();
    length_ = std::max<std::uint64_t>(length_, offset + data.size());
    if (pending_bytes_ > kPendingLimit) VOG_CHECK(write_out_pending());
    return {};
  }
  auto wrote = file_->write(offset, data);
  if (!wrote) {
    images_.clear();  // the file may hold part of the write
    if (auto now = file_->len()) length_ = *now;
    return wrote;
  }
  length_ = std::max<std::uint64_t>(length_, offset + data.size());
  return {};
}

Result<std::uint64_t> JournaledFile::len() {
  std::shared_lock lock(mu_);
  return length_;
}

Result<void> JournaledFile::set_len(std::uint64_t length) {
  std::unique_lock lock(mu_);
  if (length < committed_length_) VOG_CHECK(save_pages(length, committed_length_, {}));
  VOG_CHECK(begin_transaction());
  const std::uint64_t data_offset = file_->data_offset();
  std::erase_if(images_, [&](const auto& image) {
    return page_range(image.first, data_offset).second > length;
  });
  if (must_wait()) {
    pending_.push_back({length, {}, true});
    length_ = length;
    return {};
  }
  VOG_CHECK(file_->set_len(length));
  length_ = length;
  return {};
}

Result<void> JournaledFile::sync() {
  std::unique_lock lock(mu_);
  if (level_ == Durability::Full && in_transaction_) VOG_CHECK(write_out_pending());
  return file_->sync();
}

Result<void> JournaledFile::commit() {
  std::unique_lock lock(mu_);
  if (!in_transaction_) return {};
  const bool force = level_ == Durability::Full;
  if (force) {
    VOG_CHECK(write_out_pending());
    VOG_CHECK(file_->sync());
  }
  // The commit point: once the header is gone, nothing rolls this transaction back.
  VOG_CHECK(reset_journal(*journal_, force));
  in_transaction_ = false;
  journal_durable_ = false;
  saved_pages_.clear();
  committed_length_ = length_;
  return {};
}

}  // namespace vog
