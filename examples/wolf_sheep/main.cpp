// wolf_sheep: the wolf-sheep-grass model on the Quarnel kernel (Wolf_Sheep.h). Runs one size,
// writes the per-step series as CSV on request and prints the final state with the run
// fingerprint.
#include <quarnel/modelkit/Model_Command_Line.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "Wolf_Sheep.h"

namespace {

constexpr const char* kAbout =
    "Wolf-sheep-grass on a grid that does not wrap. small: 25 x 25, 60 sheep, 40 wolves; large: 100 x 100,\n"
    "1000 sheep, 500 wolves; huge: 2000 x 2000, 400000 sheep, 200000 wolves. 100 steps. The CSV has one\n"
    "line per step (step 0: after set-up): step,sheep,wolves,grass.";

int Run(const quarnel::modelkit::Model_Options& options) {
  wolf_sheep::Parameters p = wolf_sheep::Parameters_For(options.size);
  if (options.steps > 0) p.steps = options.steps;
  std::ofstream csv;
  if (!options.csv.empty()) {
    csv.open(options.csv);
    if (!csv) throw std::runtime_error("cannot write the CSV file '" + options.csv + "'");
  }
  const wolf_sheep::kernel::Run_Result result =
      wolf_sheep::kernel::Run(p, options.seed, options.threads, options.block_size);
  if (csv.is_open()) {
    csv << "step,sheep,wolves,grass\n";
    for (size_t t = 0; t < result.series.size(); ++t) {
      const wolf_sheep::Counts& c = result.series[t];
      csv << t << ',' << c.sheep << ',' << c.wolves << ',' << c.grass << '\n';
    }
    csv.close();
    if (!csv) throw std::runtime_error("writing the CSV file '" + options.csv + "' failed");
  }
  const wolf_sheep::Counts& end = result.series.back();
  // After the kernel's own lines (C stdio): the summary comes last in a pipe too.
  std::fflush(stdout);
  std::cout << "wolf_sheep: " << result.series.size() - 1 << " steps of "
            << quarnel::modelkit::to_string(options.size) << " on " << options.threads << " workers, seed "
            << options.seed << ": sheep " << end.sheep << ", wolves " << end.wolves << ", grass " << end.grass
            << "; run fingerprint " << quarnel::to_string(result.fingerprint) << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program(argc, argv, "wolf_sheep", kAbout, Run);
}
