// A fixture for tests of the execution side: one World run per test, always ended properly.
//
// Start() initialises the run; Turn() runs it on another thread with a bound, and TearDown
// terminates it (turned or not) with a bound too: a deadlock fails instead of hanging.
#pragma once

#include <gtest/gtest.h>

#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel::testing {

class Execution_Run_Test : public ::testing::Test {
 protected:
  void Start(int threads, int objects_per_block, int iterations = 10) {
    Simulation_Configuration config = Make_Configuration(threads, iterations, objects_per_block);
    World::Initialize_Simulation(config);
    _started = true;
  }

  void Turn() {
    Run_Bounded([] { World::Instance().Start_Turning("."); });
  }

  void TearDown() override {
    if (!_started) return;
    _started = false;
    Run_Bounded([] { World::Terminate_Simulation(); });
  }

  bool _started = false;
};

}  // namespace quarnel::testing
