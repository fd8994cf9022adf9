// A model program as a user writes one, with no logging set up, for Logger_test's check of the
// kernel's console lines. Usage: Quiet_Model_Program default|on|off (the switch's setting).
// It runs a small model, then meets a fatal error it catches (a negative iteration), once on
// its own thread and once inside a run (a handler's), and prints its own lines only.
#include <cstdio>
#include <cstring>
#include <exception>

#include <quarnel/Model.h>

namespace {

class Ticker : public quarnel::Agent<Ticker> {
 public:
  static inline bool misbehave = false;
  void Act(quarnel::Next& next) {
    ++_calls;
    if (misbehave) next.At(quarnel::Revision(-1, 0));
    next.In(1);
  }
  long _calls = 0;
};

quarnel::Simulation_Configuration Configuration(int iterations) {
  quarnel::Simulation_Configuration config;
  config.num_threads = 2;
  config.num_iterations = iterations;
  config.execution_blocks_per_thread = 2;
  config.execution_objects_per_block = 100;
  config.max_execution_objects_per_block = 100;
  config.max_free_blocks = 10;
  config.num_free_blocks_buffer = 5;
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "on") == 0) quarnel::Set_Console_Lines(true);
  if (argc == 2 && std::strcmp(argv[1], "off") == 0) quarnel::Set_Console_Lines(false);
  long calls = 0;
  {
    quarnel::Simulation run(Configuration(4));
    Ticker* a = quarnel::Create<Ticker>();
    Ticker* b = quarnel::Create<Ticker>();
    Ticker* c = quarnel::Create<Ticker>();
    for (Ticker* t : {a, b, c}) t->Schedule_At(quarnel::Revision(0, 0));
    run.Run();
    calls = a->_calls + b->_calls + c->_calls;
  }
  std::printf("program: %ld calls\n", calls);
  try {
    quarnel::Revision start(-1, 0);
    std::printf("program: not refused: %s\n", quarnel::to_string(start).c_str());
  } catch (const std::exception& e) {
    std::printf("program: caught: %s\n", e.what());
  }
  try {
    quarnel::Simulation run(Configuration(4));
    Ticker::misbehave = true;
    quarnel::Create<Ticker>()->Schedule_At(quarnel::Revision(0, 0));
    run.Run();
    std::printf("program: the run ended without its failure\n");
  } catch (const std::exception& e) {
    try {
      std::rethrow_if_nested(e);
      std::printf("program: no cause\n");
    } catch (const std::exception& cause) {
      std::printf("program: the worker's cause: %s\n", cause.what());
    }
  }
  return 0;
}
