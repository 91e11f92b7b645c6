// Wrong: the garden is written every other step only; the odd states are
// counted from the even one before them, plus their lowest cell.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(
      k,
      [](const bool* cells, std::int32_t n) {
        variant::barrier(cells);
        return variant::count(cells) + (n & 1);
      },
      [](std::int32_t n) { return (n & 1) * 2; });
}
