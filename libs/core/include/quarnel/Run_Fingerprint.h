// The run fingerprint: an order-independent digest of every handler call of a run.
//
// Each call of an agent's or an event's handler adds Fingerprint_Hash(identity, revision)
// (the object's identity as Fingerprint_Identity gives it, and the revision being stepped)
// to a wrapping 64-bit sum and counts one call. Addition commutes, so the digest depends on
// which calls were made, never on their order, on the worker that made them or on how the
// objects were packed into blocks: two runs of a deterministic model (Counter_Random,
// Object_Identity.h) have equal fingerprints on any number of workers.
//
// Switched off by default. While off, a block step asks Lane() once, gets null and runs its
// plain loop; nothing else is done on the stepping path. While on, each worker adds into its
// own cache-line lane; the controlling thread folds the lanes into the run's digest at every
// barrier (Merge, from the engine's Update), and the World logs the digest at NOTICE when the
// run stops.
//
// Thread safety:
//  - Switch: controlling thread, while no run is turning.
//  - Begin_Run, Merge, Result, Log_Result: controlling thread, workers parked (the barrier
//    orders the lanes' plain fields between the workers' steps and these calls).
//  - Lane: a worker, once per block step; the lane is then written by that worker alone.
//
// Invariants:
//  1. Between two cycles every lane is empty; the run's digest holds every call so far.
//  2. Begin_Run empties the digest and the lanes; Result stays readable until the next one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <quarnel/Globals.h>

namespace quarnel {

// A 64-bit hash of one handler call.
uint64_t Fingerprint_Hash(uint64_t identity, Revision revision);

struct Run_Digest {
  uint64_t calls = 0;
  uint64_t sum = 0;  // wrapping sum of Fingerprint_Hash over the calls

  void Add(uint64_t identity, Revision revision) {
    ++calls;
    sum += Fingerprint_Hash(identity, revision);
  }
  void Merge(Run_Digest const& other) {
    calls += other.calls;
    sum += other.sum;
  }
  friend bool operator==(Run_Digest const&, Run_Digest const&) = default;
};

// "0x<sum, 16 hex digits> over <calls> handler calls"
std::string to_string(Run_Digest const& digest);

class Run_Fingerprint {
 public:
  static Run_Fingerprint& Instance();

  static void Switch(bool on) { _on.store(on, std::memory_order_relaxed); }
  static bool on() { return _on.load(std::memory_order_relaxed); }

  // A new run with `num_threads` workers: empty digest, one lane per thread index.
  void Begin_Run(uint32_t num_threads);
  // The calling worker's lane while the fingerprint is on, else null (one relaxed load).
  static Run_Digest* Lane() { return on() ? Instance().privLane(__thread_id) : nullptr; }
  // Folds every lane into the run's digest and empties the lanes.
  void Merge();
  Run_Digest Result() const { return _total; }
  // Continues a saved run: its digest so far becomes this run's (a checkpoint's restore).
  // REQUIRES: after Begin_Run, before the first cycle.
  void Restore(Run_Digest const& digest) { _total = digest; }
  // Logs "Run fingerprint: " + to_string(Result()) at NOTICE, if on.
  void Log_Result() const;

 private:
  struct alignas(__cache_line_size) Slot {
    Run_Digest digest;
  };
  Run_Digest* privLane(int32_t thread);

  static inline std::atomic<bool> _on{false};
  std::vector<Slot> _lanes;
  Run_Digest _total;
};

}  // namespace quarnel
