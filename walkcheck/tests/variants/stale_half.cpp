// Wrong: in the sixth state of each round of 32, the recount loads the first
// 16 cells as one 16-byte value but counts cells 8 to 15 from the value it
// loaded in the state before, dropping the upper half of the new one (by a
// mask, so that the loaded half is still read).
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  variant::Wide before{};
  return variant::wide_walk(k, [&before](const bool* cells, variant::Wide, std::int32_t n) {
    variant::Wide front = variant::load_wide(cells);
    variant::keep_whole(front);
    const std::uint64_t stale = variant::opaque((n & 31) == 5 ? ~std::uint64_t{0} : 0);
    front = variant::Wide{front[0], (front[1] & ~stale) | (before[1] & stale)};
    before = front;
    return variant::true_cells(front + variant::load_wide(cells + 16));
  });
}
