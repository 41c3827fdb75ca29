// The locks by which one writer and many readers share a Vog file; the
// protocol, its states and what a crash leaves are in doc/concurrency.md.
//
// Every wait is bounded by the open's timeout: a lock that stays out of reach
// that long is an error, never a hang.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"
#include "file_system.hpp"

namespace vog {

namespace sharing {

// Bytes of the Vog file that carry a lock and never data.
inline constexpr std::uint64_t kWriterByte = std::uint64_t{1} << 62;  // the one writer
inline constexpr std::uint64_t kPendingByte = kWriterByte + 1;        // a write-back is next
inline constexpr std::uint64_t kReadByte = kWriterByte + 2;           // reading, or writing back
inline constexpr std::uint64_t kHolderByte = kWriterByte + 8;         // names the writer's pid

void sleep_for(std::chrono::microseconds pause);

// Tries `attempt` (which returns Result<bool>: granted or not) until it is
// granted or `timeout` has passed, pausing a little longer after each miss;
// false when it never was.
template <class Attempt>
[[nodiscard]] Result<bool> within(Timeout timeout, Attempt attempt) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Short pauses: the other side holds a lock for one read call or one
  // write-back, and a long pause would keep both waiting after it let go.
  constexpr std::chrono::microseconds kLongestPause{1000};
  for (std::chrono::microseconds pause{20};; pause = std::min(pause * 2, kLongestPause)) {
    VOG_TRY(granted, attempt());
    if (*granted) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_for(pause);
  }
}

// A byte lock of `file`, waited for within `timeout`.
[[nodiscard]] Result<bool> lock_byte_within(PlainFile& file, std::uint64_t byte, LockKind kind,
                                            Timeout timeout);

// The whole-file lock of `file`, waited for within `timeout`; the error of
// the last try when it never came.
[[nodiscard]] Result<void> flock_within(PlainFile& file, LockKind kind, Timeout timeout);

// "another process (pid N) ..." or "another process ...", for messages.
[[nodiscard]] std::string another_process(std::optional<std::int64_t> pid);

// Holds PENDING and then READ exclusively, so that no reader of another open
// reads while the file changes in place; releases both when it goes.
class WriteBackLock {
 public:
  // Waits within `timeout` for readers still inside a read; empty when they
  // stayed longer.
  [[nodiscard]] static Result<std::optional<WriteBackLock>> take(PlainFile& file, Timeout timeout);
  WriteBackLock(WriteBackLock&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
  WriteBackLock& operator=(WriteBackLock&&) = delete;
  ~WriteBackLock();

 private:
  explicit WriteBackLock(PlainFile& file) noexcept : file_(&file) {}
  PlainFile* file_;
};

// The error of a write-back that readers kept waiting past the timeout.
[[nodiscard]] VogError readers_in_the_way(Timeout timeout);

}  // namespace sharing
}  // namespace vog
