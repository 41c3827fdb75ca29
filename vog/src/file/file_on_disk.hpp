// FileOnDisk: the file layer on one PlainFile of a FileSystem.
#pragma once

#include <memory>
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

  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    return file_->read(offset, out);
  }
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    return file_->write(offset, data);
  }
  [[nodiscard]] Result<void> write_gathered(
      std::uint64_t offset, std::span<const std::span<const std::byte>> pieces) override {
    return file_->write_gathered(offset, pieces);
  }
  [[nodiscard]] Result<std::uint64_t> len() override { return file_->len(); }
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override {
    return file_->set_len(length);
  }
  [[nodiscard]] Result<void> sync() override { return file_->sync(); }
  // See PlainFile::link and PlainFile::access.
  [[nodiscard]] Result<bool> link(const std::string& path) { return file_->link(path); }
  [[nodiscard]] Result<std::optional<FileAccess>> access() { return file_->access(); }
  [[nodiscard]] Result<std::vector<std::string>> verify() override;
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  FileOnDisk(std::unique_ptr<PlainFile> file, std::uint64_t data_offset)
      : file_(std::move(file)), data_offset_(data_offset) {}

  // Positioned transfers share no file position, so concurrent callers need
  // no mutex here; dropping the file releases the lock.
  const std::unique_ptr<PlainFile> file_;
  const std::uint64_t data_offset_;
};

}  // namespace vog
