#include "Execution_Object.h"

#include "Execution_Block.h"
#include "Execution_Component_Manager.h"
#include "Simulation_Engine.h"
#include "World.h"

namespace quarnel {

void Execution_Object::privLower_Schedules(const Revision& revision,
                                           Execution_Component_Manager_Base* manager) {
  const bool running = World::Instance().running();
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

void Execution_Object::privLoad_Event(Event_Handler handler, const Revision& revision,
                                      Execution_Component_Manager_Base* manager) {
  privLower_Schedules(revision, manager);
  _event_callback = handler;
  // Release: a stepping thread that sees the revision also sees the handler.
  Store_Revision(_next_revision, revision, std::memory_order_release);
}

void Execution_Object::privReschedule(const Revision& revision, Execution_Component_Manager_Base* manager) {
  privLower_Schedules(revision, manager);
  Store_Revision(_next_revision, revision, std::memory_order_release);
}

}  // namespace quarnel
