// The population program: one births-and-deaths run with the values of the command line
// (with --deterministic, the run's deterministic twin, whose fingerprint is logged too).
// Exit status 0 when the population check passes, 1 when it fails or the input is bad.
#include <algorithm>
#include <iostream>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Logger.h>
#include <quarnel/Profiler.h>
#include <quarnel/World.h>
#include "Command_Line.h"
#include "CoreEngine_Tests.h"
#include "Deterministic_Population.h"
#include "Population_Options.h"

namespace {

int refuse(const std::string& message) {
  std::cerr << "population: " << message << std::endl;
  return 1;
}

// The population run or, with --deterministic, its twin.
Population_Result run_model(const Population_Options& options) {
  if (!options.deterministic)
    return do_it(options.num_agents, options.threads, options.agents_per_block, true);
  const Deterministic_Result twin = run_deterministic_population(options.num_agents, options.threads,
                                                                 options.agents_per_block, options.seed);
  return {twin.population, twin.expected_population, twin.passed};
}

// Runs the population and reports its outcome; 0 when the check passes.
int run_population(const Population_Options& options) {
  Population_Result result;
  try {
    result = run_model(options);
  } catch (const std::exception& e) {
    if (options.threads < 1) {
      return refuse("option --threads: '" + std::to_string(options.threads) + "' was refused: " + e.what());
    }
    return refuse("the run failed: " + quarnel::Describe_Exception(e));
  }
  std::ostringstream line;
  line << "Population check " << (result.passed ? "passed" : "FAILED") << ": population " << result.population
       << ", expected " << result.expected_population << " (within 5 % required)";
  quarnel::Quarnel_Logging_Interface::notice(line.str());
  return result.passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  quarnel::Calibrate_Profiler();
  if (wants_help(argc, argv)) {
    std::cout << usage_text();
    return 0;
  }
  quarnel::Quarnel_Logging_Interface::initialize_logger("log4cpp.property", "quarnel_progress.log", false);
  const quarnel::Log_Stream_Source log = [] {
    return quarnel::Quarnel_Logging_Interface::Log()->getStream(log4cpp::Priority::NOTICE);
  };

  std::vector<std::string> args = handle_args(log, argc, argv);
  const uint32_t cell_stride =
      quarnel::Agent_Cell_Bytes(std::max(sizeof(Test_Agent), sizeof(Deterministic_Agent)));
  Population_Options options;
  try {
    options = read_population_options(args, cell_stride);
  } catch (const Option_Error& e) {
    return refuse(std::string(e.what()) + " (see --help)");
  }
  const uint64_t needed = estimated_agent_bytes(options, cell_stride);
  const uint64_t physical = physical_memory_bytes();
  if (physical != 0 && needed > physical) {
    return refuse("option --num_agents: '" + std::to_string(options.num_agents) + "' needs about " +
                  std::to_string(needed >> 20) + " MiB for the agents alone, more than the " +
                  std::to_string(physical >> 20) + " MiB of physical memory");
  }

  quarnel::World::Instance().Set_Progress_Line(options.progress);
  log() << "num_agents:       " << options.num_agents;
  log() << "agents_per_block: " << options.agents_per_block;
  log() << "threads:          " << options.threads;
  if (options.deterministic) log() << "seed:             " << options.seed;

  const int status = run_population(options);
  quarnel::Log_Profiler_Report(log);
  return status;
}
