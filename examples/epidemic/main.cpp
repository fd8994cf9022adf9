// epidemic: the epidemic with recovery events on the kernel (Epidemic.h), with the example
// models' command line.
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Series_Writer.h>

#include <cstdio>
#include <string>

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
  // Refused before the run if it cannot be written; each day's row is written at the end of
  // its day (Series_Writer.h).
  quarnel::modelkit::Series_Writer csv(options.csv, "day,susceptible,infected,recovered,births,deaths");
  int64_t births = 0, deaths = 0;
  epidemic::Run_Settings settings;
  settings.threads = options.threads;
  settings.seed = options.seed;
  settings.steps = options.steps;
  settings.block_size = options.block_size;
  settings.on_row = [&](const epidemic::Day_Row& r) {
    births += r.births;
    deaths += r.deaths;
    csv.Row(std::to_string(r.day) + ',' + std::to_string(r.susceptible) + ',' + std::to_string(r.infected) +
            ',' + std::to_string(r.recovered) + ',' + std::to_string(r.births) + ',' +
            std::to_string(r.deaths));
  };
  const epidemic::Epidemic_Result result = epidemic::Run_Epidemic(params, settings);
  csv.Finish();
  const int days = options.steps > 0 ? options.steps : params.days;
  if (quarnel::modelkit::Run_Interrupted()) {
    const int done = result.series.empty() ? 0 : result.series.back().day;
    return quarnel::modelkit::Interrupted_Status(
        "epidemic",
        "after day " + std::to_string(done) + " of " + std::to_string(days) + csv.Interruption_Note());
  }
  const epidemic::Day_Row& last = result.series.back();
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
