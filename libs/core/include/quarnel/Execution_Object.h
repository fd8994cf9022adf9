// Execution objects (agents): fixed-size objects that live in the cells of an execution
// block and act when their revision comes.
//
// At its revision the block that holds an object calls the object's handler once, passing an
// Event_Response whose `_next_revision` is __revision_omega; the revision the handler leaves
// there becomes the object's next revision (__revision_omega: allocated but unscheduled).
//
// privLoad_Event / privReschedule set an object's next revision and lower the schedules of
// its block, its manager and the engine so that the object is reached. While the World runs
// each level is lowered under its own spin lock, one at a time, engine -> manager -> block; a
// level that is due in the revision being stepped keeps the request as pending and takes it
// at the end of its step. A request for the revision being stepped is therefore honoured in
// an extra cycle at that same revision (an object the block has not passed yet in this cycle
// is called in this one instead, and not again).
//
// While the World runs, a request for a revision earlier than the one being stepped is refused
// with a fatal error, as is a handler's answer earlier than it: the clock never goes back.
// Loading an object without a handler is refused too, and so is scheduling an object that has
// been released (until its cell is allocated again, invariant 2).
//
// Thread safety: both operations run on the controlling thread during set-up and on any
// worker inside a handler while the World runs. The object's own fields are plain (the cell's
// revision is a relaxed/acquire-release atomic because the block's stepping thread reads it):
// an object must be scheduled by at most one thread at a time.
//
// Invariants:
//  1. Constructing an agent in a cell never writes the cell's revision or its link slot:
//     the stepping thread may be reading them, and the cell must never look due while the
//     allocation is half done (Allocate<T> then stores __revision_omega itself).
//  2. A released cell holds __revision_free until it is allocated again, so it never becomes
//     due and never lowers a minimum.
#pragma once

#include <cstdint>

#include <quarnel/Component_Manager.h>
#include <quarnel/Globals.h>

namespace quarnel {

class Execution_Block;
class Execution_Component_Manager_Base;

// What a handler answers: when its object acts next.
struct Event_Response {
  Event_Response() : _next_revision(__revision_omega) {}
  Revision _next_revision;
};

using Event_Handler = void (*)(void* object, Event_Response& response);

class Execution_Object : public Base_Object {
 public:
  // Leaves the cell's schedule, link and block untouched (invariant 1).
  Execution_Object() {}

  // Makes `handler` this object's handler and schedules it at `revision`. `manager` is the
  // manager of the object's type.
  void privLoad_Event(Event_Handler handler, const Revision& revision,
                      Execution_Component_Manager_Base* manager);
  // Schedules this object at `revision`, keeping its handler.
  void privReschedule(const Revision& revision, Execution_Component_Manager_Base* manager);

  // In an anonymous union so that no constructor of an agent type writes it (invariant 1).
  union {
    Revision _next_revision;
  };
  union {
    Event_Handler _event_callback;  // while allocated
    Execution_Object* _next_free;   // while free: next free cell of the block, null at the end
  };
  Execution_Block* _execution_block;

 private:
  void privRefuse_If_Released(Execution_Component_Manager_Base* manager) const;
  void privLower_Schedules(const Revision& revision, Execution_Component_Manager_Base* manager);
};

}  // namespace quarnel
