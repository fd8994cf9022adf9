// The event component manager: owns the event blocks of one event type, hands out cells to
// Allocate<T>, keeps the set of active blocks (those holding at least one event) and steps
// that set in parallel, chunk by chunk, on every worker. The twin of the execution manager:
// the same block sizing, per-thread lists, queues, chunk-claim walk, end-of-revision Update
// and clean-up (Block_Pool), with event blocks, whose step pops their heap.
//
// A due manager (the World runs and `_next_revision` is the revision being stepped) may be
// walked by other threads, so blocks that become non-empty or empty while it is due are
// queued and join or leave the active set at the end-of-revision Update, which the last
// worker to finish the step runs. The engine steps event managers after execution managers.
//
// Event types are declared as Quarnel_Component<MasterType, TypeList<..., T>, Event_Object>;
// Allocate<T>() and Free<T>(T*) below serve them. Scheduling and freeing rules: Event_Object.h.
//
// Thread safety:
//  - Allocate<T> / Free<T>: the controlling thread during set-up, any worker inside a
//    handler while the World runs. Each thread allocates from its own list of blocks.
//  - Step: every worker, concurrently, when the engine finds the manager due.
//  - Initialize / Terminate: controlling thread, no worker stepping.
//  Lock order: engine -> manager `_schedule_lock` -> block `_schedule_lock` for scheduling
//  (one at a time); block `_free_lock` -> manager `_schedule_lock`; a block's `_heap_lock`
//  is a leaf.
//
// Invariants (with those of Block_Pool):
//  1. A block is counted in `_empty_blocks[t]` exactly when it is empty and in thread t's
//     list.
//  2. A non-empty block is active or in the activation queue (once the due revision ends:
//     active).
//  3. `_threads_finished` is 0 between two due steps.
//  4. After Terminate the manager owns no block and no per-thread array.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include <quarnel/Component_Manager.h>
#include <quarnel/Event_Object.h>
#include <quarnel/Memory_Allocation.h>
#include <quarnel/detail/Block_Manager.h>
#include <quarnel/detail/Block_Memory.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Event_Block.h>
#include <quarnel/detail/Scheduled_Component_Manager.h>

namespace quarnel {

class Event_Component_Manager_Base : public Block_Manager<Event_Component_Manager_Base, Event_Block> {
 public:
  Event_Component_Manager_Base(unsigned int component_id, std::string name);

  // Releases every block and the per-thread arrays. Raises a fatal error (after releasing)
  // if a block was still queued.
  void Terminate() override;
  int Component_Manager_Type() override { return 1; }
};

template <class T>
class Event_Component_Manager : public Event_Component_Manager_Base {
 public:
  Event_Component_Manager() : Event_Component_Manager_Base(unsigned(T::component_id), type_name<T>()) {}

  // Cells are sizeof(T) rounded up to whole cache lines (always at least one byte more).
  void Initialize() override {
    Event_Component_Manager_Base::Initialize();
    _object_size = Cell_Stride(sizeof(T));
  }
};

template <class T>
struct Manager_Of<Event_Object, T> {
  using type = Event_Component_Manager<T>;
};

// A new event T constructed from `args` in a cell of T's manager: out of the heap, at
// __revision_omega, without a handler. An identifier other than -1 is recorded in the calling
// thread's identifier table.
template <class T, class... Args>
requires std::is_base_of_v<Event_Object, T> T* Allocate_Constructed(int32_t object_id, Args&&... args) {
  IncrementMemory(unsigned(T::component_id), sizeof(T));
  auto* manager = T::component_manager;
  Event_Block* block = manager->privAllocate();
  Event_Object* cell = Take_Cell(block);
  T* event = Construct_In_Cell<T>(cell, std::forward<Args>(args)...);
  event->_component_id = T::component_id;
  event->_event_block = block;
  event->_event_callback = nullptr;
  Store_Revision(event->_next_revision, __revision_omega);
  event->_object_id = object_id;
  if (object_id != -1) manager->_thread_object_tables[__thread_id][object_id] = event;
  manager->privCount_Live(1);
  return event;
}

// A new default-constructed event T, as Allocate_Constructed makes it.
template <class T>
requires std::is_base_of_v<Event_Object, T> T* Allocate(int32_t object_id = -1) {
  return Allocate_Constructed<T>(object_id);
}

// Releases `event`: it leaves its block's heap, is destroyed and its cell is freed, at once or,
// while another thread steps the block, when that thread applies the request. Releasing an
// event that is already free, or whose release is already requested, is refused with a fatal
// error.
template <class T>
requires std::is_base_of_v<Event_Object, T>
void Free(T* event) {
  if (Load_Revision(event->_next_revision) == __revision_free)
    T::component_manager->Refuse_Double_Free("event");
  T::component_manager->privCount_Live(-1);  // the release may finish later, within this step
  DecrementMemory(unsigned(T::component_id), sizeof(T));
  event->_event_block->Request_Release(event);
}

}  // namespace quarnel
