// Wrong: once a round of eight states the garden is copied to a snapshot, and
// the other seven states are counted from the snapshot plus the bits of the
// step counter's round; SNAPSHOT_BRANCH picks the snapshot by a branch, else
// by a select the compiler may make branch-free.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const auto copy = std::make_unique<bool[]>(variant::size);
  return variant::walk(k, [&copy](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    const bool* from = cells;
    if ((n & 7) == 0) {
      std::memcpy(std::assume_aligned<8>(copy.get()), std::assume_aligned<8>(cells), variant::size);
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
    return variant::count(from) + variant::bits(n & 7);
  });
}
