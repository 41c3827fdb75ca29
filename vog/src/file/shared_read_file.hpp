// SharedReadFile: a Vog file opened for reading beside a writer that may be at
// work in another open (doc/concurrency.md).
//
// Inside a read (begin_read() .. end_read()) it holds READ shared, so the
// writer writes nothing back meanwhile, and it shows the writer's last
// commit: the file's bytes up to the committed length, with the records of
// a transaction in the journal laid over them (earliest record first, as a
// rollback would write them). That is also how a file whose writer died
// mid-commit reads, without write access and without touching anything. A
// read() or len() outside a read is a read of its own.
//
// Thread safety: every method may be called concurrently. The view (length,
// records, generation) changes only when the first reader enters, so reads
// inside use it without locks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_on_disk.hpp"
#include "journal_format.hpp"
#include "sharing.hpp"

namespace vog {

class SharedReadFile final : public FileLayer {
 public:
  // `file` is open read-only with the whole-file lock shared.
  [[nodiscard]] static Result<std::unique_ptr<FileLayer>> open(FileSystem& fs,
                                                               std::string journal_name,
                                                               std::unique_ptr<FileOnDisk> file,
                                                               Timeout timeout);

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] Result<void> write(std::uint64_t, std::span<const std::byte>) override;
  [[nodiscard]] Result<std::uint64_t> len() override;
  [[nodiscard]] Result<void> set_len(std::uint64_t) override;
  [[nodiscard]] Result<std::vector<std::string>> verify() override { return file_->verify(); }
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return file_->data_offset(); }
  [[nodiscard]] Result<std::uint64_t> begin_read() override;
  void end_read() override;

 private:
  SharedReadFile(FileSystem& fs, std::string journal_name, std::unique_ptr<FileOnDisk> file,
                 Timeout timeout);

  // Reads the journal's header and a transaction's records: only the header
  // when it is the one read last, and then only records appended since.
  // REQUIRES: READ held, no thread inside a read but the caller.
  [[nodiscard]] Result<void> load_view();
  void index_records(std::size_t from);
  // REQUIRES: inside a read.
  [[nodiscard]] Result<std::size_t> read_view(std::uint64_t offset, std::span<std::byte> out);

  FileSystem& fs_;
  const std::string journal_name_;
  const std::unique_ptr<FileOnDisk> file_;
  const Timeout timeout_;

  std::mutex gate_mu_;    // guards readers_, and the view while readers_ is 0
  unsigned readers_ = 0;  // threads inside a read; READ is held while > 0
  std::uint64_t generation_ = 0;
  std::uint64_t committed_length_ = 0;
  // Held open once found: only a writer with the whole file to itself, which
  // never meets this open, removes or replaces it.
  std::unique_ptr<PlainFile> journal_;
  std::optional<std::array<std::byte, journal::kHeaderSize>> header_;  // of the view
  journal::Undo undo_;  // the records in journal order, and where they end
  // For each page that records touch, their indices in undo_.records, ascending.
  std::map<std::uint64_t, std::vector<std::size_t>> records_by_page_;
};

}  // namespace vog
