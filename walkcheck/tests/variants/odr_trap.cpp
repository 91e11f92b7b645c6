// Wrong: right on a processor with AVX2, but not on one without. The walk is
// compiled twice, here for any x86-64 processor and in odr_trap_avx2.cpp with
// -mavx2, and picked as the processor allows; but both use the inline tally of
// odr_trap.h, and the linker keeps one of its two copies, the AVX2 one when
// odr_trap_avx2.cpp comes first on its command line.
#include "odr_trap.h"

std::int32_t avx2_walk(std::int32_t k);

std::int32_t walk_garden(std::int32_t k) {
  return __builtin_cpu_supports("avx2") ? avx2_walk(k) : variant::word_walk(k);
}
