// The walk's paths. Each is a namespace holding its word shape (what it
// stores and loads at a time, and how it adds the words up) and its own copy
// of the walk, garden_walk_kernel.h, compiled for its instruction set:
//
//   avx2      x86-64 with AVX2: the whole garden as one 32-byte word, so a
//             state costs one store and one load;
//   vector16  x86-64 (SSE2), aarch64, ppc64el: the last 16 cells as one word,
//             one store and two loads a state;
//   portable  any processor: 8-byte words, one store and four loads a state.
//
// walk_garden takes the first path that the processor runs, once a run.
#include "garden_walk.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace {

// Targets where the walk's 8-byte stores become two 4-byte ones that the
// compilers move ahead of loads.
#if defined(__arm__) || (defined(__mips__) && !defined(__mips64))
constexpr bool stores_word_in_halves = true;
#else
constexpr bool stores_word_in_halves = false;
#endif

#if defined(__clang__)
constexpr bool is_clang = true;
#else
constexpr bool is_clang = false;
#endif

}  // namespace

// A line of an asm statement, in AT&T syntax and in Intel's, which
// -masm=intel picks. clang++ 13 reads an asm statement as AT&T whatever
// -masm says, but then takes the Intel one of the two.
#if defined(__clang__) && __clang_major__ < 14
#define ASM_LINE(att, intel) att "\n\t"
#else
#define ASM_LINE(att, intel) "{" att "|" intel "}\n\t"
#endif

// Each path: its namespace, named as the path, holds its shape (see
// garden_walk_kernel.h for what each part says) and then its copy of the walk.
namespace portable {

// Rounds of 3 cells, eight states: the step is then one XOR of a constant.
using Word = std::uint64_t;
constexpr std::int32_t round_cells = 3;
constexpr std::int32_t sum_sets = 1;
// g++, told the alignment of 8-byte words, took 15 instructions a state on
// x86-64, not 9.
constexpr bool aligned_hint = false;
#include "garden_walk_kernel.h"

}  // namespace portable

#if defined(__x86_64__) || defined(__aarch64__) || (defined(__powerpc64__) && defined(__VSX__))
#define GARDEN_WALK_VECTOR16 1
namespace vector16 {

// Where the processor has sixteen or more 16-byte vector registers with
// 64-bit adds: two lanes of eight cells. Rounds of 5 cells: the round's end,
// a few scalar instructions and a move into a vector register, then comes
// once in 32 states, and the five cell masks still leave x86-64's sixteen
// vector registers enough for the sums.
using Word __attribute__((vector_size(16))) = std::uint64_t;
constexpr std::int32_t round_cells = 5;
// A vector add waits two cycles for the one before on the x86-64 measured,
// and clang++ adds a round's words into each sum one after the other: under
// clang++ the states of a round take turns among three sets of sums. g++ adds
// them in a tree itself, and with more sums runs out of vector registers.
constexpr std::int32_t sum_sets = is_clang ? 3 : 1;
// Only clang++ is told the words' alignment, so that on x86-64 it adds a
// loaded word straight from memory; g++ finds it itself, and told it here it
// spilled the loaded words at -Os (on x86-64 and s390x).
constexpr bool aligned_hint = is_clang;
#if defined(__x86_64__) && defined(__AVX__)
// Built for AVX (-march=x86-64-v3 and up), the lanes go in by instructions
// named here; see avx2::word_from_lanes.
[[gnu::always_inline]] inline Word word_from_lanes(std::uint64_t first, std::uint64_t second) {
  Word word;
  // clang-format off
  asm(ASM_LINE("vmovq %[first], %[word]", "vmovq %[word], %[first]")
      ASM_LINE("vpinsrq $1, %[second], %[word], %[word]", "vpinsrq %[word], %[word], %[second], 1")
      : [word] "=x"(word)
      : [first] "r"(first), [second] "r"(second));
  // clang-format on
  return word;
}
#else
[[gnu::always_inline]] constexpr Word word_from_lanes(std::uint64_t first, std::uint64_t second) {
  return Word{first, second};
}
#endif
#include "garden_walk_kernel.h"

}  // namespace vector16
#endif

#if defined(__x86_64__)
#define GARDEN_WALK_AVX2 1
// Everything defined from here to the end of the region is compiled for
// AVX2, and only for the avx2 namespace: nothing outside it calls into it
// but through built[] below, which only a processor with AVX2 takes.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {

// The whole garden, four lanes of eight cells: each step stores all 32 cells,
// and the processor forwards the stored word whole to the recount's one load.
using Word __attribute__((vector_size(32))) = std::uint64_t;
constexpr std::int32_t round_cells = 5;
// One add a state, and a vector add waits two cycles for the one before:
// clang++ adds each set's words one after the other, and with four sets was
// fastest; g++ adds a round's words in a tree itself, and with two sets was
// fastest (more spill to memory).
constexpr std::int32_t sum_sets = is_clang ? 4 : 2;
constexpr bool aligned_hint = true;
// The word whose lanes, in memory order, are the four numbers, moved in by
// the instructions named here, each of which has one encoding. Left to the
// compilers, a lane already in a vector register can go to another by vmovq,
// which the assembler encodes as 66 0F D6 where that saves a byte, and so
// depending on the registers picked; valgrind 3.19 stops the program at that
// form. Four numbers, not an array: given an array, g++ 12 allotted the
// walk's registers otherwise.
using Half __attribute__((vector_size(16))) = std::uint64_t;
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
[[gnu::always_inline]] inline Word word_from_lanes(std::uint64_t first, std::uint64_t second,
                                                   std::uint64_t third, std::uint64_t fourth) {
  Word word;
  Half high;
  // clang-format off
  asm(ASM_LINE("vmovq %[first], %x[word]", "vmovq %x[word], %[first]")
      ASM_LINE("vpinsrq $1, %[second], %x[word], %x[word]", "vpinsrq %x[word], %x[word], %[second], 1")
      ASM_LINE("vmovq %[third], %[high]", "vmovq %[high], %[third]")
      ASM_LINE("vpinsrq $1, %[fourth], %[high], %[high]", "vpinsrq %[high], %[high], %[fourth], 1")
      ASM_LINE("vinserti128 $1, %[high], %[word], %[word]", "vinserti128 %[word], %[word], %[high], 1")
      : [word] "=x"(word), [high] "=x"(high)
      : [first] "r"(first), [second] "r"(second), [third] "r"(third), [fourth] "r"(fourth));
  // clang-format on
  return word;
}
#include "garden_walk_kernel.h"

}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace {

// Every path built, best first, each with whether this processor runs it.
struct Built {
  WalkPath path;
  bool (*runs_here)();
};

constexpr bool always() { return true; }

#if defined(GARDEN_WALK_AVX2)
// What CPUID tells for a leaf, its subleaf 0. The asm statement names no
// operand, so it reads the same in AT&T and Intel syntax (clang's <cpuid.h>
// does not build with -masm=intel).
struct Cpuid {
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
};
Cpuid cpuid(unsigned int leaf) {
  Cpuid got;
  asm("cpuid" : "=a"(got.eax), "=b"(got.ebx), "=c"(got.ecx), "=d"(got.edx) : "a"(leaf), "c"(0U));
  return got;
}

// Whether this processor runs AVX2, and its system saves the 32-byte
// registers. Asked with three CPUID instructions and XGETBV: the start of a
// run is most of a small run's time, and here each CPUID is slow
// (__builtin_cpu_supports, which asks about every feature it knows at the
// start of every run, cost a tenth of a run at k = 10).
bool runs_avx2() {
  constexpr unsigned int osxsave = 1U << 27;  // CPUID 1, ECX
  constexpr unsigned int avx = 1U << 28;      // CPUID 1, ECX
  constexpr unsigned int avx2 = 1U << 5;      // CPUID 7.0, EBX
  if (cpuid(0).eax < 7) {
    return false;
  }
  if ((cpuid(1).ecx & (osxsave | avx)) != (osxsave | avx)) {
    return false;
  }
  // XCR0: the system saves the SSE registers and the AVX registers' upper
  // halves.
  unsigned int xcr0 = 0;
  unsigned int xcr0_high = 0;
  asm("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  return (xcr0 & 0x6) == 0x6 && (cpuid(7).ebx & avx2) != 0;
}
#endif

const std::array built = {
#if defined(GARDEN_WALK_AVX2)
    Built{{"avx2", avx2::walk, avx2::watched_walk}, runs_avx2},
#endif
#if defined(GARDEN_WALK_VECTOR16)
    Built{{"vector16", vector16::walk, vector16::watched_walk}, always},
#endif
    Built{{"portable", portable::walk, portable::watched_walk}, always},
};

}  // namespace

std::span<const WalkPath> walk_paths() {
  static const auto paths = [] {
    std::array<WalkPath, built.size()> runs{};
    std::size_t count = 0;
    for (const Built& each : built) {
      if (each.runs_here()) {
        runs.at(count++) = each.path;
      }
    }
    return std::pair(runs, count);
  }();
  return std::span(paths.first).first(paths.second);
}

const WalkPath& chosen_walk_path() { return walk_paths().front(); }

std::int32_t walk_garden(std::int32_t k) { return chosen_walk_path().walk(k); }
