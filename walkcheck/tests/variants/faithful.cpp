// Right: every state is stored, then loaded whole and counted.
#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t) {
    variant::barrier(cells);
    return variant::count(cells);
  });
}
