// The population workload on the engine, against the same work written as a bare loop.
//
// BM_Population_Plain is the same run with the model written on the model interface.
// BM_Population is one whole run of the population program per benchmark iteration
// (initialise, allocate and load the agents, 100 iterations, check, terminate), with the
// program's configuration and 1000 agents per block. BM_BareLoop is the lower bound any
// engine can reach: a std::vector of agents, the same two draws per agent and iteration from
// per-worker minstd_rand0 engines seeded 12345 + worker, newborns appended between iterations
// and acting from the next one; with several workers, equal slices of the vector and one
// barrier per iteration. Both draw their numbers the same way, so their ratio measures the
// engine alone.
//
// agent_actions_per_second counts num_agents * sum(1.0001^k, k < 100) actions per run, the
// expected number of actions, for both; the ratio of their counters is the ratio of their
// times.
#include <benchmark/benchmark.h>

#include <barrier>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "CoreEngine_Tests.h"
#include "Plain_Population.h"

namespace {

constexpr uint32_t kIterations = 100;

double Expected_Actions(int64_t agents) {
  return double(agents) * (std::pow(growth_factor, kIterations) - 1.0) / (growth_factor - 1.0);
}

void Set_Counters(benchmark::State& state, int64_t agents) {
  state.counters["agent_actions_per_second"] =
      benchmark::Counter(Expected_Actions(agents) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Population(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  for (auto _ : state) {
    const Population_Result result = do_it(agents, threads, 1000, false);
    if (!result.passed) {
      state.SkipWithError("the population check failed");
      break;
    }
  }
  Set_Counters(state, agents);
}
BENCHMARK(BM_Population)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{10000, 100000, 1000000}, {1, 2}})
    ->Args({100000, 6})  // more workers than cores: must not collapse
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same run with the model written on the model interface (Plain_Population.h).
void BM_Population_Plain(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  for (auto _ : state) {
    const Population_Result result = run_plain_population(agents, threads, 1000);
    if (!result.passed) {
      state.SkipWithError("the population check failed");
      break;
    }
  }
  Set_Counters(state, agents);
}
BENCHMARK(BM_Population_Plain)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{10000, 100000, 1000000}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The agent of the bare loop: the engine's cell content, 48 bytes.
struct Bare_Agent {
  void* vtable_slot;
  uint64_t component_id;
  int32_t object_id;
  uint64_t next_revision;
  void* handler;
  void* block;
};
static_assert(sizeof(Bare_Agent) == 48);

// What one worker owns, on cache lines of its own.
struct alignas(64) Bare_Worker {
  std::minstd_rand0 generator;
  std::uniform_real_distribution<double> distribution;
  std::vector<Bare_Agent> born;
};

// One iteration of a worker over agents [begin, end): two draws each, births collected.
void Bare_Step(std::vector<Bare_Agent>& agents, size_t begin, size_t end, uint32_t iteration,
               Bare_Worker& worker) {
  std::minstd_rand0 generator = worker.generator;
  for (size_t i = begin; i < end; ++i) {
    if (worker.distribution(generator) <= growth_factor - 1.0) {
      worker.born.push_back(Bare_Agent{nullptr, 0, -1, uint64_t(iteration + 1) << 32, nullptr, nullptr});
    }
    uint32_t delay = uint32_t(worker.distribution(generator));
    if (delay == 0) delay = 1;
    agents[i].next_revision = uint64_t(iteration + delay) << 32;
  }
  worker.generator = generator;
}

// Returns the final population.
int64_t Bare_Loop(int agents, int threads) {
  std::vector<Bare_Agent> population(size_t(agents), Bare_Agent{nullptr, 0, -1, 0, nullptr, nullptr});
  std::vector<Bare_Worker> workers(static_cast<size_t>(threads));
  for (int t = 0; t < threads; ++t) workers[size_t(t)].generator.seed(12345 + t);
  size_t acting = population.size();
  auto merge_births = [&]() noexcept {
    for (Bare_Worker& w : workers) {
      population.insert(population.end(), w.born.begin(), w.born.end());
      w.born.clear();
    }
    acting = population.size();
  };
  std::barrier sync(threads, merge_births);
  auto work = [&](int t) {
    for (uint32_t iteration = 0; iteration < kIterations; ++iteration) {
      const size_t begin = acting * size_t(t) / size_t(threads);
      const size_t end = acting * size_t(t + 1) / size_t(threads);
      Bare_Step(population, begin, end, iteration, workers[size_t(t)]);
      sync.arrive_and_wait();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
  work(0);
  for (std::thread& th : pool) th.join();
  return int64_t(population.size());
}

void BM_BareLoop(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  for (auto _ : state) {
    const int64_t population = Bare_Loop(agents, threads);
    benchmark::DoNotOptimize(population);
    const double expected = agents * std::pow(growth_factor, kIterations);
    if (std::fabs((double(population) - expected) / expected) > .05) {
      state.SkipWithError("the bare loop's population is off by more than 5 %");
      break;
    }
  }
  Set_Counters(state, agents);
}
BENCHMARK(BM_BareLoop)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{10000, 100000, 1000000}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
