// Revisions, time conversions and configuration checks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <quarnel/Globals.h>
#include <quarnel/Simulation_Control.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

TEST(Revision_Test, Orders_By_Iteration_Then_Sub_Iteration) {
  EXPECT_LT(Revision(1, 0), Revision(1, 5));
  EXPECT_LT(Revision(1, 5), Revision(2, 0));
  EXPECT_LT(Revision(2, 0), __revision_omega);
  EXPECT_LT(__revision_omega, __revision_free);
  EXPECT_LT(Revision(0, 4294967295u), Revision(1, 0));  // sub-iteration is the low half
  EXPECT_EQ(__revision_omega._revision, 0xFFFFFFFF00000000ull);
  EXPECT_EQ(__revision_free._revision, ~0ull);
  EXPECT_EQ(min(Revision(3, 1), Revision(3, 0)), Revision(3, 0));
  Revision r(7, 9);
  EXPECT_EQ(r._iteration, 7u);
  EXPECT_EQ(r._sub_iteration, 9u);
  EXPECT_EQ(r._revision, (7ull << 32) | 9u);
}

// A revision a model writes with signed numbers (literals, an int day) is checked: a negative
// half, or one past 2^32 - 1, is refused instead of becoming a far future that never comes.
// Unsigned halves are taken as they always were, and every other use is unchanged.
TEST(Revision_Test, Negative_Halves_Written_By_A_Model_Are_Refused) {
  const std::string reason = "; iterations and sub-iterations are whole numbers from 0 to 4294967295";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(testing::Thrown_Text([] { Revision(-1, 0); }),
            "An exception occurred, check your logs: Revision: the iteration is -1" + reason);
  EXPECT_EQ(testing::Thrown_Text([] { Revision(-3, 0); }),
            "An exception occurred, check your logs: Revision: the iteration is -3" + reason);
  const int day = -2;
  EXPECT_EQ(testing::Thrown_Text([&] { Revision(5u, day); }),
            "An exception occurred, check your logs: Revision: the sub-iteration is -2" + reason);
  const int64_t far = int64_t(1) << 32;
  EXPECT_EQ(testing::Thrown_Text([&] { Revision(far, 0); }),
            "An exception occurred, check your logs: Revision: the iteration is 4294967296" + reason);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("RUNTIME_ERROR at libs/core/Globals.cpp:"), std::string::npos) << log;

  // Signed values in range, unsigned values, sentinels and constants are as before.
  static_assert(Revision(3, 4)._revision == ((3ull << 32) | 4u), "a constant expression still");
  EXPECT_EQ(Revision(int64_t(4294967295), 0), __revision_omega);
  EXPECT_EQ(Revision(4294967295u, 4294967295u), __revision_free);
  const int i = 7;
  const short s = 9;
  EXPECT_EQ(Revision(i, s), Revision(7u, 9u));
  EXPECT_EQ(Revision(uint64_t(5) + (uint64_t(1) << 32), 0), Revision(5u, 0u)) << "unsigned: modulo 2^32";
  EXPECT_EQ(Revision(uint32_t(-1), 0u), Revision(4294967295u, 0u));
  EXPECT_EQ(Revision{}, Revision(0u, 0u));
}

TEST(Revision_Test, Text_Form) {
  EXPECT_EQ(to_string(Revision(0, 0)), "Rev(0,0)");
  EXPECT_EQ(to_string(Revision(12, 0)), "Rev(12,0)");
  EXPECT_EQ(to_string(__revision_omega), "Rev(4294967295,0)");
  EXPECT_EQ(to_string(__revision_free), "Rev(4294967295,4294967295)");
}

TEST(Time_Conversion_Test, Saturates_And_Truncates) {
  set_miliseconds_per_iteration(1000);
  EXPECT_EQ(Time_To_Timestep(Seconds(2.5f)), 2u);
  EXPECT_EQ(Time_To_Timestep(Seconds(-1.0f)), 0u);
  EXPECT_EQ(Time_To_Timestep(Seconds(std::numeric_limits<float>::quiet_NaN())), 4294967295u);
  EXPECT_EQ(Time_To_Timestep(Seconds(std::numeric_limits<float>::infinity())), 4294967295u);
  EXPECT_EQ(Time_To_Timestep(Seconds(-std::numeric_limits<float>::infinity())), 4294967295u);
  EXPECT_EQ(Time_To_Timestep(Seconds(1e10f)), 4294967295u);

  Revision r = Rev(Milliseconds(2500.0f), 3);
  EXPECT_EQ(r._iteration, 2u);
  EXPECT_EQ(r._sub_iteration, 3u);
  EXPECT_EQ(Rev(Milliseconds(0.0f), -1)._sub_iteration, 4294967295u);

  set_miliseconds_per_iteration(500);
  EXPECT_EQ(Time_To_Timestep(Seconds(2.5f)), 5u);
  set_miliseconds_per_iteration(1000);
}

TEST(Time_Conversion_Test, Future_Time_Counts_From_The_Current_Iteration) {
  // The clock is (0,0) after Initialize; Future_Time adds to the start of that iteration.
  Simulation_Configuration config = testing::Make_Configuration(1, 10);
  World::Initialize_Simulation(config);
  EXPECT_FLOAT_EQ(Future_Time(Seconds(1.5f)).count(), 1.5f);
  testing::Run_Bounded([] { World::Instance().Start_Turning("."); });
  World::Terminate_Simulation();
  // With no work the clock is at iteration 4294967295: the product wraps in 32 bits.
  const float expected = (float(uint32_t(1000u * 4294967295u)) + 1500.0f) / 1000.0f;
  EXPECT_FLOAT_EQ(Future_Time(Seconds(1.5f)).count(), expected);
}

struct Bad_Field {
  int32_t Simulation_Configuration::*field;
  int32_t value;
  const char* message;
};

TEST(Configuration_Test, Reports_The_First_Invalid_Field_In_Record_Order) {
  const Bad_Field cases[] = {
      {&Simulation_Configuration::num_threads, -1, "num_threads not configured"},
      {&Simulation_Configuration::pre_allocation_amount, -1, "pre_allocation_amount not configured"},
      {&Simulation_Configuration::num_iterations, 0, "num_iterations not configured"},
      {&Simulation_Configuration::execution_blocks_per_thread, 0,
       "execution_blocks_per_thread not configured"},
      {&Simulation_Configuration::execution_objects_per_block, 0,
       "execution_objects_per_block not configured"},
      {&Simulation_Configuration::max_execution_objects_per_block, 0,
       "max_execution_objects_per_block not configured"},
      {&Simulation_Configuration::max_free_blocks, 0, "max_free_blocks not configured"},
      {&Simulation_Configuration::num_free_blocks_buffer, 0, "num_free_blocks_buffer not configured"},
  };
  for (Bad_Field const& c : cases) {
    Simulation_Configuration config = testing::Make_Configuration(1, 10);
    config.*c.field = c.value;
    EXPECT_EQ(testing::Thrown_Text([&] { config.Check_Configuration(); }),
              std::string("An exception occurred, check your logs: ") + c.message);
  }

  Simulation_Configuration two_bad = testing::Make_Configuration(-1, 10);
  two_bad.max_free_blocks = 0;
  EXPECT_EQ(testing::Thrown_Text([&] { two_bad.Check_Configuration(); }),
            "An exception occurred, check your logs: num_threads not configured");

  Simulation_Configuration zeros = testing::Make_Configuration(0, 10);
  zeros.pre_allocation_amount = 0;
  zeros.core_diagnostics_interval = -5;
  EXPECT_EQ(testing::Thrown_Text([&] { zeros.Check_Configuration(); }), "");
}

TEST(Configuration_Test, Fatal_Error_Logs_Location_And_Message) {
  Simulation_Configuration config = testing::Make_Configuration(1, 0);
  ::testing::internal::CaptureStderr();
  std::string thrown = testing::Thrown_Text([&] { config.Check_Configuration(); });
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown, "An exception occurred, check your logs: num_iterations not configured");
  EXPECT_NE(log.find("\n\tRUNTIME_ERROR at libs/core/Simulation_Control.cpp:"), std::string::npos) << log;
  EXPECT_NE(log.find("\n\tMessage: num_iterations not configured\n\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Stack trace:"), std::string::npos) << log;
}

}  // namespace
}  // namespace quarnel
