#include <exception>

#include <quarnel/Logger.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

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

// One run after another while the World keeps this worker; one run otherwise.
void* Simulation_Loop(int thread_id) {
  World& world = World::Instance();
  World::Worker_Home* const home = world.Home_Of(thread_id);
  uint32_t answered = home != nullptr ? home->call.load(std::memory_order_acquire) : 0;
  do {
    __thread_id = thread_id;
    world.Check_In();  // Initialize waits for every worker
    world.Wait_At_Finish_Gate();
    Revision revision = __revision_omega;
    while (world.running()) {
      Step_Once(world, revision);
      world.Wait_At_Finish_Gate();
    }
    world.Count_Exit();
  } while (home != nullptr && world.Park(*home, answered));
  return nullptr;
}

}  // namespace quarnel
