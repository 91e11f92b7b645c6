// Wrong: every state is stored and loaded whole once, but each full round of
// 32 states is walked in Gray code order, not as the counter counts.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const std::int32_t last = variant::states(k);
  return variant::wide_walk(
      k,
      [](const bool* cells, variant::Wide, std::int32_t) {
        return variant::true_cells(variant::load_wide(cells) + variant::load_wide(cells + 16));
      },
      [last](std::int32_t n) {
        const std::int32_t low = n & 31;
        return variant::last_cells((n | 31) < last ? (n & ~31) | (low ^ low >> 1) : n);
      });
}
