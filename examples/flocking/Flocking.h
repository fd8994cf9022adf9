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
// The parameters are declared once (Declared_Parameters): the command line, the records and
// the sizes' presets read them there. The series' two columns are the gauges of Measured.
//
// Thread safety: Run_Flocking and Run_Flocking_Reference run on the calling thread (the kernel's
// run starts and joins its own workers); one kernel run per process at a time.
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Fingerprint_Scope.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/Periodic_Bucket_Grid.h>
#include <quarnel/modelkit/View.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <string>
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

// The parameters, declared once: the command line, the records and the presets read them here.
// A space of at least the speed in each direction is checked at the run (Check_Parameters).
inline const quarnel::modelkit::Model_Parameters<Flocking_Parameters>& Declared_Parameters() {
  static const auto declared = [] {
    using P = Flocking_Parameters;
    quarnel::modelkit::Model_Parameters<P> p;
    p.Floating("width", &P::width, 100.0, 1e-6, 1e9, "width of the space, which wraps around");
    p.Floating("height", &P::height, 100.0, 1e-6, 1e9, "height of the space, which wraps around");
    p.Integer("birds", &P::birds, 200, 2, 2147483647, "birds in the flock");
    p.Floating("visual_distance", &P::visual_distance, 5.0, 1e-6, 1e9,
               "a bird's neighbours are the other birds at most this far");
    p.Floating("speed", &P::speed, 1.0, 0.0, 1e9,
               "distance a bird flies per step, at most the space's sides");
    p.Floating("separation", &P::separation, 1.0, 0.0, 1e9, "neighbours closer than this push a bird away");
    p.Floating("cohere_factor", &P::cohere_factor, 0.03, -1000.0, 1000.0,
               "weight of the pull towards the neighbours");
    p.Floating("separate_factor", &P::separate_factor, 0.015, -1000.0, 1000.0,
               "weight of the push away from the neighbours too close");
    p.Floating("match_factor", &P::match_factor, 0.05, -1000.0, 1000.0,
               "weight of the pull along the neighbours' velocities");
    p.Integer("steps", &P::steps, 100, 1, 2147483647, "steps to run");
    p.Preset("small", {});
    p.Preset("large", {{"width", "150"}, {"height", "150"}, {"birds", "400"}, {"visual_distance", "15"}});
    p.Preset("huge", {{"width", "3000"}, {"height", "3000"}, {"birds", "200000"}, {"visual_distance", "15"}});
    return p;
  }();
  return declared;
}

inline Flocking_Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  return Declared_Parameters().Values_For(quarnel::modelkit::to_string(size), {});
}

// std::invalid_argument, one line naming the value, unless the model can run `p`: at least
// two birds, at least one step, and a speed of at most the width and the height, so that a
// bird crosses at most one border of the space per step (Wrap_Coordinate).
inline void Check_Parameters(const Flocking_Parameters& p) {
  if (p.birds < 2) throw std::invalid_argument("flocking needs at least two birds");
  if (p.steps < 1) throw std::invalid_argument("flocking needs at least one step");
  if (!(p.speed <= p.width && p.speed <= p.height)) {
    throw std::invalid_argument("the speed " + quarnel::modelkit::Parameter_List::Text_Of(p.speed) +
                                " exceeds a side of the space (" +
                                quarnel::modelkit::Parameter_List::Text_Of(p.width) + " x " +
                                quarnel::modelkit::Parameter_List::Text_Of(p.height) +
                                "): a bird may cross one border per step at most");
  }
}

// The model's measures: the series' two columns, gauges that the run sets when a row is final.
// Both are statistics of the whole flock summed over the birds in index order (Mean_Nearest,
// Alignment), as the reference sums them; a sum the birds added to in the step would round
// otherwise, and the kernel's series would no longer equal the reference's bit for bit.
struct Measured {
  quarnel::Measures measures;
  quarnel::Gauge_Measure mean_nearest_distance = measures.Gauge("mean_nearest_distance");
  quarnel::Gauge_Measure alignment = measures.Gauge("alignment");
};

// One line of the series: the flock after `step` steps.
struct Flocking_Row {
  int step;
  double mean_nearest_distance;  // mean over the birds of the distance to the nearest other bird
  double alignment;              // |mean of the unit velocities|: 1 when all fly the same way
  friend bool operator==(const Flocking_Row&, const Flocking_Row&) = default;
};

// A run's checkpoints (Model_Checkpoints.h): the run resumes from theirs when they resume, and
// saves into them at the end of each step, after its row, which `records` holds.
struct Checkpointing {
  quarnel::modelkit::Model_Checkpoints& checkpoints;
  quarnel::modelkit::Recorder& records;
};

struct Run_Settings {
  int threads = 1;
  uint64_t seed = 1;
  int block_size = 1000;
  bool fingerprint = true;  // record the run fingerprint (kernel only)
  // Kernel only: receives each step's row as soon as it is final, with the gauges of
  // `measured` set to it, and the result then keeps the last row only. The run keeps nothing
  // per step either way beyond the series it returns, so with a row sink its memory does not
  // grow with the steps.
  std::function<void(const Flocking_Row&)> on_row;
  // Kernel only: the run's measures, which must outlive the run; null: measures of its own.
  Measured* measured = nullptr;
  // Kernel only: the live view that watches the run (View.h), or null.
  quarnel::modelkit::View* view = nullptr;
  // Kernel only: the run's checkpoints, or null.
  const Checkpointing* checkpointing = nullptr;
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
// its speed, which Check_Parameters keeps within the space's sides), and a sum that rounds up
// to `length` becomes 0.
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
class Bird;
}

// The flock for the live view: each bird a dot coloured by its heading, its fields its
// position, velocity and the distance to its nearest neighbour of the step before.
template <class Bird_Ptr>
void Portray(const Flocking_Parameters& p, const std::vector<Bird_State>& states,
             const std::vector<Bird_Ptr>& birds, quarnel::modelkit::Portrayal& out) {
  out.Space(p.width, p.height);
  const int kind =
      out.Kind("bird", quarnel::modelkit::Shape::circle, {"x", "y", "vx", "vy", "nearest_distance"});
  // A bird is drawn about a hundredth of the side of a small flock, and never under a unit.
  const double size = std::max(1.0, std::max(p.width, p.height) / 120.0);
  for (size_t i = 0; i < states.size(); ++i) {
    const Bird_State& b = states[i];
    // The heading picks the hue: birds flying the same way share a colour.
    const double hue = (std::atan2(b.vy, b.vx) + std::numbers::pi) / (2 * std::numbers::pi) * 6.0;
    const double f = hue - std::floor(hue);
    const uint32_t up = uint32_t(40 + 180 * f), down = uint32_t(220 - 180 * f);
    static const uint32_t lo = 40, hi = 220;
    uint32_t r, g, bl;
    switch (int(hue) % 6) {
      case 0:
        r = hi;
        g = up;
        bl = lo;
        break;
      case 1:
        r = down;
        g = hi;
        bl = lo;
        break;
      case 2:
        r = lo;
        g = hi;
        bl = up;
        break;
      case 3:
        r = lo;
        g = down;
        bl = hi;
        break;
      case 4:
        r = up;
        g = lo;
        bl = hi;
        break;
      default:
        r = hi;
        g = lo;
        bl = down;
        break;
    }
    out.Add(kind, b.x, b.y, (r << 16) | (g << 8) | bl, size, i,
            {b.x, b.y, b.vx, b.vy, std::sqrt(birds[i]->_nearest_d2)});
  }
}

namespace detail {

// The run's model state, which every bird reaches as next.model<Shared>(): the settings and
// the previous step's flock, read-only during a step; the iteration hook rebuilds the grid
// between steps.
struct Shared {
  Flocking_Parameters params;
  Flock_Grid grid;
};

class Bird : public quarnel::Identified_Agent<Bird> {
 public:
  Bird() = default;  // a checkpoint's load fills it
  Bird(uint32_t index, Bird_State state) : _index(index), _state(state) {}

  // Reads the grid (the previous step), writes only this bird's own fields.
  void Act(quarnel::Next& next) {
    const Shared& s = next.model<Shared>();
    const Bird_Update u = Step_Bird(s.grid, s.params, _index, _state);
    _state = u.next;
    _nearest_d2 = u.nearest_d2;
    next.In(1);
  }

  template <class Archive>
  void serialize(Archive& a) {
    a(_index, _state.x, _state.y, _state.vx, _state.vy, _nearest_d2);
  }

  uint32_t _index = 0;
  Bird_State _state{};
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

// The model on the kernel: `settings.threads` workers, blocks of `settings.block_size` birds,
// the measures in `settings.measured` (measures of its own when null).
// Row s's mean nearest distance is that of the flock after step s, which the birds find as
// they take step s + 1: row s is final at the end of step s + 1, and the last row once the run
// has stopped, from the grid. A run stopped early (World::Request_Stop) ends with the row of
// its last finished step. std::invalid_argument for parameters it cannot run
// (Check_Parameters).
// With settings.checkpointing, a run saved in a checkpoint goes on from its step, and
// checkpoints are written as they ask. A checkpoint holds the birds (index, position, velocity,
// nearest distance) and the pending row's step and alignment; the grid is rebuilt from the
// birds in index order, as the hook builds it.
// REQUIRES: controlling thread, no other run. Exceptions of the kernel pass through.
inline Flocking_Result Run_Flocking(const Flocking_Parameters& p, const Run_Settings& settings) {
  Check_Parameters(p);
  std::unique_ptr<Measured> own = settings.measured ? nullptr : std::make_unique<Measured>();
  Measured& m = settings.measured ? *settings.measured : *own;
  detail::Shared shared{p, Flock_Grid(p.width, p.height, p.visual_distance)};
  std::vector<detail::Bird*> birds(size_t(p.birds));  // by index: the hook's fixed order
  std::vector<Bird_State> states(size_t(p.birds));
  std::vector<Grid_Item> items;
  Flocking_Result result;
  auto add_row = [&](const Flocking_Row& row) {
    m.mean_nearest_distance.Set(row.mean_nearest_distance);
    m.alignment.Set(row.alignment);
    if (settings.on_row) {
      settings.on_row(row);
      result.series.assign(1, row);
    } else {
      result.series.push_back(row);
    }
  };
  Flocking_Row pending{0, 0.0, 0.0};  // the last finished step's, without its nearest distance

  const quarnel::modelkit::Fingerprint_Scope fingerprint_scope(settings.fingerprint);
  quarnel::Simulation_Configuration config;
  config.num_threads = settings.threads;
  config.num_iterations = p.steps;
  {
    quarnel::Simulation run(config, shared);
    quarnel::Set_Block_Size<detail::Bird>(settings.block_size);
    run.Attach_Measures(m.measures);
    auto contents = [&](quarnel::Checkpoint_Io& io) {
      io.Objects<detail::Bird>();
      io.State(pending.step, pending.alignment);
      if (io.saving()) return;
      bool fits = quarnel::Live_Count<detail::Bird>() == int64_t(p.birds);
      quarnel::For_Each_Live<detail::Bird>([&](detail::Bird& bird) {
        const Bird_State& b = bird._state;
        // A fork into a smaller space would put a bird outside the grid.
        if (bird._index >= birds.size() || birds[bird._index] != nullptr || !(b.x >= 0 && b.x < p.width) ||
            !(b.y >= 0 && b.y < p.height))
          fits = false;
        if (fits) birds[bird._index] = &bird;
      });
      if (!fits) io.Refuse("its birds are not one per index within this run's space");
      for (size_t i = 0; i < birds.size(); ++i) states[i] = birds[i]->_state;
    };
    if (settings.checkpointing != nullptr && settings.checkpointing->checkpoints.resuming()) {
      settings.checkpointing->checkpoints.Restore(&m.measures, contents);
    } else {
      for (int i = 0; i < p.birds; ++i) {
        states[size_t(i)] = Initial_Bird(p, settings.seed, uint32_t(i));
        birds[size_t(i)] = quarnel::Create_Identified<detail::Bird>(quarnel::Root_Identity(uint64_t(i)),
                                                                    uint32_t(i), states[size_t(i)]);
        birds[size_t(i)]->Schedule_At(quarnel::Revision(0, 0));
      }
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
      if (settings.view)
        settings.view->Between_Iterations(s + 1, uint64_t(p.steps), [&](quarnel::modelkit::Portrayal& out) {
          Portray(p, states, birds, out);
        });
      if (settings.checkpointing != nullptr) {
        settings.checkpointing->checkpoints.After_Iteration(s, settings.checkpointing->records, &m.measures,
                                                            contents);
      }
    });
    run.Run();
  }
  if (pending.step > 0) {  // the last finished step: its flock is in the grid
    pending.mean_nearest_distance =
        Mean_Nearest(p.birds, [&](int i) { return Nearest_D2(shared.grid, uint32_t(i), states[size_t(i)]); });
    add_row(pending);
  }
  if (pending.step != p.steps && !quarnel::World::Instance().stopped_on_request())
    throw std::runtime_error("flocking: the run ended before its last step");
  result.fingerprint = quarnel::Run_Fingerprint::Instance().Result();
  return result;
}

}  // namespace flocking
