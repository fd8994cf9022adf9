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
// Checkpoints (Deterministic_Checkpoints): the run saves its whole state at the end of every
// Nth iteration and at the end of the iteration at which a stop signal ends it, and a run
// resumed from a checkpoint continues on any number of workers and block size with the
// population and run fingerprint of a run that never stopped. A checkpoint holds the clock,
// the run fingerprint, every agent's identity and next revision (an agent has no other
// field) and the births so far; the header names the model "population", the seed and
// num_agents, which a resume must match.
//
// Thread safety: run_deterministic_population runs on the controlling thread. The handler
// runs on the workers; it writes only its own worker's birth counter and reads the seed,
// which the controlling thread sets before the workers are started.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <quarnel/Checkpoint.h>
#include <quarnel/Version.h>

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

  // Its identity and schedule are the engine's to save; it has no field of its own.
  template <class Archive>
  void serialize(Archive&) {}

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

// The twin's checkpoints: where to save (empty: nowhere), every how many iterations (0: only
// when a stop signal ends the run), and a checkpoint read to continue from (null: a new run).
struct Deterministic_Checkpoints {
  std::string save;
  int every = 0;
  std::shared_ptr<quarnel::Checkpoint_Reader> resume;
};

// What a checkpoint of the twin says about its run: model, version, seed and num_agents.
inline quarnel::Checkpoint_Header deterministic_header(int num_agents, uint64_t seed) {
  quarnel::Checkpoint_Header header;
  header.model = "population";
  header.model_version = quarnel::version_string;
  header.parameters = {{"num_agents", std::to_string(num_agents)}};
  header.seed = seed;
  return header;
}

// `path` read and checked as a checkpoint this run can continue: the twin's, with `seed` and
// `num_agents`, before the run's last iteration. A one-line quarnel::Checkpoint_Error
// otherwise (and for every fault Checkpoint_Reader refuses).
inline std::shared_ptr<quarnel::Checkpoint_Reader> read_deterministic_checkpoint(const std::string& path,
                                                                                 int num_agents,
                                                                                 uint64_t seed,
                                                                                 uint32_t iterations) {
  auto reader = std::make_shared<quarnel::Checkpoint_Reader>(path);
  const quarnel::Checkpoint_Header& saved = reader->header();
  const quarnel::Checkpoint_Header expected = deterministic_header(num_agents, seed);
  const std::string refused = "the checkpoint " + path + " ";
  if (saved.model != expected.model)
    throw quarnel::Checkpoint_Error(refused + "is of the model '" + saved.model + "', not population");
  if (saved.seed != seed) {
    throw quarnel::Checkpoint_Error(refused + "has seed " + std::to_string(saved.seed) + ", not " +
                                    std::to_string(seed));
  }
  if (saved.parameters != expected.parameters) {
    const std::string was = saved.parameters.empty() ? "(none)" : saved.parameters[0].second;
    throw quarnel::Checkpoint_Error(refused + "has num_agents=" + was + ", not " +
                                    std::to_string(num_agents));
  }
  if (saved.iteration >= iterations) {
    throw quarnel::Checkpoint_Error(refused + "is at iteration " + std::to_string(saved.iteration) +
                                    " and the run has " + std::to_string(iterations) +
                                    ": nothing to continue");
  }
  return reader;
}

// Between Initialize_Simulation and Terminate_Simulation: creates and loads the agents (or
// restores them from `checkpoints.resume`), turns the run, saving checkpoints as asked, and
// computes the population and its check.
inline Deterministic_Result turn_deterministic_population(int num_agents, int agents_per_block,
                                                          uint64_t seed = 0,
                                                          const Deterministic_Checkpoints& checkpoints = {}) {
  using namespace quarnel;
  Deterministic_Agent::births.assign(World::Instance().num_threads() + 1, {});
  Deterministic_Agent::component_manager->Set_Objects_Per_Block(agents_per_block);
  int64_t born_before = 0;  // the births of the saved run's iterations, when resumed
  auto born_so_far = [&] {
    int64_t born = born_before;
    for (const auto& b : Deterministic_Agent::births) born += b.value;
    return born;
  };
  auto contents = [&](Checkpoint_Io& io) {
    io.Objects<Deterministic_Agent>([&io](uint64_t identity, Revision next) {
      if (next == __revision_omega) io.Refuse("an agent of the population is not scheduled");
      Deterministic_Agent* agent = Allocate_Identified<Deterministic_Agent>(identity);
      Deterministic_Agent::Load(agent, next);
      return agent;
    });
    int64_t born = io.saving() ? born_so_far() : 0;
    io.State(born);
    if (io.saving()) return;
    if (born < 0 || Live_Count<Deterministic_Agent>() != num_agents + born)
      io.Refuse("its agents are not the initial ones and the births");
    born_before = born;
  };
  if (checkpoints.resume) {
    checkpoints.resume->Restore(nullptr, contents);
  } else {
    for (int m = 0; m < num_agents; ++m) {
      Deterministic_Agent::Load(Allocate_Identified<Deterministic_Agent>(Root_Identity(uint64_t(m))),
                                Revision(0, 0));
    }
  }
  if (!checkpoints.save.empty()) {
    Checkpoint_Header header = deterministic_header(num_agents, seed);
    World::Instance().Set_Iteration_Hook([&, header](uint32_t i) mutable {
      const bool due = checkpoints.every > 0 && (i + 1) % uint32_t(checkpoints.every) == 0;
      if (!due && !World::stop_requested()) return;
      header.iteration = i + 1;
      Write_Checkpoint(checkpoints.save, header, nullptr, contents);
    });
  }
  World::Instance().Start_Turning(".");

  const double expected =
      num_agents * std::pow(Deterministic_Agent::growth_factor, World::Instance().num_iterations());
  const int64_t population = num_agents + born_so_far();
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
                                                         uint64_t seed,
                                                         const Deterministic_Checkpoints& checkpoints = {}) {
  using namespace quarnel;
  Run_Fingerprint& fingerprint = Run_Fingerprint::Instance();
  const bool was_on = fingerprint.on();
  fingerprint.Switch(true);
  Deterministic_Agent::seed = seed;
  Simulation_Configuration config = population_configuration(threads);
  Deterministic_Result result;
  try {
    World::Initialize_Simulation(config);
    result = turn_deterministic_population(num_agents, agents_per_block, seed, checkpoints);
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
