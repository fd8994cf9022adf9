// Event objects: fixed-size objects that live in the cells of an event block and are kept,
// while scheduled, in their block's intrusive binary min-heap keyed by their next revision.
//
// At its revision the block pops the event and calls its handler once with an Event_Response
// whose `_next_revision` is __revision_omega; the answer becomes the event's next revision and
// the event goes back into the heap, except when the answer lies in the run's final iteration
// (the event is then parked: allocated, out of the heap, never called again unless loaded
// again; while other events of its block remain scheduled, its revision still counts in the
// block's minimum). An answer equal to the revision being stepped runs the event again in the same step.
//
// privLoad_Event / privReschedule set an event's handler (load only) and revision, put the
// event into its block's heap (or re-key it there) and lower the engine's, the manager's and
// the block's schedules, in that order, as the execution objects do: while the World runs
// each level under its own spin lock, one at a time; during set-up directly.
//
// Scheduling and freeing events of any block from a handler (the rules the engine enforces):
//  1. Any thread may load, reschedule or free any event of any block. A block's heap is
//     changed only under the block's `_heap_lock`, and never by one thread while another
//     thread steps that block: a request for a block that another thread is stepping is
//     deferred into the block's request list and applied by the stepping thread before it
//     pops its next due event, or at the latest before its step ends. A deferred request
//     takes effect then; a later request for the same event replaces an earlier one. A
//     release is final: scheduling an event after its release (done or deferred) is refused
//     with a fatal error, as a second release is.
//  2. A released event is never in a heap: the release takes it out (at once, or when the
//     deferred release is applied) before its cell returns to the free list, and T's
//     destructor runs only then. An event that its own handler releases is not pushed back.
//  3. A request earlier than the revision being stepped is refused (fatal error): the
//     World's clock never goes back. A request for the revision being stepped is accepted
//     only while the event's manager is due in it; a manager that became due in the middle
//     of a cycle would be stepped by only some of the workers, so such a request is refused
//     too. A handler that answers a revision earlier than the one being stepped is refused.
//  4. An event must be scheduled or freed by at most one thread at a time. A handler that
//     reschedules its own event is overruled by its answer, as for the execution objects.
//
// Invariants:
//  1. `_next_revision` directly follows `_heap_node`; the heap reads the key through this
//     layout (Heap_Key).
//  2. An event is in its block's heap exactly when `_heap_node._position` is not -1; the
//     heap detaches a node as soon as it is popped or removed.
//  3. `_deferred_next` is null exactly when the event has no deferred request; the last
//     event of a block's request list points to itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include <quarnel/Component_Manager.h>
#include <quarnel/Execution_Object.h>  // Event_Response, Event_Handler
#include <quarnel/Globals.h>
#include <quarnel/detail/Intrusive_Binary_Heap.h>

namespace quarnel {

class Event_Block;
class Event_Component_Manager_Base;

class Event_Object : public Base_Object {
 public:
  // Leaves the schedule, link slot and block to the allocation path.
  Event_Object() {}

  // Makes `handler` this event's handler and schedules it at `revision`. `manager` is the
  // manager of the event's type.
  void privLoad_Event(Event_Handler handler, const Revision& revision, Event_Component_Manager_Base* manager);
  // Schedules this event at `revision`, keeping its handler.
  void privReschedule(const Revision& revision, Event_Component_Manager_Base* manager);

  // The key of the event that holds `node`: the revision stored right after the node.
  static uint64_t Heap_Key(const ibh_node* node) {
    const auto* key =
        reinterpret_cast<const Revision*>(reinterpret_cast<const char*>(node) + sizeof(ibh_node));
    return Load_Revision(*key)._revision;
  }
  static Event_Object* From_Node(ibh_node* node);

  bool In_Heap() const { return _heap_node._position != -1; }

  ibh_node _heap_node;
  Revision _next_revision;
  union {
    Event_Handler _event_callback;  // while allocated
    Event_Object* _next_free;       // while free: next free cell of the block, null at the end
  };
  Event_Block* _event_block;
  // The deferred request of rule 1; guarded by the block's `_heap_lock`.
  Event_Object* _deferred_next = nullptr;
  Revision _deferred_revision;                 // __revision_free: a deferred release
  Event_Handler _deferred_callback = nullptr;  // null: keep the handler

 private:
  void privSchedule(Event_Handler handler, const Revision& revision, Event_Component_Manager_Base* manager);
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
inline constexpr size_t __event_node_offset = offsetof(Event_Object, _heap_node);
static_assert(offsetof(Event_Object, _next_revision) == __event_node_offset + sizeof(ibh_node),
              "the heap reads an event's key right after its node");
#pragma GCC diagnostic pop

inline Event_Object* Event_Object::From_Node(ibh_node* node) {
  return reinterpret_cast<Event_Object*>(reinterpret_cast<char*>(node) - __event_node_offset);
}

}  // namespace quarnel
