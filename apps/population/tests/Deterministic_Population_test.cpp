// The deterministic twin of the population run, in-process.
//
// Property: for a given seed the twin's population and run fingerprint are the same on 1, 2
// and 6 workers and for 1, 3 and 1000 agents per block, and the population passes the 5 %
// check. The harness is first checked against a sequential model of the same rule that does
// not use the engine at all.
#include "Deterministic_Population.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using quarnel::Child_Identity;
using quarnel::Counter_Random;
using quarnel::Revision;
using quarnel::Root_Identity;
using quarnel::Run_Digest;

constexpr int kAgents = 3000;

// The twin's history computed directly: every living agent acts once per iteration, draws
// from (seed, identity, revision), and a newborn first acts in the next iteration.
std::pair<int64_t, Run_Digest> Sequential_Model(int num_agents, uint64_t seed) {
  std::vector<uint64_t> living;
  for (int m = 0; m < num_agents; ++m) living.push_back(Root_Identity(uint64_t(m)));
  Run_Digest digest;
  for (uint32_t t = 0; t < 100; ++t) {
    std::vector<uint64_t> born;
    for (uint64_t identity : living) {
      digest.Add(identity, Revision(t, 0));
      if (Counter_Random(seed, identity, Revision(t, 0)).Uniform(0) <= 1.0001 - 1.0) {
        born.push_back(Child_Identity(identity, Revision(t, 0)));
      }
    }
    living.insert(living.end(), born.begin(), born.end());
  }
  return {int64_t(living.size()), digest};
}

TEST(Deterministic_Population_Test, One_Worker_Matches_The_Sequential_Model) {
  const auto [population, digest] = Sequential_Model(kAgents, 77);
  const Deterministic_Result run = run_deterministic_population(kAgents, 1, 1000, 77);
  EXPECT_EQ(run.population, population);
  EXPECT_EQ(run.fingerprint, digest);
  EXPECT_GT(population, kAgents);  // births happened, so newborn identities were exercised
  EXPECT_TRUE(run.passed);
  EXPECT_FALSE(quarnel::Run_Fingerprint::Instance().on());  // back to its default
}

TEST(Deterministic_Population_Test, Population_And_Fingerprint_Do_Not_Depend_On_Workers_Or_Block_Size) {
  const Deterministic_Result reference = run_deterministic_population(kAgents, 1, 1000, 2024);
  EXPECT_TRUE(reference.passed);
  EXPECT_GT(reference.population, kAgents);
  EXPECT_DOUBLE_EQ(reference.expected_population, kAgents * std::pow(1.0001, 100));
  for (int threads : {1, 2, 6}) {
    for (int per_block : {1, 3, 1000}) {
      const Deterministic_Result run = run_deterministic_population(kAgents, threads, per_block, 2024);
      EXPECT_EQ(run.population, reference.population) << threads << " workers, " << per_block << " per block";
      EXPECT_EQ(run.fingerprint, reference.fingerprint)
          << threads << " workers, " << per_block << " per block";
      EXPECT_TRUE(run.passed) << threads << " workers, " << per_block << " per block";
    }
  }
}

TEST(Deterministic_Population_Test, Different_Seeds_Give_Different_Fingerprints) {
  const Run_Digest a = run_deterministic_population(kAgents, 2, 3, 1).fingerprint;
  const Run_Digest b = run_deterministic_population(kAgents, 2, 3, 2).fingerprint;
  const Run_Digest c = run_deterministic_population(kAgents, 2, 3, 3).fingerprint;
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(b, c);
}

}  // namespace
