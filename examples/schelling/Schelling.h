// Schelling segregation on an X x X grid that does not wrap, at most one resident per cell,
// three ways:
//  - kernel::Run: the model on the Quarnel kernel, stepped in parallel phases;
//  - reference::Run (Schelling_Reference.h): the same phases and the same Counter_Random draws
//    as plain loops over plain containers, one thread, no kernel; its per-step series equals
//    the kernel's exactly;
//  - declared::Run (Schelling_Reference.h): the rules as the benchmark declares them, one
//    resident at a time in a fresh random order each step, each seeing the moves made before it
//    in that step.
//
// Every way reports the state after each step: row 0 of the series is the grid after set-up
// (the residents happy on it, none moved), row t the grid after step t (the residents happy on
// it, those that moved in step t).
//
// The phase formulation (sub-iterations 0-1 of one step):
//   0 each resident counts its own group within radius r (itself excluded) on the grid of the step's start;
//   0 an unhappy one draws a uniform cell that was empty then (uniform cells until one is) and claims it;
//   1 each row's owner moves the lowest claimant of each of its cells in; the other claimants stay;
//   2 in the last step only, each resident counts again, on the grid after the moves (the last row).
// The draws are Counter_Random(seed, identity, Revision(step, 0)); the claims are settled by
// Move_Claims (Single_Occupancy_Grid.h), whose result does not depend on the claims' order.
//
// Thread safety: the Run functions run on one (controlling) thread, one run at a time.
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Grid_Geometry.h>
#include <quarnel/modelkit/Kernel_Run_Scope.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Random_Order.h>
#include <quarnel/modelkit/Single_Occupancy_Grid.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace schelling {

using quarnel::Counter_Random;
using quarnel::Revision;
using quarnel::modelkit::Grid_Geometry;
using Grid = quarnel::modelkit::Single_Occupancy_Grid<uint8_t>;  // 0 empty, 1 or 2: a group

struct Parameters {
  int32_t side = 40;
  int32_t residents = 1000;
  int32_t radius = 1;
  int32_t min_to_be_happy = 3;
  int32_t steps = 20;
};

inline Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  using quarnel::modelkit::Model_Size;
  if (size == Model_Size::small) return {};
  if (size == Model_Size::large) return {100, 8000, 2, 8, 20};
  return {2000, 3200000, 2, 8, 20};
}

// The state after a step: residents happy on the grid then, residents that moved in the step.
struct Counts {
  int64_t happy = 0, moved = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};
using Series = std::vector<Counts>;  // [0]: after set-up (none moved); [t]: after step t

enum Phase : uint32_t { decide = 0, move = 1, count = 2 };

namespace rules {

constexpr uint64_t setup_counter = UINT64_MAX;                // the set-up's draws; no step uses it
constexpr uint64_t order_key = uint64_t(0x6f72646572) << 24;  // declared::Run's order stream

// Resident i: identity Root_Identity(i), group 1 for the first half, 2 for the rest.
inline uint8_t Group_Of(const Parameters& p, int32_t i) {
  return i < p.residents / 2 ? 1 : 2;
}

// The grid after set-up: resident i at a uniformly random cell left empty by residents 0..i-1
// (drawn from its own stream); `cells[i]` is its cell.
inline Grid Place_Residents(const Parameters& p, uint64_t seed, std::vector<int32_t>& cells) {
  Grid grid(Grid_Geometry(p.side, p.side));
  if (p.residents < 0 || int64_t(p.residents) > int64_t(grid.geometry().num_cells())) {
    throw std::invalid_argument("Schelling: more residents than cells");
  }
  cells.resize(size_t(p.residents));
  for (int32_t i = 0; i < p.residents; ++i) {
    Counter_Random draws(seed, quarnel::Root_Identity(uint64_t(i)), setup_counter);
    cells[size_t(i)] = grid.Random_Empty_Cell(draws);
    grid.Place(cells[size_t(i)], Group_Of(p, i));
  }
  return grid;
}

inline bool Happy(const Grid& grid, int32_t cell, uint8_t group, const Parameters& p) {
  return grid.Count_Within(cell, p.radius, group) >= p.min_to_be_happy;
}

// The residents happy on `grid`, resident i being at cells[i].
inline int64_t Count_Happy(const Parameters& p, const Grid& grid, const std::vector<int32_t>& cells) {
  int64_t happy = 0;
  for (size_t i = 0; i < cells.size(); ++i) happy += Happy(grid, cells[i], Group_Of(p, int32_t(i)), p);
  return happy;
}

}  // namespace rules

// ---------------------------------------------------------------------------------------
// The model on the kernel.
namespace kernel {

// A resident carries its identity itself (Root_Identity(i)) instead of being an identified
// kernel type, whose manager would also record every identity of the run: the model needs the
// identity only as the key of its draws. The run fingerprint sees a resident's calls by
// revision (identity -1). Its cell lives in Shared::cell_of, where the row that settles its
// move writes it.
class Resident : public quarnel::Agent<Resident> {
 public:
  Resident(uint32_t identity, uint8_t group) : _identity(identity), _group(group) {}
  void Act(quarnel::Next& next);  // phase 0 of every step, phase 2 of the last
  uint32_t identity() const { return _identity; }

  uint32_t _identity;
  uint8_t _group;
};

// The owner of one row of cells: in phase 1 it settles the claims on its cells and moves each
// winner in. It writes its own cells, the cells its winners leave (each left by one winner
// alone) and its winners' entries of cell_of; no other handler touches those in phase 1.
class Claim_Row : public quarnel::Agent<Claim_Row> {
 public:
  explicit Claim_Row(int32_t row) : _row(row) {}
  void Act(quarnel::Next& next);  // phase 1 of every step

  int32_t _row;
};

// What every handler reads: the grid (read in phase 0, moved in phase 1), the claims, the
// residents' cells and the settings, among them the minimum to be happy, read at every
// decision.
struct Shared {
  // A handler adds to its worker's tally; the iteration hook sums them (exact integer sums, so
  // the totals do not depend on which worker stepped what) and empties them.
  struct Tally {
    int64_t happy = 0, moved = 0, happy_at_end = 0;  // happy_at_end: phase 2 of the last step
    Tally& operator+=(const Tally& other) {
      happy += other.happy;
      moved += other.moved;
      happy_at_end += other.happy_at_end;
      return *this;
    }
  };
  Shared(const Parameters& parameters, uint64_t run_seed, std::vector<int32_t>& cells)
      : p(parameters),
        seed(run_seed),
        grid(rules::Place_Residents(p, seed, cells)),
        claims(grid.geometry().num_cells()),
        cell_of(cells) {}
  Parameters p;
  uint64_t seed;
  Grid grid;
  quarnel::modelkit::Move_Claims claims;
  std::vector<int32_t> cell_of;  // [identity - 1]: the resident's cell
  quarnel::Per_Worker<Tally> tallies;
};
inline Shared* shared = nullptr;

inline void Resident::Act(quarnel::Next& next) {
  Shared& s = *shared;
  const int32_t cell = s.cell_of[_identity - 1];
  const bool happy = rules::Happy(s.grid, cell, _group, s.p);
  Shared::Tally& tally = s.tallies.Mine();
  const Revision now = next.now();
  if (now._sub_iteration == count) {  // the grid after the last step; the run ends before (steps, 0)
    tally.happy_at_end += happy;
    next.In(1, decide);
    return;
  }
  tally.happy += happy;
  if (!happy) {
    Counter_Random draws(s.seed, _identity, now);
    const int32_t target = s.grid.Random_Empty_Cell(draws);
    if (target >= 0) s.claims.Claim(target, now._iteration + 1, _identity);
  }
  if (now._iteration + 1 == uint32_t(s.p.steps)) {
    next.In(0, count);
  } else {
    next.In(1, decide);
  }
}

inline void Claim_Row::Act(quarnel::Next& next) {
  Shared& s = *shared;
  const uint32_t round = next.iteration() + 1;
  int64_t moved = 0;
  for (int32_t cell = s.grid.geometry().Cell(0, _row), end = cell + s.grid.geometry().width(); cell < end;
       ++cell) {
    const uint32_t winner = s.claims.Winner(cell, round);
    if (winner == quarnel::modelkit::Move_Claims::no_winner) continue;
    int32_t& from = s.cell_of[winner - 1];
    s.grid.Move(from, cell);
    from = cell;
    ++moved;
  }
  s.tallies.Mine().moved += moved;
  next.In(1, move);
}

struct Run_Result {
  Series series;  // with a row sink: its last row only
  quarnel::Run_Digest fingerprint;
  std::vector<int32_t> final_cells;  // [i]: the cell of resident i (identity i + 1) at the end
};

// Receives each row of the series as soon as it is final, in order.
using Row_Sink = std::function<void(const Counts&)>;

// One whole run on `threads` workers with `block_size` objects per block of each type. With
// `on_row`, each row goes there as soon as it is final and the result keeps the last one only,
// so that memory does not grow with the steps. A run stopped early (World::Request_Stop) ends
// with the row of its last finished step.
// Row t's happy residents are those of the grid after step t, counted in phase 0 of step t + 1
// (iteration t), so row t is final at the end of iteration t; the last row's are counted in
// phase 2 of the last step (or, in a run stopped before, on the controlling thread once it has
// stopped).
// REQUIRES: controlling thread, no other run. Exceptions of the kernel pass through.
inline Run_Result Run(const Parameters& p, uint64_t seed, int threads, int block_size,
                      bool fingerprint = true, const Row_Sink& on_row = {}) {
  using namespace quarnel;
  std::vector<int32_t> cells;
  Shared state(p, seed, cells);
  const quarnel::modelkit::Kernel_Run_Scope<Shared> scope(shared, state, fingerprint);
  Simulation_Configuration config;
  config.num_threads = threads;
  config.num_iterations = p.steps;
  Run_Result result;
  auto add_row = [&](const Counts& row) {
    if (on_row) {
      on_row(row);
      result.series.assign(1, row);
    } else {
      result.series.push_back(row);
    }
  };
  int64_t moved = 0;  // residents that moved in the last finished step
  bool last_row = false;
  {
    Simulation run(config);
    Set_Block_Size<Resident>(block_size);
    Set_Block_Size<Claim_Row>(block_size);
    Create_Many<Resident>(uint64_t(p.residents), Revision(0, decide), [&](uint64_t i) {
      return Resident(uint32_t(Root_Identity(i)), rules::Group_Of(p, int32_t(i)));
    });
    Create_Many<Claim_Row>(uint64_t(p.side), Revision(0, move),
                           [](uint64_t row) { return Claim_Row(int32_t(row)); });
    state.tallies.Start();
    run.On_Iteration_End([&](uint32_t i) {
      // happy: on the grid before this step's moves; moved: in this step
      const Shared::Tally counts = state.tallies.Sum();
      state.tallies.Reset();
      const int64_t happy_at_end = counts.happy_at_end;
      add_row({counts.happy, moved});
      moved = counts.moved;
      if (i + 1 == uint32_t(p.steps)) {
        add_row({happy_at_end, moved});
        last_row = true;
      }
    });
    run.Run();
    if (!last_row) add_row({rules::Count_Happy(p, state.grid, state.cell_of), moved});
    result.final_cells = state.cell_of;
  }
  result.fingerprint = Run_Fingerprint::Instance().Result();
  return result;
}

}  // namespace kernel

}  // namespace schelling
