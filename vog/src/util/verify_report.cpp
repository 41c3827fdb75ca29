#include "verify_report.hpp"

#include <algorithm>

namespace vog {

void VerifyReport::add_line(std::string line) {
  if (lines_.size() < limit_)
    lines_.push_back(std::move(line));
  else
    count_dropped(line);
}

void VerifyReport::count_dropped(std::string_view kind) {
  ++dropped_;
  // Dropped problems come in long runs of one kind (orphaned blocks, say):
  // the last kind is the likeliest match.
  auto found = std::find_if(kinds_.rbegin(), kinds_.rend(),
                            [&](const auto& known) { return known.first == kind; });
  if (found != kinds_.rend())
    ++found->second;
  else if (kinds_.size() < kMaxKinds)
    kinds_.emplace_back(std::string(kind), 1);
  else
    ++other_;
}

std::vector<std::string> VerifyReport::finish() && {
  if (dropped_ != 0) {
    std::string summary = format("verify: {} more problems not listed (the report keeps {} lines): ",
                                 dropped_, limit_);
    for (std::size_t at = 0; at < kinds_.size(); ++at) {
      if (at != 0) summary += ", ";
      summary += format("{} like \"{}\"", kinds_[at].second, kinds_[at].first);
    }
    if (other_ != 0) summary += format(", {} of other kinds", other_);
    lines_.push_back(std::move(summary));
  }
  return std::move(lines_);
}

}  // namespace vog
