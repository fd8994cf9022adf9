// epidemic: the epidemic with recovery events on the kernel (Epidemic.h), with the example
// models' command line.
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "Epidemic.h"

namespace {

const char* const kAbout =
    "People are susceptible, infected or recovered. Each day every infectious person meets 4 people\n"
    "and infects each susceptible one with probability 0.1; an infection allocates a recovery event,\n"
    "first due 3 days later, that recovers its person with probability 0.3 each time it fires; a\n"
    "treated person (0.02 a day) has it moved to the next day. The recovered die (0.001 a day), the\n"
    "living give birth (0.0001 a day). 10 infected at the start, 100 days. Sizes: small 10000 people,\n"
    "large 1000000, huge 10000000. The series: S, I, R at the end of each day, births and deaths.\n"
    "The run stops with an error if a daily check fails: S + I + R = births - deaths + N = the\n"
    "kernel's live people, and live recovery events = infected people.\n";

int Run(const quarnel::modelkit::Model_Options& options) {
  const epidemic::Epidemic_Parameters params = epidemic::Parameters_For(options.size);
  std::ofstream csv;
  if (!options.csv.empty()) {  // refused before the run, not after it
    csv.open(options.csv);
    if (!csv) throw std::runtime_error("cannot write the series to '" + options.csv + "'");
  }
  epidemic::Run_Settings settings;
  settings.threads = options.threads;
  settings.seed = options.seed;
  settings.steps = options.steps;
  settings.block_size = options.block_size;
  const epidemic::Epidemic_Result result = epidemic::Run_Epidemic(params, settings);
  if (csv.is_open()) {
    csv << "day,susceptible,infected,recovered,births,deaths\n";
    for (const epidemic::Day_Row& r : result.series) {
      csv << r.day << ',' << r.susceptible << ',' << r.infected << ',' << r.recovered << ',' << r.births
          << ',' << r.deaths << '\n';
    }
    csv.flush();
    if (!csv) throw std::runtime_error("writing the series to '" + options.csv + "' failed");
  }
  const epidemic::Day_Row& last = result.series.back();
  int64_t births = 0, deaths = 0;
  for (const epidemic::Day_Row& r : result.series) {
    births += r.births;
    deaths += r.deaths;
  }
  std::printf(
      "epidemic %s: %lld people, %d days, %d workers: S %lld, I %lld, R %lld (births %lld, deaths %lld); "
      "run fingerprint %s\n",
      quarnel::modelkit::to_string(options.size).c_str(), (long long)params.people, last.day, options.threads,
      (long long)last.susceptible, (long long)last.infected, (long long)last.recovered, (long long)births,
      (long long)deaths, quarnel::to_string(result.fingerprint).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program(argc, argv, "epidemic", kAbout, Run);
}
