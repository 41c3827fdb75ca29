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
#include <cstring>
#include <string>
#include <vector>

#include "copy_distance.hpp"
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

// This thread's buffer for transfers that would stall (copy_distance.hpp),
// page-aligned. Bytes go through it kBounceShift bytes off their file
// position's place in the page, past it for reads and before it for writes:
// the kernel's copy and memcpy then each move them 64 bytes apart, forward
// for one and backward for the other, where neither stalls (memcpy may use
// the same instruction). It holds kBounceBytes so placed, little enough to
// stay in the core's cache between the two copies.
constexpr std::size_t kBounceBytes = std::size_t{256} << 10;
constexpr std::uint64_t kBounceShift = 64;
std::byte* bounce_room() {
  thread_local std::vector<std::byte> room(kBounceBytes + 2 * kCopyPage);
  return page_boundary_from(room.data());
}

struct flock byte_lock(std::uint64_t offset, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = 1;
  return lock;
}

class OsFile final : public PlainFile {
 public:
  OsFile(int fd, bool bounce) noexcept : fd_(fd), bounce_(bounce) {}
  ~OsFile() override { ::close(fd_); }
  OsFile(const OsFile&) = delete;
  OsFile& operator=(const OsFile&) = delete;

  Result<std::size_t> read(std::uint64_t offset, std::span<std::byte> out) override {
    if (out.empty()) return 0;
    if (!bounce_ || !stalling_distance(offset, address_of(out.data())))
      return read_direct(offset, out);
    std::byte* bounce = bounce_room() + (offset + kBounceShift) % kCopyPage;
    std::size_t done = 0;
    while (done < out.size()) {
      const std::size_t want = std::min(kBounceBytes, out.size() - done);
      VOG_TRY(got, read_direct(offset + done, {bounce, want}));
      std::memcpy(out.data() + done, bounce, *got);
      done += *got;
      if (*got < want) break;
    }
    return done;
  }

  Result<void> write(std::uint64_t offset, std::span<const std::byte> data) override {
    if (bounce_ && stalling_distance(address_of(data.data()), offset))
      return write_gathered(offset, std::span(&data, 1));
    // The usual case needs no list of pieces on the heap.
    iovec whole{const_cast<std::byte*>(data.data()), data.size()};
    return write_vectors(offset, std::span(&whole, data.empty() ? 0 : 1));
  }

  // Pieces that would stall are copied into the bounce buffer, each to its
  // own place there, and go out in the same gathered write as the others:
  // the pieces of one write sit wherever their owners allocated them, and
  // writing them one by one instead costs a system call each.
  Result<void> write_gathered(std::uint64_t offset,
                              std::span<const std::span<const std::byte>> pieces) override {
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    std::byte* room = nullptr;  // the bounce buffer, once a piece needs it
    std::size_t used = 0;       // bytes of it taken by `vectors`
    std::uint64_t at = offset;
    for (std::span<const std::byte> piece : pieces) {
      while (!piece.empty() && bounce_ && stalling_distance(address_of(piece.data()), at)) {
        const std::size_t place = used + (at - kBounceShift - used) % kCopyPage;
        if (place >= kBounceBytes) {  // full: write what the buffer holds first
          VOG_CHECK(write_vectors(offset, vectors));
          vectors.clear();
          offset = at;
          used = 0;
          continue;
        }
        const std::size_t count = std::min(piece.size(), kBounceBytes - place);
        if (room == nullptr) room = bounce_room();
        std::memcpy(room + place, piece.data(), count);
        vectors.push_back({room + place, count});
        used = place + count;
        at += count;
        piece = piece.subspan(count);
      }
      if (piece.empty()) continue;
      vectors.push_back({const_cast<std::byte*>(piece.data()), piece.size()});
      at += piece.size();
    }
    return write_vectors(offset, vectors);
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

  Result<bool> try_lock_byte(std::uint64_t offset, LockKind kind) override {
    struct flock lock = byte_lock(offset, kind == LockKind::Exclusive ? F_WRLCK : F_RDLCK);
    if (retry_eintr([&] { return ::fcntl(fd_, F_OFD_SETLK, &lock); }) == 0) return true;
    if (errno == EAGAIN || errno == EACCES) return false;
    return std::unexpected(VogError::os(errno));
  }

  void unlock_byte(std::uint64_t offset) override {
    struct flock lock = byte_lock(offset, F_UNLCK);
    (void)retry_eintr([&] { return ::fcntl(fd_, F_OFD_SETLK, &lock); });
  }

  // A record lock of the process: the only kind whose holder the system names.
  void mark_holder(std::uint64_t offset) override {
    struct flock lock = byte_lock(offset, F_WRLCK);
    (void)retry_eintr([&] { return ::fcntl(fd_, F_SETLK, &lock); });
  }

  std::optional<std::int64_t> holder_of(std::uint64_t offset) override {
    struct flock lock = byte_lock(offset, F_WRLCK);
    if (::fcntl(fd_, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK || lock.l_pid <= 0)
      return std::nullopt;
    return lock.l_pid;
  }

  Result<std::optional<FileAccess>> access() override {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return std::unexpected(VogError::os(errno));
    return FileAccess{static_cast<std::uint32_t>(info.st_mode & 07777), info.st_uid, info.st_gid};
  }

  Result<void> set_access(const FileAccess& wanted) override {
    VOG_TRY(now, access());
    if ((*now)->owner != wanted.owner || (*now)->group != wanted.group) {
      // Only a privileged process may give a file away; any process may pass
      // it to a group it belongs to. What it may not do is left as it is.
      if (::fchown(fd_, wanted.owner, wanted.group) != 0) {
        if (errno != EPERM) return std::unexpected(VogError::os(errno));
        if (::fchown(fd_, static_cast<uid_t>(-1), wanted.group) != 0 && errno != EPERM)
          return std::unexpected(VogError::os(errno));
      }
      VOG_TRY(owned, access());  // a change of owner may have cleared set-ID bits
      now = std::move(owned);
    }
    if ((*now)->permissions != wanted.permissions &&
        ::fchmod(fd_, static_cast<mode_t>(wanted.permissions)) != 0)
      return std::unexpected(VogError::os(errno));
    return {};
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
  Result<std::size_t> read_direct(std::uint64_t offset, std::span<std::byte> out) {
    ssize_t got = retry_eintr(
        [&] { return ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset)); });
    if (got < 0) return std::unexpected(VogError::os(errno));
    return static_cast<std::size_t>(got);
  }

  Result<void> write_vectors(std::uint64_t offset, std::span<iovec> left) {
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

  const int fd_;
  const bool bounce_;  // sends transfers that would stall through bounce_room
};

class OsFileSystem final : public FileSystem {
 public:
  explicit OsFileSystem(CopyRoute route) noexcept : route_(route) {}

  Result<std::unique_ptr<PlainFile>> open(const std::string& path, OpenHow how,
                                          AccessMode mode) override {
    return open_with(path, how, mode, 0666);
  }

  Result<std::unique_ptr<PlainFile>> open_private(const std::string& path, OpenHow how,
                                                  AccessMode mode) override {
    return open_with(path, how, mode, 0600);
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

 private:
  // `creation_mode` is what a file the call creates gets, before the umask.
  Result<std::unique_ptr<PlainFile>> open_with(const std::string& path, OpenHow how,
                                               AccessMode mode, mode_t creation_mode) {
    VOG_CHECK(check_os_path(path));
    int flags = (mode == AccessMode::Writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (how == OpenHow::CreateNew) flags |= O_CREAT | O_EXCL;
    if (how == OpenHow::OpenOrCreate) flags |= O_CREAT;
    if (how == OpenHow::CreateUnnamed) flags = O_TMPFILE | O_RDWR | O_CLOEXEC;
    const std::string& name = how == OpenHow::CreateUnnamed ? directory_of(path) : path;
    int fd = retry_eintr([&] { return ::open(name.c_str(), flags, creation_mode); });
    if (fd < 0) return std::unexpected(VogError::os(errno));
    const bool bounce = route_ == CopyRoute::Bounced ||
                        (route_ == CopyRoute::Auto && copies_stall_at_short_distances());
    return std::unique_ptr<PlainFile>(new OsFile(fd, bounce));
  }

  const CopyRoute route_;
};

}  // namespace

FileSystem& os_file_system() {
  static OsFileSystem system(CopyRoute::Auto);
  return system;
}

std::unique_ptr<FileSystem> make_os_file_system(CopyRoute route) {
  return std::make_unique<OsFileSystem>(route);
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
