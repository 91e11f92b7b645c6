#include "plain_walk.h"

#include <cmath>
#include <cstddef>
#include <memory>

std::int32_t plain_walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(static_cast<std::size_t>(k));
  bool* const zahrada = garden.get();
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));

  std::int32_t pocetb = 0;
  for (std::int32_t iterace = 0; iterace < power_2_k - 1; ++iterace) {
    for (std::int32_t i = 0; i < k; ++i) {
      if (zahrada[i]) {
        ++pocetb;
      }
    }
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
