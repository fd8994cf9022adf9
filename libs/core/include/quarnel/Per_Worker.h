// Per_Worker<T>: one T for each thread of the current run, each on cache lines of its own,
// so that handlers count without atomics and without passing lines between the cores. A
// handler adds to Mine(); the iteration hook (or the code after Run) combines the entries in
// thread order. Integer counts come out the same on any number of workers; floating-point
// sums may differ in their last bits, since each worker's part depends on which blocks it
// stepped.
//
// Thread safety:
//  - Mine(): any thread of the run, each thread its own entry (indexed by __thread_id).
//  - Start, Reset, For_Each, Sum, operator[]: the controlling thread while no worker steps
//    (set-up, the iteration hook, after Run).
//
// Invariants:
//  1. After Start there is one entry per worker and one for the controlling thread, in thread
//     order (workers 0 .. n - 1, then the controlling thread n).
//  2. Two entries never share a cache line.
#pragma once

#include <cstddef>
#include <vector>

#include <quarnel/Globals.h>
#include <quarnel/World.h>

namespace quarnel {

template <class T>
class Per_Worker {
 public:
  // One value-initialised entry for each thread of the World's current run.
  // REQUIRES: the run is initialised (after Initialize_Simulation or a Simulation's construction).
  void Start() { _entries.assign(size_t(World::Instance().num_threads()) + 1, {}); }

  // Every entry back to T{} (a count kept per iteration).
  void Reset() {
    for (auto& entry : _entries) entry.value = T{};
  }

  // The calling thread's entry. REQUIRES: Start was called for this run.
  T& Mine() { return _entries[size_t(__thread_id)].value; }

  // visit(entry) for every entry, in thread order.
  template <class Visit>
  void For_Each(Visit visit) {
    for (auto& entry : _entries) visit(entry.value);
  }
  template <class Visit>
  void For_Each(Visit visit) const {
    for (const auto& entry : _entries) visit(entry.value);
  }

  // The entries added in thread order, from T{}.
  T Sum() const {
    T total{};
    for (const auto& entry : _entries) total += entry.value;
    return total;
  }

  T& operator[](size_t thread) { return _entries[thread].value; }
  const T& operator[](size_t thread) const { return _entries[thread].value; }
  size_t size() const { return _entries.size(); }

 private:
  std::vector<Cache_Line_Value<T>> _entries;
};

}  // namespace quarnel
