// Wrong: the first 2^11 states are recounted whole, but from state 2^11 on the
// recount no longer loads the garden's last word and counts cells 24..31 from
// the step counter instead.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    if (n < 1 << 11) {
      variant::barrier(cells);
      return variant::count(cells);
    }
    return variant::true_cells(variant::load(cells) + variant::load(cells + 8) +
                               variant::load(cells + 16)) +
           variant::bits(n & 255);
  });
}
