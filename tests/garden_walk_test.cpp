#include "garden_walk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
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

// Unoptimized, sanitized and emulated builds run the walk and this test many
// times slower; their build sets a lower bound, still past k = 20, the first
// size whose carry runs through the cell at array index 12.
#ifndef STATE_TEST_MAX_K
#define STATE_TEST_MAX_K max_k
#endif

// The sum alone cannot tell a walk that visits the states out of order, or
// sets a padding cell, from a right one: each recounted state must be the
// number of steps taken so far in base two (cell k - 1 lowest, behind false
// padding), and every state but the all-true one is seen. Optimized builds
// check every state of every size, k = 0..max_k.
TEST(WalkGarden, RecountsEachStateInTurn) {
  for (std::int32_t k = 0; k <= STATE_TEST_MAX_K; ++k) {
    // Stepped beside the walk, one cell at a time.
    std::array<bool, garden_size> expected{};
    std::int64_t steps = 0;
    std::string first_wrong;
    walk_garden_visiting(k, [&](Garden zahrada) {
      if (std::memcmp(zahrada.data(), expected.data(), garden_size) != 0 && first_wrong.empty()) {
        first_wrong = "after " + std::to_string(steps) + " steps: " + text(zahrada) +
                      ", expected " + text(expected);
      }
      ++steps;
      for (std::int32_t cell = garden_size - 1; cell >= garden_size - k; --cell) {
        bool& digit = expected[static_cast<std::size_t>(cell)];
        digit = !digit;
        if (digit) {
          break;
        }
      }
    });
    EXPECT_EQ(first_wrong, "") << "k = " << k;
    EXPECT_EQ(steps, (std::int64_t{1} << k) - 1) << "k = " << k;
  }
}
