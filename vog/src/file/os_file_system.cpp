// The file system on POSIX calls: the only code of the engine that talks to
// the operating system about files.
//
// Invariants:
//  1. Every path is checked for NUL bytes before it reaches a system call.
//  2. Every system call is retried on EINTR; no other failure is retried.
//  3. An OsFile owns its descriptor; closing it releases the flock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "file_system.hpp"

namespace vog {
namespace {

template <class Call>
auto retry_eintr(Call call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

class OsFile final : public PlainFile {
 public:
  explicit OsFile(int fd) noexcept : fd_(fd) {}
  ~OsFile() override { ::close(fd_); }
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    if (out.empty()) return 0;
    ssize_t got = retry_eintr(
        [&] { return ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset)); });
    if (got < 0) return std::unexpected(VogError::os(errno));
    return static_cast<std::size_t>(got);
  }

  Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    while (!data.empty()) {
      ssize_t wrote = retry_eintr(
          [&] { return ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset)); });
      if (wrote < 0) return std::unexpected(VogError::os(errno));
      if (wrote == 0) return std::unexpected(VogError::io("failed to write whole buffer"));
      data = data.subspan(static_cast<std::size_t>(wrote));
      offset += static_cast<std::uint64_t>(wrote);
    }
    return {};
  }

  Result<void> write_gathered(std::uint64_t offset,
                              std::span<const std::span<const std::byte>> pieces) override {
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (auto piece : pieces)
      if (!piece.empty())
        vectors.push_back({const_cast<std::byte*>(piece.data()), piece.size()});
    std::span<iovec> left(vectors);
    while (!left.empty()) {
      const auto count = static_cast<int>(std::min<std::size_t>(left.size(), IOV_MAX));
      ssize_t wrote = retry_eintr(
          [&] { return ::pwritev(fd_, left.data(), count, static_cast<off_t>(offset)); });
      if (wrote < 0) return std::unexpected(VogError::os(errno));
      if (wrote == 0) return std::unexpected(VogError::io("failed to write whole buffer"));
      offset += static_cast<std::uint64_t>(wrote);
      // Drop what went out; a piece written in part continues where it stopped.
      auto done = static_cast<std::size_t>(wrote);
      while (done > 0 && done >= left.front().iov_len) {
        done -= left.front().iov_len;
        left = left.subspan(1);
      }
      if (done > 0) {
        left.front().iov_base = static_cast<std::byte*>(left.front().iov_base) + done;
        left.front().iov_len -= done;
      }
    }
    return {};
  }

  Result<std::uint64_t> len() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return std::unexpected(VogError::os(errno));
    return static_cast<std::uint64_t>(info.st_size);
  }

  Result<void> set_len(std::uint64_t length) override {
    if (retry_eintr([&] { return ::ftruncate(fd_, static_cast<off_t>(length)); }) != 0)
      return std::unexpected(VogError::os(errno));
    return {};
  }

  Result<void> sync() override {
    if (retry_eintr([&] { return ::fdatasync(fd_); }) != 0)
      return std::unexpected(VogError::os(errno));
    return {};
  }

  Result<void> try_lock(LockKind kind) override {
    const int operation = (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (retry_eintr([&] { return ::flock(fd_, operation); }) == 0) return {};
    const int err = errno;
    // A shared lock reports its failure in fixed words rather than the system's.
    if (kind == LockKind::Exclusive) return std::unexpected(VogError::io(os_error_text(err)));
    if (err == EWOULDBLOCK)
      return std::unexpected(
          VogError::io("lock acquisition failed because the operation would block"));
    return std::unexpected(VogError::io("lock acquisition failed due to I/O error"));
  }

  Result<bool> link(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    // Linking the descriptor itself needs a capability; the /proc name of it
    // works for everyone where /proc is mounted.
    if (::linkat(fd_, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == ENOENT || errno == EPERM || errno == EACCES) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    }
    if (errno == EEXIST) return false;
    return std::unexpected(VogError::os(errno));
  }

 private:
  const int fd_;
};

class OsFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<PlainFile>> open(const std::string& path, OpenHow how,
                                          AccessMode mode) override {
    VOG_CHECK(check_os_path(path));
    int flags = (mode == AccessMode::Writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (how == OpenHow::CreateNew) flags |= O_CREAT | O_EXCL;
    if (how == OpenHow::OpenOrCreate) flags |= O_CREAT;
    if (how == OpenHow::CreateUnnamed) flags = O_TMPFILE | O_RDWR | O_CLOEXEC;
    const std::string& name = how == OpenHow::CreateUnnamed ? directory_of(path) : path;
    int fd = retry_eintr([&] { return ::open(name.c_str(), flags, 0666); });
    if (fd < 0) return std::unexpected(VogError::os(errno));
    return std::unique_ptr<PlainFile>(new OsFile(fd));
  }

  Result<bool> exists(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
  }

  Result<std::uint64_t> file_size(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(VogError::os(errno));
    return static_cast<std::uint64_t>(info.st_size);
  }

  Result<void> remove(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(VogError::os(errno));
    return {};
  }

  Result<void> replace(const std::string& from, const std::string& to) override {
    VOG_CHECK(check_os_path(from));
    VOG_CHECK(check_os_path(to));
    if (std::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(VogError::os(errno));
    return sync_directory_of(to);
  }

  Result<void> sync_directory_of(const std::string& path) override {
    VOG_CHECK(check_os_path(path));
    int fd = retry_eintr(
        [&] { return ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return std::unexpected(VogError::os(errno));
    int failed = retry_eintr([&] { return ::fsync(fd); }) == 0 ? 0 : errno;
    ::close(fd);
    // Some file systems cannot sync a directory at all; there is nothing more to do there.
    if (failed != 0 && failed != EINVAL) return std::unexpected(VogError::os(failed));
    return {};
  }
};

}  // namespace

FileSystem& os_file_system() {
  static OsFileSystem system;
  return system;
}

std::size_t joined_size(std::span<const std::span<const std::byte>> pieces) {
  std::size_t size = 0;
  for (auto piece : pieces) size += piece.size();
  return size;
}

std::vector<std::byte> joined(std::span<const std::span<const std::byte>> pieces) {
  std::vector<std::byte> all;
  all.reserve(joined_size(pieces));
  for (auto piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

Result<void> PlainFile::write_gathered(std::uint64_t offset,
                                       std::span<const std::span<const std::byte>> pieces) {
  return write(offset, joined(pieces));
}

Result<void> check_os_path(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return std::unexpected(VogError::invalid_path("path contains a NUL byte"));
  return {};
}

}  // namespace vog
