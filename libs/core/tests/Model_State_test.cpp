// The model's shared state, reached by handlers and the hook through the run.
//
// Properties under test:
//  1. Every handler, on any number of workers, and the hook reach the state attached to the
//     run (the same object), with no global of the model's own.
//  2. The state is forgotten when the run ends.
//  3. Asking for another type or for a state when none is attached, and attaching while the
//     run turns, are fatal errors with their messages (checked here in every build).
#define QUARNEL_CHECKED 1
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <quarnel/Model.h>
#include "Test_Support.h"

namespace {

using quarnel::testing::Thrown_Text;

constexpr const char* kPrefix = "An exception occurred, check your logs: ";

struct Ring_State {
  int increment = 3;
  std::vector<long> totals;  // one slot per agent: each handler writes its own
};

class Ring_Agent : public quarnel::Agent<Ring_Agent> {
 public:
  explicit Ring_Agent(size_t slot) : _slot(slot) {}
  void Act(quarnel::Next& next) {
    Ring_State& s = next.model<Ring_State>();
    s.totals[_slot] += s.increment;
    next.In(1);
  }
  size_t _slot;
};

TEST(Model_State_Test, Handlers_And_The_Hook_Reach_The_Attached_State) {
  constexpr int kAgents = 500, kIterations = 6;
  for (int workers : {1, 2, 6}) {
    Ring_State state;
    state.totals.assign(kAgents, 0);
    int hook_calls_seeing_state = 0;
    quarnel::testing::Run_Bounded([&] {
      quarnel::Simulation run(quarnel::testing::Make_Configuration(workers, kIterations, 7), state);
      for (int i = 0; i < kAgents; ++i)
        quarnel::Create<Ring_Agent>(size_t(i))->Schedule_At(quarnel::Revision(0, 0));
      run.On_Iteration_End([&](uint32_t) {
        if (&quarnel::Model_State<Ring_State>() == &state && &run.model<Ring_State>() == &state) {
          ++hook_calls_seeing_state;
        }
      });
      run.Run();
    });
    EXPECT_EQ(hook_calls_seeing_state, kIterations) << workers << " workers";
    for (long total : state.totals) ASSERT_EQ(total, 3L * kIterations) << workers << " workers";
  }
  // The run has ended: nothing is attached any more.
  EXPECT_EQ(
      Thrown_Text([] { quarnel::Model_State<Ring_State>(); }),
      std::string(kPrefix) +
          "The model state of type (anonymous namespace)::Ring_State was asked for, but no model state is "
          "attached to the run");
}

TEST(Model_State_Test, Another_Type_Or_An_Attach_While_Running_Is_A_Fatal_Error) {
  Ring_State state;
  std::string wrong_type, late_attach;
  quarnel::testing::Run_Bounded([&] {
    quarnel::Simulation run(quarnel::testing::Make_Configuration(1, 1));
    run.Attach(state);
    wrong_type = Thrown_Text([] { quarnel::Model_State<int>(); });
    run.On_Iteration_End([&](uint32_t) { late_attach = Thrown_Text([&] { run.Attach(state); }); });
    run.Run();
  });
  EXPECT_EQ(wrong_type, std::string(kPrefix) +
                            "The model state of type int was asked for, but the run's is of type (anonymous "
                            "namespace)::Ring_State");
  EXPECT_EQ(late_attach,
            std::string(kPrefix) + "Don't attach the model state while the simulation is running");
}

}  // namespace
