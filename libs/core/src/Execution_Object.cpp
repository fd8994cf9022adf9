#include <quarnel/Execution_Object.h>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include <quarnel/detail/Execution_Block.h>

namespace quarnel {

void Execution_Object::privLower_Schedules(const Revision& revision,
                                           Execution_Component_Manager_Base* manager) {
  World& world = World::Instance();
  const bool running = world.running();
  if (running && revision < world.current_revision()) {
    QUARNEL_FATAL("An agent of " << manager->_display_name << " was scheduled at " << to_string(revision)
                                 << ", before the revision being stepped "
                                 << to_string(world.current_revision()));
  }
  World::simulation_engine().Lower_Next_Revision(revision, running);
  if (running) {
    manager->Update_Schedule(revision);
    _execution_block->Update_Schedule(revision);
    return;
  }
  // Set-up: only the controlling thread runs, nothing is due yet.
  Store_Revision(manager->_next_revision, min(Load_Revision(manager->_next_revision), revision));
  Store_Revision(_execution_block->_next_revision,
                 min(Load_Revision(_execution_block->_next_revision), revision));
}

// A released cell holds __revision_free until it is allocated again (invariant 2 of
// Execution_Object.h): scheduling it is a use after release.
void Execution_Object::privRefuse_If_Released(Execution_Component_Manager_Base* manager) const {
  if (Load_Revision(_next_revision) == __revision_free) [[unlikely]] {
    QUARNEL_FATAL("An agent of " << manager->_display_name << " was scheduled after its release");
  }
}

void Execution_Object::privLoad_Event(Event_Handler handler, const Revision& revision,
                                      Execution_Component_Manager_Base* manager) {
  if (handler == nullptr)
    QUARNEL_FATAL("An agent of " << manager->_display_name << " was loaded without a handler");
  privRefuse_If_Released(manager);
  privLower_Schedules(revision, manager);
  _event_callback = handler;
  // Release: a stepping thread that sees the revision also sees the handler.
  Store_Revision(_next_revision, revision, std::memory_order_release);
}

void Execution_Object::privReschedule(const Revision& revision, Execution_Component_Manager_Base* manager) {
  privRefuse_If_Released(manager);
  privLower_Schedules(revision, manager);
  Store_Revision(_next_revision, revision, std::memory_order_release);
}

}  // namespace quarnel
