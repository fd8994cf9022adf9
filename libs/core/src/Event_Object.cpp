#include <quarnel/Event_Object.h>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include <quarnel/detail/Event_Block.h>

namespace quarnel {
namespace {

// Rule 3 of Event_Object.h. REQUIRES: the World runs.
void Check_Request(const Revision& revision, const Event_Component_Manager_Base& manager,
                   const Revision& now) {
  if (revision < now) {
    QUARNEL_FATAL("An event of " << manager._display_name << " was scheduled at " << to_string(revision)
                                 << ", before the revision being stepped " << to_string(now));
  }
  if (revision == now && Load_Revision(manager._next_revision) != now) {
    QUARNEL_FATAL("An event of " << manager._display_name << " was scheduled at the revision being stepped "
                                 << to_string(now)
                                 << " while its manager is not due in it; schedule it at a later revision");
  }
}

}  // namespace

void Event_Object::privSchedule(Event_Handler handler, const Revision& revision,
                                Event_Component_Manager_Base* manager) {
  // A freed cell holds __revision_free until it is allocated again; an event whose release
  // is only deferred is refused by its block (Request_Schedule).
  if (Load_Revision(_next_revision) == __revision_free) [[unlikely]] {
    QUARNEL_FATAL("An event of " << manager->_display_name << " was scheduled after its release");
  }
  World& world = World::Instance();
  const bool running = world.running();
  if (running) Check_Request(revision, *manager, world.current_revision());
  World::simulation_engine().Lower_Next_Revision(revision, running);
  if (running) {
    manager->Update_Schedule(revision);
    _event_block->Update_Schedule(revision);
  } else {
    // Set-up: only the controlling thread runs, nothing is due yet.
    Store_Revision(manager->_next_revision, min(Load_Revision(manager->_next_revision), revision));
    Store_Revision(_event_block->_next_revision, min(Load_Revision(_event_block->_next_revision), revision));
  }
  _event_block->Request_Schedule(this, handler, revision);
}

void Event_Object::privLoad_Event(Event_Handler handler, const Revision& revision,
                                  Event_Component_Manager_Base* manager) {
  if (handler == nullptr)
    QUARNEL_FATAL("An event of " << manager->_display_name << " was loaded without a handler");
  privSchedule(handler, revision, manager);
}

void Event_Object::privReschedule(const Revision& revision, Event_Component_Manager_Base* manager) {
  privSchedule(nullptr, revision, manager);
}

}  // namespace quarnel
