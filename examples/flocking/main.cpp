// flocking: the flocking model on the kernel (Flocking.h), with the example models' command line.
// Runs one set of parameters, records the per-step series (--csv, --sqlite) and prints the final
// state with the run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "Flocking.h"

namespace {

using quarnel::modelkit::Model_Options;

const char* const kAbout =
    "Birds in a periodic continuous space cohere, separate and match their neighbours' velocities.\n"
    "Sizes: small 200 birds in 100 x 100, visual distance 5; large 400 in 150 x 150, 15;\n"
    "huge 200000 in 3000 x 3000, 15. 100 steps. The records have one row per step (from step 1):\n"
    "step,mean_nearest_distance,alignment, the mean distance to the nearest bird and the alignment\n"
    "|mean unit velocity| after the step. --params lists the parameters.\n";

int Run(const Model_Options& options, const flocking::Flocking_Parameters& p) {
  // Parameters the model cannot run are refused in one line before any record is opened.
  try {
    flocking::Check_Parameters(p);
  } catch (const std::invalid_argument& e) {
    throw quarnel::modelkit::Model_Option_Error(e.what());
  }
  flocking::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "flocking", flocking::Declared_Parameters(), p,
                                                   uint32_t(p.steps));
  quarnel::modelkit::Recorder records = quarnel::modelkit::Open_Records(
      measured.measures, "flocking", options, flocking::Declared_Parameters(), p, {}, checkpoints);
  const flocking::Checkpointing checkpointing{checkpoints, records};
  flocking::Run_Settings settings;
  settings.threads = options.threads;
  settings.seed = options.seed;
  settings.block_size = options.block_size;
  settings.measured = &measured;
  settings.view = options.live_view;
  settings.checkpointing = &checkpointing;
  // Each step's row is recorded as soon as it is final; nothing is kept per step, so memory
  // does not grow with the steps.
  settings.on_row = [&](const flocking::Flocking_Row& row) { records.Record(uint64_t(row.step)); };
  const flocking::Flocking_Result result =
      quarnel::modelkit::Recorded_Run(records, [&] { return flocking::Run_Flocking(p, settings); });
  if (quarnel::modelkit::Run_Interrupted()) {
    const int done = result.series.empty() ? int(checkpoints.first_iteration()) : result.series.back().step;
    return quarnel::modelkit::Interrupted_Status("flocking", "after step " + std::to_string(done) + " of " +
                                                                 std::to_string(p.steps) +
                                                                 "; the records hold every finished step");
  }
  const flocking::Flocking_Row& last = result.series.back();
  std::printf(
      "flocking %s: %d birds, %d steps, %d workers: mean nearest distance %.6f, alignment %.6f; "
      "run fingerprint %s\n",
      quarnel::modelkit::to_string(options.size).c_str(), p.birds, last.step, options.threads,
      last.mean_nearest_distance, last.alignment, quarnel::to_string(result.fingerprint).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program<flocking::Flocking_Parameters>(
      argc, argv, "flocking", kAbout, flocking::Declared_Parameters(), Run);
}
