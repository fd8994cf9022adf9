// The flocking model's whole run (set-up and every step) on the kernel with 1 and 2 workers,
// and the sequential reference, at the small, large and huge sizes (examples/flocking).
// agent_steps_per_second counts birds * steps per second.
// The kernel keeps its workers from one run to the next (Kept_Workers.h).
#include <benchmark/benchmark.h>

#include "Kept_Workers.h"

#include "Flocking_Reference.h"

namespace {

using quarnel::modelkit::Model_Size;

void Set_Counters(benchmark::State& state, const flocking::Flocking_Parameters& p) {
  state.counters["agent_steps_per_second"] =
      benchmark::Counter(double(p.birds) * p.steps * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Flocking_Kernel(benchmark::State& state) {
  const quarnel::bench::Kept_Workers kept;
  const flocking::Flocking_Parameters p = flocking::Parameters_For(Model_Size(state.range(0)));
  flocking::Run_Settings settings;
  settings.threads = int(state.range(1));
  settings.fingerprint = false;
  for (auto _ : state) {
    const flocking::Flocking_Result result = flocking::Run_Flocking(p, settings);
    benchmark::DoNotOptimize(result.series.back().alignment);
  }
  Set_Counters(state, p);
}
BENCHMARK(BM_Flocking_Kernel)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Flocking_Reference(benchmark::State& state) {
  const flocking::Flocking_Parameters p = flocking::Parameters_For(Model_Size(state.range(0)));
  for (auto _ : state) {
    const flocking::Flocking_Result result = flocking::Run_Flocking_Reference(p, 1);
    benchmark::DoNotOptimize(result.series.back().alignment);
  }
  Set_Counters(state, p);
}
BENCHMARK(BM_Flocking_Reference)
    ->ArgNames({"size"})
    ->DenseRange(0, 2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
