// Wolf-sheep-grass: the kernel's run equals the sequential reference step by step on any
// number of workers and any block size, the contests follow their rules, and the program
// refuses bad input with one line and status 1.
#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>

#include <cstdio>
#include <string>

#include "Wolf_Sheep_Reference.h"

namespace wolf_sheep {
namespace {

using quarnel::modelkit::Model_Size;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int32_t kLargeSteps = 12;  // sanitizers run 5-20x slower: fewer steps, same matrix
#else
constexpr int32_t kLargeSteps = 100;
#endif

// Property: for a seed and a size, every (workers, block size) gives the reference's
// per-step series exactly, and one run fingerprint.
void Expect_Kernel_Equals_Reference(Parameters p, uint64_t seed) {
  const Series expected = reference::Run(p, seed);
  ASSERT_EQ(expected.size(), size_t(p.steps) + 1);
  // The population must live and change, or the comparison would prove little.
  EXPECT_NE(expected.back(), expected.front());
  EXPECT_GT(expected.back().sheep + expected.back().wolves, 0);
  quarnel::Run_Digest first{};
  for (int threads : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      const kernel::Run_Result result = kernel::Run(p, seed, threads, block_size);
      SCOPED_TRACE(testing::Message() << threads << " workers, blocks of " << block_size);
      ASSERT_EQ(result.series.size(), expected.size());
      for (size_t t = 0; t < expected.size(); ++t) {
        ASSERT_EQ(result.series[t], expected[t])
            << "step " << t << ": kernel sheep " << result.series[t].sheep << " wolves "
            << result.series[t].wolves << " grass " << result.series[t].grass << ", reference sheep "
            << expected[t].sheep << " wolves " << expected[t].wolves << " grass " << expected[t].grass;
      }
      EXPECT_GT(result.fingerprint.calls, 0u);
      if (first.calls == 0) first = result.fingerprint;
      EXPECT_EQ(result.fingerprint, first);
    }
  }
}

TEST(Wolf_Sheep_Kernel_Test, Small_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::small), 11);
}

TEST(Wolf_Sheep_Kernel_Test, Large_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Parameters p = Parameters_For(Model_Size::large);
  p.steps = kLargeSteps;
  Expect_Kernel_Equals_Reference(p, 5);
}

// Small and large grids push moved animals straight into their cells' lanes; huge ones stage
// them by row. Staging on a small grid takes the huge size's path through both versions: the
// same series as without it, on every worker count and block size.
TEST(Wolf_Sheep_Kernel_Test, Staged_Moves_Give_The_Same_Series) {
  Parameters p = Parameters_For(Model_Size::small);
  const Series unstaged = reference::Run(p, 11);
  p.stage_from_cells = 0;
  EXPECT_EQ(reference::Run(p, 11), unstaged);
  Expect_Kernel_Equals_Reference(p, 11);
}

// Another seed gives another history: the seed reaches the draws.
TEST(Wolf_Sheep_Kernel_Test, Seeds_Change_The_History_And_Set_Up_Matches_The_Parameters) {
  Parameters p = Parameters_For(Model_Size::small);
  p.steps = 30;
  const Series a = reference::Run(p, 1), b = reference::Run(p, 2);
  EXPECT_NE(a, b);
  EXPECT_EQ(a[0].sheep, 60);
  EXPECT_EQ(a[0].wolves, 40);
  // About half of the 625 cells start grown.
  EXPECT_NEAR(double(a[0].grass), 312.5, 60);
  // The declared rules start from the same set-up.
  EXPECT_EQ(declared::Run(p, 1)[0], a[0]);
}

// Hand-built cells for the contests, with the rule functions both runs call.
class Contest_Test : public testing::Test {
 protected:
  using Animal = reference::Animal;
  Contest_Test() : sheep_at(Grid_Geometry(2, 1)), wolves_at(Grid_Geometry(2, 1)) { p.regrowth = 7; }
  void Put_Sheep(Animal& a) { sheep_at.Push_Alone(a._cell, &a); }
  void Put_Wolf(Animal& a) { wolves_at.Push_Alone(a._cell, &a); }
  Parameters p;
  reference::Animal_Grid sheep_at, wolves_at;
  std::vector<Animal*> wolf_scratch, prey_scratch;
};

// Three sheep on one grown cell: only the lowest identity eats, the grass starts its
// countdown, and the cell next door (no grass) feeds nobody.
TEST_F(Contest_Test, Lowest_Identity_Sheep_Eats_The_Grass) {
  Animal s1{30, 0, 2}, s2{10, 0, 2}, s3{20, 0, 2}, s4{5, 1, 2};
  for (Animal* a : {&s1, &s2, &s3, &s4}) Put_Sheep(*a);
  int32_t grown = 0, not_grown = 3;
  EXPECT_TRUE(rules::Feed_Sheep(sheep_at, 0, grown, p));
  EXPECT_FALSE(rules::Feed_Sheep(sheep_at, 1, not_grown, p));
  EXPECT_EQ(s2._energy, 7.0f);
  EXPECT_EQ(s1._energy, 2.0f);
  EXPECT_EQ(s3._energy, 2.0f);
  EXPECT_EQ(s4._energy, 2.0f);
  EXPECT_EQ(grown, 7);
  EXPECT_EQ(not_grown, 3);
  // Eaten grass feeds no one until it regrows.
  EXPECT_FALSE(rules::Feed_Sheep(sheep_at, 0, grown, p));
  EXPECT_EQ(s2._energy, 7.0f);
}

// Three wolves, two living sheep and a dead one: the two lowest wolves eat the two lowest
// living sheep, one each; the third wolf gets nothing and the dead sheep is not eaten again.
TEST_F(Contest_Test, Wolves_Pair_With_Living_Sheep_By_Identity) {
  Animal w1{300, 0, 4}, w2{100, 0, 4}, w3{200, 0, 4};
  Animal s1{50, 0, 1}, s2{40, 0, 1}, dead{10, 0, 1};
  dead._alive = false;
  for (Animal* a : {&w1, &w2, &w3}) Put_Wolf(*a);
  for (Animal* a : {&s1, &s2, &dead}) Put_Sheep(*a);
  rules::Feed_Wolves(wolves_at, sheep_at, 0, wolf_scratch, prey_scratch, p);
  EXPECT_EQ(w2._energy, 4 + p.wolf_gain);
  EXPECT_EQ(w3._energy, 4 + p.wolf_gain);
  EXPECT_EQ(w1._energy, 4.0f);
  EXPECT_FALSE(s1._alive);
  EXPECT_FALSE(s2._alive);
  // One wolf, two sheep: one sheep eaten, the lower one.
  Animal lone{7, 1, 4}, t1{90, 1, 1}, t2{80, 1, 1};
  Put_Wolf(lone);
  Put_Sheep(t1);
  Put_Sheep(t2);
  rules::Feed_Wolves(wolves_at, sheep_at, 1, wolf_scratch, prey_scratch, p);
  EXPECT_EQ(lone._energy, 4 + p.wolf_gain);
  EXPECT_TRUE(t1._alive);
  EXPECT_FALSE(t2._alive);
}

// On a one-cell grid nobody can move: every animal meets every other in the same cell. Sheep
// that cannot eat and have too little energy starve in the first step, in both runs alike.
TEST(Wolf_Sheep_Kernel_Test, One_Cell_Grid_Equals_Reference) {
  Parameters p;
  p.width = p.height = 1;
  p.sheep = 30;
  p.wolves = 12;
  p.steps = 15;
  const Series expected = reference::Run(p, 3);
  for (int threads : {1, 2}) EXPECT_EQ(kernel::Run(p, 3, threads, 7).series, expected);
  // A wolf starts with at least 1 and dies only below 0: none dies in the first step.
  EXPECT_GE(expected[1].wolves, 12);
}

// The program: one line on standard error and status 1 for bad input.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(WOLF_SHEEP_PROGRAM, args);
}

TEST(Wolf_Sheep_Program_Test, Bad_Input_Gives_One_Line_And_Status_1) {
  for (const char* args : {"--size medium", "--threads 0", "--steps x", "--bogus", "--block_size",
                           "--csv /nonexistent-folder/x.csv --steps 1"}) {
    const quarnel::modelkit::Program_Outcome outcome = Run_Program(args);
    EXPECT_EQ(outcome.status, 1) << args;
    ASSERT_FALSE(outcome.err.empty()) << args;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << args << ": " << outcome.err;
    EXPECT_EQ(outcome.err.rfind("wolf_sheep: ", 0), 0u) << outcome.err;
  }
  EXPECT_EQ(Run_Program("--help").status, 0);
}

}  // namespace
}  // namespace wolf_sheep
