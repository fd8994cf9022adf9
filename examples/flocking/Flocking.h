// Flocking: birds in a continuous W x H space that is periodic in both directions cohere,
// separate and match their neighbours' velocities (the rules of the model: README.md beside this file).
//
// Phase formulation (one sub-iteration per step):
//  - the step: every bird reads the flock of the previous step from a bucket grid of copies
//    (Periodic_Bucket_Grid) and writes only its own position, velocity and the distance to its
//    nearest neighbour;
//  - between steps the iteration hook rebuilds the grid from the birds in index order and
//    computes the step's statistics in that order, so no floating-point sum depends on the workers.
// Run_Flocking runs it on the kernel; Run_Flocking_Reference (Flocking_Reference.h) runs the
// same formulation with plain loops over a vector. Both call Step_Bird, so their series are
// equal bit for bit, and so is the kernel's series on any number of workers and for any block
// size.
//
// Thread safety: Run_Flocking and Run_Flocking_Reference run on the calling thread (the kernel's
// run starts and joins its own workers); one kernel run per process at a time.
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Periodic_Bucket_Grid.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace flocking {

struct Flocking_Parameters {
  double width = 100.0;
  double height = 100.0;
  int birds = 200;
  double visual_distance = 5.0;
  double speed = 1.0;
  double separation = 1.0;
  double cohere_factor = 0.03;
  double separate_factor = 0.015;
  double match_factor = 0.05;
  int steps = 100;
};

inline Flocking_Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  Flocking_Parameters p;
  switch (size) {
    case quarnel::modelkit::Model_Size::small:
      break;
    case quarnel::modelkit::Model_Size::large:
      p.width = p.height = 150.0;
      p.birds = 400;
      p.visual_distance = 15.0;
      break;
    case quarnel::modelkit::Model_Size::huge:
      p.width = p.height = 3000.0;
      p.birds = 200000;
      p.visual_distance = 15.0;
      break;
  }
  return p;
}

// One line of the series: the flock after `step` steps.
struct Flocking_Row {
  int step;
  double mean_nearest_distance;  // mean over the birds of the distance to the nearest other bird
  double alignment;              // |mean of the unit velocities|: 1 when all fly the same way
  friend bool operator==(const Flocking_Row&, const Flocking_Row&) = default;
};

struct Run_Settings {
  int threads = 1;
  uint64_t seed = 1;
  int steps = 0;  // 0: the parameters' steps
  int block_size = 1000;
  bool fingerprint = true;  // record the run fingerprint (kernel only)
  // Kernel only: receives each step's row as soon as it is final, and the result then keeps
  // the last row only. The run keeps nothing per step either way beyond the series it returns,
  // so with a row sink its memory does not grow with the steps.
  std::function<void(const Flocking_Row&)> on_row;
};

struct Flocking_Result {
  std::vector<Flocking_Row> series;  // steps 1 .. steps
  quarnel::Run_Digest fingerprint;   // empty for the reference
};

struct Bird_State {
  double x, y;    // in [0, W) x [0, H)
  double vx, vy;  // unit length
};

// What the grid holds of a bird: its state of the previous step and its index.
struct Grid_Item {
  double x, y, vx, vy;
  uint32_t index;
};
using Flock_Grid = quarnel::modelkit::Periodic_Bucket_Grid<Grid_Item>;

// `p` wrapped into [0, length): one period at most is added or taken (a bird moves by at most
// its speed, far less than the space), and a sum that rounds up to `length` becomes 0.
inline double Wrap_Coordinate(double p, double length) {
  if (p < 0.0) p += length;
  if (p >= length) p -= length;
  return (p >= 0.0 && p < length) ? p : 0.0;
}

// Bird i at the start: a uniform position and direction, drawn from the stream of its identity.
inline Bird_State Initial_Bird(const Flocking_Parameters& p, uint64_t seed, uint32_t index) {
  quarnel::Counter_Random draws(seed, quarnel::Root_Identity(index), uint64_t(0));
  Bird_State b;
  b.x = Wrap_Coordinate(draws.Next_Uniform() * p.width, p.width);
  b.y = Wrap_Coordinate(draws.Next_Uniform() * p.height, p.height);
  const double angle = draws.Next_Uniform() * 2.0 * std::numbers::pi;
  b.vx = std::cos(angle);
  b.vy = std::sin(angle);
  return b;
}

struct Bird_Update {
  Bird_State next;
  double nearest_d2;  // squared distance to the nearest other bird of the grid's flock
};

// One bird's step from `now` against the flock of the previous step held by `grid`: the rules
// of the model, with the neighbours summed in the grid's fixed visiting order. Also finds the
// nearest other bird of that flock. Reads the grid only.
inline Bird_Update Step_Bird(const Flock_Grid& grid, const Flocking_Parameters& p, uint32_t index,
                             const Bird_State& now) {
  const double v2 = p.visual_distance * p.visual_distance;
  const double s2 = p.separation * p.separation;
  double cohere_x = 0, cohere_y = 0, separate_x = 0, separate_y = 0, match_x = 0, match_y = 0;
  int neighbours = 0;
  double nearest_d2 = INFINITY;
  grid.For_Each_Candidate(now.x, now.y, p.visual_distance,
                          [&](const Grid_Item& other, double dx, double dy, double d2) {
                            if (other.index == index) return;
                            if (d2 < nearest_d2) nearest_d2 = d2;
                            if (d2 > v2) return;
                            ++neighbours;
                            cohere_x += dx;
                            cohere_y += dy;
                            if (d2 < s2) {
                              separate_x -= dx;
                              separate_y -= dy;
                            }
                            match_x += other.vx;
                            match_y += other.vy;
                          });
  // The candidates cover the disc of the visual distance: a nearest bird inside it is found.
  if (nearest_d2 > v2) {
    nearest_d2 =
        grid.Nearest(now.x, now.y, [index](const Grid_Item& other) { return other.index == index; }).d2;
  }
  const double n = neighbours > 0 ? double(neighbours) : 1.0;
  double vx = (now.vx + cohere_x / n * p.cohere_factor + separate_x / n * p.separate_factor +
               match_x / n * p.match_factor) /
              2.0;
  double vy = (now.vy + cohere_y / n * p.cohere_factor + separate_y / n * p.separate_factor +
               match_y / n * p.match_factor) /
              2.0;
  const double norm = std::sqrt(vx * vx + vy * vy);
  if (norm > 0.0) {
    vx /= norm;
    vy /= norm;
  } else {  // the pulls cancel exactly: keep the heading
    vx = now.vx;
    vy = now.vy;
  }
  Bird_Update u;
  u.next = {Wrap_Coordinate(now.x + p.speed * vx, p.width), Wrap_Coordinate(now.y + p.speed * vy, p.height),
            vx, vy};
  u.nearest_d2 = nearest_d2;
  return u;
}

// The series' statistics of a flock, summed in index order. state(i) gives bird i's state.
template <class State_Of>
double Alignment(int birds, State_Of&& state) {
  double sx = 0, sy = 0;
  for (int i = 0; i < birds; ++i) {
    const Bird_State& b = state(i);
    sx += b.vx;
    sy += b.vy;
  }
  return std::sqrt(sx * sx + sy * sy) / birds;
}
template <class D2_Of>
double Mean_Nearest(int birds, D2_Of&& d2) {
  double sum = 0;
  for (int i = 0; i < birds; ++i) sum += std::sqrt(d2(i));
  return sum / birds;
}
// The squared distance from bird i to its nearest other bird in `grid`.
inline double Nearest_D2(const Flock_Grid& grid, uint32_t index, const Bird_State& b) {
  return grid.Nearest(b.x, b.y, [index](const Grid_Item& other) { return other.index == index; }).d2;
}

namespace detail {

inline void Check(const Flocking_Parameters& p, int steps) {
  if (p.birds < 2) throw std::invalid_argument("flocking needs at least two birds");
  if (steps < 1) throw std::invalid_argument("flocking needs at least one step");
}

// What the birds of one kernel run share: the previous step's flock, read-only during a step.
struct Shared {
  Flocking_Parameters params;
  Flock_Grid grid;
};

class Bird : public quarnel::Identified_Agent<Bird> {
 public:
  Bird(const Shared* shared, uint32_t index, Bird_State state)
      : _shared(shared), _index(index), _state(state) {}

  // Reads the grid (the previous step), writes only this bird's own fields.
  void Act(quarnel::Next& next) {
    const Bird_Update u = Step_Bird(_shared->grid, _shared->params, _index, _state);
    _state = u.next;
    _nearest_d2 = u.nearest_d2;
    next.In(1);
  }

  const Shared* _shared;
  uint32_t _index;
  Bird_State _state;
  double _nearest_d2 = 0;  // of the flock this bird's last step read
};

inline void Fill_Grid(Flock_Grid& grid, const std::vector<Bird_State>& states,
                      std::vector<Grid_Item>& items) {
  items.resize(states.size());
  for (size_t i = 0; i < states.size(); ++i) {
    const Bird_State& b = states[i];
    items[i] = {b.x, b.y, b.vx, b.vy, uint32_t(i)};
  }
  grid.Rebuild(items);
}

}  // namespace detail

// The model on the kernel: `settings.threads` workers, blocks of `settings.block_size` birds.
// Row s's mean nearest distance is that of the flock after step s, which the birds find as
// they take step s + 1: row s is final at the end of step s + 1, and the last row once the run
// has stopped, from the grid. A run stopped early (World::Request_Stop) ends with the row of
// its last finished step.
inline Flocking_Result Run_Flocking(const Flocking_Parameters& p, const Run_Settings& settings) {
  const int steps = settings.steps > 0 ? settings.steps : p.steps;
  detail::Check(p, steps);
  detail::Shared shared{p, Flock_Grid(p.width, p.height, p.visual_distance)};
  std::vector<detail::Bird*> birds(size_t(p.birds));  // by index: the hook's fixed order
  std::vector<Bird_State> states(size_t(p.birds));
  std::vector<Grid_Item> items;
  Flocking_Result result;
  auto add_row = [&](const Flocking_Row& row) {
    if (settings.on_row) {
      settings.on_row(row);
      result.series.assign(1, row);
    } else {
      result.series.push_back(row);
    }
  };
  Flocking_Row pending{0, 0.0, 0.0};  // the last finished step's, without its nearest distance

  quarnel::Run_Fingerprint::Switch(settings.fingerprint);
  quarnel::Simulation_Configuration config;
  config.num_threads = settings.threads;
  config.num_iterations = steps;
  {
    quarnel::Simulation run(config);
    quarnel::Set_Block_Size<detail::Bird>(settings.block_size);
    for (int i = 0; i < p.birds; ++i) {
      states[size_t(i)] = Initial_Bird(p, settings.seed, uint32_t(i));
      birds[size_t(i)] = quarnel::Create_Identified<detail::Bird>(quarnel::Root_Identity(uint64_t(i)),
                                                                  &shared, uint32_t(i), states[size_t(i)]);
      birds[size_t(i)]->Schedule_At(quarnel::Revision(0, 0));
    }
    detail::Fill_Grid(shared.grid, states, items);
    // After step s + 1: the birds hold the new flock and the nearest distances of the old one,
    // the flock after step s, whose row is then final.
    run.On_Iteration_End([&](uint32_t s) {
      for (size_t i = 0; i < birds.size(); ++i) states[i] = birds[i]->_state;
      const double nearest = Mean_Nearest(p.birds, [&](int i) { return birds[size_t(i)]->_nearest_d2; });
      detail::Fill_Grid(shared.grid, states, items);
      if (s > 0) add_row({pending.step, nearest, pending.alignment});
      pending = {int(s) + 1, 0.0,
                 Alignment(p.birds, [&](int i) -> const Bird_State& { return states[size_t(i)]; })};
    });
    run.Run();
  }
  if (pending.step > 0) {  // the last finished step: its flock is in the grid
    pending.mean_nearest_distance =
        Mean_Nearest(p.birds, [&](int i) { return Nearest_D2(shared.grid, uint32_t(i), states[size_t(i)]); });
    add_row(pending);
  }
  if (pending.step != steps && !quarnel::World::Instance().stopped_on_request())
    throw std::runtime_error("flocking: the run ended before its last step");
  result.fingerprint = quarnel::Run_Fingerprint::Instance().Result();
  quarnel::Run_Fingerprint::Switch(false);
  return result;
}

}  // namespace flocking
