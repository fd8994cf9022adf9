#include <exception>

#include <quarnel/Logger.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

namespace quarnel {

std::exception_ptr Step_Engine_Once(Revision& revision) noexcept {
  try {
    World::simulation_engine().Step(revision);
    return nullptr;
  } catch (std::exception const& e) {
    Quarnel_Logging_Interface::error(std::string("Exception on worker thread ") +
                                     std::to_string(__thread_id) + ": " + e.what());
    return std::current_exception();
  } catch (...) {
    Quarnel_Logging_Interface::error("Unknown exception on worker thread " + std::to_string(__thread_id));
    return std::current_exception();
  }
}

// One run after another while the World keeps this worker; one run otherwise. In a run of one
// worker the controlling thread steps in its place (World.h): the worker checks in and leaves.
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
      // A failure counts this worker out of the step too (Throw_Exception).
      if (std::exception_ptr failure = Step_Engine_Once(revision))
        world.Throw_Exception(std::move(failure));
      else
        world.Count_Down_Step();
      world.Wait_At_Finish_Gate();
    }
    world.Count_Exit();
  } while (home != nullptr && world.Park(*home, answered));
  return nullptr;
}

}  // namespace quarnel
