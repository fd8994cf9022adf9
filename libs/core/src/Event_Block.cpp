#include <quarnel/detail/Event_Block.h>

#include <quarnel/detail/Block_Memory.h>

#include <new>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Run_Fingerprint.h>
#include <quarnel/World.h>

// Free cells (and destroyed events) hold no live object, yet the block reads and writes their
// schedule, link and node through Event_Object*; these functions are exempt from UBSan's
// dynamic-type check.
#define QUARNEL_EVENT_CELL_ACCESS __attribute__((no_sanitize("vptr")))

namespace quarnel {

const uint32_t Event_Block::_data_offset = (sizeof(Event_Block) / __cache_line_size + 1) * __cache_line_size;
static_assert(sizeof(Event_Block) / __cache_line_size == 2, "the cells start on the third cache line");

Event_Block* Event_Block::Create(Event_Component_Manager_Base* manager, Block_Shape shape,
                                 uint32_t cell_size) {
  Event_Block* block = Create_Block<Event_Block>(manager, shape, cell_size);
  try {
    block->_event_heap.Reserve(block->_num_cells);  // every cell's event fits, none more
  } catch (...) {
    Release_Block(block);
    throw;
  }
  return block;
}

void Event_Block::Release(Event_Block* block) {
  Release_Block(block);
}

void Event_Block::Initialize(Event_Component_Manager_Base* manager) {
  Reset_Block_Header(this, manager);
}

QUARNEL_EVENT_CELL_ACCESS void Event_Block::privPrepare_Cell(Event_Object* cell) {
  cell->_event_block = this;
  Store_Revision(cell->_next_revision, __revision_omega);
}

void Event_Block::privAllocate() {
  Take_First_Free(this);
}

QUARNEL_EVENT_CELL_ACCESS void Event_Block::privFree(Event_Object* event) {
  const bool running = World::Instance().running();
  if (running) _free_lock.Lock();
  Store_Revision(event->_next_revision, __revision_free);
  Return_Free_Cell(this, event);
  if (--_num_allocated == 0) {
    _manager->_empty_blocks[_owner_thread.load()].fetch_add(1);
    _manager->Deactivate_Block(this);
    if (running) privForget_Schedule();
  }
  if (running) _free_lock.Unlock();
}

// An empty block has nothing to run: pending requests were for released events. A block that
// is due keeps its next revision, because the thread stepping it (now, or in the extra cycle
// its due request caused) sets it from its heap at the end of the step; lowering it to
// __revision_omega meanwhile would send a new event's request to `_next_revision`, where the
// end of that step would overwrite it and the block would never be stepped again.
void Event_Block::privForget_Schedule() {
  Spin_Guard guard(_schedule_lock);
  _pending_revision = __revision_omega;
  if (Load_Revision(_next_revision) != World::Instance().current_revision()) {
    Store_Revision(_next_revision, __revision_omega);
  }
}

void Event_Block::Update_Schedule(const Revision& revision) {
  Spin_Guard guard(_schedule_lock);
  Lower_Block_Schedule(this, revision, World::Instance().current_revision());
}

// ---- Step ----

void Event_Block::Step(Revision& revision) {
  World& world = World::Instance();
  const Revision now = world.current_revision();
  const uint32_t final_iteration = world.num_iterations();
  {
    Spin_Guard guard(_heap_lock);
    _stepping_thread.exchange(__thread_id);
  }
  Revision low = __revision_omega;
  Revision parked_low = __revision_omega;                   // events parked while others remained scheduled
  Run_Digest* const fingerprint = Run_Fingerprint::Lane();  // null while off
  try {
    for (Step_Action action = privNext_Action(now, low); action.event != nullptr;
         action = privNext_Action(now, low)) {
      if (action.release) {
        privRelease_Cell(action.event);
      } else {
        if (fingerprint != nullptr)
          fingerprint->Add(Fingerprint_Identity(action.event, _manager->_identified), now);
        privRun(action.event, now, final_iteration, parked_low);
      }
    }
  } catch (...) {
    privAbandon_Step();
    throw;
  }
  Spin_Guard guard(_schedule_lock);
  low = min(min(low, parked_low), _pending_revision);
  _pending_revision = __revision_omega;
  Store_Revision(_next_revision, low);
  revision = low;
}

// Applies the deferred requests, then pops the next due event. When there is none, the step
// ends here, under the lock that orders it with the other threads' requests: `heap_low`
// receives the smallest key left in the heap and the block is no longer being stepped.
QUARNEL_EVENT_CELL_ACCESS Event_Block::Step_Action Event_Block::privNext_Action(Revision now,
                                                                                Revision& heap_low) {
  Spin_Guard guard(_heap_lock);
  if (Event_Object* released = privApply_Deferred()) return {released, true};
  if (!_event_heap.empty() && _event_heap.root_key() <= now._revision) {
    _in_hand = Event_Object::From_Node(_event_heap.pop_root());
    return {_in_hand, false};
  }
  heap_low = _event_heap.empty() ? __revision_omega : Revision::From_Key(_event_heap.root_key());
  _stepping_thread.exchange(-1);
  return {nullptr, false};
}

// Calls one popped event and settles its answer: pushed back, parked in the final iteration,
// or dropped because the handler released the event. A parked event still counts in the
// block's minimum (`parked_low`) while other events remain in the heap: the block then reports
// the final iteration, so the run's last cycle is that iteration and not a later event's.
QUARNEL_EVENT_CELL_ACCESS void Event_Block::privRun(Event_Object* event, Revision now,
                                                    uint32_t final_iteration, Revision& parked_low) {
  if (event->_event_callback == nullptr) {
    QUARNEL_FATAL("An event of " << _manager->_display_name
                                 << " came due without a handler; load it with a handler");
  }
  Event_Response response;
  event->_event_callback(event, response);
  const Revision next = response._next_revision;
  Spin_Guard guard(_heap_lock);
  if (_in_hand != event) return;
  _in_hand = nullptr;
  if (next < now) {
    QUARNEL_FATAL("An event handler answered " << to_string(next) << ", before the revision being stepped "
                                               << to_string(now));
  }
  Store_Revision(event->_next_revision, next);
  if (next._iteration == final_iteration) {
    if (!_event_heap.empty()) parked_low = min(parked_low, next);
    return;
  }
  _event_heap.push_node(&event->_heap_node);
}

// A handler failed: the block stops being stepped, its deferred requests still take effect.
void Event_Block::privAbandon_Step() {
  for (;;) {
    Event_Object* released;
    {
      Spin_Guard guard(_heap_lock);
      _in_hand = nullptr;
      released = privApply_Deferred();
      if (released == nullptr) {
        _stepping_thread.exchange(-1);
        return;
      }
    }
    privRelease_Cell(released);
  }
}

// ---- Requests ----

QUARNEL_EVENT_CELL_ACCESS bool Event_Block::privMust_Defer(const Event_Object* event) const {
  if (event->_deferred_next != nullptr) return true;  // keep the order of requests for it
  const int32_t stepper = _stepping_thread.load(std::memory_order_relaxed);
  return stepper != -1 && stepper != __thread_id;
}

void Event_Block::Request_Schedule(Event_Object* event, Event_Handler handler, const Revision& revision) {
  Spin_Guard guard(_heap_lock);
  if (event->_deferred_next != nullptr && event->_deferred_revision == __revision_free) {
    QUARNEL_FATAL("An event of " << _manager->_display_name << " was scheduled after its release");
  }
  if (privMust_Defer(event)) {
    privDefer(event, handler, revision);
  } else {
    privApply_Schedule(event, handler, revision);
  }
}

void Event_Block::Request_Release(Event_Object* event) {
  {
    Spin_Guard guard(_heap_lock);
    if (event->_deferred_next != nullptr && event->_deferred_revision == __revision_free)
      _manager->Refuse_Double_Free("event");
    if (privMust_Defer(event)) {
      privDefer(event, nullptr, __revision_free);
      return;
    }
    privDetach(event);
  }
  privRelease_Cell(event);
}

// REQUIRES: `_heap_lock`, and no other thread steps the block.
QUARNEL_EVENT_CELL_ACCESS void Event_Block::privApply_Schedule(Event_Object* event, Event_Handler handler,
                                                               const Revision& revision) {
  if (handler != nullptr) event->_event_callback = handler;
  Store_Revision(event->_next_revision, revision);
  // The event whose handler is running is settled by its answer when the handler returns.
  if (event == _in_hand) return;
  if (event->In_Heap()) {
    _event_heap.rekey_node(&event->_heap_node);
  } else {
    _event_heap.push_node(&event->_heap_node);
  }
}

// Takes `event` out of the heap (or out of the hands of its running handler).
// REQUIRES: `_heap_lock`, and no other thread steps the block.
QUARNEL_EVENT_CELL_ACCESS void Event_Block::privDetach(Event_Object* event) {
  if (event == _in_hand) {
    _in_hand = nullptr;
  } else if (event->In_Heap()) {
    _event_heap.remove_node(&event->_heap_node);
  }
}

// REQUIRES: `_heap_lock`.
QUARNEL_EVENT_CELL_ACCESS void Event_Block::privDefer(Event_Object* event, Event_Handler handler,
                                                      const Revision& revision) {
  if (event->_deferred_next == nullptr) {
    event->_deferred_next = _deferred_head == nullptr ? event : _deferred_head;
    _deferred_head = event;
    event->_deferred_callback = nullptr;
  } else if (event->_deferred_revision == __revision_free) {
    return;  // a release stays a release
  }
  event->_deferred_revision = revision;
  if (handler != nullptr) event->_deferred_callback = handler;
}

// Applies deferred schedules until the list is empty (returns null) or a release comes up:
// that event is detached and returned, to be destroyed and freed outside the lock.
// REQUIRES: `_heap_lock`, and no other thread steps the block.
QUARNEL_EVENT_CELL_ACCESS Event_Object* Event_Block::privApply_Deferred() {
  while (Event_Object* event = _deferred_head) {
    _deferred_head = event->_deferred_next == event ? nullptr : event->_deferred_next;
    event->_deferred_next = nullptr;
    if (event->_deferred_revision == __revision_free) {
      privDetach(event);
      return event;
    }
    privApply_Schedule(event, event->_deferred_callback, event->_deferred_revision);
  }
  return nullptr;
}

// Runs the event's own destructor (virtual: T's), then returns the cell.
QUARNEL_EVENT_CELL_ACCESS void Event_Block::privRelease_Cell(Event_Object* event) {
  event->~Event_Object();
  privFree(event);
}

}  // namespace quarnel
