#include "shared_read_file.hpp"

#include <algorithm>
#include <cstring>

#include "format.hpp"
#include "le_bytes.hpp"

namespace vog {

using journal::page_of;
using journal::page_range;

Result<std::unique_ptr<FileLayer>> SharedReadFile::open(FileSystem& fs, std::string journal_name,
                                                        std::unique_ptr<FileOnDisk> file,
                                                        Timeout timeout) {
  std::unique_ptr<SharedReadFile> shared(
      new SharedReadFile(fs, std::move(journal_name), std::move(file), timeout));
  // A journal that is not this file's fails the open, as it does a writer's.
  VOG_CHECK(shared->begin_read());
  shared->end_read();
  return std::unique_ptr<FileLayer>(std::move(shared));
}

SharedReadFile::SharedReadFile(FileSystem& fs, std::string journal_name,
                               std::unique_ptr<FileOnDisk> file, Timeout timeout)
    : fs_(fs), journal_name_(std::move(journal_name)), file_(std::move(file)), timeout_(timeout) {}

Result<std::uint64_t> SharedReadFile::begin_read() {
  std::lock_guard gate(gate_mu_);
  if (readers_ > 0) {
    ++readers_;
    return generation_;
  }
  PlainFile& plain = file_->plain();
  // PENDING on the way in: a writer waiting to write back goes first.
  VOG_TRY(pending, sharing::lock_byte_within(plain, sharing::kPendingByte, LockKind::Shared,
                                             timeout_));
  if (!*pending)
    return std::unexpected(VogError::lock_conflict(format(
        "a commit of another process kept the file for more than {} ms", timeout_.count())));
  auto read = sharing::lock_byte_within(plain, sharing::kReadByte, LockKind::Shared, timeout_);
  plain.unlock_byte(sharing::kPendingByte);
  if (!read) return std::unexpected(std::move(read).error());
  if (!*read)
    return std::unexpected(VogError::lock_conflict(format(
        "a commit of another process kept the file for more than {} ms", timeout_.count())));
  if (auto loaded = load_view(); !loaded) {
    plain.unlock_byte(sharing::kReadByte);
    return std::unexpected(std::move(loaded).error());
  }
  readers_ = 1;
  return generation_;
}

void SharedReadFile::end_read() {
  std::lock_guard gate(gate_mu_);
  if (readers_ > 0 && --readers_ == 0) file_->plain().unlock_byte(sharing::kReadByte);
}

Result<void> SharedReadFile::load_view() {
  if (!journal_) {
    VOG_TRY(present, fs_.exists(journal_name_));
    if (!*present) {
      generation_ = 0;
      VOG_TRY(length, file_->len());
      committed_length_ = *length;
      return {};
    }
    VOG_TRY(journal, fs_.open(journal_name_, OpenHow::OpenExisting, AccessMode::ReadOnly));
    journal_ = std::move(*journal);
  }
  std::array<std::byte, journal::kHeaderSize> header{};
  VOG_TRY(got, journal::read_fully(*journal_, 0, header));
  if (header_ && *got == header.size() && header == *header_) {
    // The same commit; a transaction's header may have gained records since.
    if (load_u32(header, 48) != static_cast<std::uint32_t>(journal::State::Transaction)) return {};
    const std::size_t before = undo_.records.size();
    VOG_CHECK(journal::read_more_records(*journal_, header, data_offset(), undo_));
    index_records(before);
    return {};
  }
  header_.reset();
  records_by_page_.clear();
  VOG_TRY(undo, journal::read_undo(*journal_, journal_name_, *file_));
  if (!*undo) {
    undo_ = {};
    generation_ = 0;
    VOG_TRY(length, file_->len());
    committed_length_ = *length;
    return {};
  }
  undo_ = std::move(**undo);
  generation_ = undo_.generation;
  committed_length_ = undo_.committed_length;
  index_records(0);
  if (*got == header.size()) header_ = header;
  return {};
}

void SharedReadFile::index_records(std::size_t from) {
  for (std::size_t index = from; index < undo_.records.size(); ++index) {
    const journal::Record& record = undo_.records[index];
    for (std::uint64_t page = page_of(record.offset, data_offset()),
                       last = page_of(record.offset + record.bytes.size() - 1, data_offset());
         page <= last; ++page)
      records_by_page_[page].push_back(index);
  }
}

Result<std::size_t> SharedReadFile::read(std::uint64_t offset, std::span<std::byte> out) {
  VOG_CHECK(begin_read());
  auto got = read_view(offset, out);
  end_read();
  return got;
}

Result<std::size_t> SharedReadFile::read_view(std::uint64_t offset, std::span<std::byte> out) {
  if (offset >= committed_length_) return 0;
  out = out.first(static_cast<std::size_t>(
      std::min<std::uint64_t>(out.size(), committed_length_ - offset)));
  VOG_TRY(got, journal::read_fully(*file_, offset, out));
  // Committed bytes that a writer cut off are in the records.
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(*got), out.end(), std::byte{0});
  const std::uint64_t end = offset + out.size();
  for (auto page = records_by_page_.lower_bound(page_of(offset, data_offset()));
       page != records_by_page_.end() && page_range(page->first, data_offset()).first < end;
       ++page) {
    // The last record first, so that the earliest, holding the committed bytes, wins.
    for (auto index = page->second.rbegin(); index != page->second.rend(); ++index) {
      const journal::Record& record = undo_.records[*index];
      const std::uint64_t from = std::max(offset, record.offset);
      const std::uint64_t to = std::min(end, record.offset + record.bytes.size());
      if (from >= to) continue;
      std::memcpy(out.data() + (from - offset), record.bytes.data() + (from - record.offset),
                  static_cast<std::size_t>(to - from));
    }
  }
  return out.size();
}

Result<std::uint64_t> SharedReadFile::len() {
  VOG_CHECK(begin_read());
  const std::uint64_t length = committed_length_;
  end_read();
  return length;
}

Result<void> SharedReadFile::write(std::uint64_t, std::span<const std::byte>) {
  return std::unexpected(VogError::read_only("Vog file is open for reading only"));
}

Result<void> SharedReadFile::set_len(std::uint64_t) {
  return std::unexpected(VogError::read_only("Vog file is open for reading only"));
}

}  // namespace vog
