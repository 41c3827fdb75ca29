// The journaled file layer, and recovery when a Vog file is opened.
//
// Invariants of a JournaledFile (under mu_):
//  1. The journal names committed_length_: in a transaction header once
//     in_transaction_, else in the committed mark. So growth of the file needs
//     no journal write, and at Full the journal on disk names it too.
//  2. A committed byte (below committed_length_) differs from its committed
//     value, in the file or in waiting_, only if a range of saved_ holds it,
//     and then an earlier record than any other of it holds that value. The
//     file holds such a change only once the record is in the journal (at
//     Full, on disk): records_ is written out before any waiting page.
//  3. waiting_ holds committed pages only; everything from
//     committed_pages_end() on goes straight to the file.
//  4. An entry of images_ is a whole page exactly as the file holds it, and
//     is not in waiting_.
//  5. Bytes of a waiting page past length_ are zero.
//  6. Until named_, committed_length_ is 0: there is nothing to save.
//  7. The system's file is at most length_ long, and exactly that unless
//     length_owed_; what it lacks reads as zeros.
#include "journaled_file.hpp"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

#include "format.hpp"
#include "shared_read_file.hpp"

namespace vog {
namespace {

using journal::page_of;
using journal::page_range;
using journal::read_fully;

std::uint64_t fresh_nonce() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return rng();
}

void raise_to(std::atomic<std::uint64_t>& value, std::uint64_t at_least) {
  std::uint64_t now = value.load();
  while (now < at_least && !value.compare_exchange_weak(now, at_least)) {
  }
}

// Puts back in `file` what `undo` saved and cuts the growth since, forcing
// the file to disk when `sync`.
Result<void> put_back(FileOnDisk& file, const journal::Undo& undo, bool sync) {
  for (auto record = undo.records.rbegin(); record != undo.records.rend(); ++record)
    VOG_CHECK(file.write(record->offset, record->bytes));
  VOG_CHECK(file.set_len(undo.committed_length));
  if (!sync) return {};
  return file.sync();
}

// Takes the writer's lock of `file` (sharing.hpp) within `timeout`.
Result<void> lock_writer(FileOnDisk& file, Timeout timeout) {
  VOG_TRY(granted, sharing::lock_byte_within(file.plain(), sharing::kWriterByte,
                                             LockKind::Exclusive, timeout));
  if (!*granted)
    return std::unexpected(VogError::io(
        "Vog file is locked by another process: " +
        sharing::another_process(file.plain().holder_of(sharing::kHolderByte)) +
        " has it open for writing"));
  file.plain().mark_holder(sharing::kHolderByte);
  return {};
}

}  // namespace

std::string journal_path(const std::string& path) { return path + "-journal"; }

Result<std::unique_ptr<FileLayer>> create_vog_file(FileSystem& fs, const std::string& path,
                                                   std::uint16_t data_offset, Durability level,
                                                   Timeout timeout) {
  const std::string journal_name = journal_path(path);
  if (level == Durability::Off) {
    VOG_TRY(file, FileOnDisk::create(fs, path, data_offset));
    // A journal left from an older file of this name must never meet this one.
    VOG_CHECK(fs.remove(journal_name));
    return std::unique_ptr<FileLayer>(std::move(*file));
  }
  // Readers may share the file with this writer once it has a name.
  auto unnamed =
      FileOnDisk::create(fs, path, data_offset, OpenHow::CreateUnnamed, LockKind::Shared);
  if (unnamed) {
    VOG_CHECK(lock_writer(**unnamed, timeout));
    return std::unique_ptr<FileLayer>(
        JournaledFile::unnamed(fs, path, std::move(*unnamed), level, timeout));
  }
  if (unnamed.error().kind() == ErrorKind::AlreadyExists) return std::unexpected(unnamed.error());
  // Where the file system cannot make a file without a name, it is named from
  // the start, and a crash before its first commit leaves it unusable.
  VOG_TRY(file, FileOnDisk::create(fs, path, data_offset, OpenHow::CreateNew, LockKind::Shared));
  VOG_CHECK(lock_writer(**file, timeout));
  VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenOrCreate, AccessMode::Writable));
  VOG_CHECK((*journal)->set_len(0));
  VOG_TRY(journaled, JournaledFile::start(fs, path, std::move(*file), std::move(*journal), level,
                                          timeout));
  if (level == Durability::Full) VOG_CHECK(fs.sync_directory_of(journal_name));
  return std::unique_ptr<FileLayer>(std::move(*journaled));
}

Result<std::unique_ptr<FileLayer>> open_vog_file(FileSystem& fs, const std::string& path,
                                                 AccessMode mode, Durability level,
                                                 Timeout timeout) {
  const std::string journal_name = journal_path(path);
  if (mode != AccessMode::Writable) {
    VOG_TRY(file, FileOnDisk::open(fs, path, mode, LockKind::Shared, timeout));
    return SharedReadFile::open(fs, journal_name, std::move(*file), timeout);
  }
  // Without a journal there is no last commit to show readers: such a writer
  // keeps everyone out, as every writer did before files were shared.
  const bool off = level == Durability::Off;
  VOG_TRY(file, FileOnDisk::open(fs, path, mode, off ? LockKind::Exclusive : LockKind::Shared,
                                 timeout));
  if (!off) VOG_CHECK(lock_writer(**file, timeout));
  VOG_TRY(present, fs.exists(journal_name));
  std::optional<std::uint64_t> generation;
  if (*present) {
    VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenExisting, mode));
    VOG_TRY(undo, journal::read_undo(**journal, journal_name, **file));
    if (*undo) {
      generation = (*undo)->generation;
      VOG_TRY(length, (*file)->len());
      if (!(*undo)->records.empty() || *length > (*undo)->committed_length) {
        // Readers read through the journal meanwhile; none reads while the
        // file changes back.
        VOG_TRY(lock, sharing::WriteBackLock::take((*file)->plain(), timeout));
        if (!*lock) return std::unexpected(sharing::readers_in_the_way(timeout));
        VOG_CHECK(put_back(**file, **undo, /*sync=*/true));
        // The next transaction's nonce must differ from the one rolled back.
        if (!(*undo)->records.empty()) ++*generation;
      }
    }
  }
  if (off) {
    if (*present) VOG_CHECK(fs.remove(journal_name));
    return std::unique_ptr<FileLayer>(std::move(*file));
  }
  VOG_TRY(journal, fs.open(journal_name, OpenHow::OpenOrCreate, AccessMode::Writable));
  VOG_TRY(journaled, JournaledFile::start(fs, path, std::move(*file), std::move(*journal), level,
                                          timeout, generation));
  if (level == Durability::Full && !*present) VOG_CHECK(fs.sync_directory_of(journal_name));
  return std::unique_ptr<FileLayer>(std::move(*journaled));
}

JournaledFile::JournaledFile(FileSystem& fs, std::string path, std::unique_ptr<FileOnDisk> file,
                             std::unique_ptr<PlainFile> journal, std::uint64_t length,
                             Durability level, Timeout timeout)
    : fs_(fs),
      path_(std::move(path)),
      file_(std::move(file)),
      level_(level),
      timeout_(timeout),
      journal_(std::move(journal)),
      linked_(journal_ != nullptr),
      named_(linked_),
      length_(length),
      committed_length_(named_ ? length : 0),
      commit_generation_(std::max<std::uint64_t>(fresh_nonce(), 1)) {}

Result<std::unique_ptr<JournaledFile>> JournaledFile::start(FileSystem& fs,
                                                            const std::string& path,
                                                            std::unique_ptr<FileOnDisk> file,
                                                            std::unique_ptr<PlainFile> journal,
                                                            Durability level, Timeout timeout,
                                                            std::optional<std::uint64_t> generation) {
  VOG_TRY(length, file->len());
  std::unique_ptr<JournaledFile> journaled(
      new JournaledFile(fs, path, std::move(file), std::move(journal), *length, level, timeout));
  std::unique_lock lock(journaled->mu_);
  // 0 is no journal to readers, and what an older build's mark holds.
  if (generation && *generation != 0) journaled->commit_generation_ = *generation;
  VOG_CHECK(journaled->mark_committed(/*advance=*/false));
  lock.unlock();
  return journaled;
}

std::unique_ptr<JournaledFile> JournaledFile::unnamed(FileSystem& fs, const std::string& path,
                                                      std::unique_ptr<FileOnDisk> file,
                                                      Durability level, Timeout timeout) {
  const std::uint64_t length = file->data_offset();  // create() wrote the header
  return std::unique_ptr<JournaledFile>(
      new JournaledFile(fs, path, std::move(file), nullptr, length, level, timeout));
}

JournaledFile::~JournaledFile() {
  // A journal the next open still needs (a transaction, or growth since the
  // last commit) stays; changes still waiting are dropped, as a crash would.
  // A copy in a forked child leaves the parent's journal alone. So does a
  // writer that shares the file: a reader learns of commits from the
  // journal's generation, which must go on from where it stands.
  if (fork_generation() == fork_generation_ && named_ && !in_transaction_ &&
      length_ == committed_length_ && file_->plain().try_lock(LockKind::Exclusive))
    (void)fs_.remove(journal_path(path_));
}

std::uint64_t JournaledFile::committed_pages_end() const noexcept {
  if (committed_length_ == 0) return 0;
  return page_range(page_of(committed_length_ - 1, data_offset()), data_offset()).second;
}

Result<JournaledFile::Page> JournaledFile::current_page(std::uint64_t page, std::uint64_t last) {
  if (auto kept = images_.find(page); kept != images_.end()) {
    Page image = std::move(kept->second);
    images_.erase(kept);
    return image;
  }
  // Pages up to `last` are about to be wanted too: one read brings them in.
  const std::uint64_t count = page == 0 ? 1 : std::min<std::uint64_t>(last - page + 1, kReadAhead);
  auto [start, end] = page_range(page, data_offset());
  std::vector<std::byte> bytes(static_cast<std::size_t>(end - start + (count - 1) * kPageSize));
  VOG_TRY(got, read_fully(*file_, start, bytes));
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(*got), bytes.end(), std::byte{0});
  for (std::uint64_t next = page + 1; next < page + count; ++next) {
    if (waiting_.contains(next)) continue;
    auto from = bytes.begin() + static_cast<std::ptrdiff_t>((next - page) * kPageSize);
    keep_image(next, Page(from, from + kPageSize));
  }
  bytes.resize(static_cast<std::size_t>(end - start));
  return bytes;
}

void JournaledFile::keep_image(std::uint64_t page, Page image) {
  if (images_.size() >= kImageLimit) images_.clear();
  images_.insert_or_assign(page, std::move(image));
}

void JournaledFile::save(std::uint64_t page, std::uint64_t start, std::uint64_t from,
                         std::uint64_t to, std::span<const std::byte> image) {
  to = std::min(to, committed_length_);  // bytes past it are growth, which a rollback cuts
  if (from >= to) return;
  Saved& saved = saved_[page];
  for (const auto& [first, last] : saved)
    if (first <= from && to <= last) return;
  if (!in_transaction_ && records_.empty()) {
    nonce_ = commit_generation_ + 1;
    records_.resize(journal::kHeaderSize);  // the header goes out with the first records
  }
  journal::append_record(records_, nonce_, from, image.subspan(from - start, to - from));
  // Ranges that overlap join into one; a few disjoint ones are remembered.
  for (auto& [first, last] : saved)
    if (from <= last && first <= to) {
      first = std::min(first, from);
      last = std::max(last, to);
      return;
    }
  if (saved.size() < 8) saved.emplace_back(from, to);
}

Result<void> JournaledFile::write_out_journal() {
  if (records_.empty()) return {};
  if (!in_transaction_) {
    if (!identity_) {
      VOG_TRY(identity, journal::identity_of(*file_));  // the file still holds the committed bytes
      identity_ = *identity;
    }
    auto header = journal::encode({data_offset(), *identity_, committed_length_, nonce_,
                                   journal::State::Transaction});
    std::memcpy(records_.data(), header.data(), header.size());
    journal_end_ = 0;
  }
  VOG_CHECK(journal_->write(journal_end_, records_));
  in_transaction_ = true;
  journal_end_ += records_.size();
  records_.clear();
  if (level_ == Durability::Full) VOG_CHECK(journal_->sync());
  return {};
}

Result<void> JournaledFile::write_out() {
  VOG_CHECK(write_out_journal());
  const std::uint64_t length = length_;
  // Adjacent changed ranges go out in one write, straight from their images.
  std::uint64_t run_start = 0, run_end = 0;
  std::vector<std::span<const std::byte>>& pieces = run_pieces_;
  auto write_run = [&]() -> Result<void> {
    if (pieces.empty()) return {};
    VOG_CHECK(file_->write_gathered(run_start, pieces));
    pieces.clear();
    return {};
  };
  for (const auto& [page, waiting] : waiting_) {
    const std::uint64_t start = page_range(page, data_offset()).first;
    const std::uint64_t from = start + waiting.from;
    const std::uint64_t to = std::min(start + waiting.to, length);
    if (from >= to) continue;
    if (!pieces.empty() && run_end != from) VOG_CHECK(write_run());
    if (pieces.empty()) run_start = from;
    pieces.push_back(std::span(waiting.image).subspan(waiting.from, to - from));
    run_end = to;
  }
  VOG_CHECK(write_run());
  for (auto& [page, waiting] : waiting_) keep_image(page, std::move(waiting.image));
  waiting_.clear();
  return {};
}

Result<void> JournaledFile::mark_committed(bool advance) {
  if (saved_.contains(0)) identity_.reset();  // this transaction changed the header bytes
  if (!identity_) {
    VOG_TRY(identity, journal::identity_of(*file_));
    identity_ = *identity;
  }
  if (advance) ++commit_generation_;
  auto mark = journal::encode(
      {data_offset(), *identity_, length_, commit_generation_, journal::State::Committed});
  VOG_CHECK(journal_->write(0, mark));
  if (level_ == Durability::Full) VOG_CHECK(journal_->sync());
  in_transaction_ = false;
  journal_end_ = journal::kHeaderSize;
  saved_.clear();
  committed_length_ = length_;
  return {};
}

Result<void> JournaledFile::publish() {
  if (!linked_) {
    if (level_ == Durability::Full) VOG_CHECK(file_->sync());
    auto linked = file_->link(path_);
    if (!linked || !*linked) {
      unnamable_ = true;
      if (!linked) return std::unexpected(with_action("failed to create Vog file: ", linked.error()));
      return std::unexpected(VogError::already_exists(path_));
    }
    linked_ = true;
  }
  // Any journal of an older file of this name is overwritten before this
  // file changes in place.
  const std::string journal_name = journal_path(path_);
  VOG_TRY(journal, fs_.open(journal_name, OpenHow::OpenOrCreate, AccessMode::Writable));
  journal_ = std::move(*journal);
  VOG_CHECK(journal_->set_len(0));
  VOG_CHECK(mark_committed(/*advance=*/false));
  named_ = true;
  // One sync of the directory makes both new names durable.
  if (level_ == Durability::Full) VOG_CHECK(fs_.sync_directory_of(path_));
  return {};
}

Result<std::size_t> JournaledFile::read(std::uint64_t offset, std::span<std::byte> out) {
  std::shared_lock lock(mu_);
  const std::uint64_t length = length_;
  if (offset >= length) return 0;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), length - offset));
  out = out.first(count);
  const std::uint64_t end = offset + count;
  auto first = waiting_.lower_bound(page_of(offset, data_offset()));
  VOG_TRY(got, read_fully(*file_, offset, out));
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(*got), out.end(), std::byte{0});
  for (auto page = first; page != waiting_.end(); ++page) {
    const std::uint64_t start = page_range(page->first, data_offset()).first;
    if (start >= end) break;
    const Page& image = page->second.image;
    const std::uint64_t from = std::max(start, offset);
    const std::uint64_t to = std::min(start + image.size(), end);
    std::memcpy(out.data() + (from - offset), image.data() + (from - start),
                static_cast<std::size_t>(to - from));
  }
  return count;
}

Result<void> JournaledFile::settle_length() {
  if (!length_owed_) return {};
  // Writes past the end have often given the system the whole length
  // already; looking costs a tenth of setting it again.
  VOG_TRY(now, file_->len());
  if (*now != length_) VOG_CHECK(file_->set_len(length_));
  length_owed_ = false;
  return {};
}

Result<void> JournaledFile::grown(std::uint64_t end, Result<void> wrote) {
  if (!wrote) {
    if (auto now = file_->len()) raise_to(length_, *now);
    return wrote;
  }
  raise_to(length_, end);
  return {};
}

Result<void> JournaledFile::write_gathered(std::uint64_t offset,
                                           std::span<const std::span<const std::byte>> pieces) {
  VOG_CHECK(check_not_forked(fork_generation_));
  const std::uint64_t size = joined_size(pieces);
  if (size == 0) return {};
  {
    std::shared_lock lock(mu_);
    if (offset >= committed_pages_end())
      return grown(offset + size, file_->write_gathered(offset, pieces));
  }
  return write(offset, joined(pieces));
}

Result<void> JournaledFile::write(std::uint64_t offset, std::span<const std::byte> data) {
  VOG_CHECK(check_not_forked(fork_generation_));
  if (data.empty()) return {};
  const std::uint64_t end = offset + data.size();
  {
    // Growth: the journal already names the committed length (invariant 1).
    std::shared_lock lock(mu_);
    if (offset >= committed_pages_end()) return grown(end, file_->write(offset, data));
  }
  std::unique_lock lock(mu_);
  // A commit since the check above may have moved the end of the committed pages.
  const std::uint64_t split = std::max(offset, std::min(end, committed_pages_end()));
  const std::uint64_t last = page_of(split - 1, data_offset());
  for (std::uint64_t page = page_of(offset, data_offset());; ++page) {
    auto [start, stop] = page_range(page, data_offset());
    if (start >= split) break;
    const std::uint64_t from = std::max(start, offset), to = std::min(stop, end);
    const std::span<const std::byte> part = data.subspan(from - offset, to - from);
    auto waiting = waiting_.find(page);
    if (waiting == waiting_.end()) {
      VOG_TRY(image, current_page(page, last));
      // Rewriting bytes with what they hold (block 0 often) changes nothing.
      if (to <= length_ && std::memcmp(image->data() + (from - start), part.data(), part.size()) == 0) {
        keep_image(page, std::move(*image));
        continue;
      }
      const auto first = static_cast<std::uint32_t>(from - start);
      waiting = waiting_.emplace(page, Waiting{std::move(*image), first, first}).first;
    }
    Waiting& changed = waiting->second;
    save(page, start, from, to, changed.image);
    std::memcpy(changed.image.data() + (from - start), part.data(), part.size());
    changed.from = std::min(changed.from, static_cast<std::uint32_t>(from - start));
    changed.to = std::max(changed.to, static_cast<std::uint32_t>(to - start));
    // Checked page by page, so that one large write stays within the bound too.
    if (waiting_.size() * kPageSize > kPendingLimit) {
      raise_to(length_, to);
      VOG_CHECK(write_out_early());
    }
  }
  if (end > split) return grown(end, file_->write(split, data.subspan(split - offset)));
  raise_to(length_, end);
  return {};
}

Result<std::uint64_t> JournaledFile::len() { return length_.load(); }

Result<void> JournaledFile::set_len(std::uint64_t length) {
  VOG_CHECK(check_not_forked(fork_generation_));
  std::unique_lock lock(mu_);
  if (length == length_) return {};
  std::optional<sharing::WriteBackLock> in_place;  // committed bytes go: no reader may look
  if (length < committed_length_) {
    VOG_TRY(taken, sharing::WriteBackLock::take(file_->plain(), timeout_));
    if (!*taken) return std::unexpected(sharing::readers_in_the_way(timeout_));
    in_place.emplace(std::move(**taken));
    // The cut committed bytes go to the journal before the file loses them.
    for (std::uint64_t page = page_of(length, data_offset());; ++page) {
      auto [start, end] = page_range(page, data_offset());
      if (start >= committed_length_) break;
      const std::uint64_t from = std::max(start, length);
      if (auto waiting = waiting_.find(page); waiting != waiting_.end()) {
        save(page, start, from, end, waiting->second.image);
        continue;
      }
      VOG_TRY(image, current_page(page, page));
      save(page, start, from, end, *image);
      keep_image(page, std::move(*image));
    }
    VOG_CHECK(write_out_journal());
  }
  if (length < length_) {
    // Waiting bytes past the new end must read as zeros if the file grows again.
    std::erase_if(waiting_, [&](const auto& page) {
      return page_range(page.first, data_offset()).first >= length;
    });
    if (auto last = waiting_.find(page_of(length, data_offset())); last != waiting_.end()) {
      const std::uint64_t start = page_range(last->first, data_offset()).first;
      Page& image = last->second.image;
      std::fill(image.begin() + static_cast<std::ptrdiff_t>(length - start), image.end(),
                std::byte{0});
    }
    std::erase_if(images_, [&](const auto& page) {
      return page_range(page.first, data_offset()).second > length;
    });
  }
  if (length > length_) {
    length_owed_ = true;  // invariant 7
  } else {
    VOG_CHECK(file_->set_len(length));
    length_owed_ = false;
  }
  length_ = length;
  return {};
}

Result<void> JournaledFile::sync() {
  VOG_CHECK(check_not_forked(fork_generation_));
  std::unique_lock lock(mu_);
  if (named_) VOG_CHECK(write_back(/*commit=*/false));
  VOG_CHECK(settle_length());
  return file_->sync();
}

Result<void> JournaledFile::commit() {
  VOG_CHECK(check_not_forked(fork_generation_));
  std::unique_lock lock(mu_);
  // The length reaches the file before the file is named or marked committed.
  VOG_CHECK(settle_length());
  if (!named_) {
    // A file that cannot get its name is dropped whole when closed: there is
    // nothing of it left to commit.
    if (unnamable_) return {};
    return publish();
  }
  if (!in_transaction_ && records_.empty() && waiting_.empty() && length_ == committed_length_)
    return {};
  return write_back(/*commit=*/true);
}

Result<void> JournaledFile::roll_back() {
  VOG_CHECK(check_not_forked(fork_generation_));
  std::unique_lock lock(mu_);
  if (!named_)
    return std::unexpected(VogError::io("a Vog file cannot roll back before its first commit"));
  // Committed bytes may go back in place, and the committed mark changes:
  // no reader of another open may look meanwhile.
  VOG_TRY(taken, sharing::WriteBackLock::take(file_->plain(), timeout_));
  if (!*taken) return std::unexpected(sharing::readers_in_the_way(timeout_));
  // Waiting pages and queued records never reached the file; kept images may
  // hold what an early write-back put there.
  waiting_.clear();
  images_.clear();
  records_.clear();
  if (in_transaction_) {
    VOG_TRY(undo, journal::read_undo(*journal_, journal_path(path_), *file_));
    if (!*undo)
      return std::unexpected(
          VogError::io("the journal lost the transaction it held: reopen the file"));
    VOG_CHECK(put_back(*file_, **undo, /*sync=*/level_ == Durability::Full));
  } else if (length_ != committed_length_) {
    VOG_CHECK(file_->set_len(committed_length_));
  }
  length_ = committed_length_;
  length_owed_ = false;
  // A new generation: the nonce of the transaction rolled back is never used again.
  return mark_committed(/*advance=*/true);
}

Result<void> JournaledFile::write_back(bool commit) {
  VOG_TRY(lock, sharing::WriteBackLock::take(file_->plain(), timeout_));
  if (!*lock) return std::unexpected(sharing::readers_in_the_way(timeout_));
  VOG_CHECK(write_out());
  if (!commit) return {};
  if (level_ == Durability::Full) VOG_CHECK(file_->sync());
  return mark_committed(/*advance=*/true);
}

Result<void> JournaledFile::write_out_early() {
  // Early write-back is only a bound on memory: readers inside a read are
  // not waited for until four times the bound waits.
  const bool urgent = waiting_.size() * kPageSize > 4 * kPendingLimit;
  VOG_TRY(lock, sharing::WriteBackLock::take(file_->plain(), urgent ? timeout_ : Timeout{0}));
  if (!*lock) {
    if (urgent) return std::unexpected(sharing::readers_in_the_way(timeout_));
    return {};
  }
  return write_out();
}

}  // namespace vog
