#include <exception>

#include "Logger.h"
#include "Simulation_Engine.h"
#include "World.h"

namespace quarnel {
namespace {

// One step of the engine on this worker. A failure is logged and reported through
// Throw_Exception, which also counts the worker out of the step.
void Step_Once(World& world, Revision& revision) {
  try {
    World::simulation_engine().Step(revision);
  } catch (std::exception const& e) {
    Quarnel_Logging_Interface::error(std::string("Exception on worker thread ") +
                                     std::to_string(__thread_id) + ": " + e.what());
    world.Throw_Exception(std::current_exception());
    return;
  } catch (...) {
    Quarnel_Logging_Interface::error("Unknown exception on worker thread " + std::to_string(__thread_id));
    world.Throw_Exception(std::current_exception());
    return;
  }
  world.Count_Down_Step();
}

}  // namespace

void* Simulation_Loop(int thread_id) {
  __thread_id = thread_id;
  World& world = World::Instance();
  world.Check_In();  // Initialize waits for every worker
  world.Wait_At_Finish_Gate();
  Revision revision = __revision_omega;
  while (world.running()) {
    Step_Once(world, revision);
    world.Wait_At_Finish_Gate();
  }
  world.Count_Exit();
  return nullptr;
}

}  // namespace quarnel
