#include <quarnel/Model.h>

#include <exception>
#include <string>

#include <quarnel/Logger.h>

namespace quarnel {

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
}

}  // namespace quarnel
