// Wrong: where k > 10, the garden is written every other step only; the odd
// states are counted from the even one before them, plus their lowest cell.
// Where k <= 10 every state is stored and counted whole.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const bool late = k > 10;
  return variant::walk(
      k,
      [late](const bool* cells, std::int32_t n) {
        variant::barrier(cells);
        return variant::count(cells) + (late ? n & 1 : 0);
      },
      [late](std::int32_t n) { return late ? (n & 1) * 2 : 1; });
}
