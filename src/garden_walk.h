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
#include <type_traits>
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

// Makes the compiler finish every store into the garden before this point and
// load the garden afresh after it; it costs no instruction. clang++ gets an
// empty asm statement that claims to read and rewrite the garden's cells. The
// standard fence would do on x86-64, but clang++ makes it a hardware barrier on
// ppc64le and riscv64, and on aarch64 it lets the back end merge the loads on
// either side into pairs that straddle the stored word, and reuse the stored
// register in place of a load. g++ gets the fence, which it keeps to itself
// on all ten of Debian's release architectures (walkcheck/check-builds checks
// that no barrier instruction runs in the walk); given the asm statement, g++
// 12 on x86-64 moved the sums into memory and dropped loads.
// NOLINTNEXTLINE(readability-non-const-parameter): the asm statement may write the cells
inline void keep_in_memory([[maybe_unused]] bool* cells) {
#if defined(__clang__)
  asm volatile("" : "+m"(*reinterpret_cast<bool(*)[garden_size]>(cells)));
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

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

// Targets where the walk's 8-byte stores become two 4-byte ones that the
// compilers move ahead of loads.
#if defined(__arm__) || (defined(__mips__) && !defined(__mips64))
inline constexpr bool stores_word_in_halves = true;
#else
inline constexpr bool stores_word_in_halves = false;
#endif

// The 8-byte word at cells. Always inlined, where the walk's pointer is known to
// be 8-byte aligned: g++ -Os would keep it out of line and copy the word
// through the C library's memcpy, byte by byte on riscv64. (Told the
// alignment in here instead, g++ on x86-64 took 15 instructions a state, not 9.)
[[gnu::always_inline]] inline std::uint64_t load_word(const bool* cells) {
  std::uint64_t word = 0;
  std::memcpy(&word, cells, 8);
  return word;
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

// The true cells counted in sums of garden words, whose bytes are each at most
// 255: byte pairs into 16-bit lanes (each at most 8 * 255), then one multiply
// adds the lanes into the top one. Always inlined: g++ -Os would call it out of
// line from inside the walk.
[[gnu::always_inline]] constexpr std::int32_t true_cells(std::uint64_t sum0, std::uint64_t sum1,
                                                         std::uint64_t sum2, std::uint64_t sum3) {
  constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FF;
  const std::uint64_t lanes = (sum0 & even_bytes) + (sum0 >> 8 & even_bytes) + (sum1 & even_bytes) +
                              (sum1 >> 8 & even_bytes) + (sum2 & even_bytes) +
                              (sum2 >> 8 & even_bytes) + (sum3 & even_bytes) +
                              (sum3 >> 8 & even_bytes);
  return static_cast<std::int32_t>(lanes * 0x0001000100010001 >> 48);
}

// Walks a garden of k cells from all false to all true as a base-two counter
// (cell k - 1 lowest), calling visit(zahrada) with each state before
// recounting every cell of it, and returns the number of true cells over the
// 2^k - 1 states left. Assumes 0 <= k <= max_k.
template <class Visit>
std::int32_t walk_garden_visiting(std::int32_t k, Visit visit) {
  const auto garden = std::make_unique<bool[]>(garden_size);
  // operator new[] aligns the array for any object of its size, 8-byte words
  // included (bool needs no destructor, so nothing comes in front). Told so,
  // compilers for riscv64 read and write words whole, not byte by byte.
  bool* const zahrada = std::assume_aligned<8>(garden.get());
  bool* const low_cells = zahrada + garden_size - 8;
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));
  constexpr std::uint64_t ones = 0x0101010101010101;

  // The last eight cells twice: `word` exactly as it lies in the garden, and
  // `low`, one 0/1 byte per cell with cell k - 1 lowest, as it was at the
  // start of the round. Every step stores `word`.
  std::uint64_t word = 0;
  std::uint64_t low = 0;

  // Each recount adds the garden's four 8-byte words into sums of their own,
  // so a byte of a sum grows by at most one per state; the sums' bytes are
  // gathered into the tally before any of them can pass 255.
  std::uint64_t sum0 = 0;
  std::uint64_t sum1 = 0;
  std::uint64_t sum2 = 0;
  std::uint64_t sum3 = 0;
  constexpr std::int32_t gather_states = 16 * round_states;
  std::int32_t pocetb = 0;
  // Each call passes a type of its own, which makes each a function called
  // once: g++ -Os inlines those, but keeps a function called from several
  // places out of line, and the walk then ran five times slower.
  const auto recount = [&](auto /*call site*/) {
    visit(Garden(zahrada, garden_size));
    // Without both barriers, g++ and clang++ store only a round's last state
    // on x86-64, and load 16 bytes across the stored word on aarch64. This one
    // makes the recount load the garden after the step stored it: without it,
    // g++ loads the first word once a round on x86-64 and 16 bytes across the
    // stored word on aarch64; clang++ on aarch64 skips the third word.
    keep_in_memory(zahrada);
    const std::uint64_t word0 = load_word(zahrada);
    const std::uint64_t word1 = load_word(zahrada + 8);
    const std::uint64_t word2 = load_word(zahrada + 16);
    // This one keeps the last word, just stored, apart from the others.
    // Without it, g++ on x86-64 loads the middle words once a round; clang++
    // on x86-64 and both on aarch64 load the stored word within a 16- or
    // 32-byte load, which the processor cannot forward from the pending 8-byte
    // store (on x86-64 that ran several times slower).
    keep_in_memory(zahrada);
    const std::uint64_t word3 = load_word(low_cells);
    // 32-bit ARM and MIPS store the word as two halves, and there g++ and
    // clang++ 14 store the next state's unchanged half before loading this
    // state's last cells; this one keeps the loads in front. Elsewhere it is
    // left out: on x86-64 it costs g++ a hundred more instructions in the walk.
    if constexpr (stores_word_in_halves) {
      keep_in_memory(zahrada);
    }
    sum0 += word0;
    sum1 += word1;
    sum2 += word2;
    sum3 += word3;
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
        ((recount(std::integral_constant<std::size_t, s>()), word ^= round_flips[s],
          std::memcpy(low_cells, &word, 8)),
         ...);
      }
      (std::make_index_sequence<round_flips.size()>());
      recount(std::integral_constant<std::size_t, round_flips.size()>());
      // The round's last state has its three lowest cells true: the step
      // clears them and adds one at the fourth, which is adding one there in
      // `low`, where they are false. Times 255 makes true cells 0xFF bytes,
      // the carry clears the trailing ones and sets the first false one, and
      // the mask takes the bytes back to 0/1.
      low = (low * 255 + (std::uint64_t{1} << (8 * round_cells))) & ones;
      word = lowest_cell_first(low);
      std::memcpy(low_cells, &word, 8);
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
    pocetb += true_cells(sum0, sum1, sum2, sum3);
    sum0 = sum1 = sum2 = sum3 = 0;
  }
  // The last, partial round: fewer than round_states steps, from a state whose
  // three lowest cells are false.
  for (std::size_t s = 0; iterace < power_2_k - 1; ++iterace, ++s) {
    recount(nullptr);
    word ^= round_flips[s];
    std::memcpy(low_cells, &word, 8);
  }
  return pocetb + true_cells(sum0, sum1, sum2, sum3);
}

// The walk with nothing watching it.
std::int32_t walk_garden(std::int32_t k);
