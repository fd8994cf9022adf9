// Flocking's sequential reference: the same formulation with plain loops, equal step by step,
// for the tests and the benchmarks.
#pragma once

#include "Flocking.h"

namespace flocking {

// The same formulation with plain loops: each step computes every bird's update from the
// previous flock, then replaces the flock and rebuilds the grid. std::invalid_argument as
// Run_Flocking.
inline Flocking_Result Run_Flocking_Reference(const Flocking_Parameters& p, uint64_t seed) {
  Check_Parameters(p);
  const int steps = p.steps;
  Flock_Grid grid(p.width, p.height, p.visual_distance);
  std::vector<Bird_State> states(size_t(p.birds)), next(size_t(p.birds));
  std::vector<double> d2(size_t(p.birds));
  std::vector<Grid_Item> items;
  for (int i = 0; i < p.birds; ++i) states[size_t(i)] = Initial_Bird(p, seed, uint32_t(i));
  detail::Fill_Grid(grid, states, items);
  Flocking_Result result;
  std::vector<double> nearest(size_t(steps) + 1);
  for (int s = 0; s < steps; ++s) {
    for (int i = 0; i < p.birds; ++i) {
      const Bird_Update u = Step_Bird(grid, p, uint32_t(i), states[size_t(i)]);
      next[size_t(i)] = u.next;
      d2[size_t(i)] = u.nearest_d2;
    }
    nearest[size_t(s)] = Mean_Nearest(p.birds, [&](int i) { return d2[size_t(i)]; });
    states.swap(next);
    detail::Fill_Grid(grid, states, items);
    result.series.push_back(
        {s + 1, 0.0, Alignment(p.birds, [&](int i) -> const Bird_State& { return states[size_t(i)]; })});
  }
  nearest[size_t(steps)] =
      Mean_Nearest(p.birds, [&](int i) { return Nearest_D2(grid, uint32_t(i), states[size_t(i)]); });
  for (Flocking_Row& row : result.series) row.mean_nearest_distance = nearest[size_t(row.step)];
  return result;
}

}  // namespace flocking
