// schelling: Schelling segregation on the Quarnel kernel (Schelling.h). Runs one size, writes
// the per-step series as CSV on request and prints the final state with the run fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>

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
  std::ofstream csv;
  if (!options.csv.empty()) {
    csv.open(options.csv);
    if (!csv) throw std::runtime_error("cannot write the CSV file '" + options.csv + "'");
  }
  const schelling::kernel::Run_Result result =
      schelling::kernel::Run(p, options.seed, options.threads, options.block_size);
  const double residents = double(p.residents);
  if (csv.is_open()) {
    csv << "step,happy,moved,fraction_happy\n";
    for (size_t t = 0; t < result.series.size(); ++t) {
      const schelling::Counts& c = result.series[t];
      csv << t << ',' << c.happy << ',' << c.moved << ',' << double(c.happy) / residents << '\n';
    }
    csv.close();
    if (!csv) throw std::runtime_error("writing the CSV file '" + options.csv + "' failed");
  }
  const schelling::Counts& end = result.series.back();
  // After the kernel's own lines (C stdio): the summary comes last in a pipe too.
  std::fflush(stdout);
  std::cout << "schelling: " << result.series.size() - 1 << " steps of "
            << quarnel::modelkit::to_string(options.size) << " on " << options.threads << " workers, seed "
            << options.seed << ": happy " << end.happy << " of " << p.residents << " ("
            << double(end.happy) / residents << "), moved in the last step " << end.moved
            << "; run fingerprint " << quarnel::to_string(result.fingerprint) << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program(argc, argv, "schelling", kAbout, Run);
}
