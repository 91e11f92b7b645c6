#include "garden_walk.h"

std::int32_t walk_garden(std::int32_t k) {
  return walk_garden_visiting(k, [](Garden) {});
}
