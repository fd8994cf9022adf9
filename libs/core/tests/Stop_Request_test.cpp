// World::Request_Stop, what a program's SIGINT handler calls: the run ends at the end of the
// iteration being stepped, with every sub-iteration of that iteration stepped and its hook
// called, and says so (stopped_on_request); a request before the run turns steps nothing; a
// request stays until it is cleared; a run without one is not marked.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include <quarnel/Model.h>

namespace quarnel {
namespace {

std::atomic<int64_t> calls{0};
std::atomic<uint32_t> request_at{UINT32_MAX};  // the iteration whose sub-iteration 0 asks to stop
std::atomic<uint32_t> last_sub_iteration{0};

// Acts at sub-iterations 0, 1 and 2 of every iteration.
class Stepper : public Agent<Stepper> {
 public:
  void Act(Next& next) {
    calls.fetch_add(1);
    const Revision now = next.now();
    if (now._sub_iteration == 0 && now._iteration == request_at.load()) World::Request_Stop();
    last_sub_iteration.store(now._sub_iteration);
    if (now._sub_iteration < 2) {
      next.In(0, now._sub_iteration + 1);
    } else {
      next.In(1, 0);
    }
  }
};

struct Outcome {
  std::vector<uint32_t> hooks;
  bool stopped;
  uint32_t clock;
};

Outcome Run_Steppers(int threads, int agents, int iterations) {
  calls = 0;
  Simulation_Configuration config;
  config.num_threads = threads;
  config.num_iterations = iterations;
  Outcome outcome{};
  {
    Simulation run(config);
    for (int i = 0; i < agents; ++i) Create<Stepper>()->Schedule_At(Revision(0, 0));
    run.On_Iteration_End([&](uint32_t i) { outcome.hooks.push_back(i); });
    run.Run();
    outcome.stopped = World::Instance().stopped_on_request();
    outcome.clock = World::Instance().iteration();
  }
  return outcome;
}

class Stop_Request_Test : public ::testing::Test {
 protected:
  void TearDown() override {
    World::Clear_Stop_Request();
    request_at = UINT32_MAX;
  }
};

TEST_F(Stop_Request_Test, A_Request_In_An_Iteration_Ends_The_Run_After_That_Iteration) {
  for (int threads : {1, 2, 6}) {
    World::Clear_Stop_Request();
    request_at = 3;
    const Outcome outcome = Run_Steppers(threads, 50, 100);
    EXPECT_TRUE(outcome.stopped) << threads;
    EXPECT_EQ(outcome.clock, 4u) << threads;
    EXPECT_EQ(outcome.hooks, (std::vector<uint32_t>{0, 1, 2, 3})) << threads;
    // Every sub-iteration of iteration 3 was stepped for every agent, nothing of iteration 4.
    EXPECT_EQ(calls.load(), 50 * 3 * 4) << threads;
    EXPECT_EQ(last_sub_iteration.load(), 2u) << threads;
  }
}

TEST_F(Stop_Request_Test, A_Request_Before_The_Run_Steps_Nothing_And_Stays_Until_Cleared) {
  World::Request_Stop();
  const Outcome first = Run_Steppers(2, 10, 100);
  EXPECT_TRUE(first.stopped);
  EXPECT_EQ(calls.load(), 0);
  EXPECT_TRUE(first.hooks.empty());
  EXPECT_EQ(first.clock, 0u);
  // Still asked: the next run stops at once too.
  EXPECT_TRUE(Run_Steppers(1, 10, 100).stopped);
  World::Clear_Stop_Request();
  const Outcome free = Run_Steppers(2, 10, 5);
  EXPECT_FALSE(free.stopped);
  EXPECT_EQ(free.clock, 5u);
  EXPECT_EQ(calls.load(), 10 * 3 * 5);
}

TEST_F(Stop_Request_Test, A_Run_That_Reaches_Its_Limit_Is_Not_Marked_Even_When_Asked_In_Its_Last_Iteration) {
  request_at = 4;
  const Outcome outcome = Run_Steppers(2, 10, 5);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_EQ(outcome.hooks.size(), 5u);
}

// From a signal handler, as the programs do: the handler only stores the request.
void On_Usr1(int) {
  World::Request_Stop();
}

TEST_F(Stop_Request_Test, A_Signal_Handler_Can_Ask) {
  struct sigaction action {}, previous{};
  action.sa_handler = On_Usr1;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  calls = 0;
  Simulation_Configuration config;
  config.num_threads = 2;
  config.num_iterations = 1000;
  bool stopped = false;
  uint32_t clock = 0;
  {
    Simulation run(config);
    for (int i = 0; i < 20; ++i) Create<Stepper>()->Schedule_At(Revision(0, 0));
    run.On_Iteration_End([](uint32_t i) {
      if (i == 6) raise(SIGUSR1);
    });
    run.Run();
    stopped = World::Instance().stopped_on_request();
    clock = World::Instance().iteration();
  }
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(clock, 7u);
  EXPECT_EQ(calls.load(), 20 * 3 * 7);
}

}  // namespace
}  // namespace quarnel
