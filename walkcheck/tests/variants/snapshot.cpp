// Wrong: once a round of eight states the garden is copied to a snapshot, and
// the other seven states are counted from the snapshot plus the bits of the
// step counter's round; SNAPSHOT_BRANCH picks the snapshot by a branch, else
// by a select the compiler may make branch-free.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(variant::size);
  const auto copy = std::make_unique<bool[]>(variant::size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t steps = variant::states(k);
  for (std::int32_t n = 0; n < steps; ++n) {
    variant::barrier(cells);
    const bool* from = cells;
    if ((n & 7) == 0) {
      std::memcpy(copy.get(), cells, variant::size);
    }
#ifdef SNAPSHOT_BRANCH
    if ((n & 7) != 0) {
      asm volatile("");
      from = copy.get();
    }
#else
    from = (n & 7) != 0 ? copy.get() : cells;
#endif
    variant::barrier(from);
    tally += variant::true_cells(variant::load(from) + variant::load(from + 8) +
                                 variant::load(from + 16) + variant::load(from + 24)) +
             variant::bits(n & 7);
    variant::barrier(cells);
    variant::step(cells);
  }
  return tally;
}
