#include <quarnel/Event_Component_Manager.h>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

namespace quarnel {

void Simulation_Engine::Activate_Type(Event_Component_Manager_Base* manager) {
  Activate(_new_event_types, manager);
}

Event_Component_Manager_Base::Event_Component_Manager_Base(unsigned int component_id, std::string name)
    : Block_Manager(component_id, std::move(name)) {}

void Event_Component_Manager_Base::Terminate() {
  if (Release_Blocks_And_Arrays()) {
    QUARNEL_FATAL(
        "Event_Component_Manager_Base::Terminate: There are still blocks in the activation or deactivation "
        "queues. This indicates that some blocks were not properly deactivated before termination.");
  }
}

}  // namespace quarnel
