// Wolf-sheep-grass (examples/wolf_sheep/Wolf_Sheep.h): one whole run per benchmark
// iteration, set-up and every step included, for the kernel on 1 and 2 workers (threads 1, 2)
// and for the sequential reference of the same phases (threads 0), at the three sizes
// (size 0 small, 1 large, 2 huge). Blocks of 1000 objects; the run fingerprint is off.
//
// agent_steps_per_second counts, per run, the animals alive at the start of each step summed
// over the steps: the same number for the kernel and the reference, so the ratio of their
// counters is the ratio of their times.
// The kernel keeps its workers from one run to the next (Kept_Workers.h).
#include <benchmark/benchmark.h>

#include "Kept_Workers.h"

#include "Wolf_Sheep_Reference.h"

namespace {

using quarnel::modelkit::Model_Size;

double Agent_Steps(const wolf_sheep::Series& series) {
  double sum = 0;
  for (size_t t = 0; t + 1 < series.size(); ++t) sum += double(series[t].sheep + series[t].wolves);
  return sum;
}

void BM_Wolf_Sheep(benchmark::State& state) {
  const quarnel::bench::Kept_Workers kept;
  const wolf_sheep::Parameters p = wolf_sheep::Parameters_For(Model_Size(state.range(0)));
  const int threads = int(state.range(1));
  double agent_steps = 0;
  for (auto _ : state) {
    wolf_sheep::Series series = threads == 0 ? wolf_sheep::reference::Run(p, 1)
                                             : wolf_sheep::kernel::Run(p, 1, threads, 1000, false).series;
    agent_steps += Agent_Steps(series);
    benchmark::DoNotOptimize(series.data());
  }
  state.counters["agent_steps_per_second"] = benchmark::Counter(agent_steps, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Wolf_Sheep)
    ->ArgNames({"size", "threads"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
