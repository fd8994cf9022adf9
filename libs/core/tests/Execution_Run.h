// A fixture for tests of the execution side: one World run per test, always ended properly.
//
// Start() initialises the run; Turn() runs it on another thread with a bound (a deadlock
// fails instead of hanging). TearDown turns a run that the test did not turn (workers can
// only be joined once they have left their loops) for a single cycle, then terminates it.
#pragma once

#include <gtest/gtest.h>

#include "Test_Support.h"
#include "World.h"

namespace quarnel::testing {

class Execution_Run_Test : public ::testing::Test {
 protected:
  void Start(int threads, int objects_per_block, int iterations = 10) {
    Simulation_Configuration config = Make_Configuration(threads, iterations, objects_per_block);
    World::Initialize_Simulation(config);
    _started = true;
    _turned = false;
  }

  void Turn() {
    _turned = true;
    Run_Bounded([] { World::Instance().Start_Turning("."); });
  }

  void TearDown() override {
    if (!_started) return;
    if (!_turned) {
      World::Instance().Update_Num_Iterations(1);
      Turn();
    }
    _started = false;
    World::Terminate_Simulation();
  }

  bool _started = false;
  bool _turned = false;
};

}  // namespace quarnel::testing
