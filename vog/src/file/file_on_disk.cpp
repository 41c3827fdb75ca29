// FileOnDisk: the Vog file header, the advisory lock and positioned transfers.
//
// Bytes owned on disk: the 12-byte header (magic "vogvogvog", version 1,
// data_offset as u16 LE). create() also zero-fills up to data_offset for the
// block layer.
//
// Invariants:
//  1. A FileOnDisk exists only with its flock held (exclusive when writable).
//  2. data_offset_ never changes; verify() compares the file against it.
//  3. Every system call is retried on EINTR; no other failure is retried.
#include "file_on_disk.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "format.hpp"

namespace vog {
namespace {

constexpr std::array<char, 9> kMagic = {'v', 'o', 'g', 'v', 'o', 'g', 'v', 'o', 'g'};
constexpr std::uint8_t kFormatVersion = 1;

// Runs `call` until it does not fail with EINTR.
template <class Call>
auto retry_eintr(Call call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

bool has_magic(std::span<const std::byte> header) {
  return std::memcmp(header.data(), kMagic.data(), kMagic.size()) == 0;
}

std::uint16_t stored_data_offset(std::span<const std::byte> header) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(header[10]) |
                                    std::to_integer<unsigned>(header[11]) << 8);
}

// Writes all of `data` at `offset`, retrying partial writes; returns 0 or an errno.
// A write that makes no progress is reported as -1.
int write_all(int fd, std::uint64_t offset, std::span<const std::byte> data) {
  while (!data.empty()) {
    ssize_t wrote = retry_eintr(
        [&] { return ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)); });
    if (wrote < 0) return errno;
    if (wrote == 0) return -1;
    data = data.subspan(static_cast<std::size_t>(wrote));
    offset += static_cast<std::uint64_t>(wrote);
  }
  return 0;
}

VogError write_failure(int err, std::string_view action = {}) {
  if (err == -1) return VogError::io(std::string(action) + "failed to write whole buffer");
  return VogError::os(err, action);
}

// Takes the non-blocking flock; returns 0 or the errno of the failed call.
int try_lock(int fd, int operation) {
  return retry_eintr([&] { return ::flock(fd, operation | LOCK_NB); }) == 0 ? 0 : errno;
}

}  // namespace

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<std::unique_ptr<FileOnDisk>> FileOnDisk::create(const std::string& path,
                                                      std::uint16_t data_offset) {
  if (data_offset < kFileHeaderSize)
    return std::unexpected(VogError::io(
        format("data_offset {} is smaller than the {}-byte header", data_offset, kFileHeaderSize)));
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return std::unexpected(VogError::already_exists(path));

  UniqueFd fd(retry_eintr([&] {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }));
  if (fd.get() < 0) return std::unexpected(VogError::os(errno, "failed to create Vog file: "));

  if (int err = try_lock(fd.get(), LOCK_EX))
    return std::unexpected(VogError::os(err, "Vog file is locked by another process: "));

  std::vector<std::byte> header(data_offset);
  std::memcpy(header.data(), kMagic.data(), kMagic.size());
  header[9] = std::byte{kFormatVersion};
  header[10] = static_cast<std::byte>(data_offset & 0xFF);
  header[11] = static_cast<std::byte>(data_offset >> 8);
  if (int err = write_all(fd.get(), 0, header))
    return std::unexpected(write_failure(err, "failed to write Vog header: "));

  return std::unique_ptr<FileOnDisk>(new FileOnDisk(std::move(fd), data_offset));
}

Result<std::unique_ptr<FileOnDisk>> FileOnDisk::open(const std::string& path, AccessMode mode) {
  const bool writable = mode == AccessMode::Writable;
  UniqueFd fd(retry_eintr(
      [&] { return ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC); }));
  if (fd.get() < 0) return std::unexpected(VogError::os(errno, "failed to open Vog file: "));

  if (int err = try_lock(fd.get(), writable ? LOCK_EX : LOCK_SH)) {
    std::string reason;
    if (writable)
      reason = os_error_text(err);
    else if (err == EWOULDBLOCK)
      reason = "lock acquisition failed because the operation would block";
    else
      reason = "lock acquisition failed due to I/O error";
    return std::unexpected(VogError::io("Vog file is locked by another process: " + reason));
  }

  std::array<std::byte, kFileHeaderSize> header{};
  std::size_t have = 0;
  while (have < header.size()) {
    ssize_t got = retry_eintr([&] {
      return ::pread(fd.get(), header.data() + have, header.size() - have,
                     static_cast<off_t>(have));
    });
    if (got < 0) return std::unexpected(VogError::os(errno, "failed to read Vog header magic: "));
    if (got == 0)
      return std::unexpected(VogError::io("failed to read Vog header magic: unexpected end of file"));
    have += static_cast<std::size_t>(got);
  }
  if (!has_magic(header)) return std::unexpected(VogError::io("not a Vog file (bad magic)"));
  if (auto version = std::to_integer<unsigned>(header[9]); version != kFormatVersion)
    return std::unexpected(VogError::io(format("unsupported header format version: {}", version)));

  return std::unique_ptr<FileOnDisk>(new FileOnDisk(std::move(fd), stored_data_offset(header)));
}

Result<std::size_t> FileOnDisk::read(std::uint64_t offset, std::span<std::byte> out) {
  if (out.empty()) return 0;
  ssize_t got = retry_eintr(
      [&] { return ::pread(fd_.get(), out.data(), out.size(), static_cast<off_t>(offset)); });
  if (got < 0) return std::unexpected(VogError::os(errno));
  return static_cast<std::size_t>(got);
}

Result<void> FileOnDisk::write(std::uint64_t offset, std::span<const std::byte> data) {
  if (int err = write_all(fd_.get(), offset, data)) return std::unexpected(write_failure(err));
  return {};
}

Result<std::uint64_t> FileOnDisk::len() {
  struct stat info {};
  if (::fstat(fd_.get(), &info) != 0) return std::unexpected(VogError::os(errno));
  return static_cast<std::uint64_t>(info.st_size);
}

Result<void> FileOnDisk::set_len(std::uint64_t length) {
  if (retry_eintr([&] { return ::ftruncate(fd_.get(), static_cast<off_t>(length)); }) != 0)
    return std::unexpected(VogError::os(errno));
  return {};
}

Result<std::vector<std::string>> FileOnDisk::verify() {
  std::vector<std::string> problems;
  VOG_TRY(size, len());
  if (*size < data_offset_)
    problems.push_back(format("L1: file size ({}) is less than data_offset ({})", *size, data_offset_));

  std::array<std::byte, kFileHeaderSize> header{};
  VOG_CHECK(read(0, header));
  if (!has_magic(header)) problems.emplace_back("L1: file magic 'vogvogvog' is corrupted");
  if (auto version = std::to_integer<unsigned>(header[9]); version != kFormatVersion)
    problems.push_back(
        format("L1: header format version {} does not match expected {}", version, kFormatVersion));
  if (auto stored = stored_data_offset(header); stored != data_offset_)
    problems.push_back(format("L1: data_offset in magic ({}) does not match stored data_offset ({})",
                              stored, data_offset_));
  return problems;
}

}  // namespace vog
