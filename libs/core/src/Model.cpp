#include <quarnel/Model.h>

#include <atomic>
#include <exception>
#include <string>

#include <quarnel/Logger.h>

namespace quarnel {
namespace {

// Whether a Simulation is alive, in any thread.
std::atomic<bool> __simulation_alive{false};

}  // namespace

void Set_Console_Lines(bool on) {
  Quarnel_Logging_Interface::Set_Console_Lines(on);
}

Simulation::Simulation(Simulation_Configuration config) {
  if (__simulation_alive.exchange(true)) {
    QUARNEL_FATAL(
        "quarnel::Simulation: a run is already in progress (another Simulation is alive); end "
        "it, by letting its Simulation go out of scope, before setting up the next run");
  }
  try {
    World::Initialize_Simulation(config);
  } catch (...) {
    // No Simulation came alive (a failed Initialize leaves no worker waiting, or the next
    // Initialize ends the run it left).
    __simulation_alive.store(false);
    throw;
  }
}

// A destructor must not throw: a failing termination (blocks still queued after an aborted
// run) has already logged its fatal error; the next Initialize starts clean.
Simulation::~Simulation() {
  try {
    World::Terminate_Simulation();
  } catch (std::exception const& e) {
    Quarnel_Logging_Interface::error(std::string("The run ended with an error: ") + e.what());
  } catch (...) {
    Quarnel_Logging_Interface::error("The run ended with an error of unknown type");
  }
  __simulation_alive.store(false);
}

}  // namespace quarnel
