// The run configuration and the conversions between wall-clock durations and iterations.
//
// Simulation_Configuration describes a run: World::Initialize_Simulation validates it
// (Check_Configuration) and copies it into the World, and the engine reads the World's copy
// from then on, so changing the record afterwards changes nothing. Every field has a sound
// default: a model sets `num_threads` and `num_iterations` and may leave the rest alone. The
// time conversions read the length of an iteration (1000 ms unless set) and, for
// Future_Time, the World's current iteration.
//
// Thread safety: the record is a plain value of the thread that fills it. The time
// conversions may be called from handlers (the clock changes only between cycles);
// set_miliseconds_per_iteration only while no run turns.
#pragma once

#include <chrono>
#include <cstdint>

#include <quarnel/Globals.h>

namespace quarnel {

using Seconds = std::chrono::duration<float>;
using Milliseconds = std::chrono::duration<float, std::milli>;

struct Simulation_Configuration {
  // Worker threads that step the run, and so the size of every per-thread array of the
  // managers (one more entry for the controlling thread). Range: >= 1 to run. Check_Configuration
  // passes 0 (it refuses only negatives), but World::Initialize refuses a run without workers.
  int32_t num_threads = 1;
  // Objects to allocate ahead of the run. Kept in the World for hosts; the engine reads it
  // nowhere. Range: >= 0.
  int32_t pre_allocation_amount = 0;
  // Iterations the run steps: it ends at the first cycle boundary at which the clock's
  // iteration is >= this value, so iterations 0 .. num_iterations - 1 are stepped (earlier if
  // no work is left). Range: >= 1.
  int32_t num_iterations = 100;
  // Chunks of blocks per worker when a due manager shares out its active blocks: a chunk is
  // max(1, active blocks / (this * num_threads)) blocks, and each chunk is claimed by one
  // worker. More chunks balance the workers better and cost one atomic claim each.
  // Range: >= 1.
  int32_t execution_blocks_per_thread = 20;
  // Object cells per memory block that each manager asks for at its next Initialize (a
  // model may override it per type with Set_Block_Size<T>, Model.h);
  // a block holds at least this many cells, more when the rounding of its size leaves room.
  // Range: >= 1.
  int32_t execution_objects_per_block = 100;
  // Kept in the World for hosts; the engine reads it nowhere (blocks are sized by the
  // objects per block above). Range: >= 1.
  int32_t max_execution_objects_per_block = 1000;
  // Empty blocks, per thread and manager, above which a manager's step releases that
  // thread's empty blocks (those not in the active set or a queue). Range: >= 1.
  int32_t max_free_blocks = 10;
  // Empty blocks, per thread and manager, that such a release keeps: it stops once the
  // thread holds no more than this many. Range: >= 1; meant to be below max_free_blocks (a
  // value at or above it releases one block per step while the thread holds too many).
  int32_t num_free_blocks_buffer = 5;
  // In iterations: when > 0, the engine appends a core diagnostics report (the active
  // blocks of every execution manager) to "core.diagnostics" in the working folder whenever
  // the clock reaches an iteration that is a multiple of this value, at most once per
  // iteration number in the life of the process. 0 or negative leaves the report as it is:
  // off, unless an earlier run of this process switched it on. Any value is accepted.
  int32_t core_diagnostics_interval = 0;

  // Raises a fatal error naming the first invalid field in record order; changes nothing.
  void Check_Configuration();
};

void set_miliseconds_per_iteration(int ms);

// Iterations in `t`, truncated; saturates at 0 and 4294967295 (NaN and infinities too).
uint32_t Time_To_Timestep(Seconds t);
// (iterations in `t`, sub) with `sub` stored as its 32-bit pattern.
Revision Rev(Milliseconds t, int sub);
// Simulation time, in seconds since iteration 0, `t` after the start of the current iteration.
Seconds Future_Time(Seconds t);

}  // namespace quarnel
