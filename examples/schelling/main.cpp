// schelling: Schelling segregation on the Quarnel kernel (Schelling.h). Runs one set of
// parameters, records the per-step series (--csv, --sqlite) and prints the final state with the
// run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Schelling.h"

namespace {

using quarnel::modelkit::Model_Options;

constexpr const char* kAbout =
    "Schelling segregation on a side x side grid that does not wrap, one resident per cell, two groups.\n"
    "small: side 40, 1000 agents, radius 1, happy from 3 alike; large: side 100, 8000, radius 2, 8;\n"
    "huge: side 2000, 3200000, radius 2, 8. 20 steps. The records have one row per step (step 0: after\n"
    "set-up): step,happy,moved,fraction_happy. --params lists the parameters.";

int Run(const Model_Options& options, const schelling::Parameters& p) {
  schelling::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "schelling", schelling::Declared_Parameters(), p,
                                                   uint32_t(p.steps));
  quarnel::modelkit::Recorder records = quarnel::modelkit::Open_Records(
      measured.measures, "schelling", options, schelling::Declared_Parameters(), p,
      schelling::Measured::Recorded(), checkpoints);
  // Row t is written at the end of iteration t: a resumed run writes from its first iteration on.
  uint64_t rows = checkpoints.first_iteration();
  const schelling::kernel::Checkpointing checkpointing{checkpoints, records};
  const schelling::kernel::Run_Result result = quarnel::modelkit::Recorded_Run(records, [&] {
    return schelling::kernel::Run(
        p, options.seed, options.threads, options.block_size, true,
        [&](const schelling::Counts&) { records.Record(rows++); }, &measured, options.live_view,
        &checkpointing);
  });
  const uint64_t steps = rows - 1;  // row 0 is the set-up
  if (quarnel::modelkit::Run_Interrupted()) {
    return quarnel::modelkit::Interrupted_Status("schelling", "after step " + std::to_string(steps) + " of " +
                                                                  std::to_string(p.steps) +
                                                                  "; the records hold every finished step");
  }
  const schelling::Counts& end = result.series.back();
  // After the kernel's own lines (C stdio): the summary comes last in a pipe too.
  std::fflush(stdout);
  std::cout << "schelling: " << steps << " steps of " << quarnel::modelkit::to_string(options.size) << " on "
            << options.threads << " workers, seed " << options.seed << ": happy " << end.happy << " of "
            << p.agents << " (" << double(end.happy) / double(p.agents) << "), moved in the last step "
            << end.moved << "; run fingerprint " << quarnel::to_string(result.fingerprint) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program<schelling::Parameters>(argc, argv, "schelling", kAbout,
                                                                     schelling::Declared_Parameters(), Run);
}
