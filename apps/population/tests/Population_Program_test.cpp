// The population program as a user runs it: exit statuses, error lines and output.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>

#include "Program_Runner.h"

namespace {

using population_testing::Contains;
using population_testing::Run_Population;
using Outcome = population_testing::Program_Outcome;

TEST(Population_Program_Test, A_Passing_Run_Exits_0_And_Reports_Its_Check_And_The_Profile) {
  Outcome run = Run_Population("--num_agents 1000 --threads 2");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "num_agents:       1000")) << run.output;
  EXPECT_TRUE(Contains(run.output, "agents_per_block: 1000")) << run.output;
  EXPECT_TRUE(Contains(run.output, "threads:          2")) << run.output;
  EXPECT_TRUE(Contains(run.output, "Stop_Turning finished at iteration Rev(100,0)/100")) << run.output;
  EXPECT_TRUE(Contains(run.output, "Population check passed")) << run.output;
  EXPECT_TRUE(Contains(run.output, "QUARNEL Profiler Report")) << run.output;
}

// No agents: no birth can happen, so the population of 0 is exactly the expected 0 and passes
// (0 / 0 is no relative error to compare).
TEST(Population_Program_Test, No_Agents_Expected_And_None_Found_Passes) {
  for (const char* args : {"--num_agents 0", "--num_agents 0 --deterministic"}) {
    Outcome run = Run_Population(args);
    EXPECT_EQ(run.status, 0) << args << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, "Population check passed: population 0, expected 0 (within 5 % required)"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "QUARNEL Profiler Report")) << run.output;
  }
}

// The result line gives the count exactly and the expected value with every digit it has
// (the shortest text that reads back as the same double), in both modes.
TEST(Population_Program_Test, The_Result_Is_Printed_Exactly) {
  for (const char* args : {"--num_agents 1000", "--num_agents 1000 --deterministic"}) {
    Outcome run = Run_Population(args);
    const size_t at = run.output.find("Population check passed: population ");
    ASSERT_NE(at, std::string::npos) << run.output;
    const std::string line = run.output.substr(at, run.output.find('\n', at) - at);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match,
                                 std::regex(R"(Population check passed: population ([0-9]+), expected ([0-9]+\.[0-9]+) \(within 5 % required\))")))
        << line;
    EXPECT_GT(std::stoll(match[1]), 1000) << line;
    EXPECT_EQ(std::stod(match[2]), 1000 * std::pow(1.0001, 100)) << line;
  }
}

TEST(Population_Program_Test, Bad_Input_Gets_One_Line_Naming_Option_And_Value_And_Exit_1) {
  const std::pair<const char*, const char*> cases[] = {
      {"--threads abc", "option --threads: 'abc'"},
      {"--num_agents 12x", "option --num_agents: '12x'"},
      {"--num_agents 99999999999", "option --num_agents: '99999999999'"},
      {"--num_agents", "option --num_agents needs a value"},
      {"--num_agents -5", "option --num_agents: '-5' is negative"},
      {"--agents_per_block 0", "option --agents_per_block: '0' is below 1"},
      {"--agents_per_block 2000000000", "option --agents_per_block: '2000000000' makes a memory block"},
      {"--threads 0", "option --threads: '0' was refused"},
      {"--threads -3", "option --threads: '-3' was refused"},
      {"--thread 4", "unrecognised arguments: --thread 4"},
      {"--num_agents 2000000000", "option --num_agents: '2000000000' needs about"},
      // The option that causes a shortfall is the one named.
      {"--threads 100000000 --num_agents 0", "option --threads: '100000000' "},
      // Outside text is escaped: the error stays one line.
      {"--num_agents \"$(printf '12\\nx')\"", "option --num_agents: '12\\nx' is not a whole number"},
  };
  for (auto [args, expected] : cases) {
    Outcome run = Run_Population(args);
    EXPECT_EQ(run.status, 1) << args << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, std::string("population: ") + expected)) << args << "\n" << run.output;
    EXPECT_FALSE(Contains(run.output, "terminate called")) << args;
  }
  // The engine's own reason is still logged for a negative thread count.
  EXPECT_TRUE(Contains(Run_Population("--threads -3").output, "num_threads not configured"));
}

TEST(Population_Program_Test, Help_Prints_Usage_And_Exits_0) {
  for (const char* flag : {"--help", "-h"}) {
    Outcome run = Run_Population(flag);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "Usage: population")) << run.output;
    EXPECT_TRUE(Contains(run.output, "--agents_per_block")) << run.output;
  }
}

TEST(Population_Program_Test, No_Progress_Is_Accepted_Documented_And_Changes_Nothing_Else) {
  Outcome run = Run_Population("--num_agents 1000 --threads 2 --no_progress");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "Stop_Turning finished at iteration Rev(100,0)/100")) << run.output;
  EXPECT_TRUE(Contains(run.output, "Population check passed")) << run.output;
  EXPECT_FALSE(Contains(run.err, "objects/s")) << run.err;
  Outcome twin = Run_Population("--deterministic --seed 7 --no_progress");
  EXPECT_EQ(twin.status, 0) << twin.output;
  EXPECT_TRUE(Contains(Run_Population("--help").out, "--no_progress")) << "documented in --help";
  Outcome misspelt = Run_Population("--no-progress");
  EXPECT_EQ(misspelt.status, 1);
  EXPECT_TRUE(Contains(misspelt.output, "population: unrecognised arguments: --no-progress"))
      << misspelt.output;
}

// A newline inside an argument cannot forge a line of the log: the argument is logged with
// its control characters escaped, on its own line, and the forged text starts no line.
TEST(Population_Program_Test, An_Argument_Cannot_Forge_A_Log_Line) {
  const std::string forged = "2026-12-09 11:24:47,331 [NOTICE] Population check passed: population 1009";
  Outcome run = Run_Population("--num_agents \"$(printf '1\\n" + forged + "')\"");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "2: 1\\n" + forged + "\n")) << run.output;
  EXPECT_FALSE(Contains(run.output, "\n" + forged)) << run.output;
  EXPECT_EQ(run.output.rfind(forged, 0), std::string::npos);
}

// A result that never reached standard output is an error: one line on standard error and
// status 1, in both modes, whether the device is full or the descriptor closed.
TEST(Population_Program_Test, A_Result_That_Cannot_Reach_Standard_Output_Is_An_Error) {
  for (const char* args : {"--num_agents 500", "--num_agents 500 --deterministic", "--help"}) {
    Outcome full = Run_Population(args, {}, "", "/dev/full");
    EXPECT_EQ(full.status, 1) << args << "\n" << full.err;
    EXPECT_TRUE(Contains(full.err, "population: could not write to standard output: ")) << args << "\n" << full.err;
    Outcome closed = Run_Population(args, {}, "", "&-");
    EXPECT_EQ(closed.status, 1) << args << "\n" << closed.err;
    EXPECT_TRUE(Contains(closed.err, "population: could not write to standard output: it was closed when the "
                                     "program started"))
        << args << "\n" << closed.err;
  }
}

// The memory check takes the smallest limit that applies: under `ulimit -v` a population that
// does not fit in the address space is refused at once, naming the option and the limit, where
// it used to run for many seconds and then fail with std::bad_alloc. The sanitizers cannot run
// under an address-space limit.
TEST(Population_Program_Test, The_Memory_Check_Uses_The_Address_Space_Limit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit is incompatible with the sanitizers";
#else
  Outcome run = Run_Population("--num_agents 100000000", {}, "ulimit -v 2000000");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.err, "population: option --num_agents: '100000000' needs about 6485 MiB for the agents "
                                "alone, more than the 1953 MiB of the address-space limit (ulimit -v)\n"))
      << run.err;
  EXPECT_FALSE(Contains(run.output, "Stop_Turning")) << "refused before the run";
#endif
}

}  // namespace
