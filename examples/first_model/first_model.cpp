// The smallest Quarnel model: N agents that each act once per iteration for 10 iterations.
// Usage: first_model <workers> <agents>; prints the number of agent calls.
#include <quarnel/Quarnel.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

constexpr int num_iterations = 10;
std::atomic<long> __agent_calls{0};

struct MT_First_Model {};

class Counting_Agent
    : public quarnel::Quarnel_Component<
          MT_First_Model,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Counting_Agent, quarnel::NULLTYPE>>,
          quarnel::Execution_Object> {
 public:
  // Counts the call and comes back in the next iteration.
  static void Act(void*, quarnel::Event_Response& response) {
    __agent_calls.fetch_add(1, std::memory_order_relaxed);
    response._next_revision = quarnel::Revision(quarnel::World::Instance().iteration() + 1, 0);
  }
};

// A whole number in [1, 100000], or 0 when `text` is not one.
int Parse_Count(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return (end != text && *end == '\0' && value >= 1 && value <= 100000) ? int(value) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int workers = argc == 3 ? Parse_Count(argv[1]) : 0;
  const int agents = argc == 3 ? Parse_Count(argv[2]) : 0;
  if (workers == 0 || agents == 0) {
    std::fprintf(stderr, "usage: first_model <workers 1..100000> <agents 1..100000>\n");
    return 2;
  }
  std::printf("Quarnel %s\n", quarnel::version_string);

  quarnel::Simulation_Configuration config;
  config.num_threads = workers;
  config.pre_allocation_amount = 0;
  config.num_iterations = num_iterations;
  config.execution_blocks_per_thread = 4;
  config.execution_objects_per_block = 16;
  config.max_execution_objects_per_block = 1000;
  config.max_free_blocks = 10;
  config.num_free_blocks_buffer = 5;
  config.core_diagnostics_interval = 0;
  try {
    quarnel::World::Initialize_Simulation(config);
    for (int i = 0; i < agents; ++i) {
      quarnel::Allocate<Counting_Agent>()->privLoad_Event(&Counting_Agent::Act, quarnel::Revision(0, 0),
                                                          Counting_Agent::component_manager);
    }
    quarnel::World::Instance().Start_Turning(".");
    quarnel::World::Terminate_Simulation();
  } catch (std::exception const& e) {
    std::fprintf(stderr, "first_model: %s\n", e.what());
    return 1;
  }
  std::printf("agent calls: %ld\n", __agent_calls.load());
  return 0;
}
