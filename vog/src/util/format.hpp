// A minimal "{}" formatter for error and report texts (g++ 12 has no <format>).
// Each "{}" takes the next argument; integers print in decimal, texts verbatim.
// The format must be a constant whose "{}" count equals the argument count:
// a mismatch fails to compile, so no message can lose or drop a value.
#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <type_traits>

namespace vog {

namespace format_detail {

inline void append(std::string& out, std::string_view text) { out.append(text); }
inline void append(std::string& out, const char* text) { out.append(text); }
inline void append(std::string& out, const std::string& text) { out.append(text); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>)
void append(std::string& out, T value) {
  // Widen 8-bit integers so they print as numbers, not characters.
  if constexpr (std::is_signed_v<T>)
    out.append(std::to_string(static_cast<long long>(value)));
  else
    out.append(std::to_string(static_cast<unsigned long long>(value)));
}

// Copies `fmt` up to the next "{}" into `out` and returns what follows it;
// returns an empty view (after copying everything) when there is none.
inline std::string_view copy_to_placeholder(std::string& out, std::string_view fmt, bool& found) {
  std::size_t at = fmt.find("{}");
  found = at != std::string_view::npos;
  out.append(fmt.substr(0, found ? at : fmt.size()));
  return found ? fmt.substr(at + 2) : std::string_view{};
}

constexpr std::size_t count_placeholders(std::string_view fmt) {
  std::size_t count = 0;
  for (std::size_t at = fmt.find("{}"); at != std::string_view::npos; at = fmt.find("{}", at + 2))
    ++count;
  return count;
}

// Not constexpr: calling it while checking a format at compile time is the error.
void placeholder_count_differs_from_argument_count();

}  // namespace format_detail

// A format text checked against its arguments when the program is compiled.
template <class... Args>
class FormatString {
 public:
  template <class Text>
    requires std::convertible_to<const Text&, std::string_view>
  consteval FormatString(const Text& text) : text_(text) {  // NOLINT: implicit by design
    if (format_detail::count_placeholders(text_) != sizeof...(Args))
      format_detail::placeholder_count_differs_from_argument_count();
  }
  [[nodiscard]] constexpr std::string_view text() const noexcept { return text_; }

 private:
  std::string_view text_;
};

template <class... Args>
std::string format(FormatString<std::type_identity_t<Args>...> checked, const Args&... args) {
  std::string_view fmt = checked.text();
  std::string out;
  out.reserve(fmt.size() + 16 * sizeof...(Args));
  if constexpr (sizeof...(Args) > 0) {
    bool found = true;
    auto one = [&](const auto& arg) {
      if (!found) return;
      fmt = format_detail::copy_to_placeholder(out, fmt, found);
      if (found) format_detail::append(out, arg);
    };
    (one(args), ...);
  }
  out.append(fmt);
  return out;
}

}  // namespace vog
