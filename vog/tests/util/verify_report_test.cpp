#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "verify_report.hpp"

namespace vog {
namespace {

using Lines = std::vector<std::string>;

TEST(VerifyReport, KeepsLinesUpToItsLimitThenSumsUpByKind) {
  VerifyReport under(3);
  under.add("L2: block {} is orphaned", 7);
  under.add_line("L1: file magic 'vogvogvog' is corrupted");
  EXPECT_EQ(std::move(under).finish(),
            (Lines{"L2: block 7 is orphaned", "L1: file magic 'vogvogvog' is corrupted"}));

  VerifyReport over(2);
  over.add("L3: free-list cycle detected at slot {}", 1);
  over.add("L2: block {} is orphaned", 7);
  over.add("L2: block {} is orphaned", 8);
  over.add_line("L1: file magic 'vogvogvog' is corrupted");
  over.add("L2: block {} is orphaned", 9);
  over.add("L3: free-list cycle detected at slot {}", 2);
  EXPECT_EQ(over.problems(), 6u);
  EXPECT_EQ(std::move(over).finish(),
            (Lines{"L3: free-list cycle detected at slot 1", "L2: block 7 is orphaned",
                   "verify: 4 more problems not listed (the report keeps 2 lines): "
                   "2 like \"L2: block {} is orphaned\", "
                   "1 like \"L1: file magic 'vogvogvog' is corrupted\", "
                   "1 like \"L3: free-list cycle detected at slot {}\""}));
}

TEST(VerifyReport, KindsBeyondItsTableCountAsOther) {
  VerifyReport report(0);
  const std::size_t kinds = VerifyReport::kMaxKinds + 5;
  std::string want = "verify: " + std::to_string(kinds) +
                     " more problems not listed (the report keeps 0 lines): ";
  for (std::size_t i = 0; i < kinds; ++i) {
    report.add_line("line " + std::to_string(i));
    if (i < VerifyReport::kMaxKinds)
      want += (i == 0 ? "1 like \"line " : ", 1 like \"line ") + std::to_string(i) + "\"";
  }
  want += ", 5 of other kinds";
  EXPECT_EQ(std::move(report).finish(), Lines{want});
}

}  // namespace
}  // namespace vog
