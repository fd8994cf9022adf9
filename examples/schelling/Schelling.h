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
//   1 each row's owner moves the lowest claimant of each of its cells in; the other claimants stay.
// Every step is stepped alike, the last one too: the last row's residents are counted after the
// run, so a run's state at its last step is that of a longer run at the same step.
// The draws are Counter_Random(seed, identity, Revision(step, 0)); the claims are settled by
// Move_Claims (Single_Occupancy_Grid.h), whose result does not depend on the claims' order.
//
// Thread safety: the Run functions run on one (controlling) thread, one run at a time.
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Fingerprint_Scope.h>
#include <quarnel/modelkit/Grid_Geometry.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/Random_Order.h>
#include <quarnel/modelkit/Single_Occupancy_Grid.h>
#include <quarnel/modelkit/View.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace schelling {

using quarnel::Counter_Random;
using quarnel::Revision;
using quarnel::modelkit::Grid_Geometry;
using Grid = quarnel::modelkit::Single_Occupancy_Grid<uint8_t>;  // 0 empty, 1 or 2: a group

struct Parameters {
  int32_t side = 40;
  int32_t agents = 1000;
  int32_t radius = 1;
  int32_t min_to_be_happy = 3;
  int32_t steps = 20;
};

// The parameters, declared once: the command line, the records and the presets read them here.
inline const quarnel::modelkit::Model_Parameters<Parameters>& Declared_Parameters() {
  static const auto declared = [] {
    quarnel::modelkit::Model_Parameters<Parameters> p;
    p.Integer("side", &Parameters::side, 40, 1, 46340, "cells per row and per column of the grid");
    p.Integer("agents", &Parameters::agents, 1000, 0, 2147483647,
              "residents, half in each group; at most side^2");
    p.Integer("radius", &Parameters::radius, 1, 0, 1000,
              "the Chebyshev radius of a resident's neighbourhood");
    p.Integer("min_to_be_happy", &Parameters::min_to_be_happy, 3, 0, 4000000,
              "own-group neighbours that make a resident happy");
    p.Integer("steps", &Parameters::steps, 20, 1, 2147483647, "steps to run");
    p.Preset("small", {});
    p.Preset("large", {{"side", "100"}, {"agents", "8000"}, {"radius", "2"}, {"min_to_be_happy", "8"}});
    p.Preset("huge", {{"side", "2000"}, {"agents", "3200000"}, {"radius", "2"}, {"min_to_be_happy", "8"}});
    return p;
  }();
  return declared;
}

inline Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  return Declared_Parameters().Values_For(quarnel::modelkit::to_string(size), {});
}

// The model's measures. The records hold the three columns of Recorded(), which the iteration
// hook sets from the counts the handlers add in the step: a row's happy residents are counted
// one step after its moves (see Run).
struct Measured {
  static const std::vector<std::string>& Recorded() {
    static const std::vector<std::string> columns{"happy", "moved", "fraction_happy"};
    return columns;
  }
  quarnel::Measures measures;
  quarnel::Integer_Gauge_Measure happy = measures.Integer_Gauge("happy");
  quarnel::Integer_Gauge_Measure moved = measures.Integer_Gauge("moved");
  quarnel::Gauge_Measure fraction_happy = measures.Gauge("fraction_happy");
  quarnel::Count_Measure happy_in_step = measures.Count("happy_in_step");  // phase 0
  quarnel::Count_Measure moved_in_step = measures.Count("moved_in_step");  // phase 1
};

// The state after a step: residents happy on the grid then, residents that moved in the step.
struct Counts {
  int64_t happy = 0, moved = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};
using Series = std::vector<Counts>;  // [0]: after set-up (none moved); [t]: after step t

enum Phase : uint32_t { decide = 0, move = 1 };

namespace rules {

constexpr uint64_t setup_counter = UINT64_MAX;                // the set-up's draws; no step uses it
constexpr uint64_t order_key = uint64_t(0x6f72646572) << 24;  // declared::Run's order stream

// Resident i: identity Root_Identity(i), group 1 for the first half, 2 for the rest.
inline uint8_t Group_Of(const Parameters& p, int32_t i) {
  return i < p.agents / 2 ? 1 : 2;
}

// The grid after set-up: resident i at a uniformly random cell left empty by residents 0..i-1
// (drawn from its own stream); `cells[i]` is its cell.
inline Grid Place_Residents(const Parameters& p, uint64_t seed, std::vector<int32_t>& cells) {
  Grid grid(Grid_Geometry(p.side, p.side));
  if (p.agents < 0 || int64_t(p.agents) > int64_t(grid.geometry().num_cells())) {
    throw std::invalid_argument("Schelling: more residents than cells");
  }
  cells.resize(size_t(p.agents));
  for (int32_t i = 0; i < p.agents; ++i) {
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
  Resident() = default;  // a checkpoint's load fills it
  Resident(uint32_t identity, uint8_t group) : _identity(identity), _group(group) {}
  void Act(quarnel::Next& next);  // phase 0 of every step
  uint32_t identity() const { return _identity; }
  template <class Archive>
  void serialize(Archive& a) {
    a(_identity, _group);
  }

  uint32_t _identity = 0;
  uint8_t _group = 0;
};

// The owner of one row of cells: in phase 1 it settles the claims on its cells and moves each
// winner in. It writes its own cells, the cells its winners leave (each left by one winner
// alone) and its winners' entries of cell_of; no other handler touches those in phase 1.
class Claim_Row : public quarnel::Agent<Claim_Row> {
 public:
  Claim_Row() = default;
  explicit Claim_Row(int32_t row) : _row(row) {}
  void Act(quarnel::Next& next);  // phase 1 of every step
  template <class Archive>
  void serialize(Archive& a) {
    a(_row);
  }

  int32_t _row = 0;
};

// The run's model state, which every handler reaches as next.model<Shared>(): the grid (read
// in phase 0, moved in phase 1), the claims, the residents' cells, the settings (among them
// the minimum to be happy, read at every decision) and the measures the handlers add to.
struct Shared {
  Shared(const Parameters& parameters, uint64_t run_seed, std::vector<int32_t>& cells, const Measured& m)
      : p(parameters),
        seed(run_seed),
        grid(rules::Place_Residents(p, seed, cells)),
        claims(grid.geometry().num_cells()),
        cell_of(cells),
        measured(m) {}
  Parameters p;
  uint64_t seed;
  Grid grid;
  quarnel::modelkit::Move_Claims claims;
  std::vector<int32_t> cell_of;  // [identity - 1]: the resident's cell
  const Measured& measured;
};

inline void Resident::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  const int32_t cell = s.cell_of[_identity - 1];
  const bool happy = rules::Happy(s.grid, cell, _group, s.p);
  s.measured.happy_in_step.Add(happy);
  if (!happy) {
    const Revision now = next.now();
    Counter_Random draws(s.seed, _identity, now);
    const int32_t target = s.grid.Random_Empty_Cell(draws);
    if (target >= 0) s.claims.Claim(target, now._iteration + 1, _identity);
  }
  next.In(1, decide);
}

inline void Claim_Row::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
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
  s.measured.moved_in_step.Add(moved);
  next.In(1, move);
}

struct Run_Result {
  Series series;  // with a row sink: its last row only
  quarnel::Run_Digest fingerprint;
  std::vector<int32_t> final_cells;  // [i]: the cell of resident i (identity i + 1) at the end
};

// Receives each row of the series as soon as it is final, in order, with the measures of
// Measured::Recorded() set to it.
using Row_Sink = std::function<void(const Counts&)>;

// A run's checkpoints (Model_Checkpoints.h): it resumes from theirs when they resume, and
// saves into them after each iteration's row, which `records` holds.
struct Checkpointing {
  quarnel::modelkit::Model_Checkpoints& checkpoints;
  quarnel::modelkit::Recorder& records;
};

// One whole run on `threads` workers with `block_size` objects per block of each type, its
// measures in `measured` (a run of its own when null). With `on_row`, each row goes there as
// soon as it is final and the result keeps the last one only, so that memory does not grow
// with the steps. A run stopped early (World::Request_Stop) ends with the row of its last
// finished step. With `view`, the live view watches the run (View.h): each resident a square
// of its group's colour, with its identity, group and whether it is happy.
// Row t's happy residents are those of the grid after step t, counted in phase 0 of step t + 1
// (iteration t), so row t is final at the end of iteration t; the last row's are counted on the
// controlling thread once the run has ended (at its last step or stopped before).
// REQUIRES: controlling thread, no other run. Exceptions of the kernel pass through.
// With `checkpointing`, a run saved in a checkpoint goes on from its iteration (the rows from
// there on), and checkpoints are written as they ask. A checkpoint holds the residents, the rows'
// owners, every resident's cell and the moves of the last finished step; the grid is rebuilt
// from the cells, and the claims, which a round overwrites before it reads them, start empty.
// One saved at the end of iteration i holds the records up to row i; one saved at the last step
// is continued by a longer run, which writes the last row again (Recorder.h cuts it back first).
inline Run_Result Run(const Parameters& p, uint64_t seed, int threads, int block_size,
                      bool fingerprint = true, const Row_Sink& on_row = {}, Measured* measured = nullptr,
                      quarnel::modelkit::View* view = nullptr, const Checkpointing* checkpointing = nullptr) {
  using namespace quarnel;
  std::unique_ptr<Measured> own = measured ? nullptr : std::make_unique<Measured>();
  Measured& m = measured ? *measured : *own;
  std::vector<int32_t> cells;
  Shared state(p, seed, cells, m);
  const quarnel::modelkit::Fingerprint_Scope fingerprint_scope(fingerprint);
  Simulation_Configuration config;
  config.num_threads = threads;
  config.num_iterations = p.steps;
  Run_Result result;
  auto add_row = [&](const Counts& row) {
    m.happy.Set(row.happy);
    m.moved.Set(row.moved);
    m.fraction_happy.Set(p.agents > 0 ? double(row.happy) / double(p.agents) : 0.0);
    if (on_row) {
      on_row(row);
      result.series.assign(1, row);
    } else {
      result.series.push_back(row);
    }
  };
  int64_t moved = 0;  // residents that moved in the last finished step
  auto contents = [&](Checkpoint_Io& io) {
    io.Objects<Resident>();
    io.Objects<Claim_Row>();
    io.State(state.cell_of, moved);
    if (io.saving()) return;
    if (state.cell_of.size() != size_t(p.agents)) io.Refuse("it holds another number of residents");
    state.grid = Grid(Grid_Geometry(p.side, p.side));
    for (size_t i = 0; i < state.cell_of.size(); ++i) {
      const int32_t cell = state.cell_of[i];
      if (uint64_t(uint32_t(cell)) >= uint64_t(state.grid.geometry().num_cells()) || state.grid.At(cell) != 0)
        io.Refuse("two residents share a cell, or one lies outside the grid");
      state.grid.Place(cell, rules::Group_Of(p, int32_t(i)));
    }
  };
  const bool resuming = checkpointing != nullptr && checkpointing->checkpoints.resuming();
  {
    Simulation run(config, state);
    Set_Block_Size<Resident>(block_size);
    Set_Block_Size<Claim_Row>(block_size);
    run.Attach_Measures(m.measures);
    if (resuming) {
      checkpointing->checkpoints.Restore(&m.measures, contents);
    } else {
      Create_Many<Resident>(uint64_t(p.agents), Revision(0, decide), [&](uint64_t i) {
        return Resident(uint32_t(Root_Identity(i)), rules::Group_Of(p, int32_t(i)));
      });
      Create_Many<Claim_Row>(uint64_t(p.side), Revision(0, move),
                             [](uint64_t row) { return Claim_Row(int32_t(row)); });
    }
    run.On_Iteration_End([&](uint32_t i) {
      // happy: on the grid before this step's moves; moved: in this step
      add_row({m.happy_in_step.Value(), moved});
      moved = m.moved_in_step.Value();
      if (view) {
        view->Between_Iterations(i + 1, uint64_t(p.steps), [&](quarnel::modelkit::Portrayal& out) {
          const auto& g = state.grid.geometry();
          out.Space(g.width(), g.height());
          const int kind = out.Kind("resident", quarnel::modelkit::Shape::square, {"group", "happy", "cell"});
          for (size_t k = 0; k < state.cell_of.size(); ++k) {
            const int32_t cell = state.cell_of[k];
            const uint8_t group = state.grid.At(cell);
            out.Add(kind, g.X(cell) + 0.5, g.Y(cell) + 0.5, group == 1 ? 0x1f77b4 : 0xff7f0e, 1.0,
                    uint64_t(k + 1),
                    {double(group), rules::Happy(state.grid, cell, group, p) ? 1.0 : 0.0, double(cell)});
          }
        });
      }
      if (checkpointing != nullptr)
        checkpointing->checkpoints.After_Iteration(i, checkpointing->records, &m.measures, contents);
    });
    run.Run();
    add_row({rules::Count_Happy(p, state.grid, state.cell_of), moved});
    result.final_cells = state.cell_of;
  }
  result.fingerprint = Run_Fingerprint::Instance().Result();
  return result;
}

}  // namespace kernel

}  // namespace schelling
