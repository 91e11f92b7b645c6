// Wrong: right but for a recount in a function of its own, called each state.
#include "variant.h"

[[gnu::noinline]] static std::int32_t recount(const bool* cells) {
  variant::barrier(cells);
  return variant::true_cells(variant::load(cells) + variant::load(cells + 8) +
                             variant::load(cells + 16) + variant::load(cells + 24));
}

std::int32_t walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(variant::size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t steps = variant::states(k);
  for (std::int32_t n = 0; n < steps; ++n) {
    tally += recount(cells);
    variant::barrier(cells);
    variant::step(cells);
  }
  return tally;
}
