// The epidemic model's whole run (set-up, every day, the daily checks) on the kernel with 1
// and 2 workers, and the sequential reference, at the small, large and huge sizes
// (examples/epidemic). agent_steps_per_second counts the people living at the start of each
// day, summed over the days, per second. Huge (10 million people) runs one iteration per
// repetition.
// The kernel keeps its workers from one run to the next (Kept_Workers.h).
#include <benchmark/benchmark.h>

#include "Kept_Workers.h"

#include "Epidemic_Reference.h"

namespace {

using quarnel::modelkit::Model_Size;

void Set_Counters(benchmark::State& state, const epidemic::Epidemic_Parameters& p,
                  const epidemic::Epidemic_Result& result) {
  double person_days = 0;
  int64_t living = p.people;
  for (const epidemic::Day_Row& r : result.series) {
    person_days += double(living);
    living += r.births - r.deaths;
  }
  state.counters["agent_steps_per_second"] =
      benchmark::Counter(person_days * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Epidemic_Kernel(benchmark::State& state) {
  const quarnel::bench::Kept_Workers kept;
  const epidemic::Epidemic_Parameters p = epidemic::Parameters_For(Model_Size(state.range(0)));
  epidemic::Run_Settings settings;
  settings.threads = int(state.range(1));
  settings.fingerprint = false;
  epidemic::Epidemic_Result result;
  for (auto _ : state) {
    result = epidemic::Run_Epidemic(p, settings);
    benchmark::DoNotOptimize(result.series.back().infected);
  }
  Set_Counters(state, p, result);
}
BENCHMARK(BM_Epidemic_Kernel)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{0, 1}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Epidemic_Kernel)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{2}, {1, 2}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Epidemic_Reference(benchmark::State& state) {
  const epidemic::Epidemic_Parameters p = epidemic::Parameters_For(Model_Size(state.range(0)));
  epidemic::Epidemic_Result result;
  for (auto _ : state) {
    result = epidemic::Run_Epidemic_Reference(p, epidemic::Run_Settings());
    benchmark::DoNotOptimize(result.series.back().infected);
  }
  Set_Counters(state, p, result);
}
BENCHMARK(BM_Epidemic_Reference)
    ->ArgNames({"size"})
    ->DenseRange(0, 1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Epidemic_Reference)
    ->ArgNames({"size"})
    ->Arg(2)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
