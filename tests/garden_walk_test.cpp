#include "garden_walk.h"

#include <gtest/gtest.h>

#include <cstdint>

// Over all 2^k states of k cells each cell is true in half of them, k * 2^(k-1)
// in all; the walk leaves out the all-true state, which holds k of them.
TEST(WalkGarden, MatchesClosedForm) {
  EXPECT_EQ(walk_garden(0), 0);
  for (std::int32_t k = 1; k <= 22; ++k) {
    const std::int64_t expected = (std::int64_t{1} << (k - 1)) * k - k;
    EXPECT_EQ(walk_garden(k), expected) << "k = " << k;
  }
}

TEST(WalkGarden, SmallTallies) {
  EXPECT_EQ(walk_garden(1), 0);      // 0
  EXPECT_EQ(walk_garden(2), 2);      // 00 01 10
  EXPECT_EQ(walk_garden(3), 9);      // 000 001 010 011 100 101 110
  EXPECT_EQ(walk_garden(10), 5110);  // 10 * 2^9 - 10
}
