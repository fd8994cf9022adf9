// The population model written with the model interface (Model.h): the same agent, draws and
// check as the population run of CoreEngine_Tests.h, as a newcomer would write it. Both share
// the per-worker generators and counters, so one run of either gives the same population on
// one worker. The benchmarks compare the two; the program runs the original.
//
// Thread safety: run_plain_population on the controlling thread; Plain_Agent::Act on the
// workers, touching only its own worker's entries of the shared per-worker vectors.
#pragma once

#include <cmath>
#include <cstdint>

#include <quarnel/Model.h>
#include "CoreEngine_Tests.h"

class Plain_Agent : public quarnel::Agent<Plain_Agent> {
 public:
  // Gives birth with probability growth_factor - 1, then acts again 1 iteration later (the
  // second draw, truncated, is always 0 and so counts as 1).
  void Act(quarnel::Next& next) {
    const int t = quarnel::__thread_id;
    const uint32_t now = next.iteration();
    const double x = distributions[t](generators[t]);
    if (x <= growth_factor - 1.0) {
      ++net_agents[t].value;
      quarnel::Create<Plain_Agent>()->Schedule_At(quarnel::Revision(now + 1, 0));
    }
    const uint32_t delay = uint32_t(distributions[t](generators[t]));
    next.In(delay == 0 ? 1 : delay);
  }
};

// One whole population run of Plain_Agent with the program's configuration.
inline Population_Result run_plain_population(int num_agents, int threads, int agents_per_block) {
  using namespace quarnel;
  Simulation_Configuration config = population_configuration(threads);
  World::Initialize_Simulation(config);
  const uint32_t n = World::Instance().num_threads();
  net_agents.assign(n, {});
  generators.resize(n);
  distributions.resize(n);
  for (uint32_t l = 0; l < n; ++l) generators[l].seed(12345 + l);

  Set_Block_Size<Plain_Agent>(agents_per_block);
  for (int m = 0; m < num_agents; ++m) Create<Plain_Agent>()->Schedule_At(Revision(0, 0));
  World::Instance().Start_Turning(".");

  const double expected = num_agents * std::pow(growth_factor, World::Instance().num_iterations());
  int64_t net = 0;
  for (const auto& births : net_agents) net += births.value;
  World::Terminate_Simulation();
  const int64_t population = num_agents + net;
  return {population, expected, population_check(population, expected)};
}
