// The program's --deterministic and --seed options as a user runs them.
#include <gtest/gtest.h>

#include <string>

#include "Program_Runner.h"

namespace {

using population_testing::Contains;
using population_testing::Run_Population;
using Outcome = population_testing::Program_Outcome;

// The rest of the line after "Run fingerprint: ", or "" when there is none.
std::string Fingerprint_Line(const std::string& output) {
  const std::string label = "Run fingerprint: ";
  const size_t at = output.find(label);
  if (at == std::string::npos) return "";
  return output.substr(at + label.size(), output.find('\n', at) - at - label.size());
}

TEST(Deterministic_Program_Test, The_Same_Seed_Logs_The_Same_Fingerprint_On_Any_Workers_And_Blocks) {
  const Outcome one = Run_Population("--deterministic --seed 7 --num_agents 2000 --threads 1");
  const Outcome six =
      Run_Population("--deterministic --seed 7 --num_agents 2000 --threads 6 --agents_per_block 3");
  const Outcome other = Run_Population("--deterministic --seed 8 --num_agents 2000 --threads 2");
  for (const Outcome* run : {&one, &six, &other}) {
    EXPECT_EQ(run->status, 0) << run->output;
    EXPECT_TRUE(Contains(run->output, "Population check passed")) << run->output;
  }
  EXPECT_TRUE(Contains(one.output, "seed:             7")) << one.output;
  EXPECT_TRUE(Contains(one.output, "threads:          1")) << one.output;
  EXPECT_NE(Fingerprint_Line(one.output).find(" over "), std::string::npos) << one.output;
  EXPECT_EQ(Fingerprint_Line(one.output), Fingerprint_Line(six.output));
  EXPECT_NE(Fingerprint_Line(one.output), Fingerprint_Line(other.output));
  // The population run as specified stays as it was: no fingerprint, no seed line.
  const Outcome plain = Run_Population("--num_agents 500");
  EXPECT_EQ(plain.status, 0) << plain.output;
  EXPECT_EQ(Fingerprint_Line(plain.output), "") << plain.output;
  EXPECT_FALSE(Contains(plain.output, "seed:")) << plain.output;
}

TEST(Deterministic_Program_Test, A_Bad_Seed_Gets_One_Line_Naming_It_And_Exit_1) {
  const std::pair<const char*, const char*> cases[] = {
      {"--seed 5", "option --seed: '5' needs --deterministic"},
      {"--deterministic --seed", "option --seed needs a value"},
      {"--deterministic --seed -1",
       "option --seed: '-1' is not a whole number between 0 and 18446744073709551615"},
      {"--deterministic --seed 18446744073709551616", "option --seed: '18446744073709551616' is not a whole"},
      {"--deterministic --threads 0", "option --threads: '0' was refused"},
  };
  for (auto [args, expected] : cases) {
    const Outcome run = Run_Population(args);
    EXPECT_EQ(run.status, 1) << args << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, std::string("population: ") + expected)) << args << "\n" << run.output;
  }
  // The largest seed is accepted.
  EXPECT_EQ(Run_Population("--deterministic --seed 18446744073709551615 --num_agents 300").status, 0);
}

}  // namespace
