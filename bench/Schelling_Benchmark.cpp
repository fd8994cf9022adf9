// Schelling segregation (examples/schelling/Schelling.h): one whole run per benchmark
// iteration, set-up and every step included, for the kernel on 1 and 2 workers (threads 1, 2)
// and for the sequential reference of the same phases (threads 0), at the three sizes
// (size 0 small, 1 large, 2 huge). Blocks of 1000 residents; the run fingerprint is off.
//
// agent_steps_per_second counts residents x steps per run, the same for every variant.
// The kernel keeps its workers from one run to the next (Kept_Workers.h).
#include <benchmark/benchmark.h>

#include "Kept_Workers.h"

#include "Schelling_Reference.h"

namespace {

using quarnel::modelkit::Model_Size;

void BM_Schelling(benchmark::State& state) {
  const quarnel::bench::Kept_Workers kept;
  const schelling::Parameters p = schelling::Parameters_For(Model_Size(state.range(0)));
  const int threads = int(state.range(1));
  for (auto _ : state) {
    schelling::Series series = threads == 0 ? schelling::reference::Run(p, 1)
                                            : schelling::kernel::Run(p, 1, threads, 1000, false).series;
    benchmark::DoNotOptimize(series.data());
  }
  state.counters["agent_steps_per_second"] = benchmark::Counter(
      double(p.agents) * double(p.steps) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Schelling)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
