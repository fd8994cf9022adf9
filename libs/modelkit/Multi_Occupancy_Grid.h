// A grid that holds many occupants per cell (wolf-sheep's sheep and wolves): which Ts are in
// a cell, gathered in one phase of a step and read in a later one.
//
// Each cell heads an intrusive singly linked list threaded through the Ts' own `Link` member
// (a T* field), so gathering costs no allocation. Pushes from many threads at once are
// lock-free; the order of a cell's list then depends on the order of the pushes, but its set
// of members does not, so a reader that must be deterministic decides by something the
// members carry (the lowest identity wins, or a sort by identity), never by list position.
// The grid does not wrap (Grid_Geometry.h); moves between cells belong to the model.
//
// Thread safety, for a model whose step has a gathering phase and a reading phase:
//  - Push: any number of threads at once, in a phase in which no thread reads or clears the
//    cells pushed to.
//  - Push_Alone: one thread, while no other thread uses the cell (a sequential model, or the
//    cell's owner in a phase in which only it touches the cell).
//  - First, For_Each, Count: any number of threads, in a later phase than the pushes (the
//    barrier between the phases orders the links).
//  - Clear: the cell's owner, in a phase in which no thread pushes to or reads that cell.
// A T that is in a list must stay alive until the list is cleared or no longer read; a T is
// in at most one list of one grid at a time (its Link is overwritten by the next push).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "Grid_Geometry.h"

namespace quarnel::modelkit {

template <class T, T* T::*Link>
class Multi_Occupancy_Grid {
 public:
  explicit Multi_Occupancy_Grid(Grid_Geometry geometry)
      : _geometry(geometry), _heads(std::make_unique<std::atomic<T*>[]>(size_t(geometry.num_cells()))) {}

  const Grid_Geometry& geometry() const { return _geometry; }

  // Adds `item` to the list of `cell` (lock-free; see the thread rules above). One exchange,
  // and the link written after it: no thread reads the list in the phase of the pushes, so
  // the link need not be in place before the item heads the list, and a push costs one
  // atomic access to the cell instead of a load and a compare-exchange.
  void Push(int32_t cell, T* item) {
    item->*Link = _heads[size_t(cell)].exchange(item, std::memory_order_relaxed);
  }
  // The same for the only thread that uses `cell` now: plain loads and stores.
  void Push_Alone(int32_t cell, T* item) {
    std::atomic<T*>& head = _heads[size_t(cell)];
    item->*Link = head.load(std::memory_order_relaxed);
    head.store(item, std::memory_order_relaxed);
  }

  T* First(int32_t cell) const { return _heads[size_t(cell)].load(std::memory_order_relaxed); }
  static T* Next(const T* item) { return item->*Link; }

  // visit(T&) for every member of `cell`'s list; the visit may change the member's other
  // fields but not its Link.
  template <class F>
  void For_Each(int32_t cell, F&& visit) const {
    for (T* item = First(cell); item != nullptr; item = item->*Link) visit(*item);
  }
  int Count(int32_t cell) const {
    int n = 0;
    for (const T* item = First(cell); item != nullptr; item = item->*Link) ++n;
    return n;
  }

  // Empties the list of `cell` (its members are not touched).
  void Clear(int32_t cell) { _heads[size_t(cell)].store(nullptr, std::memory_order_relaxed); }

 private:
  Grid_Geometry _geometry;
  std::unique_ptr<std::atomic<T*>[]> _heads;  // null: an empty cell
};

}  // namespace quarnel::modelkit
