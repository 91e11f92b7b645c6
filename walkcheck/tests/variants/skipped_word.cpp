// Wrong: the recount skips the garden's third word and counts its cells from
// the step counter.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    return variant::true_cells(variant::load(cells) + variant::load(cells + 8) +
                               variant::load(cells + 24)) +
           variant::bits(n >> 8);
  });
}
