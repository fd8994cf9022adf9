// A grid that holds at most one occupant per cell (Schelling's residents), with the searches
// and the move contest of a phase-stepped model: count the occupants around a cell within a
// Chebyshev radius, draw a random empty cell, and settle which of several movers that want
// one empty cell gets it.
//
// Occupant is a small trivially copyable value (a group number, an index); Occupant{} means
// "empty" and is never placed. The grid does not wrap (Grid_Geometry.h).
//
// Checks, always on: At, Empty, Place, Remove, Move, Count_Within and Count_Von_Neumann
// refuse a cell outside the grid with std::out_of_range (one comparison against the cell
// count, a predictable branch beside the memory access it guards), and Move refuses an empty
// `from` or a taken `to` with std::logic_error (both cells are read anyway). Count_Within
// refuses a negative radius (std::invalid_argument) and clips a large one. Cost: Schelling's
// sequential loop, which does little but count neighbours, about 2.5 % (large: 4.00 to 4.10
// ms a run); its kernel run and wolf-sheep's, none beyond the noise.
//
// Thread safety, for a model whose step has a read phase and a move phase:
//  - Place, Remove: one thread at a time, while no other thread uses the grid (set-up, or a
//    sequential model).
//  - At, Empty, Count_Within, Count_Von_Neumann, Random_Empty_Cell: any number of threads at
//    once, in a phase in which no thread moves occupants.
//  - Move: any number of threads at once, in a phase in which no thread reads the grid, as
//    long as no two moves touch the same cell (each mover owns its own cell, and a contest
//    has given it the target).
//  - Move_Claims::Claim: any number of threads at once; Winner: in a later phase only.
//
// Invariants:
//  1. occupied() is the number of cells whose occupant is not Occupant{}; Move keeps it.
//  2. Random_Empty_Cell is uniform over the cells that are empty when it is called: it draws
//     uniform cells from the stream until one is empty, so its result depends only on the
//     grid and the stream.
//  3. A round of Move_Claims is won by the lowest rank that claimed the cell in that round,
//     whatever the order of the claims; claims of earlier rounds never win a later one, so
//     nothing has to be reset between rounds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <quarnel/Counter_Random.h>
#include <quarnel/modelkit/Grid_Geometry.h>

namespace quarnel::modelkit {

template <class Occupant>
class Single_Occupancy_Grid {
  static_assert(std::is_trivially_copyable_v<Occupant>, "an occupant is a small value");

 public:
  explicit Single_Occupancy_Grid(Grid_Geometry geometry)
      : _geometry(geometry), _cells(size_t(geometry.num_cells()), Occupant{}) {}

  const Grid_Geometry& geometry() const { return _geometry; }
  int64_t occupied() const { return _occupied; }
  int64_t empty_cells() const { return int64_t(_geometry.num_cells()) - _occupied; }

  Occupant At(int32_t cell) const {
    _geometry.Check_Cell(cell, "Single_Occupancy_Grid::At");
    return _cells[size_t(cell)];
  }
  bool Empty(int32_t cell) const {
    _geometry.Check_Cell(cell, "Single_Occupancy_Grid::Empty");
    return _cells[size_t(cell)] == Occupant{};
  }

  // Puts `occupant` (not Occupant{}) into an empty cell; a std::logic_error otherwise.
  void Place(int32_t cell, Occupant occupant) {
    _geometry.Check_Cell(cell, "Single_Occupancy_Grid::Place");
    if (occupant == Occupant{}) throw std::logic_error("Single_Occupancy_Grid: the empty value placed");
    if (!Empty(cell))
      throw std::logic_error("Single_Occupancy_Grid: cell " + std::to_string(cell) + " is taken");
    _cells[size_t(cell)] = occupant;
    ++_occupied;
  }
  // Empties an occupied cell.
  void Remove(int32_t cell) {
    _geometry.Check_Cell(cell, "Single_Occupancy_Grid::Remove");
    if (Empty(cell))
      throw std::logic_error("Single_Occupancy_Grid: cell " + std::to_string(cell) + " is empty");
    _cells[size_t(cell)] = Occupant{};
    --_occupied;
  }
  // Moves the occupant of `from` into `to`. REQUIRES: `from` occupied, `to` empty (a
  // std::logic_error otherwise), and no other thread touches either cell in this phase.
  void Move(int32_t from, int32_t to) {
    _geometry.Check_Cell(from, "Single_Occupancy_Grid::Move");
    _geometry.Check_Cell(to, "Single_Occupancy_Grid::Move");
    const Occupant moving = _cells[size_t(from)];
    if (moving == Occupant{} || !(_cells[size_t(to)] == Occupant{})) [[unlikely]] {
      throw std::logic_error("Single_Occupancy_Grid::Move: from cell " + std::to_string(from) + " to cell " +
                             std::to_string(to) + ": the first must be occupied and the second empty");
    }
    _cells[size_t(to)] = moving;
    _cells[size_t(from)] = Occupant{};
  }

  // How many cells within Chebyshev distance `radius` (>= 0; any larger one covers the
  // grid) of `cell`, `cell` itself excluded, hold `occupant`.
  int Count_Within(int32_t cell, int32_t radius, Occupant occupant) const {
    const Grid_Geometry::Window w = _geometry.Clipped_Window(cell, radius);
    int count = 0;
    for (int32_t y = w.y0; y <= w.y1; ++y) {
      const Occupant* row = _cells.data() + size_t(_geometry.Cell(0, y));
      for (int32_t x = w.x0; x <= w.x1; ++x) count += row[x] == occupant;
    }
    return count - (_cells[size_t(cell)] == occupant);
  }

  // How many of the (up to four) cells that share a side with `cell` hold `occupant`: the
  // von Neumann neighbourhood, clipped at the borders (Grid_Geometry::Von_Neumann_Neighbours).
  int Count_Von_Neumann(int32_t cell, Occupant occupant) const {
    std::array<int32_t, 4> neighbours;
    const int n = _geometry.Von_Neumann_Neighbours(cell, neighbours);
    int count = 0;
    for (int i = 0; i < n; ++i) count += _cells[size_t(neighbours[size_t(i)])] == occupant;
    return count;
  }

  // A cell that is empty now, uniform over the empty cells (invariant 2); -1 when none is.
  int32_t Random_Empty_Cell(Counter_Random& draws) const {
    if (empty_cells() == 0) return -1;
    for (;;) {
      const int32_t cell = int32_t(draws.Next_Below(uint64_t(_geometry.num_cells())));
      if (_cells[size_t(cell)] == Occupant{}) return cell;
    }
  }

 private:
  Grid_Geometry _geometry;
  std::vector<Occupant> _cells;
  int64_t _occupied = 0;
};

// The contest for cells: in round r (r >= 1) any number of movers claim cells with their
// rank (a number below 2^32 - 1 that no other mover of the round has, e.g. an identity);
// in a later phase Winner(cell, r) is the lowest rank that claimed the cell in round r.
// One atomic word per cell holds (round, complement of rank): the largest word is the latest
// round's lowest rank, and a fetch-max gives the same word in any order of the claims.
class Move_Claims {
 public:
  static constexpr uint32_t no_winner = UINT32_MAX;

  explicit Move_Claims(int32_t num_cells)
      : _claims(std::make_unique<std::atomic<uint64_t>[]>(size_t(num_cells))), _num_cells(num_cells) {}

  // REQUIRES: round >= 1, rank < no_winner, 0 <= cell < num_cells(). Any thread.
  void Claim(int32_t cell, uint32_t round, uint32_t rank) {
    if (rank >= no_winner || round == 0) throw std::invalid_argument("Move_Claims: round 0 or rank 2^32 - 1");
    Check_Cell(cell);
    const uint64_t word = (uint64_t(round) << 32) | uint64_t(no_winner - rank);
    std::atomic<uint64_t>& slot = _claims[size_t(cell)];
    uint64_t seen = slot.load(std::memory_order_relaxed);
    while (seen < word && !slot.compare_exchange_weak(seen, word, std::memory_order_relaxed)) {
    }
  }
  // The lowest rank that claimed `cell` in `round`, or no_winner. REQUIRES: a later phase
  // than the claims of the round (the barrier between them orders the words).
  uint32_t Winner(int32_t cell, uint32_t round) const {
    Check_Cell(cell);
    const uint64_t word = _claims[size_t(cell)].load(std::memory_order_relaxed);
    return uint32_t(word >> 32) == round ? no_winner - uint32_t(word) : no_winner;
  }
  int32_t num_cells() const { return _num_cells; }

 private:
  void Check_Cell(int32_t cell) const {
    if (uint32_t(cell) >= uint32_t(_num_cells)) [[unlikely]]
      Refuse_Cell(cell);
  }
  [[noreturn]] __attribute__((noinline, cold)) void Refuse_Cell(int32_t cell) const {
    throw std::out_of_range("Move_Claims: cell " + std::to_string(cell) + " lies outside the " +
                            std::to_string(_num_cells) + " cells");
  }

  std::unique_ptr<std::atomic<uint64_t>[]> _claims;  // zero: never claimed
  int32_t _num_cells;
};

}  // namespace quarnel::modelkit
