// An event block: one allocation holding a header followed by equal cells, each holding one
// event. The twin of the execution block, except that the block's scheduled events sit in an
// intrusive binary min-heap keyed by their next revision, and a step pops the due events
// instead of scanning every cell.
//
// Layout: cell i starts at block + _data_offset + i * _cell_size, where _data_offset is the
// first cache-line boundary after the header (a whole line further when the header is a
// multiple of the line): 192 for this header.
//
// Thread safety:
//  - Step: only the thread that claimed the block's chunk, once per due revision.
//  - Update_Schedule: any thread (under `_schedule_lock`).
//  - Request_Schedule / Request_Release: any thread; see Event_Object.h for the rules. The
//    heap, `_deferred_head` and `_in_hand` are guarded by `_heap_lock`; while a thread steps
//    the block (`_stepping_thread`, set and cleared under `_heap_lock`) only that thread
//    changes the heap, and the others defer their requests.
//  - privAllocate: REQUIRES `_free_lock`, the calling thread's list has this block in front.
//  - privFree: any thread; takes `_free_lock` while the World runs (set-up is one thread).
//  Lock order: `_free_lock` -> manager `_schedule_lock`; `_free_lock` -> `_schedule_lock`.
//  `_heap_lock` is a leaf: no other lock is taken while it is held, and no lock at all is
//  held while a handler or an event's destructor runs.
//
// Invariants:
//  1. The free list holds exactly _num_cells - _num_allocated cells in strictly ascending
//     address order, linked through `_next_free` up to the unprepared tail (Block_Memory.h);
//     allocation takes the lowest.
//  2. Every prepared cell's `_event_block` is this block; cells from `_cells_prepared` on
//     have never been handed out and are read by no one (Block_Memory.h).
//  3. _num_allocated == _num_cells exactly when no thread's list holds the block.
//  4. Every event in `_event_heap` is allocated; a free cell is never in the heap or the
//     request list.
//  5. When no thread steps the block, the request list is empty and `_next_revision` is not
//     above the key of the heap's root.
//  6. `_free_bits` has the bit of cell i set exactly when cell i is in the free list.
//
// Ownership: the manager creates and releases blocks (Create / Release); the header is
// constructed in place and owns only the storage of `_free_bits` beyond one word and the
// slots of `_event_heap`, whose capacity is the block's cell count (allocated by Create,
// released by Release).
#pragma once

#include <atomic>
#include <boost/intrusive/list.hpp>
#include <cstdint>

#include <quarnel/Event_Object.h>
#include <quarnel/Globals.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Free_Cell_Bits.h>
#include <quarnel/detail/Intrusive_Binary_Heap.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

class Event_Component_Manager_Base;

class Event_Block
    : public boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::normal_link>> {
 public:
  static const uint32_t _data_offset;  // 192: the header's bytes before cell 0

  // A new block of `shape` with cells of `cell_size` bytes and an empty heap, initialised for
  // `manager`.
  static Event_Block* Create(Event_Component_Manager_Base* manager, Block_Shape shape, uint32_t cell_size);
  static void Release(Event_Block* block);

  // Prepares a block whose `_cell_size` and `_num_cells` are set: all cells free, none
  // prepared (the cells are not touched).
  void Initialize(Event_Component_Manager_Base* manager);
  // Writes what a cell holds before it is first handed out: its block and no schedule.
  // REQUIRES: `_free_lock`.
  void privPrepare_Cell(Event_Object* cell);
  // Takes the head of the free list (the caller has read it); the block's first event makes
  // it join the active set, and a full block leaves the calling thread's list.
  // REQUIRES: `_free_lock`.
  void privAllocate();
  // Returns `event`'s cell to the free list; an emptied block leaves the active set.
  // REQUIRES: `event` is in no heap and has no deferred request (Request_Release).
  void privFree(Event_Object* event);
  // Runs the events due now; `revision` receives the block's new next revision.
  void Step(Revision& revision);
  // Asks the block to be stepped no later than `revision`.
  void Update_Schedule(const Revision& revision);

  // Sets `event`'s handler (if not null) and revision and puts it into the heap, or defers
  // that while another thread steps the block. The schedules are the caller's business.
  void Request_Schedule(Event_Object* event, Event_Handler handler, const Revision& revision);
  // Takes `event` out of the heap, destroys it and frees its cell, or defers that while
  // another thread steps the block.
  void Request_Release(Event_Object* event);

  Event_Object* Cell(uint32_t i) const {
    return reinterpret_cast<Event_Object*>(reinterpret_cast<char*>(const_cast<Event_Block*>(this)) +
                                           _data_offset + size_t(i) * _cell_size);
  }

  Event_Component_Manager_Base* _manager = nullptr;
  Revision _next_revision;  // written under `_schedule_lock`, read with Load_Revision
  // Guarded by `_schedule_lock`: requests made while the block is due, and requests for the
  // revision being stepped made while it is not (the block may be stepped before the event
  // reaches its heap; the pending request keeps it due for the extra cycle).
  Revision _pending_revision;
  Event_Object* _first_free = nullptr;   // guarded by `_free_lock`
  std::atomic<int32_t> _claim_count{0};  // the manager's chunk claims
  Spin_Lock _schedule_lock;
  std::atomic<int32_t> _stepping_thread{-1};  // written under `_heap_lock`
  Spin_Lock _free_lock;
  uint32_t _block_bytes = 0;  // the whole allocation, header included
  uint32_t _cell_size = 0;
  uint32_t _num_cells = 0;
  std::atomic<int32_t> _owner_thread{-1};
  uint32_t _num_allocated = 0;   // guarded by `_free_lock`
  uint32_t _cells_prepared = 0;  // guarded by `_free_lock`
  // Set membership, guarded by the manager's `_schedule_lock` (see Block_Pool).
  bool _active = false;
  bool _in_activation_queue = false;
  bool _in_deactivation_queue = false;
  Intrusive_Binary_Heap<Event_Object> _event_heap;  // guarded by `_heap_lock`
  Spin_Lock _heap_lock;
  Event_Object* _deferred_head = nullptr;  // requests of other threads while one steps
  Event_Object* _in_hand = nullptr;        // popped event whose handler is running
  Free_Cell_Bits _free_bits;               // which cells are free; guarded by `_free_lock`

 private:
  struct Step_Action {
    Event_Object* event;  // null: the step is over
    bool release;         // a deferred release to finish outside the lock
  };

  Step_Action privNext_Action(Revision now, Revision& heap_low);
  void privRun(Event_Object* event, Revision now, uint32_t final_iteration, Revision& parked_low);
  void privAbandon_Step();
  void privApply_Schedule(Event_Object* event, Event_Handler handler, const Revision& revision);
  void privDetach(Event_Object* event);
  Event_Object* privApply_Deferred();
  void privDefer(Event_Object* event, Event_Handler handler, const Revision& revision);
  void privRelease_Cell(Event_Object* event);
  void privForget_Schedule();
  bool privMust_Defer(const Event_Object* event) const;
};

}  // namespace quarnel
