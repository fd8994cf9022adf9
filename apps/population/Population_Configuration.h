// The run configuration of the population model and of its deterministic twin.
#pragma once

#include <quarnel/Simulation_Control.h>

// 100 iterations, 20 chunks per worker, 100 objects per block (the agent type overrides it),
// free blocks kept between 5 and 10 per thread, no diagnostics report.
inline quarnel::Simulation_Configuration population_configuration(int threads) {
  quarnel::Simulation_Configuration config;
  config.num_threads = threads;
  config.pre_allocation_amount = 0;
  config.num_iterations = 100;
  config.execution_blocks_per_thread = 20;
  config.execution_objects_per_block = 100;
  config.max_execution_objects_per_block = 1000;
  config.max_free_blocks = 10;
  config.num_free_blocks_buffer = 5;
  config.core_diagnostics_interval = 0;
  return config;
}
