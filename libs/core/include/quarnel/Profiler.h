// The process-wide, always-on cycle-counting profiler.
//
// A `scoped_timer` (declared with QUARNEL_TIMED_SCOPE) adds the time-stamp ticks of its scope
// to a fixed slot of `profiler_timing_points`, exclusive of the timed scopes nested in it.
// `main` calibrates the counter first thing (Calibrate_Profiler) and logs Profiler_Report()
// at the end.
//
// Thread safety: any thread may run timed scopes; nesting is tracked per thread through
// `global_profiler_parent`. A slot's summed counters change only by atomic
// read-modify-write; its inclusive total and its two texts by relaxed atomic stores (every
// store of a slot's texts writes the same literals).
// Calibration and the report run on the main thread while no worker runs timed scopes.
//
// Invariants:
//  1. Slot 0 is the root: never a timer's own slot, only the parent of outermost scopes.
//  2. A slot is used exactly when its `cycles_with_children` is nonzero.
//  3. The table never owns its texts: they are string literals of the timing sites.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include <quarnel/Logger.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#else
#include <chrono>
#endif

namespace quarnel {

struct Timing_Point {
  std::atomic<uint64_t> cycles{0};                // exclusive ticks
  std::atomic<uint64_t> cycles_with_children{0};  // inclusive ticks; nonzero marks the slot used
  std::atomic<uint64_t> count{0};                 // completed scopes
  std::atomic<const char*> location{""};          // "<source file>:<line>"
  std::atomic<const char*> function_name{nullptr};
};

constexpr uint32_t __profiler_num_slots = 4096;

extern Timing_Point profiler_timing_points[__profiler_num_slots];
extern uint64_t timer_freq;                                     // ticks per second; 0 until calibrated
extern uint64_t profiler_start_cycle;                           // counter right after calibration
extern thread_local constinit uint32_t global_profiler_parent;  // constinit: see __thread_id

// The time-stamp counter; a nanosecond clock where the processor has none.
inline uint64_t Read_Cycle_Counter() {
#if defined(__x86_64__) || defined(__i386__)
  return __rdtsc();
#else
  return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
#endif
}

class scoped_timer {
 public:
  scoped_timer(uint32_t index, const char* location, const char* function) {
    _parent = global_profiler_parent;
    _index = index;
    _location = location;
    _function = function;
    _old_cycles_with_children =
        profiler_timing_points[index].cycles_with_children.load(std::memory_order_relaxed);
    global_profiler_parent = index;
    _start = Read_Cycle_Counter();
  }

  ~scoped_timer() {
    uint64_t elapsed = Read_Cycle_Counter() - _start;
    global_profiler_parent = _parent;
    Timing_Point& slot = profiler_timing_points[_index];
    profiler_timing_points[_parent].cycles.fetch_sub(elapsed, std::memory_order_relaxed);
    slot.cycles.fetch_add(elapsed, std::memory_order_relaxed);
    // Replaced, not added: a site re-entered inside itself counts the outer scope once. A
    // plain store: the value does not depend on what is there now.
    slot.cycles_with_children.store(_old_cycles_with_children + elapsed, std::memory_order_relaxed);
    slot.count.fetch_add(1, std::memory_order_relaxed);
    slot.location.store(_location, std::memory_order_relaxed);
    slot.function_name.store(_function, std::memory_order_relaxed);
  }

  scoped_timer(const scoped_timer&) = delete;
  scoped_timer& operator=(const scoped_timer&) = delete;

 private:
  const char* _location;
  const char* _function;
  uint64_t _old_cycles_with_children;
  uint64_t _start;
  uint32_t _parent;
  uint32_t _index;
};

// Sets timer_freq from at least 100 ms of wall-clock time, then profiler_start_cycle.
void Calibrate_Profiler();

// The suffix of `location` that starts at the second-to-last '/' before its last ':'
// ("apps/population/CoreEngine_Tests:81" -> "/population/CoreEngine_Tests:81"). A text
// without ':' or without a '/' before it is returned whole.
const char* Shorten_Location(const char* location);

// The report over `slots` entries of `table`, with percentages relative to `total_cycles`.
// Shortens the stored locations of the used slots in place.
std::string Build_Profiler_Report(Timing_Point* table, std::size_t slots, uint64_t total_cycles,
                                  uint64_t freq);

// The report over the process table, from the end of calibration until now.
std::string Profiler_Report();

// Writes Profiler_Report() as one message through `log` (main passes Log() at NOTICE).
void Log_Profiler_Report(const Log_Stream_Source& log);

}  // namespace quarnel

#define QUARNEL_PROFILER_CAT_(a, b) a##b
#define QUARNEL_PROFILER_CAT(a, b) QUARNEL_PROFILER_CAT_(a, b)
#define QUARNEL_PROFILER_STR_(x) #x
#define QUARNEL_PROFILER_STR(x) QUARNEL_PROFILER_STR_(x)

// Times the rest of the enclosing scope in slot `index`, a compile-time constant in
// 1 .. 4095 that no other site uses, reported under the name `function`.
#define QUARNEL_TIMED_SCOPE_AS(index, function)                                                  \
  static_assert((index) >= 1 && (index) < ::quarnel::__profiler_num_slots, "bad profiler slot"); \
  ::quarnel::scoped_timer QUARNEL_PROFILER_CAT(quarnel_scoped_timer_, __LINE__)(                 \
      (index), __FILE__ ":" QUARNEL_PROFILER_STR(__LINE__), function)

// The same, reported under the name of the enclosing function.
#define QUARNEL_TIMED_SCOPE(index) QUARNEL_TIMED_SCOPE_AS(index, __func__)
