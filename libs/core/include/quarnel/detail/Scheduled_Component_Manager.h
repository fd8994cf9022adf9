// The common base of the managers whose objects run on a schedule (agents and events).
//
// A manager is due when `_next_revision` equals the World's current revision. While it is
// due, requests for later work go to `_pending_revision`, which the manager's end-of-revision
// update moves into `_next_revision`; so `_next_revision` stays equal to the current revision
// for the whole of the manager's step. A request for the revision being stepped is therefore
// honoured in an extra cycle at that same revision.
//
// The manager also counts its live objects (allocated and not yet released): one signed
// counter per thread index, each on its own cache line and changed only by its own thread
// (Allocate<T> adds one, Free<T> takes one off, whichever thread made the object), summed
// by Live_Objects on demand. The sum is exact whenever no worker is stepping (set-up, the
// World's iteration hook, after the run); read during a step it is some recent value.
//
// Thread safety: Update_Schedule from any thread (under `_schedule_lock` when it may lower a
// revision; a request at or after the next revision of a manager that is not due only reads
// `_next_revision`); `_next_revision` may be read without the lock (Load_Revision).
// Initialize()/Terminate() on the controlling thread while no worker steps.
// `_threads_finished`, `_activated` and `_empty_blocks` change only by atomic
// read-modify-write. Live_Objects from any thread except while the controlling thread runs
// Initialize() or Terminate(); privCount_Live only on a thread of the initialised run, for
// its own counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include <quarnel/Component_Manager.h>
#include <quarnel/Globals.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

class Scheduled_Component_Manager_Base : public Component_Manager_Base {
 public:
  Scheduled_Component_Manager_Base(unsigned int component_id, std::string name);

  // Resets the schedule and sizes the per-thread arrays for the configured thread count.
  void Initialize() override;

  // Asks the manager to run no later than `revision`. Any thread.
  void Update_Schedule(const Revision& revision);

  // Called by every worker that finds the manager due; on return `revision` holds the
  // manager's next revision as this thread knows it.
  virtual void Step(Revision& revision) = 0;

  // Objects of this type allocated and not yet released in this run (0 before the first
  // Initialize and after Terminate). Exact whenever no worker is stepping.
  int64_t Live_Objects() const;
  // Adds `change` (+1 allocated, -1 released) to the calling thread's live count.
  // REQUIRES: a thread of the initialised run (workers, the controlling thread).
  void privCount_Live(int64_t change) {
    const uint32_t t = uint32_t(__thread_id);
    if (t >= _live_slots) [[unlikely]]
      privRefuse_Count(int32_t(t));
    std::atomic<int64_t>& count = _live_objects[t].value;
    count.store(count.load(std::memory_order_relaxed) + change, std::memory_order_relaxed);
  }
  // Sets every live count to 0 (the run's blocks are gone). REQUIRES: no worker stepping.
  void privReset_Live_Counts();
  // Raises a fatal error unless the calling thread may visit this manager's objects: no
  // run turns, or it is the controlling thread in the World's iteration hook.
  void privCheck_Visit() const;

  // Writes this manager's record of the core diagnostics report; nothing by default.
  // REQUIRES: controlling thread, workers parked.
  virtual void Write_Diagnostics(std::ostream&) const {}

  // Cells per block for the blocks created from now on, in this run and the next ones (the
  // configuration's execution_objects_per_block until this is called). Below 1 is a fatal
  // error. REQUIRES: controlling thread, no worker stepping.
  void Set_Objects_Per_Block(int32_t objects_per_block);

  // Raises the fatal error of `call`, a set-up call made while the World runs:
  // "<call> of <display name> is for setting a run up; ...".
  [[noreturn]] void Refuse_Set_Up_Call(const char* call) const;

  // Raises the fatal error of a release of an object of this type that is already free:
  // "An <kind> of <display name> was freed twice".
  [[noreturn]] void Refuse_Double_Free(const char* kind) const;

  // "Name<MasterType_Test, quarnel::TypeList<...>, void>" -> "Name<MT_Test>".
  static std::string Make_Display_Name(std::string const& type_name);

  std::string _type_name;
  std::string _display_name;
  uint32_t _component_id;
  Revision _next_revision = __revision_free;
  Revision _pending_revision = __revision_free;
  std::atomic<int32_t> _threads_finished{0};
  Spin_Lock _schedule_lock;
  int32_t _objects_per_block = -1;
  int32_t _requested_objects_per_block = 0;  // Set_Objects_Per_Block's; 0: the configuration's
  uint32_t _object_size = 0;
  std::atomic<bool> _activated{false};
  // Whether the engine steps this manager in the current cycle: decided by the engine's
  // Update for the whole cycle, so that every worker steps the same managers even when a
  // handler makes another manager due at the current revision mid-cycle (that manager is
  // then stepped in an extra cycle at the same revision). Written only while workers are
  // parked; the barrier orders it.
  bool _due_this_cycle = false;
  // The objects derive from Identified<...> (Object_Identity.h): the run fingerprint reads
  // their 64-bit identity. Set by the manager's constructor, never changed.
  bool _identified = false;
  // One counter per thread index 0 .. num_threads; created by Initialize().
  std::unique_ptr<Cache_Line_Own<std::atomic<uint32_t>>[]> _empty_blocks;
  // Live objects per thread index 0 .. num_threads, created by Initialize(). Each counter is
  // written only by its own thread (a relaxed load and store, no read-modify-write); the
  // World's barrier orders the workers' last writes before a reader between cycles.
  std::unique_ptr<Cache_Line_Value<std::atomic<int64_t>>[]> _live_objects;
  uint32_t _live_slots = 0;

 private:
  [[noreturn]] void privRefuse_Count(int32_t thread) const;
};

}  // namespace quarnel
