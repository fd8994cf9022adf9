// The deterministic twin of the population run: the same births-and-deaths model, the same
// configuration and check, but a result that depends only on the seed.
//
// The population run (CoreEngine_Tests.h) gives each worker its own generator, so which
// numbers an agent draws depends on which worker steps its block. Here an agent draws from
// Counter_Random(seed, its identity, its revision): draw 0 decides the birth, draw 1 the
// delay. The initial agents get root identities 1 .. num_agents, a newborn gets
// Child_Identity(parent, revision) (Object_Identity.h), so the whole history of the run (who
// lives, who gives birth when) is a function of the seed and the number of initial agents.
// The run fingerprint is switched on for the run; the population and the fingerprint are
// then the same on any number of workers and for any block size.
//
// Thread safety: run_deterministic_population runs on the controlling thread. The handler
// runs on the workers; it writes only its own worker's birth counter and reads the seed,
// which the controlling thread sets before the workers are started.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include <quarnel/Counter_Random.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Run_Fingerprint.h>
#include <quarnel/World.h>
#include "Population_Configuration.h"

struct MasterType_Deterministic {};

class Deterministic_Agent
    : public quarnel::Quarnel_Component<
          MasterType_Deterministic,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Deterministic_Agent, quarnel::NULLTYPE>>,
          quarnel::Identified_Execution_Object> {
 public:
  static constexpr double growth_factor = 1.0001;

  // The run's seed; births per worker (indexed by __thread_id, each on its own cache line).
  static inline uint64_t seed = 0;
  static inline std::vector<quarnel::Cache_Line_Value<int64_t>> births;

  static void Act(Deterministic_Agent* agent, quarnel::Event_Response& response) {
    const quarnel::Revision now = quarnel::World::Instance().current_revision();
    const quarnel::Counter_Random draws(seed, agent->_identity, now);
    if (draws.Uniform(0) <= growth_factor - 1.0) {
      ++births[quarnel::__thread_id].value;
      const uint64_t child = quarnel::Child_Identity(agent->_identity, now);
      Load(quarnel::Allocate_Identified<Deterministic_Agent>(child),
           quarnel::Revision(now._iteration + 1, 0));
    }
    uint32_t delay = uint32_t(draws.Uniform(1));
    if (delay == 0) delay = 1;
    response._next_revision = quarnel::Revision(now._iteration + delay, 0);
  }

  static void Load(Deterministic_Agent* agent, quarnel::Revision revision) {
    agent->privLoad_Event(&Handler, revision, component_manager);
  }

 private:
  static void Handler(void* agent, quarnel::Event_Response& response) {
    Act(static_cast<Deterministic_Agent*>(agent), response);
  }
};

struct Deterministic_Result {
  int64_t population = 0;  // the final count, exact
  double expected_population = 0;
  bool passed = false;  // within 5 % of the expected population (0 for 0)
  quarnel::Run_Digest fingerprint;
  bool interrupted = false;  // stopped on request before the last iteration: no check
  uint32_t stopped_at = 0;   // then: the iteration at which it stopped
};

// Between Initialize_Simulation and Terminate_Simulation: creates and loads the agents,
// turns the run and computes the population and its check.
inline Deterministic_Result turn_deterministic_population(int num_agents, int agents_per_block) {
  using namespace quarnel;
  Deterministic_Agent::births.assign(World::Instance().num_threads() + 1, {});
  Deterministic_Agent::component_manager->Set_Objects_Per_Block(agents_per_block);
  for (int m = 0; m < num_agents; ++m) {
    Deterministic_Agent::Load(Allocate_Identified<Deterministic_Agent>(Root_Identity(uint64_t(m))),
                              Revision(0, 0));
  }
  World::Instance().Start_Turning(".");

  const double expected =
      num_agents * std::pow(Deterministic_Agent::growth_factor, World::Instance().num_iterations());
  int64_t born = 0;
  for (const auto& b : Deterministic_Agent::births) born += b.value;
  const int64_t population = num_agents + born;
  // Within 5 %, or 0 for 0 (the population run's check, CoreEngine_Tests.h).
  const bool passed =
      expected == 0 ? population == 0 : std::fabs((double(population) - expected) / expected) <= .05;
  const bool interrupted = World::Instance().stopped_on_request();
  return {population,
          expected,
          passed && !interrupted,
          Run_Fingerprint::Instance().Result(),
          interrupted,
          World::Instance().iteration()};
}

// One complete deterministic run with `seed`; the fingerprint is on for the run (and logged
// at its end) and back to its earlier setting afterwards. A failure inside the run (an
// identity collision, a worker's exception) terminates the run before it propagates.
inline Deterministic_Result run_deterministic_population(int num_agents, int threads, int agents_per_block,
                                                         uint64_t seed) {
  using namespace quarnel;
  Run_Fingerprint& fingerprint = Run_Fingerprint::Instance();
  const bool was_on = fingerprint.on();
  fingerprint.Switch(true);
  Deterministic_Agent::seed = seed;
  Simulation_Configuration config = population_configuration(threads);
  Deterministic_Result result;
  try {
    World::Initialize_Simulation(config);
    result = turn_deterministic_population(num_agents, agents_per_block);
  } catch (...) {
    try {
      World::Terminate_Simulation();
    } catch (...) {
    }
    fingerprint.Switch(was_on);
    throw;
  }
  World::Terminate_Simulation();
  fingerprint.Switch(was_on);
  return result;
}
