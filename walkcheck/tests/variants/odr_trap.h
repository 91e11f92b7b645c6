// The walk of the odr_trap variant, over 32-byte words, and the tally of its
// sums. odr_trap.cpp and odr_trap_avx2.cpp each compile the walk into a
// function of their own, with their own flags; the tally is an inline
// function, so each keeps a copy of it, and the linker keeps one of the two.
#pragma once

#include "variant.h"

namespace variant {

// The whole garden, four lanes of eight cells.
using Word32 __attribute__((vector_size(32))) = std::uint64_t;

// The true cells in sums of the garden's bytes added in pairs, each pair at
// most 65535 and the total below 2^32. Kept out of line, as a compiler keeps a
// larger function: each file that calls it then emits a copy of it.
[[gnu::noinline]] inline std::int32_t tally(const Word32& pairs) {
  constexpr std::uint64_t even_pairs = 0x0000FFFF0000FFFF;
  const Word32 quads = (pairs & even_pairs) + (pairs >> 16 & even_pairs);
  const std::uint64_t lanes = quads[0] + quads[1] + quads[2] + quads[3];
  return static_cast<std::int32_t>((lanes + (lanes >> 32)) & 0xFFFFFFFF);
}

// Makes the compiler hold a loaded word in registers, so that it loads it
// once; no instruction. Without AVX, as two 16-byte halves.
inline void keep_whole(Word32& word) {
#if defined(__AVX__)
  asm volatile("" : "+x"(word));
#else
  Wide low = __builtin_shufflevector(word, word, 0, 1);
  Wide high = __builtin_shufflevector(word, word, 2, 3);
  keep_whole(low);
  keep_whole(high);
  word = __builtin_shufflevector(low, high, 0, 1, 2, 3);
#endif
}

namespace {

// Walks k <= 15 cells through the 2^k - 1 states before all true, loading
// each state whole as one 32-byte word and adding its bytes in pairs, and
// returns the tally.
inline std::int32_t word_walk(std::int32_t k) {
  const auto garden = std::make_unique<bool[]>(size);
  bool* const cells = garden.get();
  constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FF;
  Word32 pairs{};
  const std::int32_t last = states(k);
  for (std::int32_t n = 0; n < last; ++n) {
    barrier(cells);
    Word32 word{};
    std::memcpy(&word, cells, size);
    keep_whole(word);
    pairs += (word & even_bytes) + (word >> 8 & even_bytes);
    barrier(cells);
    step(cells);
  }
  return tally(pairs);
}

}  // namespace

}  // namespace variant
