// The population workload on the engine, against the same work written as a bare loop.
//
// Both draw their numbers the same way (per-worker minstd_rand0 seeded 12345 + worker,
// uniform [0, 1), two draws per action), so their ratio measures the engine alone.
// agent_actions_per_second counts num_agents * sum(1.0001^k, k < 100) actions per run, the
// expected number of actions, for both, so the ratio of their counters is the ratio of
// their times.
#include <benchmark/benchmark.h>

#include <barrier>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "CoreEngine_Tests.h"

namespace {

double Expected_Actions(int64_t agents) {
  return double(agents) * (std::pow(growth_factor, 100) - 1.0) / (growth_factor - 1.0);
}

void Set_Counters(benchmark::State& state, int64_t agents) {
  state.counters["agent_actions_per_second"] =
      benchmark::Counter(Expected_Actions(agents) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Population(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  for (auto _ : state) {
    Population_Result result = do_it(agents, threads, 1000, false);
    benchmark::DoNotOptimize(result);
  }
  Set_Counters(state, agents);
}
BENCHMARK(BM_Population)
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

// One iteration of worker t over agents [begin, end): two draws each, births collected.
void Bare_Step(std::vector<Bare_Agent>& agents, size_t begin, size_t end, uint32_t iteration,
               std::minstd_rand0& generator, std::uniform_real_distribution<double>& distribution,
               std::vector<Bare_Agent>& born) {
  for (size_t i = begin; i < end; ++i) {
    if (distribution(generator) <= growth_factor - 1.0)
      born.push_back(Bare_Agent{nullptr, 0, -1, uint64_t(iteration + 1) << 32, nullptr, nullptr});
    uint32_t delay = uint32_t(distribution(generator));
    if (delay == 0) delay = 1;
    agents[i].next_revision = uint64_t(iteration + delay) << 32;
  }
}

int64_t Bare_Loop(int agents, int threads) {
  std::vector<Bare_Agent> population(size_t(agents), Bare_Agent{nullptr, 0, -1, 0, nullptr, nullptr});
  std::vector<std::minstd_rand0> generators;
  std::vector<std::uniform_real_distribution<double>> distributions(threads);
  std::vector<std::vector<Bare_Agent>> born(threads);
  for (int t = 0; t < threads; ++t) generators.emplace_back(12345 + t);
  size_t acting = population.size();  // newborns act from the next iteration
  auto merge_births = [&]() noexcept {
    for (auto& b : born) {
      population.insert(population.end(), b.begin(), b.end());
      b.clear();
    }
    acting = population.size();
  };
  std::barrier sync(threads, merge_births);
  auto worker = [&](int t) {
    for (uint32_t iteration = 0; iteration < 100; ++iteration) {
      const size_t begin = acting * size_t(t) / size_t(threads);
      const size_t end = acting * size_t(t + 1) / size_t(threads);
      Bare_Step(population, begin, end, iteration, generators[t], distributions[t], born[t]);
      sync.arrive_and_wait();
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (std::thread& th : pool) th.join();
  return int64_t(population.size());
}

void BM_BareLoop(benchmark::State& state) {
  const int agents = int(state.range(0));
  const int threads = int(state.range(1));
  for (auto _ : state) benchmark::DoNotOptimize(Bare_Loop(agents, threads));
  Set_Counters(state, agents);
}
BENCHMARK(BM_BareLoop)
    ->ArgNames({"agents", "threads"})
    ->ArgsProduct({{10000, 100000, 1000000}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
