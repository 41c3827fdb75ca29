// FileOnDisk: the file layer on one PlainFile of a FileSystem.
//
// Once defer_growth() was called, growth by set_len is only recorded: the
// system learns the length at the next commit or sync, or when the file
// shrinks. Allocation grows the file a few times for each megabyte written,
// and on ext4 an ftruncate that grows a file costs as much as writing 64 KiB;
// writes meanwhile grow the file themselves, and bytes inside the length that
// the system does not hold yet read as zeros, as they would after it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "file_layer.hpp"
#include "file_system.hpp"

namespace vog {

class FileOnDisk final : public FileLayer {
 public:
  // Creates the file exclusively (mode 0666 before umask), locks it exclusively
  // and writes the header followed by zeros up to data_offset. With
  // OpenHow::CreateUnnamed the file gets its name only from link().
  // REQUIRES: 12 <= data_offset <= 65535; `how` creates.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> create(
      FileSystem& fs, const std::string& path, std::uint16_t data_offset,
      OpenHow how = OpenHow::CreateNew);
  // Opens an existing file, takes the lock (shared when read-only, exclusive
  // when writable) and checks the header.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> open(FileSystem& fs,
                                                                const std::string& path,
                                                                AccessMode mode);
  // The same on the operating system's file system.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> create(const std::string& path,
                                                                  std::uint16_t data_offset) {
    return create(os_file_system(), path, data_offset);
  }
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> open(const std::string& path,
                                                                AccessMode mode) {
    return open(os_file_system(), path, mode);
  }

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    return grown(offset + data.size(), file_->write(offset, data));
  }
  [[nodiscard]] Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces) override {
    return grown(offset + joined_size(pieces), file_->write_gathered(offset, pieces));
  }
  // Without deferred growth the system is asked each time: a read-only file
  // may be changed by a writer elsewhere.
  [[nodiscard]] Result<std::uint64_t> len() override {
    return defers_growth_ ? Result<std::uint64_t>(length_.load()) : file_->len();
  }
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override;
  // Both give the system the length first. REQUIRE: no write in flight.
  [[nodiscard]] Result<void> sync() override;
  [[nodiscard]] Result<void> commit() override;
  // For an owner that commits before it lets go of the file: a file dropped
  // with growth still owed is as short as its last write left it.
  // REQUIRES: called before the file is shared, on a writable file.
  void defer_growth() noexcept { defers_growth_ = true; }
  // See PlainFile::link.
  [[nodiscard]] Result<bool> link(const std::string& path) { return file_->link(path); }
  [[nodiscard]] Result<std::vector<std::string>> verify() override;
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  FileOnDisk(std::unique_ptr<PlainFile> file, std::uint64_t data_offset, std::uint64_t length)
      : file_(std::move(file)), data_offset_(data_offset), length_(length) {}

  // Takes the outcome of a write ending at `end`: the file is now that long,
  // or, when it failed, as long as the system says.
  [[nodiscard]] Result<void> grown(std::uint64_t end, Result<void> wrote);

  // Positioned transfers share no file position, so concurrent callers need
  // no mutex for them; dropping the file releases the lock.
  const std::unique_ptr<PlainFile> file_;
  const std::uint64_t data_offset_;
  bool defers_growth_ = false;
  std::atomic<std::uint64_t> length_;  // the file's length, header included
  std::mutex owed_mu_;                 // guards owed_ and set_len's changes of length_
  bool owed_ = false;                  // the system's length may be short of length_
};

}  // namespace vog
