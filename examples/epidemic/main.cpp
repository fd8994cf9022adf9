// epidemic: the epidemic with recovery events on the kernel (Epidemic.h). Runs one set of
// parameters, records the daily series (--csv, --sqlite) and prints the final state with the
// run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "Epidemic.h"

namespace {

using quarnel::modelkit::Model_Options;

const char* const kAbout =
    "People are susceptible, infected or recovered. Each day every infectious person meets 4 people\n"
    "and infects each susceptible one with probability 0.1; an infection allocates a recovery event,\n"
    "first due 3 days later, that recovers its person with probability 0.3 each time it fires; a\n"
    "treated person (0.02 a day) has it moved to the next day. The recovered die (0.001 a day), the\n"
    "living give birth (0.0001 a day). 10 infected at the start, 100 days (--steps N: N days). Sizes:\n"
    "small 10000 people, large 1000000, huge 10000000. The records have one row per day (step 1: the\n"
    "end of the first day): step,susceptible,infected,recovered,births,deaths. --params lists the\n"
    "parameters. The run stops with an error if a daily check fails: S + I + R = births - deaths + N\n"
    "= the kernel's live people, and live recovery events = infected people.\n";

// The days to run: --steps N sets them as if it were a --set days=N given before the others,
// so that a --set days=... wins over it.
int Days_Of(const Model_Options& options, const epidemic::Epidemic_Parameters& values) {
  const bool set = std::any_of(options.sets.begin(), options.sets.end(),
                               [](const std::string& s) { return s.rfind("days=", 0) == 0; });
  return options.steps > 0 && !set ? options.steps : values.days;
}

int Run(const Model_Options& options, const epidemic::Epidemic_Parameters& values) {
  epidemic::Epidemic_Parameters params = values;
  params.days = Days_Of(options, values);
  epidemic::Measured measured;
  // A resumed run may run more days than the saved one: `days` is the run's length.
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "epidemic", epidemic::Declared_Parameters(),
                                                   params, uint32_t(params.days), "days");
  // Refused before the run if they cannot be written; each day's row is recorded at the end of
  // its day.
  quarnel::modelkit::Recorder records =
      quarnel::modelkit::Open_Records(measured.measures, "epidemic", options, epidemic::Declared_Parameters(),
                                      params, epidemic::Measured::Recorded(), checkpoints);
  const epidemic::Checkpointing checkpointing{checkpoints, records};
  epidemic::Run_Settings settings;
  settings.threads = options.threads;
  settings.seed = options.seed;
  settings.block_size = options.block_size;
  settings.checkpointing = &checkpointing;
  settings.on_row = [&](const epidemic::Day_Row& r) {
    records.Record(uint64_t(r.day));
  };
  settings.view = options.live_view;
  const epidemic::Epidemic_Result result = quarnel::modelkit::Recorded_Run(
      records, [&] { return epidemic::Run_Epidemic(params, settings, &measured); });
  if (quarnel::modelkit::Run_Interrupted()) {
    const int done = result.series.empty() ? int(checkpoints.first_iteration()) : result.series.back().day;
    return quarnel::modelkit::Interrupted_Status("epidemic", "after day " + std::to_string(done) + " of " +
                                                                 std::to_string(params.days) +
                                                                 "; the records hold every finished step");
  }
  const epidemic::Day_Row& last = result.series.back();
  std::printf(
      "epidemic %s: %lld people, %d days, %d workers: S %lld, I %lld, R %lld (births %lld, deaths %lld); "
      "run fingerprint %s\n",
      quarnel::modelkit::to_string(options.size).c_str(), (long long)params.people, last.day, options.threads,
      (long long)last.susceptible, (long long)last.infected, (long long)last.recovered,
      (long long)result.births, (long long)result.deaths, quarnel::to_string(result.fingerprint).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program<epidemic::Epidemic_Parameters>(
      argc, argv, "epidemic", kAbout, epidemic::Declared_Parameters(), Run);
}
