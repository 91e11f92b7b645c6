#pragma once

#include <cstdint>
#include <span>

// Largest garden the walk supports: at 27 cells, k plus the tally is
// 27 * 2^26, still below 2^31 - 1; at 28 the tally passes the signed 32-bit
// range.
inline constexpr std::int32_t max_k = 27;

// The garden is one array of this many one-byte cells, cell k - 1 last; the
// cells in front of cell 0 stay false.
inline constexpr std::int32_t garden_size = 32;
using Garden = std::span<const bool, garden_size>;

static_assert(sizeof(bool) == 1 && max_k + 1 <= garden_size);

// Called with the garden in each state, before the walk recounts it.
using Watch = void (*)(void* context, Garden zahrada);

// One way to walk the garden, compiled for one instruction set. walk(k) walks
// a garden of k cells from all false to all true as a base-two counter (cell
// k - 1 lowest), recounting every cell of each state, and returns the number
// of true cells over the 2^k - 1 states before all true; watched(k, watch,
// context) does the same and calls watch(context, zahrada) before each
// recount. Both assume 0 <= k <= max_k.
struct WalkPath {
  const char* name;
  std::int32_t (*walk)(std::int32_t k);
  std::int32_t (*watched)(std::int32_t k, Watch watch, void* context);
};

// The paths built in that this processor can run, the one walk_garden takes
// first.
std::span<const WalkPath> walk_paths();

// walk_garden's path: the first of walk_paths(), picked once a run.
const WalkPath& chosen_walk_path();

// Walks a garden of k cells on the chosen path; see WalkPath.
std::int32_t walk_garden(std::int32_t k);
