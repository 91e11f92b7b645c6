#pragma once

#include <cstdint>

// The walk in its plainest form, the baseline walk_garden is timed against:
// a garden of exactly k cells, recounted one cell at a time (if true, add
// one), then stepped. Returns the same tally as walk_garden(k).
// Assumes 0 <= k <= 27.
std::int32_t plain_walk_garden(std::int32_t k);
