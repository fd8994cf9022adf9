// The births-and-deaths population run that exercises the engine end to end.
//
// Every agent acts once per iteration; at each action it gives birth to a new agent with
// probability 1.0001 - 1 (the newborn first acts in the next iteration). After
// `num_iterations` iterations the population is compared with num_agents * 1.0001^k,
// within 5 %. The same run is the googletest test
// Core_Engine_Test.Population_Test_Multi_Threaded (one worker, then six).
//
// Thread safety: do_it runs on the controlling thread. Do_Stuff runs on the workers and
// touches only its own worker's entries of the per-thread vectors below.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Execution_Object.h>
#include <quarnel/Profiler.h>
#include <quarnel/World.h>
#include "Population_Configuration.h"

struct MasterType_Test {};

template <class MasterType, class ParentType = quarnel::TypeList<quarnel::NULLTYPE, quarnel::NULLTYPE>,
          class InheritanceList = void>
class Agent_Implementation;

using Test_Agent = Agent_Implementation<MasterType_Test>;

// Per worker (indexed by __thread_id): births minus deaths, random engine (minstd_rand0),
// distribution ([0, 1)). Each entry sits on cache lines of its own: a generator changes at
// every draw, and two workers' entries in one line would pass it between the cores.
using Worker_Generator = quarnel::Cache_Line_Own<std::minstd_rand0>;
using Worker_Distribution = quarnel::Cache_Line_Own<std::uniform_real_distribution<double>>;
static std::vector<quarnel::Cache_Line_Value<int64_t>> net_agents;
static std::vector<Worker_Generator> generators;
static std::vector<Worker_Distribution> distributions;

constexpr double growth_factor = 1.0001;

template <class MasterType, class ParentType, class InheritanceList>
class Agent_Implementation
    : public quarnel::Quarnel_Component<
          MasterType,
          quarnel::TypeList<quarnel::NULLTYPE,
                            quarnel::TypeList<Agent_Implementation<MasterType>, quarnel::NULLTYPE>>,
          quarnel::Execution_Object> {
 public:
  // Inlined into Handler: the engine calls Handler for every action, and a second call per
  // action showed in the population's step (2 % of a run of a million agents).
  [[gnu::always_inline]] static void Do_Stuff(Agent_Implementation* agent,
                                              quarnel::Event_Response& response) {
    const int t = quarnel::__thread_id;
    const uint32_t now = quarnel::World::Instance().iteration();
    const double x = distributions[t](generators[t]);
    if (x <= growth_factor - 1.0) {
      ++net_agents[t].value;
      Load(quarnel::Allocate<Agent_Implementation>(), quarnel::Revision(now + 1, 0));
    } else if (x > growth_factor) {
      // Death: the agent is gone, so it must not be rescheduled.
      --net_agents[t].value;
      quarnel::Free<Agent_Implementation>(agent);
      return;
    }
    const double y = distributions[t](generators[t]);
    uint32_t delay = uint32_t(y);
    if (delay == 0) delay = 1;
    response._next_revision = quarnel::Revision(now + delay, 0);
  }

  // Gives `agent` the handler Do_Stuff and schedules it at `revision`.
  static void Load(Agent_Implementation* agent, quarnel::Revision revision) {
    agent->privLoad_Event(&Handler, revision, Agent_Implementation::component_manager);
  }

 private:
  static void Handler(void* agent, quarnel::Event_Response& response) {
    Do_Stuff(static_cast<Agent_Implementation*>(agent), response);
  }
};

struct Population_Result {
  int64_t population = 0;  // the final count, exact
  double expected_population = 0;
  bool passed = false;
  bool interrupted = false;  // stopped on request (World::Request_Stop) before its last iteration
  uint32_t stopped_at = 0;   // then: the iteration at which it stopped (those before it finished)
};

// The check of a run: within 5 % of the expected population; an expected population of 0 (no
// agents at the start) passes with a population of 0, as no birth can happen.
inline bool population_check(int64_t population, double expected_population) {
  if (expected_population == 0) return population == 0;
  return std::fabs((double(population) - expected_population) / expected_population) <= .05;
}

inline Population_Result run_initialized_population(int num_agents, int agents_per_block);

// One complete population run with its check. A failure inside the run (an allocation that
// fails, a worker's exception) terminates the run before it propagates.
// Starts a run with the population's configuration and `threads` workers.
inline void initialize_population_run(int threads) {
  using namespace quarnel;
  Simulation_Configuration config = population_configuration(threads);
  World::Initialize_Simulation(config);
}

inline Population_Result do_it(int num_agents, int threads, int agents_per_block, bool /*unused*/) {
  using namespace quarnel;
  initialize_population_run(threads);
  Population_Result result;
  try {
    result = run_initialized_population(num_agents, agents_per_block);
  } catch (...) {
    // Leave the engine ready for another run; the original failure is what the caller sees.
    try {
      World::Terminate_Simulation();
    } catch (...) {
    }
    throw;
  }
  World::Terminate_Simulation();
  return result;
}

// The part of do_it between Initialize_Simulation and Terminate_Simulation: allocate and
// load the agents, turn the simulation, compute and check the population.
inline Population_Result run_initialized_population(int num_agents, int agents_per_block) {
  using namespace quarnel;
  const uint32_t n = World::Instance().num_threads();
  net_agents.assign(n, {});
  generators.resize(n);
  distributions.resize(n);
  for (uint32_t l = 0; l < n; ++l) generators[l].seed(12345 + l);

  Test_Agent::component_manager->Set_Objects_Per_Block(agents_per_block);
  for (int m = 0; m < num_agents; ++m) {
    QUARNEL_TIMED_SCOPE_AS(1, "do_it");
    Test_Agent::Load(Allocate<Test_Agent>(), Revision(0, 0));
  }
  {
    QUARNEL_TIMED_SCOPE_AS(2, "do_it");
    World::Instance().Start_Turning(".");
  }

  const double expected_population = num_agents * std::pow(growth_factor, World::Instance().num_iterations());
  int64_t net = 0;
  for (const auto& births_minus_deaths : net_agents) net += births_minus_deaths.value;
  const int64_t population = num_agents + net;
  // An interrupted run has no check: its population is that of fewer iterations.
  if (World::Instance().stopped_on_request()) {
    return {population, expected_population, false, true, World::Instance().iteration()};
  }
  if (expected_population == 0) {
    EXPECT_EQ(population, 0);
  } else {
    EXPECT_NEAR((double(population) - expected_population) / expected_population, 0, .05);
  }
  return {population, expected_population, population_check(population, expected_population)};
}

TEST(Core_Engine_Test, Population_Test_Multi_Threaded) {
  do_it(10000, 1, 1000, false);
  do_it(10000, 6, 1000, false);
}
