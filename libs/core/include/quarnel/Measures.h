// Measures: a run's named statistics, computed inside the step. Handlers add to a measure
// through their worker's own cache lines, with no atomics and no locks; after each iteration
// the controlling thread combines the workers' parts, and the values are the same bit for
// bit on any number of workers and for any block size, floating-point sums included.
//
//   quarnel::Measures measures;
//   quarnel::Count_Measure births = measures.Count("births");
//   quarnel::Mean_Measure energy = measures.Mean("mean_energy");
//   quarnel::Histogram_Measure age = measures.Histogram("age", 0, 100, 10);
//   quarnel::Gauge_Measure grass = measures.Gauge("grass");        // set by the hook
//   quarnel::Simulation run(config, shared);
//   run.Attach_Measures(measures);
//   ... in Act:   births.Add();  energy.Add(_energy);  age.Add(_age);
//   ... in the hook: grass.Set(...); births.Value() ...
//
// Kinds: Count (integers), Sum and Mean (exact, Exact_Sum.h; mean = exact sum / count),
// Min and Max (a total order: -0.0 < +0.0; any NaN added makes the result NaN), Histogram
// (fixed equal bins over [low, high), with an underflow and an overflow bin; NaN counts as
// overflow), and gauges, which the controlling thread sets (a Live_Count, a statistic of a
// grid). Each accumulating measure is reset after every iteration (the default) or kept
// running over the whole run. A measure with nothing added has no value (Min, Max, Mean):
// none in Values().
//
// Why the values do not depend on the workers: every part a worker keeps is an integer
// (counts, histogram bins, the limbs of an exact sum) or a minimum/maximum under a total
// order, so combining the parts is exact and commutative; the controlling thread still
// combines them in thread order, and rounds a sum only once, from the exact total.
//
// Columns: each measure is one column of its name, a histogram name_under, name_0 ..
// name_<bins-1>, name_over, in the order of declaration (Columns()). Names are snake_case
// ([a-z][a-z0-9_]*), unique, and not a name the records use themselves (run, step).
//
// Thread safety and life:
//  - Declaring (Count, Sum, ...): the controlling thread, before the Measures are attached.
//  - Attach (Simulation::Attach_Measures, World::Attach_Measures): the controlling thread
//    after the run is set up and before it turns; it makes one part per thread of the run
//    (workers 0 .. n-1 and the controlling thread n), each on cache lines of its own. The
//    World combines them after each finished iteration, before the iteration hook, and forgets
//    the Measures when the run ends (Terminate_Simulation).
//  - Add: any thread of the run into its own part (indexed by __thread_id), from the attach
//    to the end of the run; the controlling thread may add during set-up and in the hook.
//  - Value, Values, gauges' Set: the controlling thread while no worker steps (the hook,
//    after the run). Values hold the last combined iteration until the next.
// The Measures object must outlive the run it is attached to; handles are small values that
// point into it.
//
// Invariants:
//  1. After Attach, part t of measure m lies at _parts + t * _stride + offset(m); _stride is a
//     whole number of cache lines, so two threads' parts never share a line.
//  2. After End_Iteration, every thread's part is empty: each value added since the last
//     End_Iteration is in the totals exactly once.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <quarnel/Exact_Sum.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Globals.h>

namespace quarnel {

class Measures;

// How a measure's total behaves across iterations.
enum class Measure_Reset { each_iteration, running };

// One cell of a record: an integer, a real or nothing.
struct Measure_Value {
  enum class Kind : uint8_t { none, integer, real };
  Kind kind = Kind::none;
  int64_t integer = 0;
  double real = 0;
};

// "" for none, the decimal integer, or the shortest text that reads back as the same double
// ("nan", "inf", "-inf" for those).
std::string To_Text(const Measure_Value& value);

struct Measure_Column {
  std::string name;
  Measure_Value::Kind kind;  // integer or real
};

namespace measures_detail {

struct Extreme_Part {  // a Min or Max part
  int64_t key;         // the total-order key of the extreme so far; the sentinel when empty
  uint32_t not_a_number;
};

struct Mean_Part {
  Exact_Sum sum;
  int64_t count;
};

// The key of `x` under the total order of doubles: -NaN < -inf < ... < -0 < +0 < ... < +inf.
inline int64_t Order_Key(double x) {
  const int64_t bits = std::bit_cast<int64_t>(x);
  return bits ^ int64_t(uint64_t(bits >> 63) >> 1);
}

// A handle's common part: where its part lies in each thread's lines.
class Handle {
 protected:
  Handle(Measures* owner, uint32_t offset, uint32_t column)
      : _owner(owner), _offset(offset), _column(column) {}
  template <class Part>
  Part& Mine() const;
  Measures* _owner = nullptr;
  uint32_t _offset = 0;
  uint32_t _column = 0;
};

}  // namespace measures_detail

class Count_Measure : public measures_detail::Handle {
 public:
  void Add(int64_t n = 1) const { Mine<int64_t>() += n; }
  int64_t Value() const;

 private:
  friend class Measures;
  using Handle::Handle;
};

class Sum_Measure : public measures_detail::Handle {
 public:
  void Add(double x) const { Mine<Exact_Sum>().Add(x); }
  double Value() const;

 private:
  friend class Measures;
  using Handle::Handle;
};

class Mean_Measure : public measures_detail::Handle {
 public:
  void Add(double x) const {
    auto& part = Mine<measures_detail::Mean_Part>();
    part.sum.Add(x);
    ++part.count;
  }
  Measure_Value Value() const;  // none when nothing was added

 private:
  friend class Measures;
  using Handle::Handle;
};

// Min and Max share one part type; `Max` decides the direction.
template <bool Max>
class Extreme_Measure : public measures_detail::Handle {
 public:
  void Add(double x) const {
    auto& part = Mine<measures_detail::Extreme_Part>();
    if (x != x) [[unlikely]] {
      part.not_a_number = 1;
      return;
    }
    const int64_t key = measures_detail::Order_Key(x);
    if (Max ? key > part.key : key < part.key) part.key = key;
  }
  Measure_Value Value() const;  // none when nothing was added

 private:
  friend class Measures;
  using Handle::Handle;
};
using Min_Measure = Extreme_Measure<false>;
using Max_Measure = Extreme_Measure<true>;

class Histogram_Measure : public measures_detail::Handle {
 public:
  void Add(double x) const {
    size_t bin;
    if (x >= _low) {
      bin = x < _high ? 1 + std::min(_last, size_t((x - _low) * _scale)) : _last + 2;
    } else {
      bin = x == x ? 0 : _last + 2;  // below low, or NaN
    }
    (&Mine<int64_t>())[bin] += 1;
  }
  int64_t Under() const;          // below low
  int64_t Bin(size_t bin) const;  // in [low + bin * width, low + (bin + 1) * width)
  int64_t Over() const;           // at or above high, or NaN

 private:
  friend class Measures;
  Histogram_Measure(Measures* owner, uint32_t offset, uint32_t column, double low, double high, size_t bins)
      : Handle(owner, offset, column),
        _low(low),
        _high(high),
        _scale(double(bins) / (high - low)),
        _last(bins - 1) {}
  double _low, _high, _scale;
  size_t _last;  // bins - 1
};

// A value the controlling thread sets, usually in the hook; it keeps its value until set again.
class Gauge_Measure : public measures_detail::Handle {
 public:
  void Set(double value) const;
  Measure_Value Value() const;

 private:
  friend class Measures;
  using Handle::Handle;
};

class Integer_Gauge_Measure : public measures_detail::Handle {
 public:
  void Set(int64_t value) const;
  Measure_Value Value() const;

 private:
  friend class Measures;
  using Handle::Handle;
};

class Measures {
 public:
  Measures();
  ~Measures();
  Measures(const Measures&) = delete;
  Measures& operator=(const Measures&) = delete;

  // Declarations. A bad or repeated name, a declaration after the attach, or a histogram
  // with no bins or low >= high is a fatal error. REQUIRES: controlling thread, not attached.
  Count_Measure Count(const std::string& name, Measure_Reset reset = Measure_Reset::each_iteration);
  Sum_Measure Sum(const std::string& name, Measure_Reset reset = Measure_Reset::each_iteration);
  Mean_Measure Mean(const std::string& name, Measure_Reset reset = Measure_Reset::each_iteration);
  Min_Measure Min(const std::string& name, Measure_Reset reset = Measure_Reset::each_iteration);
  Max_Measure Max(const std::string& name, Measure_Reset reset = Measure_Reset::each_iteration);
  Histogram_Measure Histogram(const std::string& name, double low, double high, int bins,
                              Measure_Reset reset = Measure_Reset::each_iteration);
  Gauge_Measure Gauge(const std::string& name);
  Integer_Gauge_Measure Integer_Gauge(const std::string& name);

  const std::vector<Measure_Column>& Columns() const { return _columns; }
  // The values of the last combined iteration, one per column. REQUIRES: no worker steps.
  const std::vector<Measure_Value>& Values() const { return _values; }

  // One empty part per thread of a run of `threads` workers; the values those of nothing
  // added (counts, sums and bins 0; no minimum, maximum or mean; gauges unset).
  // REQUIRES: controlling thread, no run turning (World::Attach_Measures calls it).
  void Start(uint32_t threads);
  // Combines every thread's part into the totals in thread order, empties the parts, updates
  // Values() and empties the totals of the measures reset each iteration (invariant 2).
  // REQUIRES: controlling thread, no worker stepping (the World calls it before the hook).
  void End_Iteration();
  bool started() const { return _parts != nullptr; }

  // The state that carries over from one iteration to the next, for a checkpoint: the
  // combined totals, what the controlling thread has added since the last End_Iteration (the
  // workers' parts are empty between iterations, invariant 2), and Values().
  struct Saved_State {
    std::vector<uint8_t> totals;
    std::vector<uint8_t> pending;
    std::vector<Measure_Value> values;
  };
  // REQUIRES: started, no worker stepping.
  Saved_State Save_State() const;
  // Puts `state` back; false (nothing changed) when it was saved from measures declared
  // otherwise. REQUIRES: started (on any number of workers), no worker stepping.
  bool Restore_State(const Saved_State& state);

 private:
  friend class measures_detail::Handle;
  template <bool>
  friend class Extreme_Measure;
  friend class Count_Measure;
  friend class Sum_Measure;
  friend class Mean_Measure;
  friend class Histogram_Measure;
  friend class Gauge_Measure;
  friend class Integer_Gauge_Measure;

  enum class Kind : uint8_t { count, sum, mean, min, max, histogram, gauge, integer_gauge };
  struct Declared {
    Kind kind;
    Measure_Reset reset;
    uint32_t offset;  // of its part within a thread's lines
    uint32_t column;  // its first column
    uint32_t bins;    // histogram: bins + 2 counts
  };
  uint32_t privDeclare(const std::string& name, Kind kind, Measure_Reset reset, uint32_t bytes,
                       uint32_t bins = 0);
  void privAdd_Column(const std::string& name, Measure_Value::Kind kind);
  std::byte* privPart(size_t thread, uint32_t offset) const { return _parts + thread * _stride + offset; }
  std::byte* privTotal(uint32_t offset) const { return _totals.get() + offset; }
  static void privEmpty(std::byte* part, const Declared& measure);
  void privCombine(const Declared& measure);
  void privUpdate_Values(const Declared& measure);
  [[noreturn]] static void privNot_Started();

  // Read by every Add: the parts' base and stride, on a line of their own.
  alignas(__cache_line_size) std::byte* _parts = nullptr;
  size_t _stride = 0;
  uint32_t _threads = 0;  // parts: workers + the controlling thread

  std::unique_ptr<std::byte[]> _storage;  // the parts, with room to align them
  std::unique_ptr<std::byte[]> _totals;   // one part's layout: the combined totals
  uint32_t _bytes = 0;                    // one thread's parts, before rounding to lines
  std::vector<Declared> _measures;
  std::vector<Measure_Column> _columns;
  std::vector<Measure_Value> _values;
};

namespace measures_detail {

// The calling thread's part (invariant 1): two loads of the owner's line, __thread_id, one add.
template <class Part>
Part& Handle::Mine() const {
#if QUARNEL_CHECKED
  if (_owner->_parts == nullptr) Measures::privNot_Started();
#endif
  return *reinterpret_cast<Part*>(_owner->_parts + size_t(__thread_id) * _owner->_stride + _offset);
}

}  // namespace measures_detail

}  // namespace quarnel
