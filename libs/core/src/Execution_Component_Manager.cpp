#include <quarnel/Execution_Component_Manager.h>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

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

uint32_t Agent_Cell_Bytes(size_t object_size) {
  return Cell_Stride(uint32_t(object_size));
}

std::optional<Block_Shape> Agent_Block_Shape(uint64_t objects_per_block, uint32_t cell_bytes) {
  // One block must fit in 32 bits, with room for the page rounding.
  const uint64_t need = objects_per_block * cell_bytes + Execution_Block::_data_offset;
  if (objects_per_block == 0 || need > uint64_t(UINT32_MAX) - uint64_t(__page_size)) return std::nullopt;
  return Block_Size(uint32_t(objects_per_block), cell_bytes, Execution_Block::_data_offset);
}

}  // namespace quarnel
