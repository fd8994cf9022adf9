#include <quarnel/Simulation_Engine.h>

#include <fstream>

#include <quarnel/Run_Fingerprint.h>
#include <quarnel/World.h>

namespace quarnel {
namespace {

// Steps the managers of one list that are due in this cycle; returns the smallest next
// revision seen.
Revision Step_Managers(Simulation_Engine::Manager_List& managers, Revision best) {
  for (Scheduled_Component_Manager_Base& manager : managers) {
    Revision r = Load_Revision(manager._next_revision);
    if (manager._due_this_cycle) manager.Step(r);
    best = min(best, r);
  }
  return best;
}

void Mark_Due(Simulation_Engine::Manager_List& managers, Revision const& now) {
  for (Scheduled_Component_Manager_Base& manager : managers) {
    manager._due_this_cycle = Load_Revision(manager._next_revision) == now;
  }
}

void Move_All(Simulation_Engine::Manager_List& from, Simulation_Engine::Manager_List& to) {
  while (!from.empty()) {
    Scheduled_Component_Manager_Base& manager = from.front();
    from.pop_front();
    to.push_back(manager);
  }
}

}  // namespace

void Simulation_Engine::Initialize() {
  Run_Fingerprint::Instance().Begin_Run(World::Instance().num_threads());
  Store_Revision(_next_revision, Revision(0, 0));
  _revision_lock.Reset();
  _new_types_lock.Reset();
}

void Simulation_Engine::Terminate() {
  // The lists of new managers are emptied too: a run that ended without a last Update (it
  // never turned, or a worker failed) may have left managers there, and the next run links
  // them again when they create their first block.
  _execution_types.clear();
  _event_types.clear();
  _new_execution_types.clear();
  _new_event_types.clear();
}

void Simulation_Engine::Activate(Manager_List& new_list, Scheduled_Component_Manager_Base* manager) {
  Spin_Guard guard(_new_types_lock);
  new_list.push_back(*manager);
}

void Simulation_Engine::Step(Revision& out) {
  Revision best = Step_Managers(_execution_types, __revision_omega);
  best = Step_Managers(_event_types, best);
  Spin_Guard guard(_revision_lock);
  if (best < _next_revision) Store_Revision(_next_revision, best);
  out = _next_revision;
}

void Simulation_Engine::Lower_Next_Revision(Revision const& revision, bool running) {
  if (!running) {
    if (revision < _next_revision) Store_Revision(_next_revision, revision);
    return;
  }
  // During a cycle the value only falls (here and in Step, under the lock; Update resets it
  // while every worker is parked): once it is at or below `revision` it stays there, and the
  // many objects scheduled for the same next revision skip the lock.
  if (!(revision < Load_Revision(_next_revision))) return;
  Spin_Guard guard(_revision_lock);
  if (revision < _next_revision) Store_Revision(_next_revision, revision);
}

void Simulation_Engine::Update() {
  Run_Fingerprint::Instance().Merge();  // the workers are parked at the barrier
  Move_All(_new_execution_types, _execution_types);
  Move_All(_new_event_types, _event_types);
  World::Instance().Set_Current_Revision(_next_revision);
  Mark_Due(_execution_types, _next_revision);
  Mark_Due(_event_types, _next_revision);
  Store_Revision(_next_revision, __revision_omega);
  Collect_Core_Diagnostics();
}

void Simulation_Engine::Collect_Core_Diagnostics() {
  if (!_diagnostics_enabled) return;
  const uint32_t i = World::Instance().iteration();
  if (i % uint32_t(_diagnostics_interval) != 0) return;
  if (!_diagnosed_iterations.insert(Time_Step{i}).second) return;
  std::ofstream report(_diagnostics_directory / "core.diagnostics", std::ios::out | std::ios::app);
  report << "iteration: "
         << "Step(" << i << ")"
         << " component_types: " << _execution_types.size() << std::endl;
  for (Scheduled_Component_Manager_Base const& manager : _execution_types) {
    manager.Write_Diagnostics(report);
    report << std::endl;
  }
}

}  // namespace quarnel
