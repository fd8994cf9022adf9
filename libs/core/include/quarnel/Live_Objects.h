// How many objects of a component type are alive, and a visit of each of them: for a
// model's statistics, checks and output, from set-up, the World's iteration hook or after
// the run. T is any agent or event type (Quarnel_Component<..., Execution_Object> or
// <..., Event_Object>); include its manager's header (Execution_Component_Manager.h or
// Event_Component_Manager.h) as for Allocate<T>.
//
// Live_Count<T>() sums one counter per thread that Allocate<T> and Free<T> keep: no walk over
// the blocks, a few loads per thread. It is exact whenever no worker is stepping (set-up,
// the iteration hook, after the run) and 0 after Terminate_Simulation. During a step it may
// be called from any thread and returns some recent value.
//
// For_Each_Live<T>(visit) calls `visit(T&)` once for every live T, block by block (the
// manager's active blocks in the order in which they joined its active set), and within a
// block by cell address. For a given history on one worker the order is the same run after
// run; with several workers it follows which worker made which block. The visit may read
// and change the objects' own fields; it must not allocate, release or schedule objects of T.
//
// Thread safety: For_Each_Live runs only where no worker steps: while no run turns, or on
// the controlling thread inside the iteration hook. Called anywhere else while a run turns
// (for example from a handler) it raises the fatal error "For_Each_Live of <type> called
// while the workers step (thread <n>); ...". Live_Count may be called from any thread.
#pragma once

#include <cstdint>
#include <new>

#include <quarnel/detail/Block_Manager.h>

namespace quarnel {

template <class T>
int64_t Live_Count() {
  return T::component_manager->Live_Objects();
}

template <class T, class F>
void For_Each_Live(F&& visit) {
  auto* manager = T::component_manager;
  manager->privCheck_Visit();
  // Allocate<T> constructs the T at its cell's address.
  manager->privFor_Each_Allocated_Cell(
      [&visit](auto* cell) { visit(*std::launder(reinterpret_cast<T*>(cell))); });
}

}  // namespace quarnel
