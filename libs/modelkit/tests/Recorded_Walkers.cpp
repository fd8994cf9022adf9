// walkers: a small model with declared parameters, measures and a recorder, run as a user
// runs a program: the tests of the recorder kill it, give it unwritable destinations and
// bad parameters. Each walker draws a value in [-spread, spread] every step.
#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Recorder.h>

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace {

struct Parameters {
  int walkers = 200;
  double spread = 1.0;
  int delay_us = 0;     // a pause in the hook after each step
  int fail_after = -1;  // the hook throws after this many steps (-1: never; -2: the run, before its records)
  bool skip_odd = false;
};

quarnel::modelkit::Model_Parameters<Parameters> Declared() {
  quarnel::modelkit::Model_Parameters<Parameters> p;
  p.Integer("walkers", &Parameters::walkers, 200, 1, 1000000, "walkers on the line");
  p.Floating("spread", &Parameters::spread, 1.0, 0, 1e6, "a draw lies in [-spread, spread]");
  p.Integer("delay_us", &Parameters::delay_us, 0, 0, 1000000, "microseconds the hook pauses after each step");
  p.Integer("fail_after", &Parameters::fail_after, -1, -2, 1000000,
            "the hook fails after this many rows (-2: the run fails before it opens its records)");
  p.Flag("skip_odd", &Parameters::skip_odd, false, "odd walkers rest every other step");
  p.Preset("small", {});
  p.Preset("large", {{"walkers", "5000"}});
  return p;
}

struct Shared {
  Parameters p;
  uint64_t seed = 1;
  quarnel::Measures measures;
  quarnel::Count_Measure calls = measures.Count("calls");
  quarnel::Sum_Measure total = measures.Sum("total");
  quarnel::Mean_Measure mean = measures.Mean("mean", quarnel::Measure_Reset::running);
  quarnel::Min_Measure low = measures.Min("low");
  quarnel::Max_Measure high = measures.Max("high");
  quarnel::Histogram_Measure value = measures.Histogram("value", -1, 1, 4);
  quarnel::Integer_Gauge_Measure live = measures.Integer_Gauge("live");
};

class Walker : public quarnel::Identified_Agent<Walker> {
 public:
  void Act(quarnel::Next& next) {
    const Shared& s = next.model<Shared>();
    quarnel::Counter_Random draws = Random(s.seed);
    const double x = (2 * draws.Next_Uniform() - 1) * s.p.spread;
    s.calls.Add();
    s.total.Add(x);
    s.mean.Add(x);
    s.low.Add(x);
    s.high.Add(x);
    s.value.Add(x);
    next.In(s.p.skip_odd && identity() % 2 == 1 ? 2 : 1);
  }
};

int Run(const quarnel::modelkit::Model_Options& options, const Parameters& p,
        const quarnel::modelkit::Model_Parameters<Parameters>& declared) {
  Shared s;
  s.p = p;
  s.seed = options.seed;
  const int steps = options.steps > 0 ? options.steps : 20;
  if (p.fail_after == -2) throw std::runtime_error("the run failed on purpose before its records");
  // Before the run is set up: an unwritable destination stops the program before any work.
  quarnel::modelkit::Recorder recorder(s.measures,
                                       {"walkers", quarnel::version_string, options.seed, declared.Values(p)},
                                       quarnel::modelkit::Recording_Of(options));
  quarnel::Simulation_Configuration config;
  config.num_threads = options.threads;
  config.num_iterations = steps;
  quarnel::Simulation run(config, s);
  run.Attach_Measures(s.measures);
  quarnel::Set_Block_Size<Walker>(options.block_size);
  for (int i = 0; i < p.walkers; ++i) {
    quarnel::Create_Identified<Walker>(quarnel::Root_Identity(uint64_t(i)))
        ->Schedule_At(quarnel::Revision(0, 0));
  }
  run.On_Iteration_End(recorder.Hook([&](uint32_t iteration) {
    s.live.Set(quarnel::Live_Count<Walker>());
    if (int(iteration) == s.p.fail_after) throw std::runtime_error("the hook failed on purpose");
    if (s.p.delay_us > 0) ::usleep(useconds_t(s.p.delay_us));
  }));
  try {
    run.Run();
  } catch (...) {
    recorder.Finish(quarnel::modelkit::Run_Status::failed);
    throw;
  }
  recorder.Finish(quarnel::modelkit::Run_Status::done);
  std::printf("walkers: %d steps, %llu rows\n", steps, (unsigned long long)recorder.rows());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const auto declared = Declared();
  return quarnel::modelkit::Run_Model_Program<Parameters>(
      argc, argv, "walkers", "Walkers drawing values; a test program of the recorder.\n", declared,
      [&](const quarnel::modelkit::Model_Options& options, const Parameters& p) {
        return Run(options, p, declared);
      });
}
