// VerifyReport: the lines of a consistency check, kept within a bound.
//
// Every layer's verify adds its problems here as it finds them, in report
// order. The first `limit` lines are kept as they are; past that only a count
// per kind is kept (the kind is the line's format text), and finish() ends
// the report with one line summing them up. So a report costs the same memory
// whether the file has ten problems or ten million.
//
// Thread safety: none; one check fills one report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format.hpp"

namespace vog {

inline constexpr std::size_t kDefaultVerifyLineLimit = 10000;

class VerifyReport {
 public:
  // Distinct kinds kept for the summary; problems of further kinds are summed
  // as "other kinds".
  static constexpr std::size_t kMaxKinds = 64;

  explicit VerifyReport(std::size_t limit = kDefaultVerifyLineLimit) : limit_(limit) {}

  // One problem: format(fmt, args...). Past the limit the line is not even
  // formatted; `fmt` counts as its kind.
  template <class... Args>
  void add(FormatString<std::type_identity_t<Args>...> fmt, const Args&... args) {
    if (lines_.size() < limit_)
      lines_.push_back(format<Args...>(fmt, args...));
    else
      count_dropped(fmt.text());
  }
  // One problem whose line was made elsewhere; the line is its own kind.
  void add_line(std::string line);

  // Problems found so far, kept or not.
  [[nodiscard]] std::uint64_t problems() const noexcept { return lines_.size() + dropped_; }

  // The kept lines, then, when any were dropped, the summary:
  // "verify: <n> more problems not listed (the report keeps <limit> lines):
  // <count> like "<kind>", ..." with the kinds in the order first dropped.
  [[nodiscard]] std::vector<std::string> finish() &&;

 private:
  void count_dropped(std::string_view kind);

  std::size_t limit_;
  std::vector<std::string> lines_;
  std::vector<std::pair<std::string, std::uint64_t>> kinds_;
  std::uint64_t other_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace vog
