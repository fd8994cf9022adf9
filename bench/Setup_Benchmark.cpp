// Setting a run up: n agents created and scheduled through Create_Many (whole blocks at a time)
// against a loop of Create + Schedule_At, one thread, 1000 agents per block. Only the creation
// is timed (manual time): the run's Initialize and Terminate are outside the measurement.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

#include <quarnel/Model.h>

namespace {

class Setup_Agent : public quarnel::Agent<Setup_Agent> {
 public:
  explicit Setup_Agent(int32_t value) : _value(value) {}
  void Act(quarnel::Next& next) { next.In(1); }
  int32_t _value;
};

template <class Create>
void Time_Setup(benchmark::State& state, Create&& create) {
  const uint64_t n = uint64_t(state.range(0));
  double seconds = 0;
  for (auto _ : state) {
    quarnel::Simulation_Configuration config;
    config.num_threads = 1;
    quarnel::World::Initialize_Simulation(config);
    quarnel::Set_Block_Size<Setup_Agent>(1000);
    const auto start = std::chrono::steady_clock::now();
    create(n);
    const auto end = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    benchmark::DoNotOptimize(quarnel::Live_Count<Setup_Agent>());
    quarnel::World::Terminate_Simulation();
  }
  state.counters["ns_per_object"] = seconds * 1e9 / (double(n) * double(state.iterations()));
}

void BM_Create_Many(benchmark::State& state) {
  Time_Setup(state, [](uint64_t n) {
    quarnel::Create_Many<Setup_Agent>(n, quarnel::Revision(0, 0),
                                      [](uint64_t i) { return Setup_Agent(int32_t(i)); });
  });
}
BENCHMARK(BM_Create_Many)->ArgName("objects")->Arg(10000000)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Create_Loop(benchmark::State& state) {
  Time_Setup(state, [](uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
      quarnel::Create<Setup_Agent>(int32_t(i))->Schedule_At(quarnel::Revision(0, 0));
  });
}
BENCHMARK(BM_Create_Loop)->ArgName("objects")->Arg(10000000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
