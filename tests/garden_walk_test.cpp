#include "garden_walk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// The garden as text, one '0' or '1' a cell, in array order.
std::string text(Garden zahrada) {
  std::string cells;
  for (const bool cell : zahrada) {
    cells += cell ? '1' : '0';
  }
  return cells;
}

}  // namespace

// Over all 2^k states of k cells each cell is true in half of them, k * 2^(k-1)
// in all; the walk leaves out the all-true state, which holds k of them.
TEST(WalkGarden, MatchesClosedForm) {
  EXPECT_EQ(walk_garden(0), 0);
  for (std::int32_t k = 1; k <= max_k; ++k) {
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

// The sum alone cannot tell a walk that visits the states out of order, or
// sets a padding cell, from a right one: each recounted state must be the
// number of steps taken so far, and every state but the all-true one is seen.
TEST(WalkGarden, RecountsEachStateInTurn) {
  for (std::int32_t k = 0; k <= 18; ++k) {
    // k cells at the end of the array holding n in base two, cell k - 1
    // lowest, behind false padding.
    const auto holding = [k](std::int64_t n) {
      std::string cells(garden_size, '0');
      for (std::int32_t bit = 0; bit < k; ++bit) {
        if ((n >> bit & 1) != 0) {
          cells[static_cast<std::size_t>(garden_size - 1 - bit)] = '1';
        }
      }
      return cells;
    };
    std::int64_t steps = 0;
    std::string first_wrong;
    walk_garden_visiting(k, [&](Garden zahrada) {
      if (first_wrong.empty() && text(zahrada) != holding(steps)) {
        first_wrong = "after " + std::to_string(steps) + " steps: " + text(zahrada) +
                      ", expected " + holding(steps);
      }
      ++steps;
    });
    EXPECT_EQ(first_wrong, "") << "k = " << k;
    EXPECT_EQ(steps, (std::int64_t{1} << k) - 1) << "k = " << k;
  }
}
