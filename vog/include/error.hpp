// The one error value of every engine layer: a kind and a detail text.
//
// Errors are returned, never thrown. A layer that finds a fault builds the
// VogError; the layers above pass it on unchanged, so a caller sees the very
// value that the lowest layer produced.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace vog {

// Which kind to use, and what Python raises for it. The raw module `libvog`
// raises its one exception, libvog.VogError, for every kind; the package `vog`
// raises the built-in exception named after the arrow (a subclass of
// vog.VogError too). Declared order matters to nobody on disk, but it is the
// order callers see.
enum class ErrorKind : std::uint8_t {
  // A stream handle, stream, directory or parent that does not exist. -> FileNotFoundError
  NotFound,
  // Creating or renaming onto a name already taken. -> FileExistsError
  AlreadyExists,
  // Removing a directory that still has entries. -> OSError(ENOTEMPTY)
  NotEmpty,
  // A path that breaks the path rules, an operation the root does not allow, or
  // an operating-system path the system cannot take (an embedded NUL). -> ValueError
  InvalidPath,
  // The stream is held by another opener, is open while deleted or renamed, or
  // the handle was not opened for writing. -> BlockingIOError
  LockConflict,
  // A seek beyond the end of the stream. -> OSError
  SeekOutOfBounds,
  // Every operating-system failure, corrupt or unsupported stored data, broken
  // invariant, invalid creation parameter, a file locked by another process,
  // a password for an unencrypted file: anything no other kind names. -> OSError
  IoError,
  // A modifying call on a container opened for reading. -> OSError
  ReadOnly,
  // A password that does not unlock an encrypted container. -> PermissionError
  WrongPassword,
  // An encrypted container opened without a password. -> OSError
  EncryptionRequired,
};

inline constexpr int kErrorKindCount = 10;

// The display prefix of a kind, without the ": " that follows it.
std::string_view kind_name(ErrorKind kind) noexcept;

class VogError {
 public:
  VogError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  static VogError not_found(std::string detail) { return {ErrorKind::NotFound, std::move(detail)}; }
  static VogError already_exists(std::string detail) {
    return {ErrorKind::AlreadyExists, std::move(detail)};
  }
  static VogError not_empty(std::string detail) { return {ErrorKind::NotEmpty, std::move(detail)}; }
  static VogError invalid_path(std::string detail) {
    return {ErrorKind::InvalidPath, std::move(detail)};
  }
  static VogError lock_conflict(std::string detail) {
    return {ErrorKind::LockConflict, std::move(detail)};
  }
  static VogError seek_out_of_bounds(std::string detail) {
    return {ErrorKind::SeekOutOfBounds, std::move(detail)};
  }
  static VogError io(std::string detail) { return {ErrorKind::IoError, std::move(detail)}; }
  static VogError read_only(std::string detail) { return {ErrorKind::ReadOnly, std::move(detail)}; }
  static VogError wrong_password(std::string detail) {
    return {ErrorKind::WrongPassword, std::move(detail)};
  }
  static VogError encryption_required(std::string detail) {
    return {ErrorKind::EncryptionRequired, std::move(detail)};
  }

  // An operating-system failure: "<action><description> (os error <errno>)".
  // The action is typically "failed to open Vog file: "; it may be empty.
  static VogError os(int errnum, std::string_view action = {});

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
  // "<kind prefix>: <detail>", e.g. "I/O error: not a Vog file (bad magic)".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const VogError&, const VogError&) = default;

 private:
  ErrorKind kind_;
  std::string detail_;
};

// The system's description of errnum followed by " (os error <errnum>)".
std::string os_error_text(int errnum);

template <class T>
using Result = std::expected<T, VogError>;

// Evaluate `expr`; on error return it unchanged; otherwise `name` holds the result.
#define VOG_TRY(name, expr) \
  auto name = (expr);       \
  if (!name) return std::unexpected(std::move(name).error())

// Evaluate a Result-returning `expr` for its effect; on error return it unchanged.
#define VOG_CHECK(expr)                                                     \
  do {                                                                      \
    if (auto vog_check_result_ = (expr); !vog_check_result_)                \
      return std::unexpected(std::move(vog_check_result_).error());         \
  } while (0)

}  // namespace vog
