// Times walk_garden against the plain walk, per state visited, at the sizes
// people run, and ends with a table of the two and their ratio.
//
//   walk_bench [--benchmark_repetitions=N] [other Google Benchmark flags]
//
// With repetitions, the table uses the median of each.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "garden_walk.h"
#include "plain_walk.h"

namespace {

using Walk = std::int32_t (*)(std::int32_t);

const std::int32_t sizes[] = {16, 20, 24, 27};

// The walk visits 2^k - 1 states.
double states_visited(std::int32_t k) { return static_cast<double>((std::int64_t{1} << k) - 1); }

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

  // The table, after the console format only: it would spoil JSON or CSV; a
  // note instead when no size ran both walks.
  void PrintTable() const {
    if (dynamic_cast<const benchmark::ConsoleReporter*>(display.get()) == nullptr) {
      return;
    }
    std::string table;
    for (const std::int32_t k : sizes) {
      const auto fast = per_state.find({"walk_garden", k});
      const auto plain = per_state.find({"plain_walk", k});
      if (fast == per_state.end() || plain == per_state.end()) {
        continue;
      }
      std::array<char, 80> row{};
      std::snprintf(row.data(), row.size(), "%4d  %22.2f  %21.2f  %6.2f\n", k, fast->second * 1e9,
                    plain->second * 1e9, fast->second / plain->second);
      table += row.data();
    }
    if (table.empty()) {
      std::printf("\nNo ratio table: it needs both walks at the same k.\n");
      return;
    }
    std::printf("\n%4s  %22s  %21s  %6s\n%s", "k", "walk_garden ns/state", "plain walk ns/state",
                "ratio", table.c_str());
  }

 private:
  std::unique_ptr<benchmark::BenchmarkReporter> display{benchmark::CreateDefaultDisplayReporter()};
  std::map<std::pair<std::string, std::int32_t>, double> per_state;
};

}  // namespace

int main(int argc, char** argv) {
  // Each size's two walks run one after the other, so that both see the
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
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
