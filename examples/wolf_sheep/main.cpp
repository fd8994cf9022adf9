// wolf_sheep: the wolf-sheep-grass model on the Quarnel kernel (Wolf_Sheep.h). Runs one size,
// writes the per-step series as CSV on request and prints the final state with the run
// fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Series_Writer.h>
#include <quarnel/modelkit/System_Limits.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "Wolf_Sheep.h"

namespace {

constexpr const char* kAbout =
    "Wolf-sheep-grass on a grid that does not wrap. small: 25 x 25, 60 sheep, 40 wolves; large: 100 x 100,\n"
    "1000 sheep, 500 wolves; huge: 2000 x 2000, 400000 sheep, 200000 wolves. 100 steps. The CSV has one\n"
    "line per step (step 0: after set-up): step,sheep,wolves,grass.";

int Run(const quarnel::modelkit::Model_Options& options) {
  wolf_sheep::Parameters p = wolf_sheep::Parameters_For(options.size);
  if (options.steps > 0) p.steps = options.steps;
  // The workers' lanes grow with the grid times the workers: refused before the run.
  if (const std::string shortfall = quarnel::modelkit::Memory_Shortfall(
          wolf_sheep::kernel::Worker_Lane_Bytes(p, options.threads),
          "the workers' lanes of the " + quarnel::modelkit::to_string(options.size) + " grid alone");
      !shortfall.empty()) {
    throw quarnel::modelkit::Model_Option_Error("option --threads: '" + std::to_string(options.threads) +
                                                "' needs " + shortfall);
  }
  // Each step's row is written as soon as it is final (Series_Writer.h).
  quarnel::modelkit::Series_Writer csv(options.csv, "step,sheep,wolves,grass");
  int64_t rows = 0;
  const wolf_sheep::kernel::Run_Result result = wolf_sheep::kernel::Run(
      p, options.seed, options.threads, options.block_size, true, [&](const wolf_sheep::Counts& c) {
        csv.Row(std::to_string(rows++) + ',' + std::to_string(c.sheep) + ',' + std::to_string(c.wolves) +
                ',' + std::to_string(c.grass));
      });
  csv.Finish();
  const int64_t steps = rows - 1;  // row 0 is the set-up
  if (quarnel::modelkit::Run_Interrupted()) {
    return quarnel::modelkit::Interrupted_Status(
        "wolf_sheep",
        "after step " + std::to_string(steps) + " of " + std::to_string(p.steps) + csv.Interruption_Note());
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
  return quarnel::modelkit::Run_Model_Program(argc, argv, "wolf_sheep", kAbout, Run);
}
