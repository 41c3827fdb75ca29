#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "error.hpp"
#include "format.hpp"

namespace vog {
namespace {

TEST(VogError, EveryKindRendersWithItsPrefixEvenWithAnEmptyDetail) {
  const std::pair<ErrorKind, std::string> expected[] = {
      {ErrorKind::NotFound, "not found: "},
      {ErrorKind::AlreadyExists, "already exists: "},
      {ErrorKind::NotEmpty, "not empty: "},
      {ErrorKind::InvalidPath, "invalid path: "},
      {ErrorKind::LockConflict, "lock conflict: "},
      {ErrorKind::SeekOutOfBounds, "seek out of bounds: "},
      {ErrorKind::IoError, "I/O error: "},
      {ErrorKind::ReadOnly, "read-only: "},
      {ErrorKind::WrongPassword, "wrong password: "},
      {ErrorKind::EncryptionRequired, "encryption required: "},
  };
  static_assert(std::size(expected) == kErrorKindCount);
  for (int i = 0; i < kErrorKindCount; ++i) {
    // The declared order is the order of the table above.
    EXPECT_EQ(static_cast<int>(expected[i].first), i);
    EXPECT_EQ(VogError(expected[i].first, "x").to_string(), expected[i].second + "x");
    EXPECT_EQ(VogError(expected[i].first, "").to_string(), expected[i].second);  // blank stays
  }
}

TEST(VogError, OperatingSystemFailureNamesActionDescriptionAndNumber) {
  VogError error = VogError::os(ENOENT, "failed to open Vog file: ");
  EXPECT_EQ(error.kind(), ErrorKind::IoError);
  EXPECT_EQ(error.to_string(), std::string("I/O error: failed to open Vog file: ") +
                                   std::strerror(ENOENT) + " (os error 2)");
  EXPECT_EQ(VogError::os(EACCES).detail(), std::string(std::strerror(EACCES)) + " (os error 13)");
}

TEST(VogError, DetailIsNeverTruncated) {
  std::string long_detail(100000, 'z');
  EXPECT_EQ(VogError::io(long_detail).to_string().size(), std::string("I/O error: ").size() + 100000);
}

Result<int> lowest(bool fail) {
  if (fail) return std::unexpected(VogError::io("block 0 too small"));
  return 7;
}
Result<int> middle(bool fail) {
  VOG_TRY(value, lowest(fail));
  return *value + 1;
}
Result<void> top(bool fail) {
  VOG_CHECK(middle(fail));
  return {};
}

TEST(VogError, PassesThroughLayersUnchanged) {
  auto result = top(true);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), VogError::io("block 0 too small"));
  EXPECT_TRUE(top(false));
  EXPECT_EQ(*middle(false), 8);
}

TEST(Format, FillsPlaceholdersInOrder) {
  EXPECT_EQ(format("admin slot {}: expected {} bytes, got {}", 1, std::uint16_t{11}, 12ULL),
            "admin slot 1: expected 11 bytes, got 12");
  EXPECT_EQ(format("{} < {}", std::uint8_t{200}, -3), "200 < -3");
  EXPECT_EQ(format("name '{}'", std::string("x")), "name 'x'");
  EXPECT_EQ(format("no placeholder"), "no placeholder");
  EXPECT_EQ(format("{}", 0xFFFFFFFFu), "4294967295");
}

}  // namespace
}  // namespace vog
