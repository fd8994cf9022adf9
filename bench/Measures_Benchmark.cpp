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
//
// BM_Population_Tallied_By_Hand does what a model did before measures: the same five
// statistics in a struct per worker, indexed by __thread_id, with exact sums (the same
// operations as the measures, at addresses known when compiling). BM_Population_Tallied_Inexact
// is that tally with plain double sums, which are not the same on another number of workers:
// the least a per-action tally of these five costs.
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

// How an action keeps its five statistics.
enum class Tally { none, measures, by_hand, by_hand_inexact };

// The five statistics of the measures, kept by hand in one worker's struct.
template <class Sum>
struct Hand_Tally {
  int64_t actions = 0;
  Sum sum{};
  Sum mean_sum{};
  int64_t mean_count = 0;
  int64_t high = INT64_MIN;  // the order key of the largest draw
  int64_t bins[12] = {};     // under, 10 bins over [0, 1), over or NaN

  static void Add(double& sum, double x) { sum += x; }
  static void Add(quarnel::Exact_Sum& sum, double x) { sum.Add(x); }
  void Add_All(double x) {
    ++actions;
    Add(sum, x);
    Add(mean_sum, x);
    ++mean_count;
    if (x == x) high = std::max(high, quarnel::measures_detail::Order_Key(x));
    size_t bin;
    if (x >= 0.0)
      bin = x < 1.0 ? 1 + std::min(size_t(9), size_t(x * 10.0)) : 11;
    else
      bin = x == x ? 0 : 11;
    ++bins[bin];
  }
  // What the iteration hook did with the workers' tallies: add them up, in worker order, and
  // empty them.
  void Take(Hand_Tally& part) {
    actions += part.actions;
    Merge(sum, part.sum);
    Merge(mean_sum, part.mean_sum);
    mean_count += part.mean_count;
    high = std::max(high, part.high);
    for (size_t b = 0; b < 12; ++b) bins[b] += part.bins[b];
    part = Hand_Tally{};
  }
  static void Merge(double& sum, double part) { sum += part; }
  static void Merge(quarnel::Exact_Sum& sum, const quarnel::Exact_Sum& part) { sum.Merge(part); }
};
std::vector<quarnel::Cache_Line_Own<Hand_Tally<quarnel::Exact_Sum>>> exact_tallies;
std::vector<quarnel::Cache_Line_Own<Hand_Tally<double>>> inexact_tallies;

template <Tally kTally>
class Population_Agent : public quarnel::Agent<Population_Agent<kTally>> {
 public:
  void Act(quarnel::Next& next) {
    const int t = quarnel::__thread_id;
    const uint32_t now = next.iteration();
    const double x = distributions[t](generators[t]);
    if constexpr (kTally == Tally::measures) {
      const Bench_State& s = next.model<Bench_State>();
      s.actions.Add();
      s.sum.Add(x);
      s.mean.Add(x);
      s.high.Add(x);
      s.draws.Add(x);
    } else if constexpr (kTally == Tally::by_hand) {
      exact_tallies[t].Add_All(x);
    } else if constexpr (kTally == Tally::by_hand_inexact) {
      inexact_tallies[t].Add_All(x);
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
template <Tally kTally>
int64_t Run_Population(int agents, int threads, const std::string& sqlite) {
  constexpr bool kMeasured = kTally == Tally::measures;
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
    exact_tallies.assign(n, {});
    inexact_tallies.assign(n, {});
    for (uint32_t l = 0; l < n; ++l) generators[l].seed(12345 + l);
    quarnel::Set_Block_Size<Population_Agent<kTally>>(1000);
    for (int m = 0; m < agents; ++m) {
      quarnel::Create<Population_Agent<kTally>>()->Schedule_At(quarnel::Revision(0, 0));
    }
    if (kMeasured) run.Attach_Measures(state.measures);
    if (recorder) run.On_Iteration_End(recorder->Hook());
    Hand_Tally<quarnel::Exact_Sum> exact_total;
    Hand_Tally<double> inexact_total;
    if (kTally == Tally::by_hand) {
      run.On_Iteration_End([&](uint32_t) {
        for (auto& part : exact_tallies) exact_total.Take(part);
      });
    } else if (kTally == Tally::by_hand_inexact) {
      run.On_Iteration_End([&](uint32_t) {
        for (auto& part : inexact_tallies) inexact_total.Take(part);
      });
    }
    run.Run();
    for (const auto& births : net_agents) population += births.value;
    // Every action is tallied: at least one per agent and iteration (-1 fails the benchmark).
    if (kTally == Tally::by_hand && exact_total.actions < int64_t(agents) * 100) return -1;
    if (kTally == Tally::by_hand_inexact && inexact_total.actions < int64_t(agents) * 100) return -1;
  }
  if (recorder) recorder->Finish(quarnel::modelkit::Run_Status::done);
  return population;
}

template <Tally kTally, bool kRecorded = kTally == Tally::measures>
void BM_Population_Measures(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  const std::string sqlite = kRecorded ? (std::filesystem::temp_directory_path() /
                                          ("quarnel_bench_measures_" + std::to_string(::getpid()) + ".db"))
                                             .string()
                                       : std::string();
  for (auto _ : state) {
    const int64_t population = Run_Population<kTally>(agents, threads, sqlite);
    benchmark::DoNotOptimize(population);
    const double expected = agents * std::pow(growth_factor, 100);
    if (std::fabs((double(population) - expected) / expected) > .05) {
      state.SkipWithError("the population is off by more than 5 %, or an action went untallied");
      break;
    }
  }
  if (kRecorded) std::filesystem::remove(sqlite);
}

void BM_Population_Unmeasured(benchmark::State& state) {
  BM_Population_Measures<Tally::none>(state);
}
void BM_Population_Measured(benchmark::State& state) {
  BM_Population_Measures<Tally::measures>(state);
}
// The measures without the recorder: what the adds and the combining cost alone.
void BM_Population_Measured_Unrecorded(benchmark::State& state) {
  BM_Population_Measures<Tally::measures, false>(state);
}
void BM_Population_Tallied_By_Hand(benchmark::State& state) {
  BM_Population_Measures<Tally::by_hand>(state);
}
void BM_Population_Tallied_Inexact(benchmark::State& state) {
  BM_Population_Measures<Tally::by_hand_inexact>(state);
}

void Population_Arguments(benchmark::internal::Benchmark* b) {
  b->ArgNames({"agents", "threads"})
      ->ArgsProduct({{1000000}, {1, 2}})
      ->Iterations(5)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_Population_Unmeasured)->Apply(Population_Arguments);
BENCHMARK(BM_Population_Measured)->Apply(Population_Arguments);
BENCHMARK(BM_Population_Measured_Unrecorded)->Apply(Population_Arguments);
BENCHMARK(BM_Population_Tallied_By_Hand)->Apply(Population_Arguments);
BENCHMARK(BM_Population_Tallied_Inexact)->Apply(Population_Arguments);

}  // namespace
