// Wolf-sheep's sequential reference of the kernel's phases (plain loops, equal step by step) and
// the declared rules (one animal at a time in a fresh random order), for the tests and the
// comparison program.
#pragma once

#include "Wolf_Sheep.h"

namespace wolf_sheep {

// ---------------------------------------------------------------------------------------
// The same phases as plain loops (one thread, no kernel).
namespace reference {

struct Animal {
  uint64_t _identity;
  int32_t _cell;
  float _energy;
  bool _alive = true;
  Animal* _next_in_cell = nullptr;
  uint64_t identity() const { return _identity; }
};
using Animal_Grid = quarnel::modelkit::Multi_Occupancy_Grid<Animal, &Animal::_next_in_cell>;

// The newborns of a settle loop, appended to the animals' vectors, whose capacity must hold
// them (the lists point into the vectors).
struct Births {
  std::vector<Animal>& sheep;
  std::vector<Animal>& wolves;
  Animal* New_Sheep(const Animal& parent, uint64_t identity) const {
    sheep.push_back(Animal{identity, parent._cell, parent._energy});
    return &sheep.back();
  }
  void New_Wolf(const Animal& parent, uint64_t identity) const {
    wolves.push_back(Animal{identity, parent._cell, parent._energy});
  }
};

// Every animal of `animals` moves with its draws of `label` and joins its new cell's list, or
// is staged for the cell's row when `stage`.
inline void Move_All(std::vector<Animal>& animals, Animal_Grid& lists, const Grid_Geometry& g, uint64_t seed,
                     Revision label, bool stage) {
  for (Animal& a : animals) {
    Counter_Random draws(seed, a._identity, label);
    a._cell = rules::Move(g, a._cell, draws);
    a._energy -= 1;
    if (stage) {
      lists.Stage(a._cell, &a, 0);
    } else {
      lists.Push_Alone(a._cell, &a);
    }
  }
}

inline Series Run(const Parameters& p, uint64_t seed) {
  const Grid_Geometry g(p.width, p.height);
  std::vector<Animal> sheep, wolves;
  std::vector<int32_t> countdown(size_t(g.num_cells()));
  const bool stage = rules::Stages_Moves(p, g);
  Animal_Grid sheep_at(g, 1, stage ? 1 : 0), wolves_at(g, 1, stage ? 1 : 0);
  Counts counts = rules::Set_Up(p, g, seed, countdown, sheep, wolves);
  Series series{counts};
  std::vector<Animal*> wolf_scratch, prey_scratch;
  const Births births{sheep, wolves};
  for (uint32_t t = 0; t < uint32_t(p.steps); ++t) {
    // At most one newborn per animal: the lists' pointers stay valid through the step.
    sheep.reserve(2 * sheep.size());
    wolves.reserve(2 * wolves.size());
    Move_All(sheep, sheep_at, g, seed, Revision(t, rules::sheep_move), stage);
    Move_All(wolves, wolves_at, g, seed, Revision(t, rules::wolf_move), stage);
    for (int32_t y = 0; y < g.height(); ++y) {
      if (stage) {
        sheep_at.Link_Staged_Row(y);
        wolves_at.Link_Staged_Row(y);
      }
      for (int32_t cell = g.Cell(0, y); cell < g.Cell(0, y) + g.width(); ++cell) {
        if (sheep_at.First(cell) == nullptr && wolves_at.First(cell) == nullptr) {
          counts.grass += rules::Regrow(countdown[size_t(cell)]);
          continue;
        }
        counts.grass += rules::Settle_Cell(sheep_at, wolves_at, cell, countdown[size_t(cell)], p, seed, t,
                                           wolf_scratch, prey_scratch, births);
        sheep_at.Clear(cell);
        wolves_at.Clear(cell);
      }
    }
    std::erase_if(sheep, [](const Animal& a) { return !a._alive; });
    std::erase_if(wolves, [](const Animal& a) { return !a._alive; });
    counts.sheep = int64_t(sheep.size());
    counts.wolves = int64_t(wolves.size());
    series.push_back(counts);
  }
  return series;
}

}  // namespace reference

// ---------------------------------------------------------------------------------------
// The declared rules: one animal at a time in a fresh random order each step.
namespace declared {

struct Animal {
  uint64_t identity;
  int32_t cell;
  float energy;
  bool alive = true;
};

inline void Erase_One(std::vector<uint32_t>& list, uint32_t value) {
  auto it = std::find(list.begin(), list.end(), value);
  *it = list.back();
  list.pop_back();
}

inline Series Run(const Parameters& p, uint64_t seed) {
  const Grid_Geometry g(p.width, p.height);
  std::vector<Animal> sheep, wolves;
  std::vector<int32_t> countdown(size_t(g.num_cells()));
  std::vector<std::vector<uint32_t>> sheep_at(size_t(g.num_cells()));  // indices into `sheep`
  Counts counts = rules::Set_Up(p, g, seed, countdown, sheep, wolves);
  Series series{counts};
  for (uint32_t t = 0; t < uint32_t(p.steps); ++t) {
    for (auto& list : sheep_at) list.clear();
    for (uint32_t i = 0; i < sheep.size(); ++i) sheep_at[size_t(sheep[i].cell)].push_back(i);
    // Sheep: move, lose 1, eat grown grass, starve or reproduce; newborns act from the next step.
    const std::vector<uint32_t> sheep_order =
        quarnel::modelkit::Random_Order(sheep.size(), seed, rules::sheep_order_key, t);
    for (uint32_t i : sheep_order) {
      const Revision now(t, rules::sheep_move);
      Counter_Random draws(seed, sheep[i].identity, now);
      Erase_One(sheep_at[size_t(sheep[i].cell)], i);
      sheep[i].cell = rules::Move(g, sheep[i].cell, draws);
      sheep[i].energy -= 1;
      int32_t& grass = countdown[size_t(sheep[i].cell)];
      if (grass == 0) {
        sheep[i].energy += rules::Gain(p.sheep_energy_gain);
        grass = p.regrowth_time;
        --counts.grass;
      }
      if (sheep[i].energy < 1) {
        sheep[i].alive = false;
        continue;
      }
      sheep_at[size_t(sheep[i].cell)].push_back(i);
      if (draws.Next_Uniform() < rules::Reproduction(p.sheep_reproduction)) {
        sheep[i].energy /= 2;
        sheep.push_back({quarnel::Child_Identity(sheep[i].identity, now), sheep[i].cell, sheep[i].energy});
        sheep_at[size_t(sheep[i].cell)].push_back(uint32_t(sheep.size() - 1));
      }
    }
    // Wolves: move, lose 1, eat a random sheep of the cell, starve or reproduce.
    const std::vector<uint32_t> wolf_order =
        quarnel::modelkit::Random_Order(wolves.size(), seed, rules::wolf_order_key, t);
    for (uint32_t i : wolf_order) {
      const Revision now(t, rules::wolf_move);
      Counter_Random draws(seed, wolves[i].identity, now);
      wolves[i].cell = rules::Move(g, wolves[i].cell, draws);
      wolves[i].energy -= 1;
      std::vector<uint32_t>& here = sheep_at[size_t(wolves[i].cell)];
      if (!here.empty()) {
        const uint32_t victim = here[draws.Next_Below(here.size())];
        sheep[victim].alive = false;
        Erase_One(here, victim);
        wolves[i].energy += rules::Gain(p.wolf_energy_gain);
      }
      if (wolves[i].energy < 0) {
        wolves[i].alive = false;
        continue;
      }
      if (draws.Next_Uniform() < rules::Reproduction(p.wolf_reproduction)) {
        wolves[i].energy /= 2;
        wolves.push_back(
            {quarnel::Child_Identity(wolves[i].identity, now), wolves[i].cell, wolves[i].energy});
      }
    }
    for (int32_t& c : countdown) counts.grass += rules::Regrow(c);
    std::erase_if(sheep, [](const Animal& a) { return !a.alive; });
    std::erase_if(wolves, [](const Animal& a) { return !a.alive; });
    counts.sheep = int64_t(sheep.size());
    counts.wolves = int64_t(wolves.size());
    series.push_back(counts);
  }
  return series;
}

}  // namespace declared

}  // namespace wolf_sheep
