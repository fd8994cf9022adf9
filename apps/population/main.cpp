// The population program: one births-and-deaths run with the values of the command line
// (with --deterministic, the run's deterministic twin, whose fingerprint is logged too).
// Exit status 0 when the population check passes, 1 when it fails, the input is bad or standard
// output could not be written; a run stopped by SIGINT or SIGTERM ends the program by that
// signal (status 130 or 143 to a shell) after logging where it stopped (Program_Process.h).
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/System_Limits.h>

#include <algorithm>
#include <charconv>
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

using quarnel::modelkit::Finish_Process;

int refuse(const std::string& message) {
  std::cerr << "population: " << quarnel::modelkit::Printable(message) << std::endl;
  return 1;
}

// The population run or, with --deterministic, its twin.
Population_Result run_model(const Population_Options& options, const Deterministic_Checkpoints& checkpoints) {
  if (!options.deterministic)
    return do_it(options.num_agents, options.threads, options.agents_per_block, true);
  const Deterministic_Result twin = run_deterministic_population(
      options.num_agents, options.threads, options.agents_per_block, options.seed, checkpoints);
  return {twin.population, twin.expected_population, twin.passed, twin.interrupted, twin.stopped_at};
}

// `value` in the shortest text that reads back as the same double ("1010.0496620928754", "0").
std::string exact_text(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return error == std::errc() ? std::string(text, end) : std::to_string(value);
}

// Runs the population and reports its outcome; 0 when the check passes.
int run_population(const Population_Options& options) {
  Population_Result result;
  Deterministic_Checkpoints checkpoints{options.checkpoint, options.checkpoint_every, nullptr};
  try {
    // Before the run, not when a stop signal needs the checkpoint.
    if (!options.checkpoint.empty()) quarnel::Check_Checkpoint_Path(options.checkpoint);
    if (!options.resume.empty()) {
      checkpoints.resume =
          read_deterministic_checkpoint(options.resume, options.num_agents, options.seed,
                                        uint32_t(population_configuration(1).num_iterations));
    }
    result = run_model(options, checkpoints);
  } catch (const quarnel::Checkpoint_Error& e) {
    return refuse(e.what());
  } catch (const std::exception& e) {
    if (options.threads < 1) {
      return refuse("option --threads: '" + std::to_string(options.threads) + "' was refused: " + e.what());
    }
    return refuse("the run failed: " + quarnel::Describe_Exception(e));
  }
  if (result.interrupted) {
    const int signal = quarnel::modelkit::Stop_Signal();
    quarnel::Quarnel_Logging_Interface::warn("Run interrupted by " + quarnel::modelkit::Signal_Name(signal) +
                                             " at iteration " + std::to_string(result.stopped_at) + " of " +
                                             std::to_string(quarnel::World::Instance().num_iterations()) +
                                             " (population " + std::to_string(result.population) +
                                             "): no population check");
    return 128 + signal;
  }
  quarnel::Quarnel_Logging_Interface::notice(
      std::string("Population check ") + (result.passed ? "passed" : "FAILED") + ": population " +
      std::to_string(result.population) + ", expected " + exact_text(result.expected_population) +
      " (within 5 % required)");
  return result.passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  quarnel::modelkit::Prepare_Process("population");
  quarnel::Calibrate_Profiler();
  if (wants_help(argc, argv)) {
    std::cout << usage_text();
    return Finish_Process("population", 0);
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
    return Finish_Process("population", refuse(std::string(e.what()) + " (see --help)"));
  }
  // Before anything is allocated for the workers or the agents: what the system cannot give.
  if (const std::string problem = quarnel::modelkit::Thread_Count_Problem(options.threads);
      !problem.empty()) {
    return Finish_Process("population", refuse(problem));
  }
  if (const std::string problem = memory_problem(options, cell_stride, quarnel::modelkit::Memory_Limit());
      !problem.empty()) {
    return Finish_Process("population", refuse(problem));
  }

  quarnel::World::Instance().Set_Progress_Line(options.progress);
  log() << "num_agents:       " << options.num_agents;
  log() << "agents_per_block: " << options.agents_per_block;
  log() << "threads:          " << options.threads;
  if (options.deterministic) log() << "seed:             " << options.seed;

  const int status = run_population(options);
  quarnel::Log_Profiler_Report(log);
  return Finish_Process("population", status);
}
