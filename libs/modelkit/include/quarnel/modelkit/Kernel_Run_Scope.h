// What a model's kernel run switches on for its handlers, undone however the run ends: the
// model's pointer to the run's shared state, and the run fingerprint. The destructor clears
// the pointer and switches the fingerprint off, also when the run throws; read the
// fingerprint's Result() while the scope is alive.
//
// Thread safety: the controlling thread, around one run (no run turning at either end).
#pragma once

#include <quarnel/Run_Fingerprint.h>

namespace quarnel::modelkit {

template <class State>
class Kernel_Run_Scope {
 public:
  Kernel_Run_Scope(State*& pointer, State& state, bool fingerprint) : _pointer(pointer) {
    _pointer = &state;
    Run_Fingerprint::Switch(fingerprint);
  }
  ~Kernel_Run_Scope() {
    _pointer = nullptr;
    Run_Fingerprint::Switch(false);
  }
  Kernel_Run_Scope(const Kernel_Run_Scope&) = delete;
  Kernel_Run_Scope& operator=(const Kernel_Run_Scope&) = delete;

 private:
  State*& _pointer;
};

}  // namespace quarnel::modelkit
