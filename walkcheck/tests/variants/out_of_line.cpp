// Wrong: right but for a recount in a function of its own, called each state.
#include "variant.h"

[[gnu::noinline]] static std::int32_t recount(const bool* cells) {
  variant::barrier(cells);
  return variant::count(cells);
}

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t) { return recount(cells); });
}
