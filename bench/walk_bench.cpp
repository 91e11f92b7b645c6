// Times walk_garden against the plain walk, per state visited, at the sizes
// people run, and ends with a table of the two and their ratio, under the
// name of the walk's path that ran. On x86-64 it also times a hand-written
// loop that does the least memory work a faithful walk on that path can
// (below), and gives both in cycles per state, with the clock measured in the
// same run.
//
//   walk_bench [--benchmark_repetitions=N] [other Google Benchmark flags]
//
// With repetitions, the table uses the median of each.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "garden_walk.h"
#include "plain_walk.h"

namespace {

using Walk = std::int32_t (*)(std::int32_t);

const std::int32_t sizes[] = {16, 20, 24, 27};

// The walk visits 2^k - 1 states.
double states_visited(std::int32_t k) { return static_cast<double>((std::int64_t{1} << k) - 1); }

#if defined(__x86_64__)
// The least memory work of a faithful walk with 16-byte words, by hand: per
// state, one 16-byte store into the garden's last 16 cells, then two 16-byte
// loads of all 32 cells, each added into a sum. The stores alternate between
// two values and eight sums take the loads, so that nothing waits on the
// state before: only the processor's memory accesses bound it. Returns the
// sums' low bytes.
std::int32_t limit_walk16(std::int32_t k) {
  alignas(garden_size) std::array<bool, garden_size> garden{};
  std::int64_t fours = ((std::int64_t{1} << k) - 1) / 4;
  std::int64_t sum = 0;
  bool* cells = garden.data();
  if (fours > 0) {
    asm volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
        "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
        "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pcmpeqb %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n"
        "1:\n\t"
        "movdqa %%xmm8, 16(%[cells])\n\tpaddb (%[cells]), %%xmm0\n\tpaddb 16(%[cells]), %%xmm1\n\t"
        "movdqa %%xmm9, 16(%[cells])\n\tpaddb (%[cells]), %%xmm2\n\tpaddb 16(%[cells]), %%xmm3\n\t"
        "movdqa %%xmm8, 16(%[cells])\n\tpaddb (%[cells]), %%xmm4\n\tpaddb 16(%[cells]), %%xmm5\n\t"
        "movdqa %%xmm9, 16(%[cells])\n\tpaddb (%[cells]), %%xmm6\n\tpaddb 16(%[cells]), %%xmm7\n\t"
        "dec %[fours]\n\tjnz 1b\n\t"
        "paddb %%xmm1, %%xmm0\n\tpaddb %%xmm2, %%xmm0\n\tpaddb %%xmm3, %%xmm0\n\t"
        "paddb %%xmm4, %%xmm0\n\tpaddb %%xmm5, %%xmm0\n\tpaddb %%xmm6, %%xmm0\n\t"
        "paddb %%xmm7, %%xmm0\n\tmovq %%xmm0, %[sum]"
        : [sum] "=r"(sum), [fours] "+r"(fours)
        : [cells] "r"(cells)
        : "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
          "xmm9");
  }
  return static_cast<std::int32_t>(sum & 0xFF);
}

// The same with AVX2's 32-byte words: per state, one 32-byte store of the
// whole garden, then one 32-byte load of it added into a sum; eight sums.
__attribute__((target("avx2"))) std::int32_t limit_walk32(std::int32_t k) {
  alignas(garden_size) std::array<bool, garden_size> garden{};
  std::int64_t eights = ((std::int64_t{1} << k) - 1) / 8;
  std::int64_t sum = 0;
  bool* cells = garden.data();
  if (eights > 0) {
    asm volatile(
        "vpxor %%ymm0, %%ymm0, %%ymm0\n\tvpxor %%ymm1, %%ymm1, %%ymm1\n\t"
        "vpxor %%ymm2, %%ymm2, %%ymm2\n\tvpxor %%ymm3, %%ymm3, %%ymm3\n\t"
        "vpxor %%ymm4, %%ymm4, %%ymm4\n\tvpxor %%ymm5, %%ymm5, %%ymm5\n\t"
        "vpxor %%ymm6, %%ymm6, %%ymm6\n\tvpxor %%ymm7, %%ymm7, %%ymm7\n\t"
        "vpcmpeqb %%ymm8, %%ymm8, %%ymm8\n\tvpxor %%ymm9, %%ymm9, %%ymm9\n"
        "1:\n\t"
        "vmovdqa %%ymm8, (%[cells])\n\tvpaddb (%[cells]), %%ymm0, %%ymm0\n\t"
        "vmovdqa %%ymm9, (%[cells])\n\tvpaddb (%[cells]), %%ymm1, %%ymm1\n\t"
        "vmovdqa %%ymm8, (%[cells])\n\tvpaddb (%[cells]), %%ymm2, %%ymm2\n\t"
        "vmovdqa %%ymm9, (%[cells])\n\tvpaddb (%[cells]), %%ymm3, %%ymm3\n\t"
        "vmovdqa %%ymm8, (%[cells])\n\tvpaddb (%[cells]), %%ymm4, %%ymm4\n\t"
        "vmovdqa %%ymm9, (%[cells])\n\tvpaddb (%[cells]), %%ymm5, %%ymm5\n\t"
        "vmovdqa %%ymm8, (%[cells])\n\tvpaddb (%[cells]), %%ymm6, %%ymm6\n\t"
        "vmovdqa %%ymm9, (%[cells])\n\tvpaddb (%[cells]), %%ymm7, %%ymm7\n\t"
        "dec %[eights]\n\tjnz 1b\n\t"
        "vpaddb %%ymm1, %%ymm0, %%ymm0\n\tvpaddb %%ymm2, %%ymm0, %%ymm0\n\t"
        "vpaddb %%ymm3, %%ymm0, %%ymm0\n\tvpaddb %%ymm4, %%ymm0, %%ymm0\n\t"
        "vpaddb %%ymm5, %%ymm0, %%ymm0\n\tvpaddb %%ymm6, %%ymm0, %%ymm0\n\t"
        "vpaddb %%ymm7, %%ymm0, %%ymm0\n\tvmovq %%xmm0, %[sum]\n\tvzeroupper"
        : [sum] "=r"(sum), [eights] "+r"(eights)
        : [cells] "r"(cells)
        : "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
          "xmm9");
  }
  return static_cast<std::int32_t>(sum & 0xFF);
}

// The limit loop of the path walk_garden takes.
bool avx2_path() { return std::string_view(chosen_walk_path().name) == "avx2"; }

// Nanoseconds per clock cycle, from a chain of dependent adds, one a cycle.
double ns_per_cycle() {
  constexpr std::int64_t loops = 50'000'000;
  std::int64_t count = loops;
  std::int64_t chain = 0;
  const auto start = std::chrono::steady_clock::now();
  asm volatile(
      "1:\n\t"
      "add $1, %[chain]\n\tadd $1, %[chain]\n\tadd $1, %[chain]\n\tadd $1, %[chain]\n\t"
      "add $1, %[chain]\n\tadd $1, %[chain]\n\tadd $1, %[chain]\n\tadd $1, %[chain]\n\t"
      "dec %[count]\n\tjnz 1b"
      : [chain] "+r"(chain), [count] "+r"(count)
      :
      : "cc");
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / static_cast<double>(8 * loops);
}

void limit_states(benchmark::State& state) {
  const auto k = static_cast<std::int32_t>(state.range(0));
  const auto limit_walk = avx2_path() ? limit_walk32 : limit_walk16;
  for (auto _ : state) {
    benchmark::DoNotOptimize(limit_walk(k));
  }
  state.counters["per_state"] =
      benchmark::Counter(states_visited(k), benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}
#endif

void walk_states(benchmark::State& state, Walk walk) {
  const auto k = static_cast<std::int32_t>(state.range(0));
  std::int32_t tally = 0;
  for (auto _ : state) {
    tally = walk(k);
    benchmark::DoNotOptimize(tally);
  }
  // A timing of a wrong walk means nothing: k * 2^(k-1) true cells over all
  // states, less the k of the all-true one the walk does not count.
  if (tally != (std::int64_t{1} << (k - 1)) * k - k) {
    state.SkipWithError("the walk's tally is wrong");
  }
  // Seconds per state.
  state.counters["per_state"] =
      benchmark::Counter(states_visited(k), benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}

// Prints what --benchmark_format and --benchmark_color ask for, and keeps
// each walk's seconds per state, by name and k. A median arrives after the
// repetitions it summarizes, so it replaces them.
class TableReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override { return display->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    display->ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) {
        continue;
      }
      const std::int32_t k = std::stoi(run.run_name.args);
      const double seconds =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      per_state[{run.run_name.function_name, k}] = seconds / states_visited(k);
    }
  }

  void Finalize() override { display->Finalize(); }

  // The tables, after the console format only: they would spoil JSON or CSV;
  // a note instead when no size ran both walks. ns_per_cycle, when given,
  // adds the table in cycles per state against the hand-written loop.
  void PrintTable(double ns_per_cycle = 0) const {
    if (dynamic_cast<const benchmark::ConsoleReporter*>(display.get()) == nullptr) {
      return;
    }
    const std::string plain = Rows("plain_walk", 1e9);
    std::printf("\nThe walk's path on this processor: %s.\n", chosen_walk_path().name);
    if (plain.empty()) {
      std::printf("\nNo ratio table: it needs both walks at the same k.\n");
    } else {
      std::printf("\n%4s  %22s  %21s  %6s\n%s", "k", "walk_garden ns/state", "plain walk ns/state",
                  "ratio", plain.c_str());
    }
    const std::string limit = ns_per_cycle > 0 ? Rows("limit_loop", 1e9 / ns_per_cycle) : "";
    if (!limit.empty()) {
      std::printf(
          "\nClock: %.2f GHz, from a chain of dependent adds; the limit loop does\n"
          "%s.\n",
          1 / ns_per_cycle,
          avx2_path() ? "one 32-byte store and one 32-byte load a state"
                      : "one 16-byte store and two 16-byte loads a state");
      std::printf("%4s  %22s  %21s  %6s\n%s", "k", "walk_garden cyc/state", "limit loop cyc/state",
                  "ratio", limit.c_str());
    }
  }

 private:
  // walk_garden against the other walk, in seconds per state times scale.
  [[nodiscard]] std::string Rows(const std::string& other, double scale) const {
    std::string rows;
    for (const std::int32_t k : sizes) {
      const auto fast = per_state.find({"walk_garden", k});
      const auto peer = per_state.find({other, k});
      if (fast == per_state.end() || peer == per_state.end()) {
        continue;
      }
      std::array<char, 80> row{};
      std::snprintf(row.data(), row.size(), "%4d  %22.2f  %21.2f  %6.2f\n", k, fast->second * scale,
                    peer->second * scale, fast->second / peer->second);
      rows += row.data();
    }
    return rows;
  }

  std::unique_ptr<benchmark::BenchmarkReporter> display{benchmark::CreateDefaultDisplayReporter()};
  std::map<std::pair<std::string, std::int32_t>, double> per_state;
};

}  // namespace

int main(int argc, char** argv) {
  // Each size's walks run one after the other, so that all see the
  // machine in the same state.
  for (const std::int32_t k : sizes) {
    benchmark::RegisterBenchmark("walk_garden", walk_states, walk_garden)
        ->Arg(k)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("plain_walk", walk_states, plain_walk_garden)
        ->Arg(k)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
#if defined(__x86_64__)
    benchmark::RegisterBenchmark("limit_loop", limit_states)
        ->Arg(k)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
#endif
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  TableReporter reporter;
#if defined(__x86_64__)
  // The clock before and after, in case it moves.
  const double before = ns_per_cycle();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable((before + ns_per_cycle()) / 2);
#else
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
#endif
  benchmark::Shutdown();
  return 0;
}
