// The command line shared by the example models:
//   <model> [--size small|large|huge] [--threads T] [--seed S] [--steps N] [--block_size B]
//           [--csv FILE] [--help]
//
// Every failure is a Model_Option_Error whose what() is one line naming the option and the
// value; Run_Model_Program turns it into "<model>: <message> (see --help)" on standard error
// and exit status 1, so a model's main is one call. Nothing here ends the process by itself.
// Main-thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel::modelkit {

enum class Model_Size { small, large, huge };

struct Model_Options {
  Model_Size size = Model_Size::small;
  int threads = 1;        // worker threads, at least 1
  uint64_t seed = 1;      // the seed of every random draw of the run
  int steps = 0;          // 0: the model's own number of steps
  int block_size = 1000;  // objects per memory block of every type, at least 1
  std::string csv;        // where the per-step series goes; empty: nowhere
};

class Model_Option_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "small", "large" or "huge".
std::string to_string(Model_Size size);

// The options of `args` (argv[1..]); a Model_Option_Error for an unknown option, a missing or
// malformed value, threads or block size below 1, steps below 1, or a repeated option.
Model_Options Read_Model_Options(const std::vector<std::string>& args);

// The usage text of model `name`; `about` describes the model in a few lines.
std::string Model_Usage(const std::string& name, const std::string& about);

// A model program's main. Prepares the process first (Program_Process.h: standard
// descriptors, SIGXFSZ, SIGINT and SIGTERM); prints the usage for -h/--help (status 0);
// refuses bad options and a thread count that the system cannot start (System_Limits.h) with
// one line (status 1); otherwise returns run(options). A Model_Option_Error escaping `run` (an
// option that the run found too large, before allocating for it) is printed as
// "<name>: <what>", any other std::exception as "<name>: the run failed: <what>" (with the
// causes nested in it), both with status 1. Ends with Finish_Process: a standard output that
// failed turns status 0 into 1, and a run that `run` reports as interrupted (its
// Interrupted_Status) ends the process by the signal.
int Run_Model_Program(int argc, char** argv, const std::string& name, const std::string& about,
                      const std::function<int(const Model_Options&)>& run);

}  // namespace quarnel::modelkit
