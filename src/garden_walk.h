#pragma once

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

// Largest garden the walk supports: at 27 cells, k plus the tally is
// 27 * 2^26, still below 2^31 - 1; at 28 the tally overflows 32 bits.
inline constexpr std::int32_t max_k = 27;

// The garden is one array of this many one-byte cells, cell k - 1 last; the
// cells in front of cell 0 stay false.
inline constexpr std::int32_t garden_size = 32;
using Garden = std::span<const bool, garden_size>;

static_assert(sizeof(bool) == 1 && max_k + 1 <= garden_size);

// The eight cells at the end of the garden as a number with cell k - 1 in its
// lowest byte, or back: on a little-endian machine that reverses the bytes of
// the word as it lies in memory, on a big-endian one it is the word itself.
constexpr std::uint64_t lowest_cell_first(std::uint64_t word) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::big) {
    return word;
  }
  word = (word & 0x00FF00FF00FF00FF) << 8 | (word >> 8 & 0x00FF00FF00FF00FF);
  word = (word & 0x0000FFFF0000FFFF) << 16 | (word >> 16 & 0x0000FFFF0000FFFF);
  return word << 32 | word >> 32;
}

// Walks a garden of k cells from all false to all true as a base-two counter
// (cell k - 1 lowest), calling visit(zahrada) with each state before
// recounting every cell of it, and returns the number of true cells over the
// 2^k - 1 states left. Assumes 0 <= k <= max_k.
template <class Visit>
std::int32_t walk_garden_visiting(std::int32_t k, Visit visit) {
  // The recount reads the garden as four 8-byte words and adds them: no byte
  // of the sum passes 4, so one multiply gathers the bytes' total into the
  // top byte. The step keeps the eight lowest cells in `low`, one 0/1 byte
  // each with cell k - 1 lowest, and stores that word into the garden after
  // every step. States come in pairs. An even state's lowest cell is false,
  // so its step only sets that cell. An odd state's step multiplies by 255
  // (true cells become 0xFF), adds one (the carry clears the trailing true
  // cells and sets the first false one) and masks the bytes back to 0/1; once
  // in 256 steps all eight wrap to false and the carry goes on, cell by cell,
  // into the cells above. That is about 17 instructions a state, and the
  // increment that links one state to the next takes five operations per
  // pair. The signal fences are for the compiler: g++ and clang++ keep no
  // cell in a register across them, so every recount loads all four words
  // from the garden (without them both make one store and load the words
  // once per pair of states), and clang++ does not fuse the last word's load with
  // the one before into a 16-byte load; that load would straddle the step's
  // pending 8-byte store, which the processor forwards only to a load that
  // lies within it, and the walk would run about four times slower.
  const auto garden = std::make_unique<bool[]>(garden_size);
  bool* const zahrada = garden.get();
  bool* const low_cells = zahrada + garden_size - 8;
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));
  constexpr std::uint64_t ones = 0x0101010101010101;
  std::uint64_t low = 0;
  std::int32_t pocetb = 0;

  const auto recount = [&] {
    visit(Garden(zahrada, garden_size));
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::uint64_t word0 = 0;
    std::uint64_t word1 = 0;
    std::uint64_t word2 = 0;
    std::uint64_t word3 = 0;
    std::memcpy(&word0, zahrada, 8);
    std::memcpy(&word1, zahrada + 8, 8);
    std::memcpy(&word2, zahrada + 16, 8);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::memcpy(&word3, low_cells, 8);
    pocetb += static_cast<std::int32_t>((word0 + word1 + word2 + word3) * ones >> 56);
  };
  const auto store_low = [&] {
    const std::uint64_t word = lowest_cell_first(low);
    std::memcpy(low_cells, &word, 8);
  };
  const auto step_even = [&] {
    low |= 1;
    store_low();
  };
  const auto step_odd = [&] {
    low = (low * 255 + 1) & ones;
    store_low();
    if (low == 0) {
      // The padding in front of cell 0 is false, so this stops in the array.
      bool* cell = low_cells - 1;
      for (; *cell; --cell) {
        *cell = false;
      }
      *cell = true;
    }
  };

  // The step counter alone ends the walk: 2^k - 1 steps bring the garden to
  // all true, and that last state is never counted. The last state counted,
  // 2^k - 2, is an even one.
  std::int32_t iterace = 0;
  for (; iterace < power_2_k - 2; iterace += 2) {
    recount();
    step_even();
    recount();
    step_odd();
  }
  if (iterace < power_2_k - 1) {
    recount();
    step_even();
  }
  return pocetb;
}

// The walk with nothing watching it.
std::int32_t walk_garden(std::int32_t k);
