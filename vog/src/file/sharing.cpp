#include "sharing.hpp"

#include <thread>

#include "format.hpp"

namespace vog::sharing {

void sleep_for(std::chrono::microseconds pause) { std::this_thread::sleep_for(pause); }

Result<bool> lock_byte_within(PlainFile& file, std::uint64_t byte, LockKind kind,
                              Timeout timeout) {
  return within(timeout, [&] { return file.try_lock_byte(byte, kind); });
}

Result<void> flock_within(PlainFile& file, LockKind kind, Timeout timeout) {
  std::optional<VogError> last;
  VOG_TRY(granted, within(timeout, [&]() -> Result<bool> {
            auto locked = file.try_lock(kind);
            if (locked) return true;
            last = std::move(locked).error();
            return false;
          }));
  if (*granted) return {};
  return std::unexpected(std::move(*last));
}

std::string another_process(std::optional<std::int64_t> pid) {
  if (pid) return format("another process (pid {})", *pid);
  return "another process";
}

Result<std::optional<WriteBackLock>> WriteBackLock::take(PlainFile& file, Timeout timeout) {
  // PENDING first: readers arriving from now on wait at their first step, so
  // a stream of them cannot keep READ shared for ever.
  VOG_TRY(pending, lock_byte_within(file, kPendingByte, LockKind::Exclusive, timeout));
  if (!*pending) return std::nullopt;
  auto read = lock_byte_within(file, kReadByte, LockKind::Exclusive, timeout);
  if (!read || !*read) {
    file.unlock_byte(kPendingByte);
    if (!read) return std::unexpected(std::move(read).error());
    return std::nullopt;
  }
  return std::optional<WriteBackLock>(WriteBackLock(file));
}

WriteBackLock::~WriteBackLock() {
  if (file_ == nullptr) return;
  file_->unlock_byte(kReadByte);
  file_->unlock_byte(kPendingByte);
}

VogError readers_in_the_way(Timeout timeout) {
  return VogError::lock_conflict(
      format("readers in other processes kept the file for more than {} ms: the changes are "
             "not written back yet and stay pending",
             timeout.count()));
}

}  // namespace vog::sharing
