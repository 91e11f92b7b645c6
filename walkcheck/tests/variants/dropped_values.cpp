// Wrong: the garden is loaded whole, but the loaded words are dropped and the
// tally counts the bits of the step counter instead.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(variant::size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t steps = variant::states(k);
  for (std::int32_t n = 0; n < steps; ++n) {
    variant::barrier(cells);
    for (std::int32_t word = 0; word < variant::size; word += 8) {
      const std::uint64_t loaded = variant::load(cells + word);
      asm volatile("" : : "r"(loaded));
    }
    tally += variant::bits(n);
    variant::barrier(cells);
    variant::step(cells);
  }
  return tally;
}
