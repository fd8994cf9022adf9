// The population run end to end, in-process: the registered googletest test
// Core_Engine_Test.Population_Test_Multi_Threaded comes from CoreEngine_Tests.h.
#include <gtest/gtest-spi.h>

#include "CoreEngine_Tests.h"
#include "Deterministic_Population.h"
#include "Population_Options.h"
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

// No agents: none expected and none found passes (no birth can happen); the relative error
// 0 / 0 is not compared.
TEST(Population_Run_Test, An_Empty_Population_Passes_The_Check) {
  ::testing::TestPartResultArray failures;
  Population_Result result;
  {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    result = do_it(0, 2, 1000, false);
  }
  EXPECT_TRUE(result.passed);
  EXPECT_EQ(result.population, 0);
  EXPECT_EQ(result.expected_population, 0);
  EXPECT_EQ(failures.size(), 0);
  EXPECT_TRUE(run_deterministic_population(0, 2, 1000, 7).passed);
  EXPECT_TRUE(population_check(0, 0));
  EXPECT_FALSE(population_check(1, 0));
  EXPECT_TRUE(population_check(105, 100));
  EXPECT_FALSE(population_check(106, 100));
}

// The memory check names the option that causes the shortfall, against any limit.
TEST(Population_Options_Test, The_Memory_Check_Names_The_Option_That_Needs_The_Memory) {
  const uint32_t stride = quarnel::Cell_Stride(sizeof(Test_Agent));
  const quarnel::modelkit::System_Limit limit{uint64_t(1) << 30, "the address-space limit (ulimit -v)"};
  Population_Options options;
  EXPECT_EQ(memory_problem(options, stride, limit), "");
  options.num_agents = 0;
  options.threads = 100000000;
  const std::string threads = memory_problem(options, stride, limit);
  EXPECT_EQ(threads.rfind("option --threads: '100000000' needs about ", 0), 0u) << threads;
  EXPECT_NE(threads.find(" MiB for the workers' memory blocks alone, more than the 1024 MiB of the address-space "
                         "limit (ulimit -v)"),
            std::string::npos)
      << threads;
  options.num_agents = 100000000;
  options.threads = 1;
  const std::string agents = memory_problem(options, stride, limit);
  EXPECT_EQ(agents.rfind("option --num_agents: '100000000' needs about ", 0), 0u) << agents;
  EXPECT_NE(agents.find(" MiB for the agents alone, more than the 1024 MiB of "), std::string::npos) << agents;
  // Each fits alone, not both together.
  options.num_agents = 10000000;
  options.threads = 10000;
  const Memory_Estimate need = estimated_memory(options, stride);
  ASSERT_LT(need.agents, limit.value);
  ASSERT_LT(need.workers, limit.value);
  ASSERT_GT(need.agents + need.workers, limit.value);
  EXPECT_EQ(memory_problem(options, stride, limit).rfind("options --num_agents '10000000' and --threads '10000' need about ", 0),
            0u);
  EXPECT_EQ(memory_problem(options, stride, {0, "unknown"}), "");
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
    EXPECT_EQ(int64_t(Live_Agents()), result.population) << threads << " workers";
    World::Terminate_Simulation();
    distributions.assign(threads, Worker_Distribution());
  }
}

}  // namespace
