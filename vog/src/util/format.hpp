// A minimal "{}" formatter for error and report texts (g++ 12 has no <format>).
// Each "{}" takes the next argument; integers print in decimal, texts verbatim.
// A "{}" without an argument stays as it is; surplus arguments are ignored.
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

}  // namespace format_detail

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
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
