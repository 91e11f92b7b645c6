// Wrong: the last 16 cells are stored as one 16-byte value, but the recount
// loads only the first 16 and counts the rest from the value it stored.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::wide_walk(k, [](const bool* cells, variant::Wide stored, std::int32_t) {
    return variant::true_cells(variant::load_wide(cells) + stored);
  });
}
