#include <quarnel/Profiler.h>

#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quarnel {

Timing_Point profiler_timing_points[__profiler_num_slots];
uint64_t timer_freq = 0;
uint64_t profiler_start_cycle = 0;
thread_local constinit uint32_t global_profiler_parent = 0;

namespace {

uint64_t Wall_Clock_Microseconds() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
}

constexpr const char* kBanner =
    "\n=======================\nQUARNEL Profiler Report\n=======================\n";

bool Is_Used(const Timing_Point& point) {
  return point.cycles_with_children.load(std::memory_order_relaxed) != 0;
}

// The last '/' in [begin, end), or null.
const char* Last_Slash_Before(const char* begin, const char* end) {
  for (const char* c = end; c != begin;) {
    if (*--c == '/') return c;
  }
  return nullptr;
}

const char* Text_Or_Empty(const char* text) {
  return text != nullptr ? text : "";
}

// One entry: "\n  <location> <function>(x<count>): ...)".
std::string Format_Entry(const Timing_Point& point, int location_width, int name_width, double total,
                         uint64_t freq) {
  uint64_t cycles = point.cycles.load(std::memory_order_relaxed);
  uint64_t with_children = point.cycles_with_children.load(std::memory_order_relaxed);
  char buffer[1000];
  std::snprintf(buffer, sizeof(buffer), "\n  %*s %*s(x%lu): %lu cycles, %.3fms (%.2f%%", location_width,
                Text_Or_Empty(point.location.load(std::memory_order_relaxed)), name_width,
                Text_Or_Empty(point.function_name.load(std::memory_order_relaxed)),
                (unsigned long)point.count.load(std::memory_order_relaxed), (unsigned long)cycles,
                double(cycles) * 1000 / double(freq), double(cycles) / total * 100);
  std::string entry = buffer;
  if (with_children != cycles) {
    std::snprintf(buffer, sizeof(buffer), ", %.2f%% w/children", double(with_children) / total * 100);
    entry += buffer;
  }
  return entry + ")";
}

}  // namespace

void Calibrate_Profiler() {
  uint64_t c0 = Read_Cycle_Counter();
  uint64_t t0 = Wall_Clock_Microseconds();
  uint64_t elapsed = 0;
  do {
    elapsed = Wall_Clock_Microseconds() - t0;
  } while (elapsed <= 99999);
  timer_freq = (Read_Cycle_Counter() - c0) * 1000000 / elapsed;
  profiler_start_cycle = Read_Cycle_Counter();
}

const char* Shorten_Location(const char* location) {
  const char* colon = std::strrchr(location, ':');
  if (colon == nullptr) return location;
  const char* last = Last_Slash_Before(location, colon);
  if (last == nullptr) return location;  // no directory part: keep the whole text
  const char* second_last = last > location ? Last_Slash_Before(location, last - 1) : nullptr;
  return second_last != nullptr ? second_last : last;
}

std::string Build_Profiler_Report(Timing_Point* table, std::size_t slots, uint64_t total_cycles,
                                  uint64_t freq) {
  double total = double(total_cycles);
  std::string report = kBanner;
  if (freq != 0) {
    char buffer[100];
    std::snprintf(buffer, sizeof(buffer), "  Total time: %0.4fms\n", total * 1000 / double(freq));
    report += buffer;
  }
  int location_width = 0;
  int name_width = 0;
  for (std::size_t i = 0; i < slots; ++i) {
    if (!Is_Used(table[i])) continue;
    const char* shortened =
        Shorten_Location(Text_Or_Empty(table[i].location.load(std::memory_order_relaxed)));
    table[i].location.store(shortened, std::memory_order_relaxed);
    location_width = std::max(location_width, int(std::strlen(shortened)));
    const char* name = Text_Or_Empty(table[i].function_name.load(std::memory_order_relaxed));
    name_width = std::max(name_width, int(std::strlen(name)));
  }
  for (std::size_t i = 0; i < slots; ++i) {
    if (Is_Used(table[i])) report += Format_Entry(table[i], location_width, name_width, total, freq);
  }
  return report + "\n";
}

std::string Profiler_Report() {
  return Build_Profiler_Report(profiler_timing_points, __profiler_num_slots,
                               Read_Cycle_Counter() - profiler_start_cycle, timer_freq);
}

void Log_Profiler_Report(const Log_Stream_Source& log) {
  log() << Profiler_Report();
}

}  // namespace quarnel
