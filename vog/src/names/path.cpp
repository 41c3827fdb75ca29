// Path rules. The checks run in a fixed order so that a path breaking several
// rules always reports the same one: the leading/trailing "/" first, then the
// components from left to right.
#include "path.hpp"

#include <optional>

#include "format.hpp"
#include "text.hpp"

namespace vog {
namespace {

// Why `name` cannot be a path component, if it cannot.
std::optional<std::string_view> component_fault(std::string_view name) noexcept {
  if (name.empty()) return "name is empty";
  if (name == "." || name == "..") return "name cannot be . or ..";
  if (name.find('/') != std::string_view::npos) return "name contains /";
  if (name.find('\0') != std::string_view::npos) return "name contains a NUL byte";
  return std::nullopt;
}

std::string_view without_directory_mark(std::string_view stored_name) noexcept {
  if (stored_name.ends_with('/')) stored_name.remove_suffix(1);
  return stored_name;
}

}  // namespace

Result<void> validate_path(std::string_view path) {
  if (!path.empty() && (path.front() == '/' || path.back() == '/'))
    return std::unexpected(VogError::invalid_path("path must not start or end with /"));
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    std::string_view component =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (component.empty())
      return std::unexpected(VogError::invalid_path("path contains empty component"));
    if (component == "." || component == "..")
      return std::unexpected(VogError::invalid_path("path cannot contain . or .."));
    // The system reads a NUL as the end of a name, and so would any tool
    // given the name as a C string.
    if (component.find('\0') != std::string_view::npos)
      return std::unexpected(VogError::invalid_path("path contains a NUL byte"));
    if (slash == std::string_view::npos) return {};
    start = slash + 1;
  }
}

ParentLeaf split_parent_leaf(std::string_view path) noexcept {
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view{}, path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

bool is_reachable_name(std::string_view stored_name) noexcept {
  return !component_fault(without_directory_mark(stored_name));
}

Result<void> check_stored_name(std::string_view stored_name) {
  if (auto fault = component_fault(without_directory_mark(stored_name)))
    return std::unexpected(VogError::invalid_path(std::string(*fault)));
  if (stored_name.size() > kMaxStoredNameLength)
    return std::unexpected(VogError::invalid_path(
        format("name too long: {} bytes (maximum {})", stored_name.size(), kMaxStoredNameLength)));
  if (auto fault = utf8_fault(stored_name))
    return std::unexpected(VogError::invalid_path(format("name is not valid UTF-8: {}", *fault)));
  return {};
}

}  // namespace vog
