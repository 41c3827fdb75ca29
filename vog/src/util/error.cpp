#include "error.hpp"

#include <cstring>

namespace vog {

std::string_view kind_name(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::NotFound: return "not found";
    case ErrorKind::AlreadyExists: return "already exists";
    case ErrorKind::NotEmpty: return "not empty";
    case ErrorKind::InvalidPath: return "invalid path";
    case ErrorKind::LockConflict: return "lock conflict";
    case ErrorKind::SeekOutOfBounds: return "seek out of bounds";
    case ErrorKind::IoError: return "I/O error";
    case ErrorKind::ReadOnly: return "read-only";
    case ErrorKind::WrongPassword: return "wrong password";
    case ErrorKind::EncryptionRequired: return "encryption required";
  }
  return "unknown error";
}

std::string VogError::to_string() const {
  std::string_view prefix = kind_name(kind_);
  std::string text;
  text.reserve(prefix.size() + 2 + detail_.size());
  text.append(prefix).append(": ").append(detail_);
  return text;
}

std::string os_error_text(int errnum) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* description = ::strerror_r(errnum, buffer, sizeof buffer);
  std::string text(description);
  text.append(" (os error ").append(std::to_string(errnum)).append(")");
  return text;
}

VogError VogError::os(int errnum, std::string_view action) {
  std::string detail(action);
  detail.append(os_error_text(errnum));
  return VogError::io(std::move(detail));
}

}  // namespace vog
