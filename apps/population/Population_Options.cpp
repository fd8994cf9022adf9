#include "Population_Options.h"

#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>
#include <utility>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/modelkit/Program_Process.h>

#include "Command_Line.h"

namespace {

// The value of option `name` as an int, or `fallback` when the option is absent.
int read_int_option(std::vector<std::string>& args, const std::string& name, int fallback) {
  auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end()) return fallback;
  if (std::next(found) == args.end()) throw Option_Error("option " + name + " needs a value");
  const std::string value = *std::next(found);
  try {
    return get_arg_value<int>(args, name, fallback);
  } catch (const boost::bad_lexical_cast&) {
    throw Option_Error("option " + name + ": '" + quarnel::modelkit::Printable(value) +
                       "' is not a whole number between -2147483648 and 2147483647");
  }
}

// Whether the bare flag `name` is present; consumes every occurrence.
bool read_flag(std::vector<std::string>& args, const std::string& name) {
  const auto end = std::remove(args.begin(), args.end(), name);
  const bool present = end != args.end();
  args.erase(end, args.end());
  return present;
}

// The value of option --seed as an unsigned 64-bit number, or `fallback` when it is absent.
uint64_t read_seed_option(std::vector<std::string>& args, uint64_t fallback, bool& present) {
  auto found = std::find(args.begin(), args.end(), "--seed");
  present = found != args.end();
  if (!present) return fallback;
  if (std::next(found) == args.end()) throw Option_Error("option --seed needs a value");
  const std::string value = *std::next(found);
  uint64_t seed = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  const auto [end, error] = std::from_chars(first, last, seed);
  if (value.empty() || !std::isdigit(static_cast<unsigned char>(value.front())) || error != std::errc() ||
      end != last) {
    throw Option_Error("option --seed: '" + quarnel::modelkit::Printable(value) +
                       "' is not a whole number between 0 and 18446744073709551615");
  }
  args.erase(found, std::next(found, 2));
  return seed;
}

// The value of option `name` as a file name, or "" when the option is absent.
std::string read_file_option(std::vector<std::string>& args, const std::string& name) {
  auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end()) return "";
  if (std::next(found) == args.end()) throw Option_Error("option " + name + " needs a value");
  const std::string value = *std::next(found);
  if (value.empty()) throw Option_Error("option " + name + ": the file name is empty");
  args.erase(found, std::next(found, 2));
  return value;
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + quarnel::modelkit::Printable(a);
  return text;
}

}  // namespace

bool wants_help(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") return true;
  }
  return false;
}

std::string usage_text() {
  return "Usage: population [--num_agents N] [--agents_per_block B] [--threads T] [--deterministic [--seed "
         "S]]\n"
         "                  [--no_progress] [--checkpoint FILE [--checkpoint-every N]] [--resume FILE]\n"
         "  --num_agents N        agents at the start (default 1000, at least 0)\n"
         "  --agents_per_block B  cells per memory block of the agent type (default 1000, at least 1)\n"
         "  --threads T           worker threads (default 1, at least 1)\n"
         "  --deterministic       run the deterministic twin: the same model, whose population and run\n"
         "                        fingerprint depend only on the seed, not on T or B\n"
         "  --seed S              the twin's seed (default 12345, 0 to 18446744073709551615)\n"
         "  --no_progress         no progress line; without it a run longer than about a second shows\n"
         "                        one on standard error when that is a terminal\n"
         "  --checkpoint FILE     with --deterministic: save the run's whole state to FILE when a stop\n"
         "                        signal ends it, and with --checkpoint-every N also at the end of every\n"
         "                        Nth iteration (written to FILE.tmp, synced, then renamed)\n"
         "  --resume FILE         with --deterministic: continue the run saved in FILE from its iteration,\n"
         "                        with the same seed and --num_agents (T and B may differ); the population\n"
         "                        and the run fingerprint are those of a run that never stopped\n"
         "  -h, --help            this text\n"
         "Every agent acts once per iteration for 100 iterations and gives birth with probability 0.0001.\n"
         "The run passes when the final population is within 5 % of N * 1.0001^100 (0 for N = 0); the exit\n"
         "status is 0 when it passes, 1 when it does not, when an option is wrong or when standard output\n"
         "cannot be written, or a checkpoint is refused. SIGINT or SIGTERM stops the run at the end of its "
         "iteration (a second one at\n"
         "once), without a check, writes the checkpoint when --checkpoint is given, and ends the program by\n"
         "that signal (status 130 or 143 in a shell).\n";
}

Population_Options read_population_options(std::vector<std::string>& args, uint32_t cell_stride) {
  Population_Options options;
  options.num_agents = read_int_option(args, "--num_agents", options.num_agents);
  options.agents_per_block = read_int_option(args, "--agents_per_block", options.agents_per_block);
  options.threads = read_int_option(args, "--threads", options.threads);
  options.deterministic = read_flag(args, "--deterministic");
  options.progress = !read_flag(args, "--no_progress");
  bool seed_given = false;
  options.seed = read_seed_option(args, options.seed, seed_given);
  options.checkpoint = read_file_option(args, "--checkpoint");
  const bool every_given = std::find(args.begin(), args.end(), "--checkpoint-every") != args.end();
  options.checkpoint_every = read_int_option(args, "--checkpoint-every", 0);
  options.resume = read_file_option(args, "--resume");
  if (!args.empty()) throw Option_Error("unrecognised arguments: " + joined(args));
  if (options.num_agents < 0) {
    throw Option_Error("option --num_agents: '" + std::to_string(options.num_agents) + "' is negative");
  }
  if (options.agents_per_block < 1) {
    throw Option_Error("option --agents_per_block: '" + std::to_string(options.agents_per_block) +
                       "' is below 1");
  }
  if (seed_given && !options.deterministic) {
    throw Option_Error("option --seed: '" + std::to_string(options.seed) +
                       "' needs --deterministic (the population run seeds its workers itself)");
  }
  for (const auto& [name, given] : {std::pair{"--checkpoint", !options.checkpoint.empty()},
                                    std::pair{"--resume", !options.resume.empty()}}) {
    if (given && !options.deterministic) {
      throw Option_Error(std::string("option ") + name +
                         " needs --deterministic (the population run's draws depend on its workers)");
    }
  }
  if (every_given && options.checkpoint_every < 1) {
    throw Option_Error("option --checkpoint-every: '" + std::to_string(options.checkpoint_every) +
                       "' is below 1");
  }
  if (every_given && options.checkpoint.empty())
    throw Option_Error("option --checkpoint-every needs --checkpoint FILE");
  if (!quarnel::Agent_Block_Shape(uint64_t(options.agents_per_block), cell_stride)) {
    throw Option_Error("option --agents_per_block: '" + std::to_string(options.agents_per_block) +
                       "' makes a memory block larger than 4 GiB");
  }
  return options;
}

Memory_Estimate estimated_memory(const Population_Options& options, uint32_t cell_stride) {
  // The expected final population plus the 5 % the check allows.
  const double agents = std::ceil(options.num_agents * std::pow(1.0001, 100) * 1.05);
  const quarnel::Block_Shape shape =
      *quarnel::Agent_Block_Shape(uint64_t(options.agents_per_block), cell_stride);
  // A block per worker: each starts one of its own for its newborns.
  return {uint64_t(std::ceil(agents / shape.cells) * shape.bytes),
          uint64_t(double(std::max(options.threads, 1)) * shape.bytes)};
}

std::string memory_problem(const Population_Options& options, uint32_t cell_stride,
                           const quarnel::modelkit::System_Limit& limit) {
  const Memory_Estimate need = estimated_memory(options, cell_stride);
  if (limit.value == 0 || need.agents + need.workers <= limit.value) return "";
  auto mib = [](uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; };
  const std::string than = ", more than the " + mib(limit.value) + " of " + limit.name;
  if (need.workers > limit.value) {
    return "option --threads: '" + std::to_string(options.threads) + "' needs about " + mib(need.workers) +
           " for the workers' memory blocks alone" + than;
  }
  if (need.agents > limit.value) {
    return "option --num_agents: '" + std::to_string(options.num_agents) + "' needs about " +
           mib(need.agents) + " for the agents alone" + than;
  }
  return "options --num_agents '" + std::to_string(options.num_agents) + "' and --threads '" +
         std::to_string(options.threads) + "' need about " + mib(need.agents + need.workers) +
         " together for the agents and the workers' memory blocks" + than;
}
