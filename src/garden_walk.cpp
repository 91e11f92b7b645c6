#include "garden_walk.h"

#include <cmath>
#include <cstddef>
#include <memory>

std::int32_t walk_garden(std::int32_t k) {
  // One byte per cell, all false to start.
  const auto garden = std::make_unique<bool[]>(static_cast<std::size_t>(k));
  bool* const zahrada = garden.get();
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));

  std::int32_t pocetb = 0;
  // The step counter alone ends the walk: 2^k - 1 steps bring the garden to
  // all true, and that last state is never counted.
  for (std::int32_t iterace = 0; iterace < power_2_k - 1; ++iterace) {
    for (std::int32_t i = 0; i < k; ++i) {
      if (zahrada[i]) {
        ++pocetb;
      }
    }
    // Add one: clear the trailing true cells, set the first false one.
    for (std::int32_t i = k - 1; i >= 0; --i) {
      if (!zahrada[i]) {
        zahrada[i] = true;
        break;
      }
      zahrada[i] = false;
    }
  }
  return pocetb;
}
