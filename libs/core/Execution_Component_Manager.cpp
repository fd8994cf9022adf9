#include "Execution_Component_Manager.h"

#include "Fatal_Error.h"
#include "Simulation_Engine.h"
#include "World.h"

namespace quarnel {

void Simulation_Engine::Activate_Type(Execution_Component_Manager_Base* manager) {
  Activate(_new_execution_types, manager);
}

Execution_Component_Manager_Base::Execution_Component_Manager_Base(unsigned int component_id,
                                                                   std::string name)
    : Block_Manager(component_id, std::move(name)) {}

void Execution_Component_Manager_Base::Terminate() {
  if (Release_Blocks_And_Arrays()) {
    Raise_Fatal_Error(
        "libs/core/Execution_Component_Manager", 42,
        "Execution_Component_Manager_Base::Terminate: There are still blocks in the activation or "
        "deactivation queues. This indicates that some blocks were not properly deactivated before "
        "termination.");
  }
}

void Execution_Component_Manager_Base::Write_Diagnostics(std::ostream& out) const {
  out << *this;
}

}  // namespace quarnel
