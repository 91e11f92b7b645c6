#include "garden_walk.h"

#include <gtest/gtest.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

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

// Every path this processor runs gives the same answers; each test takes
// them all in turn and names the path that fails.

namespace {

// Unoptimized, sanitized and emulated builds (their build defines
// SLOW_BUILD), and any build run under valgrind, run the walk many times
// slower: on the paths walk_garden does not take, and in the state-by-state
// test, they stop at k = 22, still past k = 20, the first size whose carry
// runs through the cell at array index 12.
std::int32_t state_test_max_k() {
  constexpr std::int32_t slow_max_k = 22;
#if defined(SLOW_BUILD)
  return slow_max_k;
#else
#if defined(RUNNING_ON_VALGRIND)
  if (RUNNING_ON_VALGRIND != 0) {
    return slow_max_k;
  }
#endif
  return max_k;
#endif
}

}  // namespace

// Over all 2^k states of k cells each cell is true in half of them, k * 2^(k-1)
// in all; the walk leaves out the all-true state, which holds k of them.
TEST(WalkGarden, MatchesClosedForm) {
  for (const WalkPath& path : walk_paths()) {
    const bool taken = &path == &chosen_walk_path();
    EXPECT_EQ(path.walk(0), 0) << path.name;
    for (std::int32_t k = 1; k <= max_k && (taken || k <= state_test_max_k()); ++k) {
      const std::int64_t expected = (std::int64_t{1} << (k - 1)) * k - k;
      EXPECT_EQ(path.walk(k), expected) << path.name << ", k = " << k;
    }
  }
}

TEST(WalkGarden, SmallTallies) {
  EXPECT_EQ(walk_garden(1), 0);      // 0
  EXPECT_EQ(walk_garden(2), 2);      // 00 01 10
  EXPECT_EQ(walk_garden(3), 9);      // 000 001 010 011 100 101 110
  EXPECT_EQ(walk_garden(10), 5110);  // 10 * 2^9 - 10
}

// A processor with AVX2 walks the whole garden as one 32-byte word; every
// processor runs a path that works everywhere.
TEST(WalkGarden, PicksThePathThisProcessorRuns) {
  ASSERT_FALSE(walk_paths().empty());
  EXPECT_STREQ(walk_paths().back().name, "portable");
#if defined(__x86_64__)
  EXPECT_EQ(std::string(chosen_walk_path().name) == "avx2",
            static_cast<bool>(__builtin_cpu_supports("avx2")));
#endif
}

namespace {

// A counter stepped beside the walk, one cell at a time, and the first state
// the walk showed that differs from it.
struct Expected {
  std::int32_t k = 0;
  std::array<bool, garden_size> cells{};
  std::int64_t steps = 0;
  std::string first_wrong;
};

void check_state(void* context, Garden zahrada) {
  auto& expected = *static_cast<Expected*>(context);
  if (std::memcmp(zahrada.data(), expected.cells.data(), garden_size) != 0 &&
      expected.first_wrong.empty()) {
    expected.first_wrong = "after " + std::to_string(expected.steps) + " steps: " + text(zahrada) +
                           ", expected " + text(expected.cells);
  }
  ++expected.steps;
  for (std::int32_t cell = garden_size - 1; cell >= garden_size - expected.k; --cell) {
    bool& digit = expected.cells[static_cast<std::size_t>(cell)];
    digit = !digit;
    if (digit) {
      break;
    }
  }
}

}  // namespace

// The sum alone cannot tell a walk that visits the states out of order, or
// sets a padding cell, from a right one: each recounted state must be the
// number of steps taken so far in base two (cell k - 1 lowest, behind false
// padding), and every state but the all-true one is seen. Optimized builds
// check every state of every size, k = 0..max_k, on every path.
TEST(WalkGarden, RecountsEachStateInTurn) {
  for (const WalkPath& path : walk_paths()) {
    for (std::int32_t k = 0; k <= state_test_max_k(); ++k) {
      Expected expected;
      expected.k = k;
      path.watched(k, check_state, &expected);
      EXPECT_EQ(expected.first_wrong, "") << path.name << ", k = " << k;
      EXPECT_EQ(expected.steps, (std::int64_t{1} << k) - 1) << path.name << ", k = " << k;
    }
  }
}
