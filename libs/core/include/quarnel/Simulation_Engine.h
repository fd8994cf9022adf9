// The engine singleton: steps, on every worker, the managers due at the current revision,
// and moves the World's clock to the smallest revision at which anything has work.
//
// Thread safety:
//  - Step: every worker, once per cycle, concurrently. Reads the manager lists without a
//    lock; they change only in Update (controlling thread, workers parked) and Terminate.
//  - Activate_Type: any thread; touches only the lists of new managers, under
//    `_new_types_lock`.
//  - Lower_Next_Revision: scheduling from any thread while the World runs (under
//    `_revision_lock`), or from the controlling thread during set-up (no lock needed).
//  - Initialize, Update, Terminate, Enable_Diagnostics: controlling thread, no worker steps.
//
// Invariants:
//  1. A manager is in at most one of the four lists; the lists own nothing.
//  2. Execution managers are stepped before event managers, each kind in activation order.
//  3. `_next_revision` is (0,0) after Initialize, a running minimum during a cycle, and
//     __revision_omega right after each Update.
//  4. Every worker steps the same managers in a cycle: those due when the cycle began. A
//     manager that a handler makes due at the current revision mid-cycle is stepped in an
//     extra cycle at that revision.
//  5. After Terminate all four lists are empty.
#pragma once

#include <boost/intrusive/list.hpp>
#include <cstdint>
#include <filesystem>
#include <set>

#include <quarnel/Globals.h>
#include <quarnel/detail/Scheduled_Component_Manager.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

class Execution_Component_Manager_Base;
class Event_Component_Manager_Base;

class Simulation_Engine {
 public:
  using Manager_List =
      boost::intrusive::list<Scheduled_Component_Manager_Base, boost::intrusive::constant_time_size<true>>;

  void Initialize();
  void Terminate();

  // Links a manager that created its first block; it is stepped from the next cycle on.
  // (Defined beside each manager kind, which knows its own base.)
  void Activate_Type(Execution_Component_Manager_Base* manager);
  void Activate_Type(Event_Component_Manager_Base* manager);

  // Appends `manager` to `new_list` (one of the two lists of new managers).
  void Activate(Manager_List& new_list, Scheduled_Component_Manager_Base* manager);

  void Step(Revision& out);
  void Update();

  // Lowers `_next_revision` to `revision` if smaller; takes the lock while the World runs.
  void Lower_Next_Revision(Revision const& revision, bool running);

  void Enable_Diagnostics(int32_t interval) {
    _diagnostics_enabled = true;
    _diagnostics_interval = interval;
  }
  void Collect_Core_Diagnostics();

  Revision next_revision() const { return Load_Revision(_next_revision); }
  Manager_List const& execution_types() const { return _execution_types; }
  Manager_List const& event_types() const { return _event_types; }
  Manager_List const& new_execution_types() const { return _new_execution_types; }
  Manager_List const& new_event_types() const { return _new_event_types; }

  Spin_Lock _revision_lock;
  Spin_Lock _new_types_lock;
  Manager_List _execution_types;
  Manager_List _new_execution_types;
  Manager_List _event_types;
  Manager_List _new_event_types;
  Revision _next_revision = __revision_free;
  std::filesystem::path _diagnostics_directory;
  int32_t _diagnostics_interval = 0;
  bool _diagnostics_enabled = false;
  std::set<Time_Step> _diagnosed_iterations;
};

}  // namespace quarnel
