// JournaledFile: the file layer with a rollback journal beside the Vog file.
//
// Between two commits every change of bytes that belonged to the file at the
// last commit is preceded by a copy of those bytes in the journal, path +
// "-journal" (its bytes: journal_format.hpp); growth needs no copy, since the
// journal always names the committed length and rolling back cuts the file to
// it. commit() marks the journal committed. Opening a file whose journal holds
// a transaction rolls it back first, so a crash at any moment leaves the file
// as it stood at its last commit; roll_back() does the same without closing.
// The journal sees only the file's raw bytes: an encrypted store's journal
// holds ciphertext, a plain one plaintext, so it gets exactly the Vog file's
// permission bits (and its owner and group where the process may set them)
// before anything is written into it.
//
// Changes to committed pages wait in memory, one image per page, and reach the
// file at the commit, after their saved copies went to the journal in one
// write: a transaction costs one journal write, one write per run of changed
// pages and the commit mark, however often it touched a page. Past
// kPendingLimit bytes of waiting pages they are written out early the same way.
// Growth by set_len waits too: the system gets the length at the commit (or
// sync), and bytes inside it that the file does not hold yet read as zeros.
// Allocation grows a file a few times per megabyte written, and on ext4 an
// ftruncate that grows a file costs as much as writing 64 KiB; writes past
// the end grow the file themselves. A cut reaches the file at once.
// Durability::Process never forces anything to disk (enough when only the
// process dies). Durability::Full forces the journal before the waiting pages
// reach the file, the file at each commit, and the commit mark.
//
// A new file is made without a name where the file system allows it and gets
// its name at its first commit, complete: a crash before that leaves nothing
// behind.
//
// Thread safety: every method may be called concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "durability.hpp"
#include "file_on_disk.hpp"
#include "file_system.hpp"
#include "journal_format.hpp"

namespace vog {

// The journal's name beside the Vog file at `path`.
[[nodiscard]] std::string journal_path(const std::string& path);

// Creates a Vog file as FileOnDisk::create does, journaled unless `level` is Off.
[[nodiscard]] Result<std::unique_ptr<FileLayer>> create_vog_file(FileSystem& fs,
                                                                 const std::string& path,
                                                                 std::uint16_t data_offset,
                                                                 Durability level,
                                                                 Timeout timeout = kDefaultTimeout);
// Opens a Vog file as FileOnDisk::open does, after rolling back what its
// journal holds (this needs `mode` Writable; a read-only open of such a file
// fails and says so). A journal that is not one, or not this file's, is never
// applied: the open fails.
[[nodiscard]] Result<std::unique_ptr<FileLayer>> open_vog_file(FileSystem& fs,
                                                               const std::string& path,
                                                               AccessMode mode, Durability level,
                                                               Timeout timeout = kDefaultTimeout,
                                                               std::optional<Timeout> open_timeout = std::nullopt);

class JournaledFile final : public FileLayer {
 public:
  // Bytes of changed pages held in memory before they are written out early.
  static constexpr std::size_t kPendingLimit = std::size_t{16} << 20;
  static constexpr std::uint32_t kPageSize = journal::kPageSize;
  // Unchanged page images kept to save the next transaction a read.
  static constexpr std::size_t kImageLimit = 1024;
  // Pages a write over many committed pages reads at a time.
  static constexpr std::uint64_t kReadAhead = 64;

  // Journals `file` in `journal`, writing its committed mark first; the file
  // stands committed as it is now, as commit `generation` (a new journal's
  // comes at random: doc/concurrency.md). Level is not Off. REQUIRES: this
  // open holds the writer's lock.
  [[nodiscard]] static Result<std::unique_ptr<JournaledFile>> start(
      FileSystem& fs, const std::string& path, std::unique_ptr<FileOnDisk> file,
      std::unique_ptr<PlainFile> journal, Durability level, Timeout timeout,
      std::optional<std::uint64_t> generation = std::nullopt);
  // A file without a name yet (OpenHow::CreateUnnamed): nothing is journaled,
  // as a crash loses it whole, until its first commit names it `path`.
  [[nodiscard]] static std::unique_ptr<JournaledFile> unnamed(FileSystem& fs,
                                                              const std::string& path,
                                                              std::unique_ptr<FileOnDisk> file,
                                                              Durability level, Timeout timeout);
  ~JournaledFile() override;
  JournaledFile(const JournaledFile&) = delete;
  JournaledFile& operator=(const JournaledFile&) = delete;

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override;
  // Growth goes out gathered; pieces over committed pages are joined and
  // journaled as one write.
  [[nodiscard]] Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces) override;
  [[nodiscard]] Result<std::uint64_t> len() override;
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override;
  [[nodiscard]] Result<std::vector<std::string>> verify() override { return file_->verify(); }
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return file_->data_offset(); }
  // Writes out what waits, then forces the file to disk.
  [[nodiscard]] Result<void> sync() override;
  [[nodiscard]] Result<void> commit() override;
  // Drops what waits, puts back from the journal what went to the file early
  // (under the write-back lock, as recovery at opening does), cuts the growth
  // and marks the last commit committed again, as a new generation.
  [[nodiscard]] Result<void> roll_back() override;

 private:
  using Page = std::vector<std::byte>;

  JournaledFile(FileSystem& fs, std::string path, std::unique_ptr<FileOnDisk> file,
                std::unique_ptr<PlainFile> journal, std::uint64_t length, Durability level,
                Timeout timeout);

  // Takes the outcome of a write past the committed pages, which ends at
  // `end`: the file is now that long, or as long as the system says.
  [[nodiscard]] Result<void> grown(std::uint64_t end, Result<void> wrote);

  // All REQUIRE mu_ held exclusively.
  // The end of the last page holding committed bytes: writes from there on are growth.
  [[nodiscard]] std::uint64_t committed_pages_end() const noexcept;
  // The page as the file holds it now (waiting changes aside), from the kept
  // image or read whole, with the pages after it up to `last` kept for the
  // next calls; zeros past the end of the file.
  [[nodiscard]] Result<Page> current_page(std::uint64_t page, std::uint64_t last);
  // Queues for the journal the bytes [from, to) of the page starting at
  // `start`, as `image` holds them now, unless this transaction saved them.
  void save(std::uint64_t page, std::uint64_t start, std::uint64_t from, std::uint64_t to,
            std::span<const std::byte> image);
  // Writes the queued records to the journal, forcing it at Full.
  [[nodiscard]] Result<void> write_out_journal();
  // Journal first, then every waiting page, in runs of adjacent pages.
  [[nodiscard]] Result<void> write_out();
  // Writes the committed mark for the present length, as a new generation
  // when `advance`.
  [[nodiscard]] Result<void> mark_committed(bool advance);
  // write_out() and, when `commit`, mark_committed(), with no reader of
  // another open inside a read (sharing.hpp); LockConflict when readers
  // stayed past the timeout, with nothing written.
  [[nodiscard]] Result<void> write_back(bool commit);
  // write_out() past kPendingLimit: at once when readers let it, else later.
  [[nodiscard]] Result<void> write_out_early();
  // Gives the system the length that set_len recorded.
  [[nodiscard]] Result<void> settle_length();
  // Gives an unnamed file its name and its journal.
  [[nodiscard]] Result<void> publish();
  void keep_image(std::uint64_t page, Page image);

  FileSystem& fs_;
  const std::string path_;
  const std::unique_ptr<FileOnDisk> file_;
  const Durability level_;
  const Timeout timeout_;  // for readers in the way of a write-back
  // A copy in a forked child changes nothing (fork_guard.hpp).
  const std::uint64_t fork_generation_ = fork_generation();

  // Locking: mu_ is shared by reads and by writes past the committed pages,
  // exclusive for every other change and for commits.
  std::shared_mutex mu_;
  std::unique_ptr<PlainFile> journal_;  // null until an unnamed file is published
  bool linked_;             // the file has its name
  bool named_;              // ... and its journal: changes are journaled
  bool unnamable_ = false;  // linking failed, or another file took the name first
  std::atomic<std::uint64_t> length_;  // the file's length, waiting pages included
  std::uint64_t committed_length_;     // the length at the last commit
  bool length_owed_ = false;           // the system's file may be shorter than length_
  std::uint64_t nonce_ = 0;
  // The last commit's, in the committed mark; a transaction's nonce is the next.
  std::uint64_t commit_generation_ = 0;
  bool in_transaction_ = false;  // the journal holds this transaction's header
  std::uint64_t journal_end_ = journal::kHeaderSize;
  std::optional<std::uint64_t> identity_;  // of the committed bytes before data_offset
  // A changed committed page, and the part of it that differs from the file.
  struct Waiting {
    Page image;
    std::uint32_t from = 0, to = 0;
  };
  // Byte ranges of a page saved this transaction, a few at most.
  using Saved = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  std::unordered_map<std::uint64_t, Saved> saved_;
  std::vector<std::byte> records_;          // records not yet in the journal
  std::map<std::uint64_t, Waiting> waiting_;  // changed committed pages, in order
  std::unordered_map<std::uint64_t, Page> images_;  // unchanged pages as the file holds them
  std::vector<std::span<const std::byte>> run_pieces_;  // a run of waiting pages
};

}  // namespace vog
