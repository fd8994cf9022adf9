// A plain model program, linked the way a user links the library: no ENABLE_EXPORTS and no
// link flag of its own. An agent's handler throws on a worker; Start_Turning must throw
// "There was an exception on a worker thread - aborting simulation", the program catches it,
// finishes the run with Terminate_Simulation and runs again. Every build (release,
// AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer) must print the lines that
// CTest matches and exit with status 0; a sanitizer report fails the test.
#include <atomic>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/World.h>

namespace {

using namespace quarnel;

constexpr int num_agents = 40;
constexpr uint32_t throw_at_iteration = 3;

std::atomic<bool> __throw_armed{false};
std::atomic<int> __calls{0};

struct MT_Worker_Exception {};
class Throwing_Agent
    : public Quarnel_Component<MT_Worker_Exception, TypeList<NULLTYPE, TypeList<Throwing_Agent, NULLTYPE>>,
                               Execution_Object> {
 public:
  static void Handler(void*, Event_Response& response) {
    const uint32_t now = World::Instance().iteration();
    __calls.fetch_add(1, std::memory_order_relaxed);
    if (now == throw_at_iteration && __throw_armed.exchange(false)) throw std::runtime_error("agent failed");
    response._next_revision = Revision(now + 1, 0);
  }
};

Simulation_Configuration Configuration(int iterations) {
  Simulation_Configuration c;
  c.num_threads = 2;
  c.pre_allocation_amount = 0;
  c.num_iterations = iterations;
  c.execution_blocks_per_thread = 4;
  c.execution_objects_per_block = 8;
  c.max_execution_objects_per_block = 1000;
  c.max_free_blocks = 10;
  c.num_free_blocks_buffer = 5;
  c.core_diagnostics_interval = 0;
  return c;
}

void Load_Agents() {
  for (int i = 0; i < num_agents; ++i) {
    Allocate<Throwing_Agent>()->privLoad_Event(&Throwing_Agent::Handler, Revision(0, 0),
                                               Throwing_Agent::component_manager);
  }
}

// After an aborted run the first Terminate_Simulation may report the blocks that the
// interrupted step left queued; a second call finishes the run.
void Terminate_After_Abort() {
  try {
    World::Terminate_Simulation();
  } catch (std::exception const&) {
    World::Terminate_Simulation();
  }
}

}  // namespace

int main() {
  Simulation_Configuration aborted_run = Configuration(10);
  World::Initialize_Simulation(aborted_run);
  Load_Agents();
  __throw_armed = true;
  try {
    World::Instance().Start_Turning(".");
    std::printf("Start_Turning returned without an exception\n");
    return 1;
  } catch (std::exception const& e) {
    std::printf("caught: %s\n", e.what());
  }
  Terminate_After_Abort();

  // The engine is ready for the next run: every agent acts once in each of 5 iterations.
  __calls = 0;
  Simulation_Configuration clean_run = Configuration(5);
  World::Initialize_Simulation(clean_run);
  Load_Agents();
  World::Instance().Start_Turning(".");
  World::Terminate_Simulation();
  std::printf("second run: %d calls\n", __calls.load());
  return __calls.load() == 5 * num_agents ? 0 : 1;
}
