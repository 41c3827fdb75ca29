// The directory cache's bounds: what the copies keep and let go, that their
// byte count follows replacements and removals, and that the generations stay
// true past their limit.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

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

TEST(DirectoryGenerations, AChangedDirectoryNeverShowsAnEarlierNumber) {
  // A read that saw a number may cache its bytes only if the number still
  // holds, so after a change none seen before may come back, also once the
  // limit has made everything be forgotten. Until then, an unchanged
  // directory keeps its number, or nothing would ever be cached.
  constexpr std::size_t kLimit = 4;
  DirectoryGenerations generations(kLimit);
  std::mt19937 rng(7);
  std::map<StreamId, std::set<std::uint64_t>> seen;  // by directory, before its last change
  std::map<StreamId, std::uint64_t> now;             // as last read, while nothing was forgotten
  for (int step = 0; step < 2000; ++step) {
    const auto dir = static_cast<StreamId>(rng() % 10);
    if (rng() % 3 == 0) {
      seen[dir].insert(generations.of(dir));
      const std::size_t before = generations.size();
      generations.bump(dir);
      if (generations.size() < before) now.clear();  // everything was forgotten
      now.erase(dir);
      ASSERT_LE(generations.size(), kLimit);
    } else if (auto known = now.find(dir); known != now.end()) {
      ASSERT_EQ(generations.of(dir), known->second) << "step " << step;
    } else {
      now[dir] = generations.of(dir);
    }
    ASSERT_FALSE(seen[dir].contains(generations.of(dir))) << "step " << step;
  }
}

}  // namespace
}  // namespace vog
