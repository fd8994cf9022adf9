// The run configuration and the conversions between wall-clock durations and iterations.
//
// Simulation_Configuration is filled completely by the application and handed to
// World::Initialize_Simulation, which validates it and copies it into the World; the engine
// reads the World's copy from then on. The time conversions read the length of an iteration
// (1000 ms unless set) and, for Future_Time, the World's current iteration.
#pragma once

#include <chrono>
#include <cstdint>

#include "Globals.h"

namespace quarnel {

using Seconds = std::chrono::duration<float>;
using Milliseconds = std::chrono::duration<float, std::milli>;

struct Simulation_Configuration {
  int32_t num_threads;                      // >= 0
  int32_t pre_allocation_amount;            // >= 0
  int32_t num_iterations;                   // >= 1
  int32_t execution_blocks_per_thread;      // >= 1
  int32_t execution_objects_per_block;      // >= 1
  int32_t max_execution_objects_per_block;  // >= 1
  int32_t max_free_blocks;                  // >= 1
  int32_t num_free_blocks_buffer;           // >= 1
  int32_t core_diagnostics_interval;        // > 0 turns the diagnostics report on

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
