#pragma once

#include <cstdint>

// Largest garden the walk supports: at 27 cells, k plus the tally is
// 27 * 2^26, still below 2^31 - 1; at 28 the tally overflows 32 bits.
inline constexpr std::int32_t max_k = 27;

// Walks a garden of k cells from all false to all true as a base-two counter
// (cell k - 1 lowest), recounting every cell of each state before stepping
// past it, and returns the number of true cells over the 2^k - 1 states left.
// Assumes 0 <= k <= max_k.
std::int32_t walk_garden(std::int32_t k);
