// flocking: the flocking model on the kernel (Flocking.h), with the example models' command line.
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Series_Writer.h>

#include <cstdio>
#include <string>

#include "Flocking.h"

namespace {

const char* const kAbout =
    "Birds in a periodic continuous space cohere, separate and match their neighbours' velocities.\n"
    "Sizes: small 200 birds in 100 x 100, visual distance 5; large 400 in 150 x 150, 15;\n"
    "huge 200000 in 3000 x 3000, 15. 100 steps. The series: the mean distance to the nearest\n"
    "bird and the alignment |mean unit velocity| after each step.\n";

int Run(const quarnel::modelkit::Model_Options& options) {
  const flocking::Flocking_Parameters params = flocking::Parameters_For(options.size);
  // Refused before the run if it cannot be written; each step's row is written as soon as it
  // is final (Series_Writer.h). Nothing is kept per step: memory does not grow with --steps.
  quarnel::modelkit::Series_Writer csv(options.csv, "step,mean_nearest_distance,alignment");
  flocking::Run_Settings settings;
  settings.threads = options.threads;
  settings.seed = options.seed;
  settings.steps = options.steps;
  settings.block_size = options.block_size;
  settings.on_row = [&](const flocking::Flocking_Row& row) {
    char line[128];
    std::snprintf(line, sizeof line, "%d,%.17g,%.17g", row.step, row.mean_nearest_distance, row.alignment);
    csv.Row(line);
  };
  const flocking::Flocking_Result result = flocking::Run_Flocking(params, settings);
  csv.Finish();
  const int steps = options.steps > 0 ? options.steps : params.steps;
  if (quarnel::modelkit::Run_Interrupted()) {
    const int done = result.series.empty() ? 0 : result.series.back().step;
    return quarnel::modelkit::Interrupted_Status(
        "flocking",
        "after step " + std::to_string(done) + " of " + std::to_string(steps) + csv.Interruption_Note());
  }
  const flocking::Flocking_Row& last = result.series.back();
  std::printf(
      "flocking %s: %d birds, %d steps, %d workers: mean nearest distance %.6f, alignment %.6f; "
      "run fingerprint %s\n",
      quarnel::modelkit::to_string(options.size).c_str(), params.birds, last.step, options.threads,
      last.mean_nearest_distance, last.alignment, quarnel::to_string(result.fingerprint).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program(argc, argv, "flocking", kAbout, Run);
}
