// The cost of measures and of recording them: the population model (Plain_Population.h's
// agent: two draws per action, a birth with probability 0.0001) at 10^6 agents, 100
// iterations, with five measures that every agent adds to at each action (a count, an exact
// sum, a mean, a maximum and a 10-bin histogram of its first draw) and a row recorded to
// SQLite after every iteration, against the same agent without measures or recorder.
//
// BM_Population_Unmeasured and BM_Population_Measured differ only in the five adds, the
// state they are reached through and the recorder; the ratio of their times is the cost of
// measuring. Both draw from the same per-worker generators, seeded alike, so their runs draw
// the same numbers on one worker.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <quarnel/Model.h>
#include <quarnel/Version.h>
#include <quarnel/modelkit/Recorder.h>
#include "Population_Configuration.h"

namespace {

// The population's per-worker draws and births (as in CoreEngine_Tests.h, which holds a test
// and so is included once per program: Population_Benchmark.cpp has it).
constexpr double growth_factor = 1.0001;
std::vector<quarnel::Cache_Line_Value<int64_t>> net_agents;
std::vector<quarnel::Cache_Line_Own<std::minstd_rand0>> generators;
std::vector<quarnel::Cache_Line_Own<std::uniform_real_distribution<double>>> distributions;

struct Bench_State {
  quarnel::Measures measures;
  quarnel::Count_Measure actions = measures.Count("actions");
  quarnel::Sum_Measure sum = measures.Sum("draw_sum");
  quarnel::Mean_Measure mean = measures.Mean("draw_mean");
  quarnel::Max_Measure high = measures.Max("draw_max");
  quarnel::Histogram_Measure draws = measures.Histogram("draw", 0, 1, 10);
};

template <bool kMeasured>
class Population_Agent : public quarnel::Agent<Population_Agent<kMeasured>> {
 public:
  void Act(quarnel::Next& next) {
    const int t = quarnel::__thread_id;
    const uint32_t now = next.iteration();
    const double x = distributions[t](generators[t]);
    if constexpr (kMeasured) {
      const Bench_State& s = next.model<Bench_State>();
      s.actions.Add();
      s.sum.Add(x);
      s.mean.Add(x);
      s.high.Add(x);
      s.draws.Add(x);
    }
    if (x <= growth_factor - 1.0) {
      ++net_agents[t].value;
      quarnel::Create<Population_Agent>()->Schedule_At(quarnel::Revision(now + 1, 0));
    }
    const uint32_t delay = uint32_t(distributions[t](generators[t]));
    next.In(delay == 0 ? 1 : delay);
  }
};

// One whole run; returns the final population.
template <bool kMeasured>
int64_t Run_Population(int agents, int threads, const std::string& sqlite) {
  Bench_State state;
  std::unique_ptr<quarnel::modelkit::Recorder> recorder;
  if (kMeasured && !sqlite.empty()) {
    recorder = std::make_unique<quarnel::modelkit::Recorder>(
        state.measures, quarnel::modelkit::Run_Description{"population", quarnel::version_string, 12345, {}},
        quarnel::modelkit::Record_Options{"", sqlite, false, 1});
  }
  int64_t population = agents;
  {
    quarnel::Simulation run(population_configuration(threads), state);
    const uint32_t n = quarnel::World::Instance().num_threads();
    net_agents.assign(n, {});
    generators.resize(n);
    distributions.resize(n);
    for (uint32_t l = 0; l < n; ++l) generators[l].seed(12345 + l);
    quarnel::Set_Block_Size<Population_Agent<kMeasured>>(1000);
    for (int m = 0; m < agents; ++m) {
      quarnel::Create<Population_Agent<kMeasured>>()->Schedule_At(quarnel::Revision(0, 0));
    }
    if (kMeasured) run.Attach_Measures(state.measures);
    if (recorder) run.On_Iteration_End(recorder->Hook());
    run.Run();
    for (const auto& births : net_agents) population += births.value;
  }
  if (recorder) recorder->Finish(quarnel::modelkit::Run_Status::done);
  return population;
}

template <bool kMeasured, bool kRecorded = kMeasured>
void BM_Population_Measures(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  const std::string sqlite = kRecorded ? (std::filesystem::temp_directory_path() /
                                          ("quarnel_bench_measures_" + std::to_string(::getpid()) + ".db"))
                                             .string()
                                       : std::string();
  for (auto _ : state) {
    const int64_t population = Run_Population<kMeasured>(agents, threads, sqlite);
    benchmark::DoNotOptimize(population);
    const double expected = agents * std::pow(growth_factor, 100);
    if (std::fabs((double(population) - expected) / expected) > .05) {
      state.SkipWithError("the population is off by more than 5 %");
      break;
    }
  }
  if (kRecorded) std::filesystem::remove(sqlite);
}

void BM_Population_Unmeasured(benchmark::State& state) {
  BM_Population_Measures<false>(state);
}
void BM_Population_Measured(benchmark::State& state) {
  BM_Population_Measures<true>(state);
}
// The measures without the recorder: what the adds and the combining cost alone.
void BM_Population_Measured_Unrecorded(benchmark::State& state) {
  BM_Population_Measures<true, false>(state);
}
BENCHMARK(BM_Population_Unmeasured)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{1000000}, {1, 2}})
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Population_Measured)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{1000000}, {1, 2}})
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Population_Measured_Unrecorded)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{1000000}, {1, 2}})
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
