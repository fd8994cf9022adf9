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
// Lanes: a grid made with n lanes gives each cell n lists side by side in memory, the first
// of them the cell's list proper. A thread that owns lane k pushes into it with a plain load
// and store (Push_To_Lane): an atomic exchange on a head that is not in the cache holds the
// pushing thread until the line arrives, where a plain load lets the processor go on with
// what follows (wolf-sheep huge on one worker: 8 % faster). The cell's owner then moves the
// lanes' members into the cell's list (Gather) before reading it.
//
// Staging by row: a grid made with n staging lanes keeps, for each lane and each row, a
// vector of (item, cell). A thread that owns lane k appends to it (Stage) and writes nothing
// of the grid's heads; the owner of a row later links the row's staged items into their
// cells' lists (Link_Staged_Row). On a grid too large for the cache this turns a miss on a
// random cell's head at every push into a walk over one row's heads, which stay in the cache,
// with every line of the items asked for a few ahead, so that the owner then reads the row's
// members from the cache.
// The vectors keep their capacity from step to step: once the run has reached its largest
// rows, staging allocates nothing.
//
// Thread safety, for a model whose step has a gathering phase and a reading phase:
//  - Push: any number of threads at once, in a phase in which no thread reads or clears the
//    cells pushed to.
//  - Push_Alone: one thread, while no other thread uses the cell (a sequential model, or the
//    cell's owner in a phase in which only it touches the cell).
//  - Push_To_Lane: one thread per lane (a worker's id as its lane), in a phase in which no
//    thread reads or clears the cells pushed to; Gather: the cell's owner, in a later phase,
//    before the cell's list is read.
//  - Stage: one thread per staging lane, in a phase in which no thread links, reads or clears
//    the row staged to; Link_Staged_Row: the row's owner, in a later phase, before its cells'
//    lists are read, while no other thread pushes to them.
//  - First, For_Each, Count: any number of threads, in a later phase than the pushes (the
//    barrier between the phases orders the links).
//  - Clear: the cell's owner, in a phase in which no thread pushes to or reads that cell; it
//    empties every lane.
//  - Prefetch: whoever may read the cell (First's rules); it changes nothing.
// A T that is in a list must stay alive until the list is cleared or no longer read; a T is
// in at most one list of one grid at a time (its Link is overwritten by the next push).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include <quarnel/modelkit/Grid_Geometry.h>

namespace quarnel::modelkit {

template <class T, T* T::*Link>
class Multi_Occupancy_Grid {
 public:
  // REQUIRES: lanes >= 1, staging_lanes >= 0.
  explicit Multi_Occupancy_Grid(Grid_Geometry geometry, int lanes = 1, int staging_lanes = 0)
      : _geometry(geometry),
        _lanes(size_t(lanes)),
        _heads(std::make_unique<std::atomic<T*>[]>(size_t(geometry.num_cells()) * _lanes)),
        _staging_lanes(size_t(staging_lanes)),
        _staged(_staging_lanes * size_t(geometry.height())) {}

  const Grid_Geometry& geometry() const { return _geometry; }

  // Adds `item` to the list of `cell` (lock-free; see the thread rules above). One exchange,
  // and the link written after it: no thread reads the list in the phase of the pushes, so
  // the link need not be in place before the item heads the list, and a push costs one
  // atomic access to the cell instead of a load and a compare-exchange.
  void Push(int32_t cell, T* item) {
    item->*Link = Lanes_Of(cell)[0].exchange(item, std::memory_order_relaxed);
  }
  // The same for the only thread that uses `cell` now: plain loads and stores.
  void Push_Alone(int32_t cell, T* item) { Push_To_Lane(cell, item, 0); }
  // Adds `item` to lane `lane` of `cell`, whose only pusher the calling thread is in this phase.
  // REQUIRES: 0 <= lane < the grid's lanes.
  void Push_To_Lane(int32_t cell, T* item, int lane) {
    std::atomic<T*>& head = Lanes_Of(cell)[lane];
    item->*Link = head.load(std::memory_order_relaxed);
    head.store(item, std::memory_order_relaxed);
  }
  // Moves the members of the other lanes of `cell` into its list.
  void Gather(int32_t cell) {
    std::atomic<T*>* lanes = Lanes_Of(cell);
    for (size_t k = 1; k < _lanes; ++k) {
      T* first = lanes[k].load(std::memory_order_relaxed);
      if (first == nullptr) continue;
      T* last = first;
      while (last->*Link != nullptr) last = last->*Link;
      last->*Link = lanes[0].load(std::memory_order_relaxed);
      lanes[0].store(first, std::memory_order_relaxed);
      lanes[k].store(nullptr, std::memory_order_relaxed);
    }
  }

  // Appends `item`, bound for `cell`, to staging lane `lane` of the cell's row; it joins the
  // cell's list when the row is linked. REQUIRES: 0 <= lane < the grid's staging lanes.
  void Stage(int32_t cell, T* item, int lane) { Staged_Of(lane, _geometry.Y(cell)).push_back({item, cell}); }
  // Pushes every item staged to `row`, lane by lane, into its cell's list and empties the
  // row's stages. REQUIRES: the grid has staging lanes.
  void Link_Staged_Row(int32_t row) {
    constexpr size_t kAhead = 8;  // items asked for ahead of the one linked
    for (size_t k = 0; k < _staging_lanes; ++k) {
      std::vector<Staged>& staged = Staged_Of(int(k), row);
      for (size_t i = 0; i < staged.size(); ++i) {
        if (i + kAhead < staged.size()) Prefetch_Item(staged[i + kAhead].item);
        Push_Alone(staged[i].cell, staged[i].item);
      }
      staged.clear();
    }
  }

  // Asks the processor to load the first member of each of `cell`'s lanes, every cache line
  // of it: an owner that settles its cells one after another calls it a few cells ahead, so
  // that the members' misses overlap the work on the cells before. The members lie anywhere
  // in memory, and a T that straddles lines would otherwise cost two misses in a row.
  void Prefetch(int32_t cell) const {
    const std::atomic<T*>* lanes = Lanes_Of(cell);
    for (size_t k = 0; k < _lanes; ++k) {
      if (const T* item = lanes[k].load(std::memory_order_relaxed)) Prefetch_Item(item);
    }
  }

  T* First(int32_t cell) const { return Lanes_Of(cell)[0].load(std::memory_order_relaxed); }
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
  void Clear(int32_t cell) {
    std::atomic<T*>* lanes = Lanes_Of(cell);
    for (size_t k = 0; k < _lanes; ++k) lanes[k].store(nullptr, std::memory_order_relaxed);
  }

 private:
  // The heads of `cell`'s lanes, side by side; lane 0 heads the cell's list proper.
  std::atomic<T*>* Lanes_Of(int32_t cell) const { return &_heads[size_t(cell) * _lanes]; }

  // Asks for every cache line that `item` touches, from its first byte's to its last's.
  static void Prefetch_Item(const T* item) {
    constexpr uintptr_t kLine = 64;
    const uintptr_t first = reinterpret_cast<uintptr_t>(item) & ~(kLine - 1);
    const uintptr_t last = reinterpret_cast<uintptr_t>(item) + sizeof(T) - 1;
    for (uintptr_t line = first; line <= last; line += kLine) {
      __builtin_prefetch(reinterpret_cast<const void*>(line));
    }
  }

  struct Staged {
    T* item;
    int32_t cell;
  };
  std::vector<Staged>& Staged_Of(int lane, int32_t row) {
    return _staged[size_t(lane) * size_t(_geometry.height()) + size_t(row)];
  }

  Grid_Geometry _geometry;
  size_t _lanes;
  std::unique_ptr<std::atomic<T*>[]> _heads;  // null: an empty cell
  size_t _staging_lanes;
  std::vector<std::vector<Staged>> _staged;  // [lane * height + row]
};

}  // namespace quarnel::modelkit
