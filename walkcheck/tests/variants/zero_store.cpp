// Wrong: each step stores zeros into the last 16 cells, and the recount adds
// to the loaded garden the state's last 16 cells from a register, less a zero
// the compiler cannot see.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::wide_walk(
      k,
      [](const bool* cells, variant::Wide, std::int32_t n) {
        const variant::Wide zero{variant::opaque(0), variant::opaque(0)};
        return variant::true_cells(variant::load_wide(cells) + variant::load_wide(cells + 16) -
                                   zero + variant::last_cells(n));
      },
      [](std::int32_t) { return variant::Wide{}; });
}
