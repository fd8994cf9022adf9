// The population program's options, their validation and its usage text.
//
// Every failure is an Option_Error whose what() is one line naming the option and the
// value, ready to print; nothing here ends the process. Main-thread only.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarnel/modelkit/System_Limits.h>

struct Population_Options {
  int num_agents = 1000;
  int agents_per_block = 1000;
  int threads = 1;
  // The deterministic twin of the run (Deterministic_Population.h) with `seed`.
  bool deterministic = false;
  uint64_t seed = 12345;
  // The run's progress line on standard error (shown only on a terminal); --no_progress.
  bool progress = true;
  // The twin's checkpoints (Deterministic_Population.h): where they go (empty: none), every how
  // many iterations (0: on a stop signal only), and the checkpoint to continue from (empty: a
  // new run).
  std::string checkpoint;
  int checkpoint_every = 0;
  std::string resume;
};

class Option_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when "-h" or "--help" is among argv[1..argc-1].
bool wants_help(int argc, char** argv);
std::string usage_text();

// Reads --num_agents, --agents_per_block, --threads, --deterministic, --seed, --no_progress,
// --checkpoint, --checkpoint-every and --resume from `args`, consuming them, and checks what
// the program can run: num_agents >= 0, agents_per_block >= 1 and small enough that one block
// of `cell_stride`-byte cells fits in 4 GiB, a seed from 0 to 2^64 - 1 and only with
// --deterministic, checkpoints only with --deterministic (the population run's draws depend
// on its workers, so nothing could continue it identically), checkpoint-every >= 1 and only
// with --checkpoint, file names not empty, and nothing left over. The thread count is the
// engine's to judge.
Population_Options read_population_options(std::vector<std::string>& args, uint32_t cell_stride);

// Bytes that a run needs at its end, with the block layout of the engine and `cell_stride`
// bytes per agent: for the agents of a run starting with `num_agents` (the expected final
// population and the 5 % the check allows), and for the workers (a block each, which each
// starts for its newborns).
struct Memory_Estimate {
  uint64_t agents;
  uint64_t workers;
};
Memory_Estimate estimated_memory(const Population_Options& options, uint32_t cell_stride);

// "" when the run's memory fits in `limit` (quarnel::modelkit::Memory_Limit(): the smallest of
// physical memory, ulimit -v and the cgroup's limit); otherwise one line that names the option
// which causes the shortfall (--threads when the workers' blocks alone exceed the limit,
// --num_agents when the agents alone do, both when only together), what it needs and the limit.
std::string memory_problem(const Population_Options& options, uint32_t cell_stride,
                           const quarnel::modelkit::System_Limit& limit);
