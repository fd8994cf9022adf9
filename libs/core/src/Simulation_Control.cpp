#include <quarnel/Simulation_Control.h>

#include <cmath>
#include <limits>

#include <quarnel/Fatal_Error.h>
#include <quarnel/World.h>

namespace quarnel {
namespace {

int32_t miliseconds_per_iteration = 1000;

uint32_t Seconds_To_Iterations(float s) {
  if (std::isnan(s) || std::fabs(s) > std::numeric_limits<float>::max()) return 4294967295u;
  double x = double(s * 1000.0f) / double(miliseconds_per_iteration);
  if (x < 0) return 0;
  if (x > 4294967295.0) return 4294967295u;
  return uint32_t(x);
}

}  // namespace

void set_miliseconds_per_iteration(int ms) {
  miliseconds_per_iteration = ms;
}

uint32_t Time_To_Timestep(Seconds t) {
  return Seconds_To_Iterations(t.count());
}

Revision Rev(Milliseconds t, int sub) {
  return Revision(Seconds_To_Iterations(t.count() / 1000.0f), static_cast<uint32_t>(sub));
}

Seconds Future_Time(Seconds t) {
  uint32_t ms = uint32_t(miliseconds_per_iteration) * World::Instance().iteration();
  return Seconds((float(ms) + t.count() * 1000.0f) / 1000.0f);
}

void Simulation_Configuration::Check_Configuration() {
  if (num_threads < 0) QUARNEL_FATAL("num_threads not configured");
  if (pre_allocation_amount < 0) QUARNEL_FATAL("pre_allocation_amount not configured");
  if (num_iterations < 1) QUARNEL_FATAL("num_iterations not configured");
  if (execution_blocks_per_thread < 1) QUARNEL_FATAL("execution_blocks_per_thread not configured");
  if (execution_objects_per_block < 1) QUARNEL_FATAL("execution_objects_per_block not configured");
  if (max_execution_objects_per_block < 1) QUARNEL_FATAL("max_execution_objects_per_block not configured");
  if (max_free_blocks < 1) QUARNEL_FATAL("max_free_blocks not configured");
  if (num_free_blocks_buffer < 1) QUARNEL_FATAL("num_free_blocks_buffer not configured");
}

}  // namespace quarnel
