// JournaledFile: the file layer with a rollback journal beside the Vog file.
//
// Between two commits every change of bytes that belonged to the file at the
// last commit is preceded by a copy of those bytes in the journal, path +
// "-journal"; growth needs no copy, since rolling back cuts the file to its
// committed length. commit() resets the journal. Opening a file whose journal
// holds a transaction rolls it back first, so a crash at any moment leaves the
// file as it stood at its last commit. The journal sees only the file's raw
// bytes: an encrypted store's journal holds ciphertext.
//
// Durability::Process writes the journal without forcing it to disk (enough
// when only the process dies). Durability::Full forces the journal before any
// change reaches the file and the file at each commit; changes wait in memory
// for that, up to kPendingLimit bytes, past which they are written out early.
//
// Thread safety: every method may be called concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "durability.hpp"
#include "file_layer.hpp"
#include "file_system.hpp"

namespace vog {

// The journal's name beside the Vog file at `path`.
[[nodiscard]] std::string journal_path(const std::string& path);

// Creates a Vog file as FileOnDisk::create does, with a fresh journal unless
// `level` is Off.
[[nodiscard]] Result<std::unique_ptr<FileLayer>> create_vog_file(FileSystem& fs,
                                                                 const std::string& path,
                                                                 std::uint16_t data_offset,
                                                                 Durability level);
// Opens a Vog file as FileOnDisk::open does, after rolling back what its
// journal holds (this needs `mode` Writable; a read-only open of such a file
// fails and says so). A journal that is not one, or not this file's, is never
// applied: the open fails.
[[nodiscard]] Result<std::unique_ptr<FileLayer>> open_vog_file(FileSystem& fs,
                                                               const std::string& path,
                                                               AccessMode mode, Durability level);

class JournaledFile final : public FileLayer {
 public:
  // Bytes of changed file held back in Durability::Full before they are written early.
  static constexpr std::size_t kPendingLimit = std::size_t{16} << 20;
  static constexpr std::uint32_t kPageSize = 4096;
  static constexpr std::size_t kImageLimit = 1024;

  // REQUIRES: `journal` holds no transaction (reset or new); level is not Off.
  JournaledFile(FileSystem& fs, std::string journal_path, std::unique_ptr<FileLayer> file,
                std::unique_ptr<PlainFile> journal, std::uint64_t length, Durability level);
  ~JournaledFile() override;
  JournaledFile(const JournaledFile&) = delete;
  JournaledFile& operator=(const JournaledFile&) = delete;

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override;
  [[nodiscard]] Result<std::uint64_t> len() override;
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override;
  [[nodiscard]] Result<std::vector<std::string>> verify() override { return file_->verify(); }
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return file_->data_offset(); }
  [[nodiscard]] Result<void> sync() override;
  [[nodiscard]] Result<void> commit() override;

 private:
  // A change waiting for the journal to reach the disk (Durability::Full).
  struct Pending {
    std::uint64_t offset = 0;
    std::vector<std::byte> bytes;  // empty with `truncate`
    bool truncate = false;         // set_len(offset)
  };

  // All REQUIRE mu_ held exclusively.
  // A header for a new transaction, under a fresh nonce.
  [[nodiscard]] Result<std::vector<std::byte>> transaction_header();
  // Writes the header unless a record already did.
  [[nodiscard]] Result<void> begin_transaction();
  // Saves every committed page of [from, to) not saved since the last commit.
  // True, with nothing saved, when `data` is about to be written there and
  // the one unsaved page it falls in already holds it.
  [[nodiscard]] Result<bool> save_pages(std::uint64_t from, std::uint64_t to,
                                        std::span<const std::byte> data);
  // Brings the kept images of the pages a write touches up to date.
  void patch_images(std::uint64_t offset, std::span<const std::byte> data);
  [[nodiscard]] bool must_wait() const noexcept;
  // Forces the journal to disk, then writes out what waited for it.
  [[nodiscard]] Result<void> write_out_pending();
  [[nodiscard]] Result<void> apply(const Pending& change);

  FileSystem& fs_;
  const std::string journal_path_;
  const std::unique_ptr<FileLayer> file_;
  const std::unique_ptr<PlainFile> journal_;
  const Durability level_;

  // Locking: mu_ is shared by reads, exclusive for every change and commit,
  // and held across the I/O of a change so that a page's copy always reaches
  // the journal before the page changes.
  std::shared_mutex mu_;
  std::uint64_t length_;            // the file's length including pending changes
  std::uint64_t committed_length_;  // the length at the last commit
  bool in_transaction_ = false;     // the journal holds a header for this transaction
  bool journal_durable_ = false;    // Full: everything in the journal is on disk
  std::uint64_t nonce_;
  std::optional<std::uint64_t> identity_;  // of the committed bytes before data_offset
  std::uint64_t journal_end_ = 0;
  std::unordered_set<std::uint64_t> saved_pages_;
  std::vector<Pending> pending_;
  // Whole pages as the file (pending changes included) holds them, kept from
  // the reads that saved them: the page's next transaction copies its
  // committed bytes from here instead of reading them again. At most
  // kImageLimit pages; dropped on a failed write.
  std::unordered_map<std::uint64_t, std::vector<std::byte>> images_;
  std::vector<std::byte> record_;  // the buffer records are built in
  std::size_t pending_bytes_ = 0;
};

}  // namespace vog
