// Pieces of small walks for check-walk's tests: each variant in this folder
// defines walk_garden(k) from them, right or wrong in one way, and returns
// the right tally, so that only check-walk can tell a wrong one.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

std::int32_t walk_garden(std::int32_t k);

namespace variant {

inline constexpr std::int32_t size = 32;

// Makes the compiler finish the stores into the cells before this point and
// load them afresh after it; no instruction.
inline void barrier(const bool* cells) { asm volatile("" : : "r"(cells) : "memory"); }

// Hides a value from the compiler, so that it cannot fold it away.
inline std::uint64_t opaque(std::uint64_t value) {
  asm volatile("" : "+r"(value));
  return value;
}

// The word at cells, 8-byte aligned (as every word of the garden is), so that
// no target copies it through memcpy.
inline std::uint64_t load(const bool* cells) {
  std::uint64_t word = 0;
  std::memcpy(&word, std::assume_aligned<8>(cells), 8);
  return word;
}

// The true cells in a sum of garden words, each byte at most 8.
inline std::int32_t true_cells(std::uint64_t sum) {
  return static_cast<std::int32_t>(sum * 0x0101010101010101 >> 56);
}

// One step of the counter, cell size - 1 lowest, one cell at a time.
inline void step(bool* cells) {
  std::int32_t i = size - 1;
  for (; cells[i]; --i) {
    cells[i] = false;
  }
  cells[i] = true;
}

// The bits set in n, without a call to a library function.
inline std::int32_t bits(std::int32_t n) {
  std::int32_t count = 0;
  for (; n != 0; n &= n - 1) {
    ++count;
  }
  return count;
}

inline std::int32_t states(std::int32_t k) {
  return static_cast<std::int32_t>(std::pow(2.0, k)) - 1;
}

// The four words of the garden, loaded and counted.
inline std::int32_t count(const bool* cells) {
  return true_cells(load(cells) + load(cells + 8) + load(cells + 16) + load(cells + 24));
}

// Walks k cells through the 2^k - 1 states before all true, stepping the
// garden steps_after(n) times after state n (once, for a right walk), and
// returns the sum of recount(cells, n) over the states n.
template <class Recount, class Steps>
std::int32_t walk(std::int32_t k, Recount recount, Steps steps_after) {
  const auto garden = std::make_unique<bool[]>(size);
  bool* const cells = garden.get();
  std::int32_t tally = 0;
  const std::int32_t last = states(k);
  for (std::int32_t n = 0; n < last; ++n) {
    tally += recount(cells, n);
    barrier(cells);
    for (std::int32_t times = steps_after(n); times > 0; --times) {
      step(cells);
    }
  }
  return tally;
}

template <class Recount>
std::int32_t walk(std::int32_t k, Recount recount) {
  return walk(k, recount, [](std::int32_t) { return 1; });
}

}  // namespace variant
