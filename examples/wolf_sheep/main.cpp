// wolf_sheep: the wolf-sheep-grass model on the Quarnel kernel (Wolf_Sheep.h). Runs one set of
// parameters, records the per-step series (--csv, --sqlite) and prints the final state with the
// run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/System_Limits.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "Wolf_Sheep.h"

namespace {

using quarnel::modelkit::Model_Option_Error;
using quarnel::modelkit::Model_Options;

constexpr const char* kAbout =
    "Wolf-sheep-grass on a grid that does not wrap. small: 25 x 25, 60 sheep, 40 wolves; large: 100 x 100,\n"
    "1000 sheep, 500 wolves; huge: 2000 x 2000, 400000 sheep, 200000 wolves. 100 steps. The records have\n"
    "one row per step (step 0: after set-up): step,sheep,wolves,grass. --params lists the parameters.";

int Run(const Model_Options& options, const wolf_sheep::Parameters& p) {
  // Each side fits its range on its own; the grid as a whole is checked here, before the run.
  if (int64_t(p.width) * int64_t(p.height) > int64_t(INT32_MAX)) {
    throw Model_Option_Error("parameters width and height: a grid of " + std::to_string(p.width) + " x " +
                             std::to_string(p.height) + " cells has more than 2^31 - 1 cells");
  }
  // The workers' lanes grow with the grid times the workers: refused before the run.
  if (const std::string shortfall = quarnel::modelkit::Memory_Shortfall(
          wolf_sheep::kernel::Worker_Lane_Bytes(p, options.threads),
          "the workers' lanes of the " + quarnel::modelkit::to_string(options.size) + " grid alone");
      !shortfall.empty()) {
    throw Model_Option_Error("option --threads: '" + std::to_string(options.threads) + "' needs " +
                             shortfall);
  }
  wolf_sheep::Measured measured;
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "wolf_sheep", wolf_sheep::Declared_Parameters(),
                                                   p, uint32_t(p.steps));
  quarnel::modelkit::Recorder records = quarnel::modelkit::Open_Records(
      measured.measures, "wolf_sheep", options, wolf_sheep::Declared_Parameters(), p,
      wolf_sheep::Measured::Recorded(), checkpoints);
  // Row t is the state after step t (row 0: the set-up): a run resumed after step k writes
  // from row k + 1 on.
  uint64_t rows = checkpoints.resuming() ? uint64_t(checkpoints.first_iteration()) + 1 : 0;
  const wolf_sheep::kernel::Checkpointing checkpointing{checkpoints, records};
  const wolf_sheep::kernel::Run_Result result = quarnel::modelkit::Recorded_Run(records, [&] {
    return wolf_sheep::kernel::Run(
        p, options.seed, options.threads, options.block_size, true,
        [&](const wolf_sheep::Counts&) { records.Record(rows++); }, &measured, options.live_view,
        &checkpointing);
  });
  const uint64_t steps = rows - 1;  // row 0 is the set-up
  if (quarnel::modelkit::Run_Interrupted()) {
    return quarnel::modelkit::Interrupted_Status("wolf_sheep", "after step " + std::to_string(steps) +
                                                                   " of " + std::to_string(p.steps) +
                                                                   "; the records hold every finished step");
  }
  const wolf_sheep::Counts& end = result.series.back();
  // After the kernel's own lines (C stdio): the summary comes last in a pipe too.
  std::fflush(stdout);
  std::cout << "wolf_sheep: " << steps << " steps of " << quarnel::modelkit::to_string(options.size) << " on "
            << options.threads << " workers, seed " << options.seed << ": sheep " << end.sheep << ", wolves "
            << end.wolves << ", grass " << end.grass << "; run fingerprint "
            << quarnel::to_string(result.fingerprint) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program<wolf_sheep::Parameters>(argc, argv, "wolf_sheep", kAbout,
                                                                      wolf_sheep::Declared_Parameters(), Run);
}
