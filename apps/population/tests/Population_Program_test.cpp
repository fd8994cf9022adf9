// The population program as a user runs it: exit statuses, error lines and output.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

struct Outcome {
  int status;
  std::string output;  // standard output and standard error together
};

// Runs the program with `args` in a fresh temporary folder.
Outcome Run_Population(const std::string& args) {
  static int run = 0;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("population_test_" + std::to_string(getpid()) + "_" + std::to_string(run++));
  std::filesystem::create_directories(dir);
  const std::string command =
      "cd '" + dir.string() + "' && timeout 300 '" POPULATION_EXE "' " + args + " 2>&1";
  Outcome outcome{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) outcome.output.append(buffer.data(), n);
  const int raw = pclose(pipe);
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  std::filesystem::remove_all(dir);
  return outcome;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

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

}  // namespace
