#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

// Largest garden the walk supports: at 27 cells, k plus the tally is
// 27 * 2^26, still below 2^31 - 1; at 28 the tally passes the signed 32-bit
// range.
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

// States are walked in rounds in which only the lowest round_cells cells
// change: from a state where they are all false to the one after the round's
// last.
inline constexpr std::int32_t round_cells = 3;
inline constexpr std::int32_t round_states = 1 << round_cells;

// The cells that the step from state s to s + 1 flips, for s = 0..6 within a
// round, as a mask on the last eight cells in memory order: the trailing true
// cells of s and the false one above them.
constexpr std::array<std::uint64_t, round_states - 1> round_flips = [] {
  std::array<std::uint64_t, round_states - 1> flips{};
  for (std::uint64_t s = 0; s < flips.size(); ++s) {
    const std::uint64_t flipped = s ^ (s + 1);
    std::uint64_t cells = 0;
    for (std::int32_t bit = 0; bit < round_cells; ++bit) {
      cells |= (flipped >> bit & 1) << (8 * bit);
    }
    flips[s] = lowest_cell_first(cells);
  }
  return flips;
}();

// Walks a garden of k cells from all false to all true as a base-two counter
// (cell k - 1 lowest), calling visit(zahrada) with each state before
// recounting every cell of it, and returns the number of true cells over the
// 2^k - 1 states left. Assumes 0 <= k <= max_k.
template <class Visit>
std::int32_t walk_garden_visiting(std::int32_t k, Visit visit) {
  const auto garden = std::make_unique<bool[]>(garden_size);
  bool* const zahrada = garden.get();
  bool* const low_cells = zahrada + garden_size - 8;
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));
  constexpr std::uint64_t ones = 0x0101010101010101;

  // The last eight cells twice: `word` exactly as it lies in the garden, and
  // `low`, one 0/1 byte per cell with cell k - 1 lowest, as it was at the
  // start of the round.
  std::uint64_t word = 0;
  std::uint64_t low = 0;
  const auto store = [&] { std::memcpy(low_cells, &word, 8); };

  // Each recount adds the garden's four 8-byte words into sums of their own,
  // so a byte of a sum grows by at most one per state; the sums' bytes are
  // gathered into the tally before any of them can pass 255.
  std::uint64_t sum0 = 0;
  std::uint64_t sum1 = 0;
  std::uint64_t sum2 = 0;
  std::uint64_t sum3 = 0;
  constexpr std::int32_t gather_states = 16 * round_states;
  std::int32_t pocetb = 0;
  const auto load = [](const bool* cells) {
    std::uint64_t cells_word = 0;
    std::memcpy(&cells_word, cells, 8);
    return cells_word;
  };
  const auto recount = [&] {
    visit(Garden(zahrada, garden_size));
    // The fences are for the compiler: g++ and clang++ keep no cell in a
    // register across one. Without both, each stores only a round's last state
    // and loads each word once a round. This one makes the recount load the
    // garden after the step stored it; without it, g++ loads the first word
    // once a round.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const std::uint64_t word0 = load(zahrada);
    const std::uint64_t word1 = load(zahrada + 8);
    const std::uint64_t word2 = load(zahrada + 16);
    // This one keeps the last word, just stored, apart from the others.
    // Without it, g++ loads the middle words once a round, and clang++ loads
    // the last two words as one 16-byte load that straddles the pending 8-byte
    // store; the processor forwards a store only to a load that lies within
    // it, and the walk runs several times slower.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const std::uint64_t word3 = load(low_cells);
    sum0 += word0;
    sum1 += word1;
    sum2 += word2;
    sum3 += word3;
  };
  const auto gather = [&] {
    // Byte pairs into 16-bit lanes (each at most 8 * gather_states), then one
    // multiply adds the lanes into the top one.
    constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FF;
    const std::uint64_t lanes = (sum0 & even_bytes) + (sum0 >> 8 & even_bytes) +
                                (sum1 & even_bytes) + (sum1 >> 8 & even_bytes) +
                                (sum2 & even_bytes) + (sum2 >> 8 & even_bytes) +
                                (sum3 & even_bytes) + (sum3 >> 8 & even_bytes);
    pocetb += static_cast<std::int32_t>(lanes * 0x0001000100010001 >> 48);
    sum0 = sum1 = sum2 = sum3 = 0;
  };

  // The step counter alone ends the walk: 2^k - 1 steps bring the garden to
  // all true, and that last state is never counted.
  std::int32_t iterace = 0;
  while (power_2_k - 1 - iterace >= round_states) {
    const std::int32_t rounds_end =
        iterace + std::min(gather_states, (power_2_k - 1 - iterace) / round_states * round_states);
    for (; iterace < rounds_end; iterace += round_states) {
      // Within a round only the three lowest cells change, and each step is
      // the base-two increment of them on the stored word.
      [&]<std::size_t... s>(std::index_sequence<s...>) {
        ((recount(), word ^= round_flips[s], store()), ...);
      }
      (std::make_index_sequence<round_flips.size()>());
      recount();
      // The round's last state has its three lowest cells true: the step
      // clears them and adds one at the fourth, which is adding one there in
      // `low`, where they are false. Times 255 makes true cells 0xFF bytes,
      // the carry clears the trailing ones and sets the first false one, and
      // the mask takes the bytes back to 0/1.
      low = (low * 255 + (std::uint64_t{1} << (8 * round_cells))) & ones;
      word = lowest_cell_first(low);
      store();
      if (low == 0) [[unlikely]] {
        // All eight wrapped to false: carry on, cell by cell, into the cells
        // above. The padding in front of cell 0 is false, so this stops in the
        // array.
        bool* cell = low_cells - 1;
        for (; *cell; --cell) {
          *cell = false;
        }
        *cell = true;
      }
    }
    gather();
  }
  // The last, partial round: fewer than round_states steps, from a state whose
  // three lowest cells are false.
  for (std::size_t s = 0; iterace < power_2_k - 1; ++iterace, ++s) {
    recount();
    word ^= round_flips[s];
    store();
  }
  gather();
  return pocetb;
}

// The walk with nothing watching it.
std::int32_t walk_garden(std::int32_t k);
