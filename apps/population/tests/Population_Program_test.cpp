// The population program as a user runs it: exit statuses, error lines and output.
#include <gtest/gtest.h>

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

TEST(Population_Program_Test, A_Failed_Check_Exits_1_After_The_Profile) {
  Outcome run = Run_Population("--num_agents 0");
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "Population check FAILED: population 0, expected 0")) << run.output;
  EXPECT_TRUE(Contains(run.output, "QUARNEL Profiler Report")) << run.output;
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

}  // namespace
