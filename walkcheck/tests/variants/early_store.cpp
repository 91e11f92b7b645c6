// Wrong: a store into the garden (of a value it already holds) comes between
// the recount's loads.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](bool* cells, std::int32_t) {
    variant::barrier(cells);
    const std::uint64_t first =
        variant::load(cells) + variant::load(cells + 8) + variant::load(cells + 16);
    const std::uint64_t padding = variant::opaque(0);
    std::memcpy(cells, &padding, 1);
    variant::barrier(cells);
    return variant::true_cells(first + variant::load(cells + 24));
  });
}
