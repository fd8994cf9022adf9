// Checkpoints (Checkpoint.h, Model_Checkpoints.h).
//
// BM_Checkpoint_Write / BM_Checkpoint_Load: a checkpoint of `agents` identified agents, each
// with 64 bytes of fields (eight 64-bit numbers), on one worker: the whole of Write_Checkpoint
// (every object's fields, the body, CRC-32, the temporary file, fsync, rename), and the whole
// of a load (Checkpoint_Reader: the file read and checked; Restore: every agent made, its
// fields read and scheduled). Manual time: the set-up of the agents and the run's Initialize and
// Terminate are outside it. The file goes to the system's temporary folder.
//
// BM_Checkpoint_Every: a model's whole run as its program makes it (Model_Checkpoints and a
// Recorder without files) with a checkpoint at the end of every 10th step (every:10), against
// the same run without checkpoints (every:0): the ratio of the two is the cost of checkpoints
// taken every ten steps. The models at a size whose state is large: flocking huge (model:0),
// wolf-sheep huge (model:1), the epidemic large (model:2), 40 steps, 2 workers.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include <quarnel/Checkpoint.h>
#include <quarnel/Model.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <cereal/types/array.hpp>

#include "Kept_Workers.h"

#include "Epidemic.h"
#include "Flocking.h"
#include "Wolf_Sheep.h"

namespace {

class Checkpointed_Agent : public quarnel::Identified_Agent<Checkpointed_Agent> {
 public:
  Checkpointed_Agent() = default;
  explicit Checkpointed_Agent(uint64_t seed) {
    for (size_t k = 0; k < _fields.size(); ++k) _fields[k] = seed * 0x9E3779B97F4A7C15ull + k;
  }
  void Act(quarnel::Next& next) { next.In(1); }
  template <class Archive>
  void serialize(Archive& a) {
    a(_fields);
  }
  std::array<uint64_t, 8> _fields{};
};
static_assert(sizeof(std::array<uint64_t, 8>) == 64);

std::string Checkpoint_Path() {
  return (std::filesystem::temp_directory_path() / "quarnel_bench_checkpoint.ckpt").string();
}

void Contents(quarnel::Checkpoint_Io& io) {
  io.Objects<Checkpointed_Agent>();
}

void Start_Run() {
  quarnel::Simulation_Configuration config;
  config.num_threads = 1;
  quarnel::World::Initialize_Simulation(config);
  quarnel::Set_Block_Size<Checkpointed_Agent>(1000);
}

void Make_Agents(uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    quarnel::Create_Identified<Checkpointed_Agent>(quarnel::Root_Identity(i), i)
        ->Schedule_At(quarnel::Revision(0, 0));
  }
}

quarnel::Checkpoint_Header Header() {
  quarnel::Checkpoint_Header header;
  header.model = "bench";
  header.iteration = 0;  // the agents are due at (0, 0)
  return header;
}

void Set_Counters(benchmark::State& state, double seconds, uint64_t n) {
  state.counters["ns_per_agent"] = seconds * 1e9 / (double(n) * double(state.iterations()));
  state.counters["file_MiB"] = double(std::filesystem::file_size(Checkpoint_Path())) / (1 << 20);
}

void BM_Checkpoint_Write(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  Start_Run();
  Make_Agents(n);
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    quarnel::Write_Checkpoint(Checkpoint_Path(), Header(), nullptr, Contents);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
  }
  quarnel::World::Terminate_Simulation();
  Set_Counters(state, seconds, n);
}
BENCHMARK(BM_Checkpoint_Write)
    ->ArgName("agents")
    ->Arg(10000000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_Checkpoint_Load(benchmark::State& state) {
  const uint64_t n = uint64_t(state.range(0));
  Start_Run();
  Make_Agents(n);
  quarnel::Write_Checkpoint(Checkpoint_Path(), Header(), nullptr, Contents);
  quarnel::World::Terminate_Simulation();
  double seconds = 0;
  for (auto _ : state) {
    Start_Run();
    const auto start = std::chrono::steady_clock::now();
    quarnel::Checkpoint_Reader reader(Checkpoint_Path());
    reader.Restore(nullptr, Contents);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (quarnel::Live_Count<Checkpointed_Agent>() != int64_t(n))
      state.SkipWithError("agents lost in the load");
    quarnel::World::Terminate_Simulation();
  }
  Set_Counters(state, seconds, n);
  std::remove(Checkpoint_Path().c_str());
}
BENCHMARK(BM_Checkpoint_Load)
    ->ArgName("agents")
    ->Arg(10000000)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

constexpr int kSteps = 40, kThreads = 2;

// The program's checkpoints of a run: every `every` steps (0: none) to the temporary folder.
quarnel::modelkit::Model_Options Options_Every(int every) {
  quarnel::modelkit::Model_Options options;
  options.threads = kThreads;
  if (every > 0) {
    options.checkpoint = Checkpoint_Path();
    options.checkpoint_every = every;
  }
  return options;
}

void Run_Flocking(int every) {
  flocking::Flocking_Parameters p = flocking::Parameters_For(quarnel::modelkit::Model_Size::huge);
  p.steps = kSteps;
  const quarnel::modelkit::Model_Options options = Options_Every(every);
  flocking::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "flocking", flocking::Declared_Parameters(), p,
                                                   uint32_t(p.steps));
  quarnel::modelkit::Recorder records = quarnel::modelkit::Open_Records(
      measured.measures, "flocking", options, flocking::Declared_Parameters(), p, {}, checkpoints);
  const flocking::Checkpointing checkpointing{checkpoints, records};
  flocking::Run_Settings settings;
  settings.threads = kThreads;
  settings.measured = &measured;
  settings.on_row = [&](const flocking::Flocking_Row& row) { records.Record(uint64_t(row.step)); };
  settings.checkpointing = &checkpointing;
  benchmark::DoNotOptimize(flocking::Run_Flocking(p, settings).series.back().alignment);
}

void Run_Wolf_Sheep(int every) {
  wolf_sheep::Parameters p = wolf_sheep::Parameters_For(quarnel::modelkit::Model_Size::huge);
  p.steps = kSteps;
  const quarnel::modelkit::Model_Options options = Options_Every(every);
  wolf_sheep::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "wolf_sheep", wolf_sheep::Declared_Parameters(),
                                                   p, uint32_t(p.steps));
  quarnel::modelkit::Recorder records = quarnel::modelkit::Open_Records(
      measured.measures, "wolf_sheep", options, wolf_sheep::Declared_Parameters(), p,
      wolf_sheep::Measured::Recorded(), checkpoints);
  uint64_t rows = 0;
  const wolf_sheep::kernel::Checkpointing checkpointing{checkpoints, records};
  benchmark::DoNotOptimize(wolf_sheep::kernel::Run(
                               p, 1, kThreads, 1000, true,
                               [&](const wolf_sheep::Counts&) { records.Record(rows++); }, &measured, nullptr,
                               &checkpointing)
                               .series.back()
                               .sheep);
}

void Run_Epidemic(int every) {
  epidemic::Epidemic_Parameters p = epidemic::Parameters_For(quarnel::modelkit::Model_Size::large);
  p.days = kSteps;
  const quarnel::modelkit::Model_Options options = Options_Every(every);
  epidemic::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "epidemic", epidemic::Declared_Parameters(), p,
                                                   uint32_t(p.days), "days");
  quarnel::modelkit::Recorder records =
      quarnel::modelkit::Open_Records(measured.measures, "epidemic", options, epidemic::Declared_Parameters(),
                                      p, epidemic::Measured::Recorded(), checkpoints);
  const epidemic::Checkpointing checkpointing{checkpoints, records};
  epidemic::Run_Settings settings;
  settings.threads = kThreads;
  settings.on_row = [&](const epidemic::Day_Row& r) { records.Record(uint64_t(r.day)); };
  settings.checkpointing = &checkpointing;
  benchmark::DoNotOptimize(epidemic::Run_Epidemic(p, settings, &measured).series.back().infected);
}

void BM_Checkpoint_Every(benchmark::State& state) {
  const quarnel::bench::Kept_Workers kept;
  const int model = int(state.range(0)), every = int(state.range(1));
  for (auto _ : state) {
    if (model == 0) Run_Flocking(every);
    if (model == 1) Run_Wolf_Sheep(every);
    if (model == 2) Run_Epidemic(every);
  }
  if (every > 0) {
    state.counters["file_MiB"] = double(std::filesystem::file_size(Checkpoint_Path())) / (1 << 20);
    std::remove(Checkpoint_Path().c_str());
  }
}
BENCHMARK(BM_Checkpoint_Every)
    ->ArgNames({"model", "every"})
    ->ArgsProduct({{0, 1, 2}, {0, 10}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
