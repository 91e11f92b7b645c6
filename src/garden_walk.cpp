#include "garden_walk.h"

#include <cmath>
#include <memory>

std::int32_t walk_garden(std::int32_t k) {
  // One byte per cell, all false to start. Whatever k is, the array has room
  // for the largest garden, rounded up to whole groups of four cells, so that
  // the recount below is one fixed run of reads; the cells past k - 1 are
  // never stepped, so they stay false and add nothing to a recount.
  constexpr std::int32_t cells = (max_k + 3) / 4 * 4;
  const auto garden = std::make_unique<bool[]>(cells);
  bool* const zahrada = garden.get();
  const volatile bool* const cell = zahrada;
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));

  std::int32_t pocetb = 0;
  // The step counter alone ends the walk: 2^k - 1 steps bring the garden to
  // all true, and that last state is never counted.
  for (std::int32_t iterace = 0; iterace < power_2_k - 1; ++iterace) {
    // Recount: every cell is read again from the garden, one byte at a time,
    // through a volatile view, so no compiler can skip, hoist or widen a read.
    // That is also what makes it fast: the step below has just stored single
    // bytes, and the processor forwards a pending byte store straight to a
    // one-byte load, whereas the wider vector load a compiler would otherwise
    // make of this loop must wait for those stores to reach the cache. Four
    // running sums let the additions go in parallel.
    std::int32_t sum0 = 0;
    std::int32_t sum1 = 0;
    std::int32_t sum2 = 0;
    std::int32_t sum3 = 0;
    for (std::int32_t i = 0; i < cells; i += 4) {
      sum0 += static_cast<std::int32_t>(cell[i]);
      sum1 += static_cast<std::int32_t>(cell[i + 1]);
      sum2 += static_cast<std::int32_t>(cell[i + 2]);
      sum3 += static_cast<std::int32_t>(cell[i + 3]);
    }
    pocetb += (sum0 + sum1) + (sum2 + sum3);

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
