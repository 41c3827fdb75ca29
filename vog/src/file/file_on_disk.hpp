// FileOnDisk: the file layer on a POSIX file descriptor.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "file_layer.hpp"

namespace vog {

// Move-only owner of one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }
  [[nodiscard]] int get() const noexcept { return fd_; }
  void reset(int fd = -1) noexcept;

 private:
  int fd_;
};

class FileOnDisk final : public FileLayer {
 public:
  // Creates the file exclusively (mode 0666 before umask), locks it exclusively
  // and writes the header followed by zeros up to data_offset.
  // REQUIRES: 12 <= data_offset <= 65535.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> create(const std::string& path,
                                                                  std::uint16_t data_offset);
  // Opens an existing file, takes the lock (shared when read-only, exclusive
  // when writable) and checks the header.
  [[nodiscard]] static Result<std::unique_ptr<FileOnDisk>> open(const std::string& path,
                                                                AccessMode mode);


  [[nodiscard]] Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override;
  [[nodiscard]] Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override;
  [[nodiscard]] Result<std::uint64_t> len() override;
  [[nodiscard]] Result<void> set_len(std::uint64_t length) override;
  [[nodiscard]] Result<std::vector<std::string>> verify() override;
  [[nodiscard]] std::uint64_t data_offset() const noexcept override { return data_offset_; }

 private:
  FileOnDisk(UniqueFd fd, std::uint64_t data_offset)
      : fd_(std::move(fd)), data_offset_(data_offset) {}

  // Positioned transfers (pread/pwrite) share no file position, so concurrent
  // callers need no mutex here; closing the descriptor releases the flock.
  const UniqueFd fd_;
  const std::uint64_t data_offset_;
};

}  // namespace vog
