// schelling: Schelling segregation on the Quarnel kernel (Schelling.h). Runs one size, writes
// the per-step series as CSV on request and prints the final state with the run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Series_Writer.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "Schelling.h"

namespace {

constexpr const char* kAbout =
    "Schelling segregation on an X x X grid that does not wrap, one resident per cell, two groups.\n"
    "small: X 40, 1000 residents, radius 1, happy from 3 alike; large: X 100, 8000, radius 2, 8;\n"
    "huge: X 2000, 3200000, radius 2, 8. 20 steps. The CSV has one line per step (step 0: after set-up):\n"
    "step,happy,moved,fraction_happy.";

int Run(const quarnel::modelkit::Model_Options& options) {
  schelling::Parameters p = schelling::Parameters_For(options.size);
  if (options.steps > 0) p.steps = options.steps;
  // Each step's row is written as soon as it is final (Series_Writer.h).
  quarnel::modelkit::Series_Writer csv(options.csv, "step,happy,moved,fraction_happy");
  const double residents = double(p.residents);
  int64_t rows = 0;
  const schelling::kernel::Run_Result result = schelling::kernel::Run(
      p, options.seed, options.threads, options.block_size, true, [&](const schelling::Counts& c) {
        std::ostringstream row;
        row << rows++ << ',' << c.happy << ',' << c.moved << ',' << double(c.happy) / residents;
        csv.Row(row.str());
      });
  csv.Finish();
  const int64_t steps = rows - 1;  // row 0 is the set-up
  if (quarnel::modelkit::Run_Interrupted()) {
    return quarnel::modelkit::Interrupted_Status(
        "schelling",
        "after step " + std::to_string(steps) + " of " + std::to_string(p.steps) + csv.Interruption_Note());
  }
  const schelling::Counts& end = result.series.back();
  // After the kernel's own lines (C stdio): the summary comes last in a pipe too.
  std::fflush(stdout);
  std::cout << "schelling: " << steps << " steps of " << quarnel::modelkit::to_string(options.size) << " on "
            << options.threads << " workers, seed " << options.seed << ": happy " << end.happy << " of "
            << p.residents << " (" << double(end.happy) / residents << "), moved in the last step "
            << end.moved << "; run fingerprint " << quarnel::to_string(result.fingerprint) << '\n';
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program(argc, argv, "schelling", kAbout, Run);
}
