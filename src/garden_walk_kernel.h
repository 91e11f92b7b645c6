// The walk, written once over a word shape. garden_walk.cpp includes this file
// inside each path's namespace, after the shape, so that every path has its
// own copy, compiled for its own instruction set: no inline function here is
// shared between paths. It has no include guard for that reason, and includes
// nothing itself: garden_walk.cpp includes what it uses first.
//
// The shape, declared in the namespace before this file:
//   Word         the unit stored and loaded: std::uint64_t, or a vector of
//                them (the compilers' vector extension);
//   round_cells  how many of the lowest cells change within a round;
//   sum_sets     how many sets of sums the states of a round take turns in;
//   aligned_hint whether the compiler is told that the words are aligned;
//   word_from_lanes(lane...)
//                where a word has more than one lane: the word whose lanes, in
//                memory order, are the given numbers.
// NOLINTBEGIN(llvm-header-guard)

inline constexpr std::int32_t word_size = sizeof(Word);
inline constexpr std::int32_t word_lanes = word_size / 8;
inline constexpr std::int32_t garden_words = garden_size / word_size;
inline constexpr std::int32_t round_states = 1 << round_cells;
static_assert(garden_size % word_size == 0 && round_cells <= 8);

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

// The eight cells of a lane as a number with the lane's last cell in its
// lowest byte, or back: on a little-endian machine that reverses the bytes of
// the lane as it lies in memory, on a big-endian one it is the lane itself.
// Always inlined: g++ -Os called it out of line from inside the walk.
[[gnu::always_inline]] constexpr std::uint64_t lowest_cell_first(std::uint64_t word) {
  static_assert(std::endian::native == std::endian::little ||
                std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::big) {
    return word;
  }
  word = (word & 0x00FF00FF00FF00FF) << 8 | (word >> 8 & 0x00FF00FF00FF00FF);
  word = (word & 0x0000FFFF0000FFFF) << 16 | (word >> 16 & 0x0000FFFF0000FFFF);
  return word << 32 | word >> 32;
}

// The word at cells, which are word-aligned, and back. Always inlined: g++ -Os
// would keep them out of line and copy the word through the C library's
// memcpy, byte by byte on riscv64.
template <class Cell>
[[gnu::always_inline]] inline Cell* word_at(Cell* cells) {
  if constexpr (aligned_hint) {
    return std::assume_aligned<word_size>(cells);
  } else {
    return cells;
  }
}

[[gnu::always_inline]] inline Word load_word(const bool* cells) {
  Word word{};
  std::memcpy(&word, word_at(cells), word_size);
  return word;
}

[[gnu::always_inline]] inline void store_word(bool* cells, Word word) {
  std::memcpy(word_at(cells), &word, word_size);
}

// Calls f(std::integral_constant<std::size_t, i>()) for i = 0 .. count - 1
// in turn: with every index a constant, the arrays it indexes stay in
// registers.
template <std::size_t count, class F>
[[gnu::always_inline]] constexpr void for_each_index(F f) {
  [&]<std::size_t... i>(std::index_sequence<i...>) {
    (f(std::integral_constant<std::size_t, i>()), ...);
  }
  (std::make_index_sequence<count>());
}

// The word whose lanes, in memory order, are the given ones, each a number
// with its last cell in its lowest byte. Written out, with no lambda: g++ -Os
// keeps a lambda that several places call out of line, even in an always
// inlined function.
template <std::size_t count>
[[gnu::always_inline]] inline Word word_of(const std::array<std::uint64_t, count>& lanes) {
  static_assert(count == word_lanes && (count == 1 || count == 2 || count == 4));
  if constexpr (count == 1) {
    return lowest_cell_first(lanes[0]);
  } else if constexpr (count == 2) {
    return word_from_lanes(lowest_cell_first(lanes[0]), lowest_cell_first(lanes[1]));
  } else {
    return word_from_lanes(lowest_cell_first(lanes[0]), lowest_cell_first(lanes[1]),
                           lowest_cell_first(lanes[2]), lowest_cell_first(lanes[3]));
  }
}

// The number of true cells in sums of garden words, whose bytes are each at
// most 128: byte pairs into 16-bit lanes, the lanes of a vector into one, then
// one multiply adds the four 16-bit lanes into the top one. Always inlined: g++
// -Os would call it out of line from inside the walk.
template <class... Sums>
[[gnu::always_inline]] constexpr std::int32_t true_cells(Sums... sums) {
  constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FF;
  const std::common_type_t<Sums...> pairs =
      (((sums & even_bytes) + (sums >> 8 & even_bytes)) + ...);
  std::uint64_t lanes = 0;
  if constexpr (sizeof(pairs) == sizeof(lanes)) {
    lanes = pairs;
  } else if constexpr (word_lanes == 4) {
    // Halves added as vectors first: lane by lane, clang++ moved every sum
    // out of its vector register and did all of the above in scalars. g++
    // takes __builtin_shufflevector only from version 12 on.
#if defined(__clang__)
    const auto halves = pairs + __builtin_shufflevector(pairs, pairs, 2, 3, 0, 1);
#else
    const auto halves = pairs + __builtin_shuffle(pairs, decltype(pairs){2, 3, 0, 1});
#endif
    lanes = halves[0] + halves[1];
  } else {
    for (std::int32_t lane = 0; lane < word_lanes; ++lane) {
      lanes += pairs[lane];
    }
  }
  return static_cast<std::int32_t>(lanes * 0x0001000100010001 >> 48);
}

// A byte of a sum grows by at most one per state of its set, and the sums are
// gathered into the tally every 128 or 256 states, before any byte can pass
// 255, and when the last lane wraps (which comes every 256 states).
inline constexpr std::int32_t gather_states = sum_sets == 1 ? 128 : 256;
static_assert(256 % gather_states == 0 && gather_states % round_states == 0);
static_assert((round_states + sum_sets - 1) / sum_sets * (gather_states / round_states) <= 255);

// The words with one cell true, `bit` places before the last, for each bit of
// a round. Built from `one`, which the caller makes from a number the
// compiler cannot know: made from constants, both compilers load a vector's
// from memory at every step.
[[gnu::always_inline]] inline std::array<Word, round_cells> round_cell_masks(std::uint64_t one) {
  std::array<Word, round_cells> cell{};
  for (std::size_t bit = 0; bit < round_cells; ++bit) {
    std::array<std::uint64_t, word_lanes> lanes{};
    lanes[word_lanes - 1] = one << (8 * bit);
    cell[bit] = word_of(lanes);
  }
  return cell;
}

// Adds one to the 0/1 bytes of `cells`, cell k - 1 lowest; returns whether
// they all wrapped to false.
[[gnu::always_inline]] inline bool add_one(std::uint64_t& cells) {
  cells = (cells * 255 + 1) & 0x0101010101010101;
  return cells == 0;
}

// Adds one to the lanes in front of the last, after the last wrapped to all
// false; returns whether the first lane wrapped too. Lane by constant lane
// (lane... are the lanes from the last but one forward), so that the lanes
// stay in registers: indexed by a variable, they lay in memory, and clang++
// then loaded them whole as a vector just after storing one, which the
// processor cannot forward.
template <std::size_t count, std::size_t... lane>
[[gnu::always_inline]] inline bool carry_into_lanes(std::array<std::uint64_t, count>& low,
                                                    std::index_sequence<lane...> /*unused*/) {
  bool carry = true;
  ((carry = carry && add_one(std::get<count - 2 - lane>(low))), ...);
  return carry;
}

// Carries, cell by cell, into the cells in front of the garden's last word,
// after all of its cells wrapped to false. The padding in front of cell 0 is
// false, so this stops in the array. Always inlined: it runs between
// recounts.
[[gnu::always_inline]] inline void carry_into_front(bool* last_word) {
  bool* cell = last_word - 1;
  for (; *cell; --cell) {
    *cell = false;
  }
  *cell = true;
}

// Walks a garden of k cells from all false to all true as a base-two counter
// (cell k - 1 lowest), calling visit(zahrada) with each state before
// recounting every cell of it, and returns the number of true cells over the
// 2^k - 1 states left. Assumes 0 <= k <= max_k.
// The walk is one long function on purpose: moving even the carry's loop into
// a function of its own, always inlined, made g++ run 3% more instructions a
// state on aarch64.
template <class Visit>
// NOLINTNEXTLINE(readability-function-cognitive-complexity): see above
std::int32_t walk_garden_visiting(std::int32_t k, Visit visit) {
  // Aligned to its size, the garden never straddles two cache lines: where
  // the heap put it across one, the walk ran a tenth slower on x86-64.
  struct alignas(garden_size) Cells {
    std::array<bool, garden_size> cells;
  };
  const auto garden = std::make_unique<Cells>();
  bool* const zahrada = std::assume_aligned<word_size>(garden->cells.data());
  bool* const last_word = zahrada + garden_size - word_size;
  const auto power_2_k = static_cast<std::int32_t>(std::pow(2.0, k));
  constexpr std::uint64_t ones = 0x0101010101010101;

  // The round's first state in the garden's last word: `low`, its lanes, one
  // 0/1 byte per cell with the lane's last cell lowest, and `base`, the word
  // as it lies in the garden.
  std::array<std::uint64_t, word_lanes> low{};
  Word base{};

  // The word with the cell `bit` places before the last one true, each of
  // round_cells, made from a number the compiler cannot know (see
  // round_cell_masks).
  const std::array<Word, round_cells> cell =
      round_cell_masks(static_cast<std::uint64_t>(power_2_k >= 1));

  // Each a variable of its own: g++ keeps an array of them in memory, loaded
  // and stored every round.
  static_assert(garden_words * sum_sets <= 8);
  Word sum0{};
  Word sum1{};
  Word sum2{};
  Word sum3{};
  Word sum4{};
  Word sum5{};
  Word sum6{};
  Word sum7{};
  std::int32_t pocetb = 0;
  // Each call passes a type of its own, which makes each a function called
  // once: g++ -Os inlines those, but keeps a function called from several
  // places out of line, and the walk then ran five times slower. The type's
  // value picks the set.
  const auto recount = [&](auto site) {
    visit(Garden(zahrada, garden_size));
    constexpr std::size_t set = decltype(site)::value % sum_sets * garden_words;
    // With 8-byte words, without both barriers, g++ and clang++ store only a
    // round's last state on x86-64, and load 16 bytes across the stored word
    // on aarch64. This one makes the recount load the garden after the step
    // stored it: without it, g++ loads the first word once a round on x86-64
    // and 16 bytes across the stored word on aarch64; clang++ on aarch64
    // skips the third word.
    keep_in_memory(zahrada);
    std::array<Word, garden_words> words{};
    for_each_index<garden_words - 1>(
        [&](auto i) { std::get<i>(words) = load_word(zahrada + i * word_size); });
    // This one keeps the last word, just stored, apart from the others. With
    // 8-byte words, without it, g++ on x86-64 loads the middle words once a
    // round; clang++ on x86-64 and both on aarch64 load the stored word
    // within a 16- or 32-byte load, which the processor cannot forward from
    // the pending 8-byte store (on x86-64 that ran several times slower).
    keep_in_memory(zahrada);
    std::get<garden_words - 1>(words) = load_word(last_word);
    // 32-bit ARM and MIPS store an 8-byte word as two halves, and there g++
    // and clang++ 14 store the next state's unchanged half before loading this
    // state's last cells; this one keeps the loads in front. Elsewhere it is
    // left out: on x86-64 it costs g++ a hundred more instructions in the walk.
    if constexpr (stores_word_in_halves) {
      keep_in_memory(zahrada);
    }
    for_each_index<garden_words>([&](auto i) {
      std::get<set + i>(std::tie(sum0, sum1, sum2, sum3, sum4, sum5, sum6, sum7)) +=
          std::get<i>(words);
    });
  };

  // The step counter alone ends the walk: 2^k - 1 steps bring the garden to
  // all true, and that last state is never counted.
  std::int32_t iterace = 0;
  while (power_2_k - 1 - iterace >= round_states) {
    const std::int32_t rounds_end =
        iterace + std::min(gather_states, (power_2_k - 1 - iterace) / round_states * round_states);
    for (; iterace < rounds_end; iterace += round_states) {
      // Within a round only the lowest cells change. With vector words,
      // state s is state s less its lowest true cell, with that cell set, so
      // that the words of a round hang on its first, not each on the one
      // before (a vector XOR waits two cycles). With 8-byte words, each state
      // is the one before with the step's cells flipped, a constant: built as
      // the tree, g++ -Os ran up to two fifths more instructions a state (on
      // s390x).
      std::array<Word, round_states> state{};
      state[0] = base;
      for_each_index<round_states - 1>([&](auto s) {
        recount(s);
        constexpr std::size_t next = s + 1;
        if constexpr (word_lanes == 1) {
          constexpr std::uint64_t flipped = s ^ next;
          std::uint64_t cells = 0;
          for_each_index<round_cells>(
              [&](auto bit) { cells |= (flipped >> bit & 1) << (8 * bit); });
          std::get<next>(state) = std::get<s>(state) ^ lowest_cell_first(cells);
        } else {
          std::get<next>(state) =
              std::get<(next & s)>(state) ^ std::get<std::countr_zero(next)>(cell);
        }
        store_word(last_word, std::get<next>(state));
      });
      recount(std::integral_constant<std::size_t, round_states - 1>());
      // The round's last state has its lowest cells true: the step clears
      // them and adds one at the next, which is adding one there in `low`,
      // where they are false. Times 255 makes true cells 0xFF bytes, the carry
      // clears the trailing ones and sets the first false one, and the mask
      // takes the bytes back to 0/1.
      low[word_lanes - 1] =
          (low[word_lanes - 1] * 255 + (std::uint64_t{1} << (8 * round_cells))) & ones;
      base = word_of(low);
      store_word(last_word, base);
    }
    // The last lane wraps to all false only every 256 states, which is at
    // the end of a gathering (in the loop, a branch for it let clang++ sink
    // the recounts' adds below it and spill the loaded words).
    if (low[word_lanes - 1] == 0) {
      bool carry = true;
      if constexpr (word_lanes > 2) {
        carry = carry_into_lanes(low, std::make_index_sequence<word_lanes - 1>());
      } else {
        // The same, as a loop: written as above, g++ -Os ran 4% more
        // instructions a state on aarch64.
        for (std::int32_t lane = word_lanes - 2; lane >= 0 && carry; --lane) {
          carry = add_one(low[static_cast<std::size_t>(lane)]);
        }
      }
      base = word_of(low);
      store_word(last_word, base);
      // A word of the whole garden never carries past its first lane: that
      // takes 33 cells.
      if constexpr (garden_words > 1) {
        if (carry) {
          carry_into_front(last_word);
        }
      }
    }
    pocetb += true_cells(sum0, sum1, sum2, sum3, sum4, sum5, sum6, sum7);
    sum0 = sum1 = sum2 = sum3 = sum4 = sum5 = sum6 = sum7 = Word{};
  }
  // The last, partial round: fewer than round_states steps, from a state whose
  // lowest cells are false.
  for (std::size_t s = 1; iterace < power_2_k - 1; ++iterace, ++s) {
    recount(std::integral_constant<std::size_t, round_states>());
    Word word = base;
    for (std::size_t bit = 0; bit < round_cells; ++bit) {
      if ((s >> bit & 1) != 0) {
        word ^= cell[bit];
      }
    }
    store_word(last_word, word);
  }
  return pocetb + true_cells(sum0, sum1, sum2, sum3, sum4, sum5, sum6, sum7);
}

// The walk with nothing watching it, and with watch(context, zahrada) called
// before each recount.
std::int32_t walk(std::int32_t k) {
  return walk_garden_visiting(k, [](Garden) {});
}

std::int32_t watched_walk(std::int32_t k, Watch watch, void* context) {
  return walk_garden_visiting(k, [&](Garden zahrada) { watch(context, zahrada); });
}
// NOLINTEND(llvm-header-guard)
