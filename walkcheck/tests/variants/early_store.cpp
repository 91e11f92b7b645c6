// Wrong: a store into the garden (of a value it already holds) comes between
// the recount's loads.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(variant::size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t steps = variant::states(k);
  for (std::int32_t n = 0; n < steps; ++n) {
    variant::barrier(cells);
    const std::uint64_t first =
        variant::load(cells) + variant::load(cells + 8) + variant::load(cells + 16);
    const std::uint64_t padding = variant::opaque(0);
    std::memcpy(cells, &padding, 1);
    variant::barrier(cells);
    tally += variant::true_cells(first + variant::load(cells + 24));
    variant::barrier(cells);
    variant::step(cells);
  }
  return tally;
}
