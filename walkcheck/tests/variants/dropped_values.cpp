// Wrong: the garden is loaded whole, but the loaded words are dropped and the
// tally counts the bits of the step counter instead.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    for (std::int32_t word = 0; word < variant::size; word += 8) {
      const std::uint64_t loaded = variant::load(cells + word);
      asm volatile("" : : "r"(loaded));
    }
    return variant::bits(n);
  });
}
