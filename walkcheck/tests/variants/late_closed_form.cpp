// Wrong: every state is loaded whole and its words summed, but from state 1024
// on the sum is dropped, not added to the tally, and the dropped states are
// added at the end from a closed form: states 0 .. 2^k - 2 hold k * 2^(k-1) - k
// true cells, of which the first 1024 hold 10 * 2^9.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  const std::int32_t tally = variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    const std::uint64_t sum = variant::load(cells) + variant::load(cells + 8) +
                              variant::load(cells + 16) + variant::load(cells + 24);
    asm volatile("" : : "r"(sum));
    return n < 1024 ? variant::true_cells(sum) : 0;
  });
  return k > 10 ? tally + (k << (k - 1)) - k - 10 * 512 : tally;
}
