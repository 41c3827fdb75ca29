// The directory cache's budget: what it keeps, what it lets go, and that its
// byte count follows replacements and removals.
#include <gtest/gtest.h>

#include "directory_copies.hpp"

namespace vog {
namespace {

std::vector<std::byte> bytes(std::size_t size, unsigned char value) {
  return std::vector<std::byte>(size, std::byte{value});
}

TEST(DirectoryCopies, KeepTheMostRecentlyUsedWithinTheBudget) {
  DirectoryCopies copies(100);
  copies.put(1, bytes(40, 1));
  copies.put(2, bytes(40, 2));
  ASSERT_NE(copies.find(1), nullptr);  // 2 is now the least recently used
  copies.put(3, bytes(40, 3));
  EXPECT_EQ(copies.find(2), nullptr);
  ASSERT_NE(copies.find(1), nullptr);
  EXPECT_EQ(*copies.find(3), bytes(40, 3));
  EXPECT_EQ(copies.bytes(), 80u);

  copies.put(1, bytes(10, 4));  // a replacement counts only its new bytes
  EXPECT_EQ(*copies.find(1), bytes(10, 4));
  EXPECT_EQ(copies.bytes(), 50u);

  copies.put(3, bytes(101, 5));  // larger than the budget: not kept, nothing else goes
  EXPECT_EQ(copies.find(3), nullptr);
  ASSERT_NE(copies.find(1), nullptr);
  EXPECT_EQ(copies.bytes(), 10u);

  EXPECT_EQ(copies.take(1), bytes(10, 4));
  EXPECT_EQ(copies.take(1), std::nullopt);
  EXPECT_EQ(copies.bytes(), 0u);

  copies.put(6, bytes(60, 6));
  copies.put(7, bytes(30, 7));
  copies.put(8, bytes(100, 8));  // exactly the budget: every other copy goes
  EXPECT_EQ(copies.size(), 1u);
  EXPECT_EQ(copies.bytes(), 100u);
}

}  // namespace
}  // namespace vog
