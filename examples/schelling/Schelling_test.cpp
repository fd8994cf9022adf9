// Schelling: the kernel's run equals the sequential reference step by step on any number of
// workers and any block size, the move contest follows its rule, and the program refuses bad
// input with one line and status 1.
#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>

#include <cstdio>
#include <string>

#include "Schelling.h"

namespace schelling {
namespace {

using quarnel::modelkit::Model_Size;

// Property: for a seed and a size, every (workers, block size) gives the reference's
// per-step series exactly, and one run fingerprint.
void Expect_Kernel_Equals_Reference(const Parameters& p, uint64_t seed) {
  const Series expected = reference::Run(p, seed);
  ASSERT_EQ(expected.size(), size_t(p.steps) + 1);
  // Residents must move and become happier, or the comparison would prove little.
  EXPECT_GT(expected[1].moved, 0);
  EXPECT_GT(expected.back().happy, expected[1].happy);
  quarnel::Run_Digest first{};
  for (int threads : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      const kernel::Run_Result result = kernel::Run(p, seed, threads, block_size);
      SCOPED_TRACE(testing::Message() << threads << " workers, blocks of " << block_size);
      ASSERT_EQ(result.series.size(), expected.size());
      for (size_t t = 0; t < expected.size(); ++t) {
        ASSERT_EQ(result.series[t], expected[t])
            << "step " << t << ": kernel happy " << result.series[t].happy << " moved "
            << result.series[t].moved << ", reference happy " << expected[t].happy << " moved "
            << expected[t].moved;
      }
      EXPECT_GT(result.fingerprint.calls, 0u);
      if (first.calls == 0) first = result.fingerprint;
      EXPECT_EQ(result.fingerprint, first);
    }
  }
}

TEST(Schelling_Kernel_Test, Small_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::small), 4);
}

TEST(Schelling_Kernel_Test, Large_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::large), 9);
}

TEST(Schelling_Kernel_Test, Set_Up_Places_Every_Resident_On_Its_Own_Cell_Half_In_Each_Group) {
  const Parameters p = Parameters_For(Model_Size::small);
  std::vector<int32_t> cells;
  const Grid grid = rules::Place_Residents(p, 3, cells);
  EXPECT_EQ(grid.occupied(), 1000);
  int64_t group1 = 0;
  for (int32_t cell = 0; cell < grid.geometry().num_cells(); ++cell) group1 += grid.At(cell) == 1;
  EXPECT_EQ(group1, 500);
  for (size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(grid.At(cells[i]), rules::Group_Of(p, int32_t(i)));
  Parameters crowded = p;
  crowded.residents = 1601;
  EXPECT_THROW(rules::Place_Residents(crowded, 3, cells), std::invalid_argument);
  // The declared rules start from the same grid and no one has moved before the first step.
  EXPECT_EQ(declared::Run(p, 3)[0], Counts{});
}

// A hand-built contest: a 2 x 2 grid, three residents, one empty cell, and a minimum (3 alike
// within radius 1) that no one can reach. Every step all three claim the only empty cell;
// the lowest identity (resident 0) moves each time, the others never do, so resident 0
// swaps between the empty cell and its own, and one resident moves per step.
TEST(Schelling_Kernel_Test, Three_Claims_For_One_Cell_Lowest_Identity_Moves) {
  const Parameters p{2, 3, 1, 3, 3};
  for (uint64_t seed : {1u, 2u, 3u}) {
    std::vector<int32_t> start;
    rules::Place_Residents(p, seed, start);
    int32_t empty = 0 + 1 + 2 + 3;
    for (int32_t c : start) empty -= c;
    for (int threads : {1, 2}) {
      for (int32_t steps : {1, 2, 3}) {
        Parameters q = p;
        q.steps = steps;
        const kernel::Run_Result result = kernel::Run(q, seed, threads, 1);
        for (int32_t t = 1; t <= steps; ++t) EXPECT_EQ(result.series[size_t(t)], (Counts{0, 1}));
        EXPECT_EQ(result.final_cells[0], steps % 2 == 1 ? empty : start[0]) << "seed " << seed;
        EXPECT_EQ(result.final_cells[1], start[1]);
        EXPECT_EQ(result.final_cells[2], start[2]);
      }
    }
  }
}

// The minimum is read during the run: 0 makes everyone happy at once, nobody moves.
TEST(Schelling_Kernel_Test, Minimum_Zero_Makes_Everyone_Happy) {
  Parameters p = Parameters_For(Model_Size::small);
  p.min_to_be_happy = 0;
  p.steps = 3;
  const Series series = kernel::Run(p, 8, 2, 7).series;
  for (size_t t = 1; t < series.size(); ++t) EXPECT_EQ(series[t], (Counts{1000, 0}));
}

// The program: one line on standard error and status 1 for bad input.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(SCHELLING_PROGRAM, args);
}

TEST(Schelling_Program_Test, Bad_Input_Gives_One_Line_And_Status_1) {
  for (const char* args : {"--size tiny", "--threads -1", "--seed abc", "--steps 0", "--nonsense 3",
                           "--csv /nonexistent-folder/x.csv --steps 1"}) {
    const quarnel::modelkit::Program_Outcome outcome = Run_Program(args);
    EXPECT_EQ(outcome.status, 1) << args;
    ASSERT_FALSE(outcome.err.empty()) << args;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << args << ": " << outcome.err;
    EXPECT_EQ(outcome.err.rfind("schelling: ", 0), 0u) << outcome.err;
  }
  EXPECT_EQ(Run_Program("--help").status, 0);
}

}  // namespace
}  // namespace schelling
