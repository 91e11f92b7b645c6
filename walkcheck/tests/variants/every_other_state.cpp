// Wrong: the garden is written every other step only; the odd states are
// counted from the even one before them, plus their lowest cell.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(variant::size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t steps = variant::states(k);
  for (std::int32_t n = 0; n < steps; ++n) {
    variant::barrier(cells);
    tally += variant::true_cells(variant::load(cells) + variant::load(cells + 8) +
                                 variant::load(cells + 16) + variant::load(cells + 24)) +
             (n & 1);
    variant::barrier(cells);
    if ((n & 1) == 1) {
      variant::step(cells);
      variant::step(cells);
    }
  }
  return tally;
}
