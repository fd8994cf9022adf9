// The progress line of a long run: one self-updating line on a terminal, for example
//   iteration 37 of 100, 2.41M objects/s, 0:03 left
// rewritten in place (carriage return, no newline) and cleared when the run ends.
//
// The World drives it from its iteration hook: Start when a run starts turning, Finished at
// every cycle boundary at which iterations finished, Finish when the run ends. It stays
// silent unless it was wanted and its file descriptor is a terminal, so logs and CI output
// stay clean; it first shows after about a second of run time and then rewrites the line at
// most every 250 ms. "Objects" is what the World passes: the live objects of every manager
// at each finished iteration (one step each for an agent that acts every iteration).
//
// Thread safety: owned by one thread (the World's controlling thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quarnel {

// "iteration <finished> of <total>, <rate> objects/s, <time> left": the rate with k, M or G
// and three significant digits (below 1000 a whole number), the time as M:SS or H:MM:SS,
// rounded to the second; "--:--" when it is not known (negative, infinite or NaN).
std::string Format_Progress(uint32_t finished, uint32_t total, double objects_per_second,
                            double seconds_left);

class Progress_Line {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kFirst_Show = std::chrono::seconds(1);
  static constexpr Clock::duration kInterval = std::chrono::milliseconds(250);

  explicit Progress_Line(int fd);

  // A run starts at iteration `first` and ends at `total`. The line is active when
  // `wanted` and the descriptor is a terminal.
  void Start(bool wanted, uint32_t first, uint32_t total, Clock::time_point now);
  bool Active() const { return _active; }
  // Iterations before `finished` are done, `objects` more objects stepped since the last call.
  void Finished(uint32_t finished, uint64_t objects, Clock::time_point now);
  // Clears the line if it was shown; inactive afterwards. Safe to call again.
  void Finish();

 private:
  void Write(std::string const& text);

  int _fd;
  bool _active = false;
  bool _shown = false;
  uint32_t _first = 0;
  uint32_t _total = 0;
  uint64_t _objects = 0;
  size_t _width = 0;  // characters of the line on screen
  Clock::time_point _start;
  Clock::time_point _last_shown;
};

}  // namespace quarnel
