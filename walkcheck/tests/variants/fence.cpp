// Wrong: right but for a hardware memory barrier in every recount.
#include <atomic>

#include "variant.h"

std::int32_t walk_garden(std::int32_t k) {
  return variant::walk(k, [](const bool* cells, std::int32_t) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return variant::count(cells);
  });
}
