// The AVX2 walk of the odr_trap variant, built with -mavx2: see odr_trap.cpp.
#include "odr_trap.h"

std::int32_t avx2_walk(std::int32_t k);

std::int32_t avx2_walk(std::int32_t k) { return variant::word_walk(k); }
