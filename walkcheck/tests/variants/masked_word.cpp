// Wrong: the recount loads the last word and reads it, but ANDs it with a
// zero the compiler cannot see, and counts the last eight cells from the
// step counter instead.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    return variant::true_cells(variant::load(cells) + variant::load(cells + 8) +
                               variant::load(cells + 16) +
                               (variant::load(cells + 24) & variant::opaque(0))) +
           variant::bits(n & 255);
  });
}
