// The population run end to end, in-process: the registered googletest test
// Core_Engine_Test.Population_Test_Multi_Threaded comes from CoreEngine_Tests.h.
#include <gtest/gtest-spi.h>

#include "CoreEngine_Tests.h"
#include "Plain_Population.h"

namespace {

using quarnel::World;

// The population a run reaches does not depend on how its agents are packed into blocks:
// with one worker the same generator serves the agents in the same order.
TEST(Population_Run_Test, Block_Size_Does_Not_Change_The_Single_Worker_Result) {
  const Population_Result packed = do_it(2000, 1, 1000, false);
  const Population_Result one_per_block = do_it(2000, 1, 1, false);
  EXPECT_TRUE(packed.passed);
  EXPECT_EQ(packed.population, one_per_block.population);
  EXPECT_DOUBLE_EQ(packed.expected_population, 2000 * std::pow(1.0001, 100));
}

// The model written on the model interface is the same model: on one worker it draws the
// same numbers in the same order and reaches the same population, for any block size.
TEST(Population_Run_Test, The_Plain_Model_Reaches_The_Same_Population_As_The_Original) {
  const Population_Result original = do_it(5000, 1, 1000, false);
  for (int per_block : {1000, 3}) {
    const Population_Result plain = run_plain_population(5000, 1, per_block);
    EXPECT_TRUE(plain.passed);
    EXPECT_EQ(plain.population, original.population) << per_block << " per block";
  }
  const Population_Result two_workers = run_plain_population(5000, 2, 1000);
  EXPECT_TRUE(two_workers.passed);
}

TEST(Population_Run_Test, An_Empty_Population_Fails_The_Check) {
  ::testing::TestPartResultArray failures;
  Population_Result result;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    result = do_it(0, 2, 1000, false);
  }
  EXPECT_FALSE(result.passed);
  EXPECT_EQ(result.population, 0);
  EXPECT_EQ(failures.size(), 1);  // the near-equality assertion, 0/0 is not a number
}

// Counts the live agents held by the agent manager's active blocks.
uint64_t Live_Agents() {
  uint64_t live = 0;
  for (quarnel::Execution_Block* block : Test_Agent::component_manager->_active_blocks)
    live += block->_num_allocated;
  return live;
}

TEST(Population_Run_Test, Dying_Agents_Are_Freed_And_Never_Act_Again) {
  // Draws above the growth factor kill the agent; with this range about half the agents
  // die at each action. Freed cells must never be called again (AddressSanitizer and the
  // engine's free-slot revision guard that) and the live cells must match births - deaths.
  for (int threads : {1, 2, 6}) {
    initialize_population_run(threads);
    distributions.assign(threads, Worker_Distribution(0.99995, 1.00025));
    ::testing::TestPartResultArray failures;
    Population_Result result;
    {
      ::testing::ScopedFakeTestPartResultReporter reporter(
          ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
      result = run_initialized_population(3000, 7);
    }
    EXPECT_FALSE(result.passed);
    EXPECT_GE(result.population, 0);
    EXPECT_EQ(double(Live_Agents()), result.population) << threads << " workers";
    World::Terminate_Simulation();
    distributions.assign(threads, Worker_Distribution());
  }
}

}  // namespace
