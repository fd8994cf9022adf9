// Wolf-sheep-grass on a W x H grid that does not wrap, three ways:
//  - kernel::Run: the model on the Quarnel kernel, stepped in parallel phases;
//  - reference::Run (Wolf_Sheep_Reference.h): the same phases and the same Counter_Random
//    draws as plain loops over plain containers, one thread, no kernel; its per-step series
//    equals the kernel's exactly;
//  - declared::Run (Wolf_Sheep_Reference.h): the rules as the benchmark declares them, one
//    animal at a time in a fresh random order each step (sheep, then wolves, then grass), for
//    comparing outcomes.
//
// The phase formulation (sub-iterations 0 and 1 of one step):
//   0 move: every sheep and every wolf moves, loses 1 and joins its worker's lane of its new
//     cell's list (on a grid of 2^20 cells or more: is staged for the cell's row);
//   1 settle: the owner of each grid row gathers each cell's lanes into its list (or links the
//     row's staged animals, Multi_Occupancy_Grid::Link_Staged_Row), then settles each cell in
//     the order of the rules (Settle_Cell): the lowest-identity sheep eats grown grass, sheep
//     starve (< 1) or reproduce, the k-th lowest wolf eats the k-th lowest living sheep,
//     wolves starve (< 0) or reproduce, the grass regrows; then it empties the cell's lists,
//     and at the row's end it releases the row's dead.
// Everything an animal meets after its move is in its own cell, so one owner per cell settles
// it all, by identity, and no result depends on the order of stepping. Every draw is
// Counter_Random(seed, identity, Revision(step, label)), with the labels of rules::Draws.
//
// Thread safety: the Run functions run on one (controlling) thread, one run at a time; the
// kernel's handlers follow the phase rules above (Multi_Occupancy_Grid.h).
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Fingerprint_Scope.h>
#include <quarnel/modelkit/Grid_Geometry.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/Multi_Occupancy_Grid.h>
#include <quarnel/modelkit/Random_Order.h>
#include <quarnel/modelkit/View.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wolf_sheep {

using quarnel::Counter_Random;
using quarnel::Revision;
using quarnel::modelkit::Grid_Geometry;

// The probabilities and gains are given as doubles and used as floats (Reproduction, Gain):
// energies are floats, and a draw is compared with the float nearest to the probability.
struct Parameters {
  int32_t width = 25, height = 25;
  int32_t sheep = 60, wolves = 40;
  int32_t regrowth_time = 20;  // steps from eaten to grown again
  double sheep_reproduction = 0.2, wolf_reproduction = 0.1;
  double sheep_energy_gain = 5, wolf_energy_gain = 13;
  int32_t steps = 100;
  // Not a rule, and not declared: grids of this many cells or more stage the moved animals
  // by row (rules::Stages_Moves); the result is the same either way.
  int64_t stage_from_cells = int64_t(1) << 20;
};

// The parameters, declared once: the command line, the records and the presets read them here.
inline const quarnel::modelkit::Model_Parameters<Parameters>& Declared_Parameters() {
  static const auto declared = [] {
    constexpr int32_t most = 2147483647;
    quarnel::modelkit::Model_Parameters<Parameters> p;
    p.Integer("width", &Parameters::width, 25, 1, most, "cells per row of the grid; width x height < 2^31");
    p.Integer("height", &Parameters::height, 25, 1, most, "rows of the grid");
    p.Integer("sheep", &Parameters::sheep, 60, 0, most, "sheep at set-up");
    p.Integer("wolves", &Parameters::wolves, 40, 0, most, "wolves at set-up");
    p.Integer("regrowth_time", &Parameters::regrowth_time, 20, 1, most,
              "steps from eaten grass to grown grass");
    p.Floating("sheep_reproduction", &Parameters::sheep_reproduction, 0.2, 0, 1,
               "probability that a sheep reproduces in a step");
    p.Floating("wolf_reproduction", &Parameters::wolf_reproduction, 0.1, 0, 1,
               "probability that a wolf reproduces in a step");
    p.Floating("sheep_energy_gain", &Parameters::sheep_energy_gain, 5, 0, 1e6,
               "energy a sheep gains from grown grass");
    p.Floating("wolf_energy_gain", &Parameters::wolf_energy_gain, 13, 0, 1e6,
               "energy a wolf gains from a sheep");
    p.Integer("steps", &Parameters::steps, 100, 1, most, "steps to run");
    p.Preset("small", {});
    p.Preset("large", {{"width", "100"},
                       {"height", "100"},
                       {"sheep", "1000"},
                       {"wolves", "500"},
                       {"regrowth_time", "10"},
                       {"sheep_reproduction", "0.4"},
                       {"wolf_reproduction", "0.2"}});
    p.Preset("huge", {{"width", "2000"},
                      {"height", "2000"},
                      {"sheep", "400000"},
                      {"wolves", "200000"},
                      {"regrowth_time", "10"},
                      {"sheep_reproduction", "0.4"},
                      {"wolf_reproduction", "0.2"}});
    return p;
  }();
  return declared;
}

inline Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  return Declared_Parameters().Values_For(quarnel::modelkit::to_string(size), {});
}

// The model's measures. The records hold the three columns of Recorded(), which Run sets
// after set-up and after each step; the grid's grown cells change by what the rows add to
// grass_change in the step.
struct Measured {
  static const std::vector<std::string>& Recorded() {
    static const std::vector<std::string> columns{"sheep", "wolves", "grass"};
    return columns;
  }
  quarnel::Measures measures;
  quarnel::Integer_Gauge_Measure sheep = measures.Integer_Gauge("sheep");    // living sheep
  quarnel::Integer_Gauge_Measure wolves = measures.Integer_Gauge("wolves");  // living wolves
  quarnel::Integer_Gauge_Measure grass = measures.Integer_Gauge("grass");    // cells with grown grass
  quarnel::Count_Measure grass_change = measures.Count("grass_change");      // settle phase
};

// The state after a step: living sheep and wolves, cells with grown grass.
struct Counts {
  int64_t sheep = 0, wolves = 0, grass = 0;
  friend bool operator==(const Counts&, const Counts&) = default;
};
using Series = std::vector<Counts>;  // [0]: after set-up; [t]: after step t

// The sub-iterations of one step.
enum Phase : uint32_t { move = 0, settle = 1 };

namespace rules {

// The labels of a step's draws: an animal draws its move from Revision(step, ..._move) and
// its offspring from Revision(step, ..._birth) of its own stream. They are labels, not
// sub-iterations: any two distinct ones per animal would do, and these keep every seed's
// series as it has always been.
enum Draws : uint32_t { sheep_move = 0, sheep_birth = 2, wolf_move = 2, wolf_birth = 4 };

constexpr uint64_t setup_counter = UINT64_MAX;                // the set-up's draws; no step uses it
constexpr uint64_t grass_key = uint64_t(0x6772617373) << 24;  // + cell: a cell's set-up stream
constexpr uint64_t sheep_order_key = grass_key - 1, wolf_order_key = grass_key - 2;  // Run_Declared

// The parameters as the rules use them: floats.
inline float Reproduction(double probability) {
  return float(probability);
}
inline float Gain(double energy_gain) {
  return float(energy_gain);
}

// Sheep i is Root_Identity(i), wolf i Root_Identity(sheep + i): no two animals share a stream.
inline uint64_t Sheep_Identity(const Parameters&, int32_t i) {
  return quarnel::Root_Identity(uint64_t(i));
}
inline uint64_t Wolf_Identity(const Parameters& p, int32_t i) {
  return quarnel::Root_Identity(uint64_t(p.sheep) + uint64_t(i));
}

struct Start {
  int32_t cell;
  float energy;  // uniform in [1, 2 x gain)
};
inline Start Start_Of(const Grid_Geometry& g, uint64_t seed, uint64_t identity, float gain) {
  Counter_Random draws(seed, identity, setup_counter);
  const int32_t cell = int32_t(draws.Next_Below(uint64_t(g.num_cells())));
  return {cell, 1.0f + float(draws.Next_Uniform()) * (2 * gain - 1)};
}
// A cell's countdown at set-up: 0 (grown) with probability 1/2, else uniform in [1, regrowth_time].
inline int32_t Grass_Start(const Parameters& p, uint64_t seed, int32_t cell) {
  Counter_Random draws(seed, grass_key + uint64_t(cell), setup_counter);
  return draws.Next_Below(2) == 0 ? 0 : 1 + int32_t(draws.Next_Below(uint64_t(p.regrowth_time)));
}

// The set-up of the plain-loop versions: every cell's countdown, then the animals (sheep first)
// at their drawn cells and energies; returns the counts of step 0. Animal is an aggregate that
// starts with (identity, cell, energy).
template <class Animal>
Counts Set_Up(const Parameters& p, const Grid_Geometry& g, uint64_t seed, std::vector<int32_t>& countdown,
              std::vector<Animal>& sheep, std::vector<Animal>& wolves) {
  Counts counts{p.sheep, p.wolves, 0};
  for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
    countdown[size_t(cell)] = Grass_Start(p, seed, cell);
    counts.grass += countdown[size_t(cell)] == 0;
  }
  for (int32_t i = 0; i < p.sheep; ++i) {
    const uint64_t id = Sheep_Identity(p, i);
    const Start at = Start_Of(g, seed, id, Gain(p.sheep_energy_gain));
    sheep.push_back({id, at.cell, at.energy});
  }
  for (int32_t i = 0; i < p.wolves; ++i) {
    const uint64_t id = Wolf_Identity(p, i);
    const Start at = Start_Of(g, seed, id, Gain(p.wolf_energy_gain));
    wolves.push_back({id, at.cell, at.energy});
  }
  return counts;
}

// One of the in-grid Moore neighbours of `cell`, uniformly.
inline int32_t Move(const Grid_Geometry& g, int32_t cell, Counter_Random& draws) {
  std::array<int32_t, 8> neighbours;
  const int n = g.Moore_Neighbours(cell, neighbours);
  return n == 0 ? cell : neighbours[draws.Next_Below(uint64_t(n))];
}

// The grass contest of `cell`: the lowest-identity sheep of its list eats grown grass.
// Returns whether the grass was eaten.
template <class Sheep_Grid>
bool Feed_Sheep(const Sheep_Grid& sheep, int32_t cell, int32_t& countdown, const Parameters& p) {
  if (countdown != 0) return false;
  auto* winner = sheep.First(cell);
  if (winner == nullptr) return false;
  for (auto* s = Sheep_Grid::Next(winner); s != nullptr; s = Sheep_Grid::Next(s)) {
    if (s->identity() < winner->identity()) winner = s;
  }
  winner->_energy += Gain(p.sheep_energy_gain);
  countdown = p.regrowth_time;
  return true;
}

// The wolves' contest of `cell`: with the wolves and the living sheep each sorted by identity,
// the k-th wolf eats the k-th sheep for k < min(wolves, sheep). Each wolf eats at most one
// sheep, each sheep is eaten at most once. `wolves` and `prey` are scratch space.
template <class Wolf_Grid, class Sheep_Grid, class Wolf, class Sheep>
void Feed_Wolves(const Wolf_Grid& wolf_grid, const Sheep_Grid& sheep_grid, int32_t cell,
                 std::vector<Wolf*>& wolves, std::vector<Sheep*>& prey, const Parameters& p) {
  if (wolf_grid.First(cell) == nullptr || sheep_grid.First(cell) == nullptr) return;
  wolves.clear();
  prey.clear();
  for (Wolf* w = wolf_grid.First(cell); w != nullptr; w = Wolf_Grid::Next(w)) wolves.push_back(w);
  for (Sheep* s = sheep_grid.First(cell); s != nullptr; s = Sheep_Grid::Next(s)) {
    if (s->_alive) prey.push_back(s);
  }
  const size_t n = std::min(wolves.size(), prey.size());
  if (n == 0) return;
  auto by_identity = [](const auto* a, const auto* b) { return a->identity() < b->identity(); };
  std::partial_sort(wolves.begin(), wolves.begin() + ptrdiff_t(n), wolves.end(), by_identity);
  std::partial_sort(prey.begin(), prey.begin() + ptrdiff_t(n), prey.end(), by_identity);
  for (size_t k = 0; k < n; ++k) {
    wolves[k]->_energy += Gain(p.wolf_energy_gain);
    prey[k]->_alive = false;
  }
}

// Below `threshold` the animal starves (marked dead); otherwise, with probability `reproduce`
// drawn at `now`, it halves its energy and returns true: a newborn is due, a copy of it with
// the halved energy and the identity Child_Identity(identity, now).
template <class Animal>
bool Starve_Or_Reproduce(Animal& a, float threshold, float reproduce, uint64_t seed, Revision now) {
  if (a._energy < threshold) {
    a._alive = false;
    return false;
  }
  Counter_Random draws(seed, a.identity(), now);
  if (draws.Next_Uniform() >= reproduce) return false;
  a._energy /= 2;
  return true;
}

// The grass of a cell regrows: its countdown falls by 1 until it reaches 0 (grown). Returns 1
// when the grass has just grown, else 0. All that happens in a cell without animals.
inline int Regrow(int32_t& countdown) {
  return countdown > 0 && --countdown == 0 ? 1 : 0;
}

// Everything that happens in `cell` in step `step` once every animal has moved, in the order
// of the rules: the grass contest, the sheep starve or reproduce (newborns join the cell and
// may be eaten), the wolves' contest, the wolves starve or reproduce, the grass regrows.
// `births` makes the newborns: births.New_Sheep(parent, identity) returns the new sheep,
// births.New_Wolf(parent, identity) makes a wolf. The dead stay in the lists, marked, for
// the caller to free. Returns the change in the number of cells with grown grass (-1, 0, 1).
// REQUIRES: the caller alone uses `cell` of both grids.
template <class Sheep_Grid, class Wolf_Grid, class Sheep, class Wolf, class Births>
int Settle_Cell(Sheep_Grid& sheep_grid, const Wolf_Grid& wolf_grid, int32_t cell, int32_t& countdown,
                const Parameters& p, uint64_t seed, uint32_t step, std::vector<Wolf*>& wolf_scratch,
                std::vector<Sheep*>& prey_scratch, const Births& births) {
  int grass = -int(Feed_Sheep(sheep_grid, cell, countdown, p));
  const Revision sheep_born(step, sheep_birth), wolf_born(step, wolf_birth);
  // Newborns join at the head of the list, so the walk from the old head meets only parents.
  for (Sheep* s = sheep_grid.First(cell); s != nullptr; s = Sheep_Grid::Next(s)) {
    if (Starve_Or_Reproduce(*s, 1, Reproduction(p.sheep_reproduction), seed, sheep_born)) {
      sheep_grid.Push_Alone(cell, births.New_Sheep(*s, quarnel::Child_Identity(s->identity(), sheep_born)));
    }
  }
  Feed_Wolves(wolf_grid, sheep_grid, cell, wolf_scratch, prey_scratch, p);
  for (Wolf* w = wolf_grid.First(cell); w != nullptr; w = Wolf_Grid::Next(w)) {
    if (Starve_Or_Reproduce(*w, 0, Reproduction(p.wolf_reproduction), seed, wolf_born)) {
      births.New_Wolf(*w, quarnel::Child_Identity(w->identity(), wolf_born));
    }
  }
  return grass + Regrow(countdown);
}

// Staging the moved animals by row pays where the grid's heads do not fit the cache and costs
// where they do (docs/performance-log.md), so both versions stage only on grids of at least
// p.stage_from_cells cells (2^20 unless a test asks otherwise) and otherwise push each moved
// animal straight into its new cell's list.
inline bool Stages_Moves(const Parameters& p, const Grid_Geometry& g) {
  return g.num_cells() >= p.stage_from_cells;
}

}  // namespace rules

// ---------------------------------------------------------------------------------------
// The model on the kernel.
namespace kernel {

// Sheep and wolves carry their identities themselves (Root_Identity at set-up, Child_Identity
// at birth) instead of being identified kernel types, whose managers would also record every
// identity given in the run: one insert per birth, and tens of millions of births at the huge
// size. The draws are keyed on these identities all the same; the run fingerprint sees an
// animal's calls by revision (identity -1), a grass row's by its identity.
//
// An animal acts only in the move phase; what happens to it after (eating, being eaten,
// starving, giving birth, being freed) is done by the owner of its cell in the settle phase.
//
// The owner meets the animals of its row at random places in memory, so each animal keeps
// what the owner reads (identity, cell, energy, flag, list link) in one cache line: the kernel's
// part of a cell takes its first 48 bytes, and an animal's own fields right behind it would
// straddle the first two lines and cost two memory accesses where one will do. `_line_rest`
// fills the first line and puts them all in the second; the cell stays 128 bytes.
template <class Kernel_Part>
constexpr size_t Line_Rest = (quarnel::__cache_line_size - sizeof(Kernel_Part) % quarnel::__cache_line_size) %
                             quarnel::__cache_line_size;

class Sheep : public quarnel::Agent<Sheep> {
 public:
  Sheep() = default;  // a checkpoint's load fills it
  Sheep(uint64_t identity, int32_t cell, float energy) : _identity(identity), _cell(cell), _energy(energy) {}
  void Act(quarnel::Next& next);
  uint64_t identity() const { return _identity; }
  // Between steps every animal is alive and in no list: its identity, cell and energy are its state.
  template <class Archive>
  void serialize(Archive& a) {
    a(_identity, _cell, _energy);
  }

  char _line_rest[Line_Rest<quarnel::Agent<Sheep>>] = {};
  uint64_t _identity = 0;
  int32_t _cell = 0;
  float _energy = 0;
  bool _alive = true;              // false: starved or eaten, until its row frees it
  Sheep* _next_in_cell = nullptr;  // its cell's list, from its move to the end of the step
};

class Wolf : public quarnel::Agent<Wolf> {
 public:
  Wolf() = default;  // a checkpoint's load fills it
  Wolf(uint64_t identity, int32_t cell, float energy) : _identity(identity), _cell(cell), _energy(energy) {}
  void Act(quarnel::Next& next);
  uint64_t identity() const { return _identity; }
  // Between steps every animal is alive and in no list: its identity, cell and energy are its state.
  template <class Archive>
  void serialize(Archive& a) {
    a(_identity, _cell, _energy);
  }

  char _line_rest[Line_Rest<quarnel::Agent<Wolf>>] = {};
  uint64_t _identity = 0;
  int32_t _cell = 0;
  float _energy = 0;
  bool _alive = true;             // false: starved, until its row frees it
  Wolf* _next_in_cell = nullptr;  // its cell's list, from its move to the end of the step
};

// With the filler an animal still takes a cell of two lines (a cell is at least one byte
// larger than its object).
static_assert(sizeof(Sheep) < 2 * quarnel::__cache_line_size &&
              sizeof(Wolf) < 2 * quarnel::__cache_line_size);

// The grass of row `_row` and the owner of that row's cells: it gathers the animals moved into
// the row (or links those staged for it), settles its cells, empties their lists and releases
// their dead.
class Grass_Row : public quarnel::Identified_Agent<Grass_Row> {
 public:
  Grass_Row() = default;
  explicit Grass_Row(int32_t row) : _row(row) {}
  void Act(quarnel::Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_row);
  }

  int32_t _row = 0;
};

// The run's model state, which every handler reaches as next.model<Shared>(): set before the
// run, constant during it except for the grass countdowns (each written only by its row), the
// lists (phase rules above) and the measures (each worker adds to its own part; Measures.h).
// Each worker puts the animals it moves in a lane of its own: on a grid that stages moves
// (rules::Stages_Moves) a staging lane, whose rows the row owners link; otherwise a lane of
// every cell's list, which the cell's owner gathers.
struct Shared {
  Shared(const Parameters& parameters, uint64_t run_seed, int workers, const Measured& m)
      : p(parameters),
        seed(run_seed),
        geometry(p.width, p.height),
        stage(rules::Stages_Moves(p, geometry)),
        countdown(size_t(geometry.num_cells())),
        sheep(geometry, stage ? 1 : workers, stage ? workers : 0),
        wolves(geometry, stage ? 1 : workers, stage ? workers : 0),
        measured(m) {}
  Parameters p;
  uint64_t seed;
  Grid_Geometry geometry;
  bool stage;
  std::vector<int32_t> countdown;  // per cell; 0: grown
  quarnel::modelkit::Multi_Occupancy_Grid<Sheep, &Sheep::_next_in_cell> sheep;
  quarnel::modelkit::Multi_Occupancy_Grid<Wolf, &Wolf::_next_in_cell> wolves;
  // A row adds the change in its cells with grown grass to measured.grass_change.
  const Measured& measured;
};

// The move phase of a sheep or a wolf: to a random neighbour cell, 1 energy less, in its
// worker's lane of the new cell (staged for the cell's row, on a grid that stages moves); it
// acts again in the next step.
template <class Animal, class Grid>
void Move(const Shared& s, Animal& a, Grid& grid, uint32_t draws_label, quarnel::Next& next) {
  Counter_Random draws(s.seed, a._identity, Revision(next.iteration(), draws_label));
  a._cell = rules::Move(s.geometry, a._cell, draws);
  a._energy -= 1;
  if (s.stage) {
    grid.Stage(a._cell, &a, quarnel::__thread_id);
  } else {
    grid.Push_To_Lane(a._cell, &a, quarnel::__thread_id);
  }
  next.In(1, move);
}

inline void Sheep::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  kernel::Move(s, *this, s.sheep, rules::sheep_move, next);
}
inline void Wolf::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  kernel::Move(s, *this, s.wolves, rules::wolf_move, next);
}

// The newborns of a row's settling: they join the run and move from the next step on. A
// newborn takes over the object of an animal of its kind that died earlier in the same row,
// when there is one, instead of a new one: the dead one's lines are still in the cache, where
// a fresh cell and a release each cost a miss. Only the animal's own fields are
// written; the kernel's part of the object stays as it is, and the dead one is already due at
// the next move (every animal in a list moved in this step; checked all the same).
struct Births {
  uint32_t step;
  std::vector<Sheep*>& dead_sheep;  // the row's dead so far
  std::vector<Wolf*>& dead_wolves;
  Sheep* New_Sheep(const Sheep& parent, uint64_t identity) const {
    return Born(dead_sheep, parent, identity);
  }
  void New_Wolf(const Wolf& parent, uint64_t identity) const { Born(dead_wolves, parent, identity); }

 private:
  template <class Animal>
  Animal* Born(std::vector<Animal*>& dead, const Animal& parent, uint64_t identity) const {
    const Revision first_move(step + 1, move);
    if (dead.empty()) {
      Animal* child = quarnel::Create<Animal>(identity, parent._cell, parent._energy);
      child->Schedule_At(first_move);
      return child;
    }
    Animal* child = dead.back();
    dead.pop_back();
    child->_identity = identity;
    child->_cell = parent._cell;
    child->_energy = parent._energy;
    child->_alive = true;
    child->_next_in_cell = nullptr;
    if (child->next_revision() != first_move) child->Schedule_At(first_move);
    return child;
  }
};

// Adds the dead of a settled cell's list to `dead` and empties the list. The row releases its
// dead together at its end (quarnel::Release_All): they lie anywhere in their blocks' memory.
template <class Grid, class Animal>
void Collect_Dead_And_Clear(Grid& grid, int32_t cell, std::vector<Animal*>& dead) {
  for (Animal* animal = grid.First(cell); animal != nullptr; animal = Grid::Next(animal)) {
    if (!animal->_alive) dead.push_back(animal);
  }
  grid.Clear(cell);
}

inline void Grass_Row::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  static thread_local std::vector<Wolf*> wolves;
  static thread_local std::vector<Sheep*> prey;
  static thread_local std::vector<Sheep*> dead_sheep;
  static thread_local std::vector<Wolf*> dead_wolves;
  const uint32_t step = next.iteration();
  const Births births{step, dead_sheep, dead_wolves};
  // Read once: the loop below calls out of line, after which the compiler would load it again.
  const bool staged = s.stage;
  if (staged) {
    s.sheep.Link_Staged_Row(_row);
    s.wolves.Link_Staged_Row(_row);
  }
  // Counted in a local and added to the measure once: a sum kept in memory would be stored
  // and loaded again at every cell, one cell's addition waiting for the one before.
  int64_t grown = 0;
  const int32_t first = s.geometry.Cell(0, _row), end = first + s.geometry.width();
  for (int32_t cell = first; cell < end; ++cell) {
    if (!staged) {
      s.sheep.Gather(cell);
      s.wolves.Gather(cell);
    }
    // Most cells hold no animal (at every size): their grass only regrows, and they have no
    // dead to free and no list to empty.
    if (s.sheep.First(cell) == nullptr && s.wolves.First(cell) == nullptr) {
      grown += rules::Regrow(s.countdown[size_t(cell)]);
      continue;
    }
    grown += rules::Settle_Cell(s.sheep, s.wolves, cell, s.countdown[size_t(cell)], s.p, s.seed, step, wolves,
                                prey, births);
    Collect_Dead_And_Clear(s.sheep, cell, dead_sheep);
    Collect_Dead_And_Clear(s.wolves, cell, dead_wolves);
  }
  s.measured.grass_change.Add(grown);
  quarnel::Release_All(dead_sheep);
  quarnel::Release_All(dead_wolves);
  dead_sheep.clear();
  dead_wolves.clear();
  next.In(1, settle);
}

// The run for the live view, between steps: grown grass, then the sheep, then the wolves.
inline void Portray(const Shared& s, quarnel::modelkit::Portrayal& out) {
  const Grid_Geometry& g = s.geometry;
  out.Space(g.width(), g.height());
  const int grass = out.Kind("grass", quarnel::modelkit::Shape::square, {"cell", "countdown"});
  const int sheep = out.Kind("sheep", quarnel::modelkit::Shape::circle, {"energy", "cell"});
  const int wolf = out.Kind("wolf", quarnel::modelkit::Shape::circle, {"energy", "cell"});
  for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
    if (s.countdown[size_t(cell)] == 0)
      out.Add(grass, g.X(cell) + 0.5, g.Y(cell) + 0.5, 0x9ccc65, 1.0, uint64_t(cell), {double(cell), 0.0});
  }
  // Within its cell by its identity: a fixed place for each animal, never outside the cell.
  auto place = [&](uint64_t identity, int32_t cell, double& x, double& y) {
    const uint64_t h = identity * 0x9E3779B97F4A7C15ull;
    x = g.X(cell) + 0.2 + 0.6 * double(h >> 40 & 0xFFFF) / 65535.0;
    y = g.Y(cell) + 0.2 + 0.6 * double(h >> 20 & 0xFFFF) / 65535.0;
  };
  double x, y;
  quarnel::For_Each_Live<Sheep>([&](Sheep& a) {
    if (!a._alive) return;
    place(a._identity, a._cell, x, y);
    out.Add(sheep, x, y, 0x42a5f5, 0.55, a._identity, {double(a._energy), double(a._cell)});
  });
  quarnel::For_Each_Live<Wolf>([&](Wolf& a) {
    if (!a._alive) return;
    place(a._identity, a._cell, x, y);
    out.Add(wolf, x, y, 0x263238, 0.6, a._identity, {double(a._energy), double(a._cell)});
  });
}

struct Run_Result {
  Series series;  // with a row sink: its last row only
  quarnel::Run_Digest fingerprint;
};

// Receives each row of the series as soon as it is final, in order, with the measures of
// Measured::Recorded() set to it.
using Row_Sink = std::function<void(const Counts&)>;

// The bytes of the per-worker lanes of a run on `threads` workers beyond those of one worker
// (the two grids' list heads, or their staging vectors on a grid that stages moves): what a
// program checks against the memory before it starts the run.
inline uint64_t Worker_Lane_Bytes(const Parameters& p, int threads) {
  const Grid_Geometry g(p.width, p.height);
  const uint64_t extra = uint64_t(std::max(threads, 1) - 1);
  if (rules::Stages_Moves(p, g)) return 2 * (extra + 1) * uint64_t(p.height) * sizeof(std::vector<void*>);
  return 2 * extra * uint64_t(g.num_cells()) * sizeof(void*);
}

// A run's checkpoints (Model_Checkpoints.h): it resumes from theirs when they resume, and
// saves into them after each step's row, which `records` holds.
struct Checkpointing {
  quarnel::modelkit::Model_Checkpoints& checkpoints;
  quarnel::modelkit::Recorder& records;
};

// One whole run on `threads` workers with `block_size` objects per block of every type, its
// measures in `measured` (a run of its own when null); the grass rows, few and each a row's
// worth of work, at most a quarter of a worker's share per block, so that every worker gets
// rows to settle. With `on_row`, each row goes there as soon as it is final and the result
// keeps the last one only, so that memory does not grow with the steps. The workers start
// before the per-worker lanes are allocated: a thread count the system refuses fails before
// that memory is taken. A run stopped early (World::Request_Stop) ends with the row of its
// last finished step. With `view`, the live view watches the run (View.h): the cells with
// grown grass, the sheep and the wolves (each animal placed within its cell by its identity,
// so that those sharing a cell stay apart).
// With `checkpointing`, a run saved in a checkpoint goes on from its step (its rows from the
// next one on), and checkpoints are written as they ask. Between steps every animal is alive,
// in no list and due at the next move, so a checkpoint holds the sheep, the wolves and the
// rows' owners with their fields, every cell's grass countdown and the grown cells' count; the
// lists, lanes and staging vectors start empty.
// REQUIRES: controlling thread, no other run. Exceptions of the kernel pass through.
inline Run_Result Run(const Parameters& p, uint64_t seed, int threads, int block_size,
                      bool fingerprint = true, const Row_Sink& on_row = {}, Measured* measured = nullptr,
                      quarnel::modelkit::View* view = nullptr, const Checkpointing* checkpointing = nullptr) {
  using namespace quarnel;
  std::unique_ptr<Measured> own = measured ? nullptr : std::make_unique<Measured>();
  Measured& m = measured ? *measured : *own;
  const quarnel::modelkit::Fingerprint_Scope fingerprint_scope(fingerprint);
  Simulation_Configuration config;
  config.num_threads = threads;
  config.num_iterations = p.steps;
  Run_Result result;
  auto add_row = [&](const Counts& row) {
    m.sheep.Set(row.sheep);
    m.wolves.Set(row.wolves);
    m.grass.Set(row.grass);
    if (on_row) {
      on_row(row);
      result.series.assign(1, row);
    } else {
      result.series.push_back(row);
    }
  };
  // Made once the workers have started, and destroyed after the run has ended (declared
  // before it).
  std::optional<Shared> state_storage;
  {
    Simulation run(config);
    Shared& state = state_storage.emplace(p, seed, threads, m);
    run.Attach(state);
    Set_Block_Size<Sheep>(block_size);
    Set_Block_Size<Wolf>(block_size);
    const int64_t rows_each = (int64_t(p.height) + 4 * int64_t(threads) - 1) / (4 * int64_t(threads));
    Set_Block_Size<Grass_Row>(threads == 1 ? block_size : int(std::clamp<int64_t>(rows_each, 1, block_size)));
    run.Attach_Measures(m.measures);
    int64_t grass = 0;  // cells with grown grass after the last finished step
    auto contents = [&](Checkpoint_Io& io) {
      io.Objects<Sheep>();
      io.Objects<Wolf>();
      io.Objects<Grass_Row>();
      io.State(state.countdown, grass);
      if (io.saving()) return;
      // A run forked with another grid would index past its countdowns and lists.
      const int32_t cells = state.geometry.num_cells();
      if (state.countdown.size() != size_t(cells)) io.Refuse("its grid has another number of cells");
      bool inside = true;
      For_Each_Live<Sheep>([&](const Sheep& a) { inside = inside && a._cell >= 0 && a._cell < cells; });
      For_Each_Live<Wolf>([&](const Wolf& a) { inside = inside && a._cell >= 0 && a._cell < cells; });
      if (!inside) io.Refuse("an animal lies outside the grid");
      int64_t rows = 0;
      For_Each_Live<Grass_Row>([&](const Grass_Row& r) { rows += r._row >= 0 && r._row < p.height; });
      if (rows != p.height || Live_Count<Grass_Row>() != p.height)
        io.Refuse("its rows' owners are not one per row of the grid");
    };
    if (checkpointing != nullptr && checkpointing->checkpoints.resuming()) {
      checkpointing->checkpoints.Restore(&m.measures, contents);
    } else {
      Counts start{p.sheep, p.wolves, 0};
      for (int32_t cell = 0; cell < state.geometry.num_cells(); ++cell) {
        state.countdown[size_t(cell)] = rules::Grass_Start(p, seed, cell);
        start.grass += state.countdown[size_t(cell)] == 0;
      }
      for (int32_t y = 0; y < p.height; ++y) {
        Create_Identified<Grass_Row>(Root_Identity(uint64_t(y)), y)->Schedule_At(Revision(0, settle));
      }
      Create_Many<Sheep>(uint64_t(p.sheep), Revision(0, move), [&](uint64_t i) {
        const uint64_t id = rules::Sheep_Identity(p, int32_t(i));
        const rules::Start at = rules::Start_Of(state.geometry, seed, id, rules::Gain(p.sheep_energy_gain));
        return Sheep(id, at.cell, at.energy);
      });
      Create_Many<Wolf>(uint64_t(p.wolves), Revision(0, move), [&](uint64_t i) {
        const uint64_t id = rules::Wolf_Identity(p, int32_t(i));
        const rules::Start at = rules::Start_Of(state.geometry, seed, id, rules::Gain(p.wolf_energy_gain));
        return Wolf(id, at.cell, at.energy);
      });
      add_row(start);
      grass = start.grass;
    }
    run.On_Iteration_End([&](uint32_t i) {
      grass += m.grass_change.Value();
      add_row({Live_Count<Sheep>(), Live_Count<Wolf>(), grass});
      if (view)
        view->Between_Iterations(i + 1, uint64_t(p.steps),
                                 [&](quarnel::modelkit::Portrayal& out) { Portray(state, out); });
      if (checkpointing != nullptr)
        checkpointing->checkpoints.After_Iteration(i, checkpointing->records, &m.measures, contents);
    });
    run.Run();
  }
  result.fingerprint = Run_Fingerprint::Instance().Result();
  return result;
}

}  // namespace kernel

}  // namespace wolf_sheep
