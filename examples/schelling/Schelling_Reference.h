// Schelling's sequential reference of the kernel's phases (plain loops, equal step by step) and
// the declared rules (one resident at a time in a fresh random order), for the tests and the
// comparison program.
#pragma once

#include "Schelling.h"

namespace schelling {

// ---------------------------------------------------------------------------------------
// The same phases as plain loops (one thread, no kernel).
namespace reference {

inline Series Run(const Parameters& p, uint64_t seed) {
  std::vector<int32_t> cells;
  Grid grid = rules::Place_Residents(p, seed, cells);
  const size_t n = cells.size();
  std::vector<uint8_t> groups(n);
  for (size_t i = 0; i < n; ++i) groups[i] = rules::Group_Of(p, int32_t(i));
  std::vector<int32_t> targets(n);
  std::vector<uint64_t> lowest(size_t(grid.geometry().num_cells()), UINT64_MAX);  // lowest claimant
  Series series;
  int64_t moved = 0;  // in the step before
  for (uint32_t t = 0; t < uint32_t(p.steps); ++t) {
    Counts counts;  // happy: on the grid after step t; moved: in step t + 1
    for (size_t i = 0; i < n; ++i) {
      targets[i] = -1;
      if (rules::Happy(grid, cells[i], groups[i], p)) {
        ++counts.happy;
        continue;
      }
      const uint64_t identity = quarnel::Root_Identity(i);
      Counter_Random draws(seed, identity, Revision(t, decide));
      targets[i] = grid.Random_Empty_Cell(draws);
      if (targets[i] >= 0) lowest[size_t(targets[i])] = std::min(lowest[size_t(targets[i])], identity);
    }
    for (size_t i = 0; i < n; ++i) {
      if (targets[i] < 0) continue;
      if (lowest[size_t(targets[i])] == quarnel::Root_Identity(i)) {
        grid.Move(cells[i], targets[i]);
        cells[i] = targets[i];
        ++counts.moved;
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (targets[i] >= 0) lowest[size_t(targets[i])] = UINT64_MAX;
    }
    series.push_back({counts.happy, moved});
    moved = counts.moved;
  }
  series.push_back({rules::Count_Happy(p, grid, cells), moved});
  return series;
}

}  // namespace reference

// ---------------------------------------------------------------------------------------
// The declared rules: one resident at a time in a fresh random order each step.
namespace declared {

// Row t's happy residents are counted on the grid after step t, once every resident has
// had its turn. `final_cells`, when given, receives each resident's cell at the end.
inline Series Run(const Parameters& p, uint64_t seed, std::vector<int32_t>* final_cells = nullptr) {
  std::vector<int32_t> cells;
  Grid grid = rules::Place_Residents(p, seed, cells);
  Series series{{rules::Count_Happy(p, grid, cells), 0}};
  for (uint32_t t = 0; t < uint32_t(p.steps); ++t) {
    Counts counts;
    for (uint32_t i : quarnel::modelkit::Random_Order(cells.size(), seed, rules::order_key, t)) {
      if (rules::Happy(grid, cells[i], rules::Group_Of(p, int32_t(i)), p)) continue;
      Counter_Random draws(seed, quarnel::Root_Identity(i), Revision(t, decide));
      const int32_t target = grid.Random_Empty_Cell(draws);
      if (target < 0) continue;
      grid.Move(cells[i], target);
      cells[i] = target;
      ++counts.moved;
    }
    counts.happy = rules::Count_Happy(p, grid, cells);
    series.push_back(counts);
  }
  if (final_cells != nullptr) *final_cells = cells;
  return series;
}

}  // namespace declared

}  // namespace schelling
