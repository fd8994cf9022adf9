#include <quarnel/Progress_Line.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace quarnel {
namespace {

std::string Rate_Text(double rate) {
  char text[32];
  if (!std::isfinite(rate) || rate < 0) return "?";
  if (rate < 999.5) {
    std::snprintf(text, sizeof text, "%.0f", rate);
    return text;
  }
  // The unit that keeps three significant digits below 1000 after rounding.
  static const char* const units[] = {"k", "M", "G", "T"};
  double scaled = rate / 1e3;
  size_t unit = 0;
  while (scaled >= 999.5 && unit + 1 < std::size(units)) {
    scaled /= 1e3;
    ++unit;
  }
  std::snprintf(text, sizeof text, "%.3g%s", scaled, units[unit]);
  return text;
}

std::string Time_Text(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return "--:--";
  const long long s = std::llround(seconds);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

}  // namespace

std::string Format_Progress(uint32_t finished, uint32_t total, double objects_per_second,
                            double seconds_left) {
  return "iteration " + std::to_string(finished) + " of " + std::to_string(total) + ", " +
         Rate_Text(objects_per_second) + " objects/s, " + Time_Text(seconds_left) + " left";
}

Progress_Line::Progress_Line(int fd) : _fd(fd) {}

void Progress_Line::Start(bool wanted, uint32_t first, uint32_t total, Clock::time_point now) {
  Finish();
  _active = wanted && isatty(_fd) == 1;
  _first = first;
  _total = total;
  _objects = 0;
  _start = now;
}

void Progress_Line::Finished(uint32_t finished, uint64_t objects, Clock::time_point now) {
  if (!_active) return;
  _objects += objects;
  const Clock::duration elapsed = now - _start;
  if (elapsed < kFirst_Show || (_shown && now - _last_shown < kInterval)) return;
  const double seconds = std::chrono::duration<double>(elapsed).count();
  const double done = finished > _first ? double(finished - _first) : 0.0;
  const double left = finished < _total ? double(_total - finished) : 0.0;
  const double seconds_left = done > 0 ? seconds / done * left : -1.0;
  std::string text = Format_Progress(finished, _total, double(_objects) / seconds, seconds_left);
  const size_t width = text.size();
  if (width < _width) text.append(_width - width, ' ');  // cover the rest of a longer line
  Write("\r" + text);
  _width = width;
  _shown = true;
  _last_shown = now;
}

void Progress_Line::Finish() {
  if (_shown) Write("\r" + std::string(_width, ' ') + "\r");
  _active = false;
  _shown = false;
  _width = 0;
}

// Errors are ignored: a progress line that cannot be written is not worth stopping a run.
void Progress_Line::Write(std::string const& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(_fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += size_t(n);
  }
}

}  // namespace quarnel
