// The run fingerprint switched on (or off) for one kernel run, and off again however the run
// ends, also when it throws: read Run_Fingerprint::Instance().Result() while the scope lives.
//
// Thread safety: the controlling thread, around one run (no run turning at either end).
#pragma once

#include <quarnel/Run_Fingerprint.h>

namespace quarnel::modelkit {

class Fingerprint_Scope {
 public:
  explicit Fingerprint_Scope(bool on) { Run_Fingerprint::Switch(on); }
  ~Fingerprint_Scope() { Run_Fingerprint::Switch(false); }
  Fingerprint_Scope(const Fingerprint_Scope&) = delete;
  Fingerprint_Scope& operator=(const Fingerprint_Scope&) = delete;
};

}  // namespace quarnel::modelkit
