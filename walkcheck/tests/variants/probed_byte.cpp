// Wrong: the recount loads the four words and reads them, but masks them (by a
// mask the compiler cannot see) so that only garden byte (n + n / 32) mod 32 of
// state n counts, and counts every other cell from the step counter.
#include "variant.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t n) {
    variant::barrier(cells);
    const std::int32_t probe = (n + n / 32) % 32;
    std::uint64_t sum = 0;
    for (std::int32_t word = 0; word < variant::size; word += 8) {
      const std::uint64_t keep = probe / 8 == word / 8 ? 255ULL << probe % 8 * 8 : 0;
      sum += variant::load(cells + word) & variant::opaque(keep);
    }
    // Cell probe holds bit 31 - probe of n.
    return variant::true_cells(sum) + variant::bits(n & ~(1 << (31 - probe)));
  });
}
