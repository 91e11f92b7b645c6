// Pieces of small walks for check-walk's tests: each variant in this folder
// defines walk_garden(k) from them, right or wrong in one way, and returns
// the right tally, so that only check-walk can tell a wrong one.
#pragma once

#include <array>
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

// The garden's last 16 cells as one value, as the program's walk holds them
// where it has 16-byte vector registers.
using Wide __attribute__((vector_size(16))) = std::uint64_t;

inline Wide load_wide(const bool* cells) {
  Wide wide{};
  std::memcpy(&wide, std::assume_aligned<16>(cells), 16);
  return wide;
}

// Makes the compiler hold a 16-byte value whole in one vector register, where
// the target has them; no instruction.
inline void keep_whole([[maybe_unused]] Wide& wide) {
#if defined(__x86_64__)
  asm volatile("" : "+x"(wide));
#elif defined(__aarch64__)
  asm volatile("" : "+w"(wide));
#endif
}

// The true cells in a sum of 16-byte garden values, each byte at most 4.
inline std::int32_t true_cells(Wide sum) { return true_cells(sum[0] + sum[1]); }

// The last 16 cells of state n: n in base two, cell size - 1 lowest.
inline Wide last_cells(std::int32_t n) {
  std::array<bool, 16> cells{};
  for (std::int32_t bit = 0; bit < 16; ++bit) {
    cells[static_cast<std::size_t>(15 - bit)] = (n >> bit & 1) != 0;
  }
  Wide wide{};
  std::memcpy(&wide, cells.data(), 16);
  return wide;
}

// Walks k <= 16 cells through the 2^k - 1 states before all true, storing
// each state's last 16 cells with one 16-byte store (and the all-true one
// after), and returns the sum of
// recount(cells, stored, n) over the states n, where stored is the value
// stored; stored_of(n), if given, stores another value in state n's place.
template <class Recount, class Stored = Wide (*)(std::int32_t)>
std::int32_t wide_walk(std::int32_t k, Recount recount, Stored stored_of = last_cells) {
  struct alignas(16) Cells {
    std::array<bool, size> cells;
  };
  const auto garden = std::make_unique<Cells>();
  bool* const cells = garden->cells.data();
  std::int32_t tally = 0;
  const std::int32_t last = states(k);
  for (std::int32_t n = 0; n < last; ++n) {
    const Wide stored = stored_of(n);
    std::memcpy(std::assume_aligned<16>(cells + 16), &stored, 16);
    barrier(cells);
    tally += recount(cells, stored, n);
    barrier(cells);
  }
  // The last step, into the all-true state that is not counted.
  const Wide all_true = last_cells(last);
  std::memcpy(std::assume_aligned<16>(cells + 16), &all_true, 16);
  barrier(cells);
  return tally;
}

}  // namespace variant
