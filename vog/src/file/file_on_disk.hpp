// FileOnDisk: the file layer on one PlainFile of a FileSystem.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "file_layer.hpp"
#include "file_system.hpp"
#include "fork_guard.hpp"
#include "sharing.hpp"

namespace vog {

class FileOnDisk final : public FileLayer {
 public:
  // Creates the file exclusively (mode 0666 before umask), takes the
  // whole-file lock (`lock`) and writes the header followed by zeros up to
  // data_offset. With OpenHow::CreateUnnamed the file gets its name only
  // from link().
  // REQUIRES: 12 <= data_offset <= 65535; `how` creates.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> create(
      FileSystem& fs, const std::string& path, std::uint16_t data_offset,
      OpenHow how = OpenHow::CreateNew, LockKind lock = LockKind::Exclusive);
  // Opens an existing file, takes the whole-file lock and checks the header.
  // The lock is shared when read-only and exclusive when writable, unless
  // `lock` says otherwise; it is waited for within `timeout`.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> open(
      FileSystem& fs, const std::string& path, AccessMode mode,
      std::optional<LockKind> lock = std::nullopt, Timeout timeout = Timeout{0});
  // The same on the operating system's file system.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> create(const std::string& path,
                                                                  std::uint16_t data_offset) {
    return create(os_file_system(), path, data_offset);
  }
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> open(const std::string& path,
                                                                AccessMode mode) {
    return open(os_file_system(), path, mode);
  }

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    return file_->read(offset, out);
  }
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    VOG_CHECK(check_not_forked(fork_generation_));
    return file_->write(offset, data);
  }
  [[nodiscard]] Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces) override {
    VOG_CHECK(check_not_forked(fork_generation_));
    return file_->write_gathered(offset, pieces);
  }
  [[nodiscard]] Result<std::uint64_t> len() override { return file_->len(); }
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override {
    VOG_CHECK(check_not_forked(fork_generation_));
    return file_->set_len(length);
  }
  [[nodiscard]] Result<void> sync() override {
    VOG_CHECK(check_not_forked(fork_generation_));
    return file_->sync();
  }
  // See PlainFile::link and PlainFile::access.
  [[nodiscard]] Result<bool> link(const std::string& path) { return file_->link(path); }
  [[nodiscard]] Result<std::optional<FileAccess>> access() { return file_->access(); }
  // The open file underneath, for the locks of sharing (sharing.hpp).
  [[nodiscard]] PlainFile& plain() noexcept { return *file_; }
  [[nodiscard]] Result<std::vector<std::string>> verify() override;
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  FileOnDisk(std::unique_ptr<PlainFile> file, std::uint64_t data_offset)
      : file_(std::move(file)), data_offset_(data_offset) {}

  // Positioned transfers share no file position, so concurrent callers need
  // no mutex here; dropping the file releases the lock.
  const std::unique_ptr<PlainFile> file_;
  const std::uint64_t data_offset_;
  // A copy in a forked child changes nothing (fork_guard.hpp).
  const std::uint64_t fork_generation_ = fork_generation();
};

}  // namespace vog
