#include "Population_Options.h"

#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <sstream>

#include "Block_Sizing.h"
#include "Command_Line.h"
#include "Execution_Block.h"

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
    throw Option_Error("option " + name + ": '" + value +
                       "' is not a whole number between -2147483648 and 2147483647");
  }
}

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
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
  return "Usage: population [--num_agents N] [--agents_per_block B] [--threads T]\n"
         "  --num_agents N        agents at the start (default 1000, at least 0)\n"
         "  --agents_per_block B  cells per memory block of the agent type (default 1000, at least 1)\n"
         "  --threads T           worker threads (default 1, at least 1)\n"
         "  -h, --help            this text\n"
         "Every agent acts once per iteration for 100 iterations and gives birth with probability 0.0001.\n"
         "The run passes when the final population is within 5 % of N * 1.0001^100; the exit status is\n"
         "0 when it passes, 1 when it does not or when an option is wrong.\n";
}

Population_Options read_population_options(std::vector<std::string>& args, uint32_t cell_stride) {
  Population_Options options;
  options.num_agents = read_int_option(args, "--num_agents", options.num_agents);
  options.agents_per_block = read_int_option(args, "--agents_per_block", options.agents_per_block);
  options.threads = read_int_option(args, "--threads", options.threads);
  if (!args.empty()) throw Option_Error("unrecognised arguments: " + joined(args));
  if (options.num_agents < 0) {
    throw Option_Error("option --num_agents: '" + std::to_string(options.num_agents) + "' is negative");
  }
  if (options.agents_per_block < 1) {
    throw Option_Error("option --agents_per_block: '" + std::to_string(options.agents_per_block) +
                       "' is below 1");
  }
  // One block must fit in 32 bits, with room for the page rounding.
  const uint64_t block_need =
      uint64_t(options.agents_per_block) * cell_stride + quarnel::Execution_Block::_data_offset;
  if (block_need > uint64_t(UINT32_MAX) - uint64_t(quarnel::__page_size)) {
    throw Option_Error("option --agents_per_block: '" + std::to_string(options.agents_per_block) +
                       "' makes a memory block larger than 4 GiB");
  }
  return options;
}

uint64_t estimated_agent_bytes(const Population_Options& options, uint32_t cell_stride) {
  // The expected final population plus the 5 % the check allows.
  const double agents = std::ceil(options.num_agents * std::pow(1.0001, 100) * 1.05);
  const quarnel::Block_Shape shape = quarnel::Block_Size(uint32_t(options.agents_per_block), cell_stride,
                                                         quarnel::Execution_Block::_data_offset);
  const double blocks = std::ceil(agents / shape.cells) + std::max(options.threads, 1);
  return uint64_t(blocks * shape.bytes);
}

uint64_t physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  return uint64_t(pages) * uint64_t(page);
}
