#include <quarnel/Measures.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace quarnel {
namespace {

using measures_detail::Extreme_Part;
using measures_detail::Mean_Part;

constexpr int64_t kEmpty_Min = std::numeric_limits<int64_t>::max();  // above +inf's key
constexpr int64_t kEmpty_Max = std::numeric_limits<int64_t>::min();  // below -inf's key

double From_Key(int64_t key) {
  return std::bit_cast<double>(key ^ int64_t(uint64_t(key >> 63) >> 1));
}

bool Snake_Case(const std::string& name) {
  if (name.empty() || name.front() < 'a' || name.front() > 'z') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

uint32_t Round_Up(uint32_t bytes, uint32_t to) {
  return (bytes + to - 1) / to * to;
}

Measure_Value Real(double x) {
  return {Measure_Value::Kind::real, 0, x};
}
Measure_Value Integer(int64_t n) {
  return {Measure_Value::Kind::integer, n, 0};
}

}  // namespace

std::string To_Text(const Measure_Value& value) {
  switch (value.kind) {
    case Measure_Value::Kind::none:
      return "";
    case Measure_Value::Kind::integer:
      return std::to_string(value.integer);
    case Measure_Value::Kind::real:
      break;
  }
  if (std::isnan(value.real)) return "nan";
  if (std::isinf(value.real)) return value.real > 0 ? "inf" : "-inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value.real);
  return std::string(text, result.ptr);
}

Measures::Measures() = default;
Measures::~Measures() = default;

void Measures::privNot_Started() {
  QUARNEL_FATAL("A measure was added to before its Measures were attached to a run (Attach_Measures)");
}

void Measures::privAdd_Column(const std::string& name, Measure_Value::Kind kind) {
  if (!Snake_Case(name)) {
    QUARNEL_FATAL("The measure name '" << name << "' is not snake_case ([a-z][a-z0-9_]*)");
  }
  if (name == "run" || name == "step") {
    QUARNEL_FATAL("The measure name '" << name << "' is a column of the records themselves");
  }
  for (const Measure_Column& column : _columns) {
    if (column.name == name) QUARNEL_FATAL("The measure name '" << name << "' is declared twice");
  }
  _columns.push_back({name, kind});
  _values.emplace_back();
}

uint32_t Measures::privDeclare(const std::string& name, Kind kind, Measure_Reset reset, uint32_t bytes,
                               uint32_t bins) {
  if (started())
    QUARNEL_FATAL("The measure '" << name << "' is declared after its Measures were attached to a run");
  const uint32_t column = uint32_t(_columns.size());
  const auto integer = Measure_Value::Kind::integer;
  const auto real = Measure_Value::Kind::real;
  if (kind == Kind::histogram) {
    privAdd_Column(name + "_under", integer);
    for (uint32_t b = 0; b + 2 < bins; ++b) privAdd_Column(name + "_" + std::to_string(b), integer);
    privAdd_Column(name + "_over", integer);
  } else {
    privAdd_Column(name, kind == Kind::count || kind == Kind::integer_gauge ? integer : real);
  }
  const uint32_t offset = Round_Up(_bytes, 16);
  _bytes = offset + bytes;
  _measures.push_back({kind, reset, offset, column, bins});
  return offset;
}

Count_Measure Measures::Count(const std::string& name, Measure_Reset reset) {
  const uint32_t offset = privDeclare(name, Kind::count, reset, sizeof(int64_t));
  return Count_Measure(this, offset, _measures.back().column);
}

Sum_Measure Measures::Sum(const std::string& name, Measure_Reset reset) {
  const uint32_t offset = privDeclare(name, Kind::sum, reset, sizeof(Exact_Sum));
  return Sum_Measure(this, offset, _measures.back().column);
}

Mean_Measure Measures::Mean(const std::string& name, Measure_Reset reset) {
  const uint32_t offset = privDeclare(name, Kind::mean, reset, sizeof(Mean_Part));
  return Mean_Measure(this, offset, _measures.back().column);
}

Min_Measure Measures::Min(const std::string& name, Measure_Reset reset) {
  const uint32_t offset = privDeclare(name, Kind::min, reset, sizeof(Extreme_Part));
  return Min_Measure(this, offset, _measures.back().column);
}

Max_Measure Measures::Max(const std::string& name, Measure_Reset reset) {
  const uint32_t offset = privDeclare(name, Kind::max, reset, sizeof(Extreme_Part));
  return Max_Measure(this, offset, _measures.back().column);
}

Histogram_Measure Measures::Histogram(const std::string& name, double low, double high, int bins,
                                      Measure_Reset reset) {
  if (bins < 1 || bins > 100000 || !(low < high) || !std::isfinite(high - low)) {
    QUARNEL_FATAL("The histogram '" << name << "' needs 1 to 100000 bins over a finite range low < high, not "
                                    << bins << " bins over [" << low << ", " << high << ")");
  }
  const uint32_t counts = uint32_t(bins) + 2;
  const uint32_t offset = privDeclare(name, Kind::histogram, reset, counts * sizeof(int64_t), counts);
  return Histogram_Measure(this, offset, _measures.back().column, low, high, size_t(bins));
}

Gauge_Measure Measures::Gauge(const std::string& name) {
  const uint32_t offset = privDeclare(name, Kind::gauge, Measure_Reset::running, 0);
  return Gauge_Measure(this, offset, _measures.back().column);
}

Integer_Gauge_Measure Measures::Integer_Gauge(const std::string& name) {
  const uint32_t offset = privDeclare(name, Kind::integer_gauge, Measure_Reset::running, 0);
  return Integer_Gauge_Measure(this, offset, _measures.back().column);
}

// Writes an empty part of measure `m` at `part`.
void Measures::privEmpty(std::byte* part, const Declared& m) {
  switch (m.kind) {
    case Kind::count:
      new (part) int64_t(0);
      break;
    case Kind::sum:
      new (part) Exact_Sum();
      break;
    case Kind::mean:
      new (part) Mean_Part{Exact_Sum(), 0};
      break;
    case Kind::min:
      new (part) Extreme_Part{kEmpty_Min, 0};
      break;
    case Kind::max:
      new (part) Extreme_Part{kEmpty_Max, 0};
      break;
    case Kind::histogram:
      for (uint32_t b = 0; b < m.bins; ++b) new (part + b * sizeof(int64_t)) int64_t(0);
      break;
    case Kind::gauge:
    case Kind::integer_gauge:
      break;
  }
}

void Measures::Start(uint32_t threads) {
  _threads = threads + 1;
  _stride = Round_Up(std::max<uint32_t>(_bytes, 1), __cache_line_size);
  // Zeroed, gaps between parts included: a checkpoint copies the bytes as they are.
  _storage.reset(new std::byte[_stride * _threads + __cache_line_size]());
  const auto base = reinterpret_cast<uintptr_t>(_storage.get());
  _parts = _storage.get() + (Round_Up(uint32_t(base % __cache_line_size), __cache_line_size) -
                             uint32_t(base % __cache_line_size));
  _totals.reset(new std::byte[std::max<uint32_t>(_bytes, 1)]());
  for (const Declared& m : _measures) {
    for (uint32_t t = 0; t < _threads; ++t) {
      privEmpty(privPart(t, m.offset), m);
    }
    privEmpty(privTotal(m.offset), m);
  }
  // Before the first iteration: counts and sums 0, no extreme or mean, gauges not set.
  for (Measure_Value& value : _values) value = Measure_Value{};
  for (const Declared& m : _measures) privUpdate_Values(m);
}

// totals += part of every thread, in thread order; each part is emptied behind.
void Measures::privCombine(const Declared& m) {
  std::byte* total = privTotal(m.offset);
  for (uint32_t t = 0; t < _threads; ++t) {
    std::byte* part = privPart(t, m.offset);
    switch (m.kind) {
      case Kind::count:
        *reinterpret_cast<int64_t*>(total) += std::exchange(*reinterpret_cast<int64_t*>(part), 0);
        break;
      case Kind::sum:
        reinterpret_cast<Exact_Sum*>(total)->Merge(*reinterpret_cast<Exact_Sum*>(part));
        reinterpret_cast<Exact_Sum*>(part)->Clear();
        break;
      case Kind::mean: {
        auto& from = *reinterpret_cast<Mean_Part*>(part);
        auto& into = *reinterpret_cast<Mean_Part*>(total);
        into.sum.Merge(from.sum);
        into.count += std::exchange(from.count, 0);
        from.sum.Clear();
        break;
      }
      case Kind::min:
      case Kind::max: {
        auto& from = *reinterpret_cast<Extreme_Part*>(part);
        auto& into = *reinterpret_cast<Extreme_Part*>(total);
        into.key = m.kind == Kind::min ? std::min(into.key, from.key) : std::max(into.key, from.key);
        into.not_a_number |= from.not_a_number;
        from = {m.kind == Kind::min ? kEmpty_Min : kEmpty_Max, 0};
        break;
      }
      case Kind::histogram:
        for (uint32_t b = 0; b < m.bins; ++b) {
          reinterpret_cast<int64_t*>(total)[b] += std::exchange(reinterpret_cast<int64_t*>(part)[b], 0);
        }
        break;
      case Kind::gauge:
      case Kind::integer_gauge:
        break;
    }
  }
}

void Measures::privUpdate_Values(const Declared& m) {
  std::byte* total = privTotal(m.offset);
  Measure_Value& value = _values[m.column];
  switch (m.kind) {
    case Kind::count:
      value = Integer(*reinterpret_cast<int64_t*>(total));
      break;
    case Kind::sum:
      value = Real(reinterpret_cast<Exact_Sum*>(total)->Value());
      break;
    case Kind::mean: {
      const auto& mean = *reinterpret_cast<Mean_Part*>(total);
      value = mean.count == 0 ? Measure_Value{} : Real(mean.sum.Value() / double(mean.count));
      break;
    }
    case Kind::min:
    case Kind::max: {
      const auto& extreme = *reinterpret_cast<Extreme_Part*>(total);
      const int64_t empty = m.kind == Kind::min ? kEmpty_Min : kEmpty_Max;
      if (extreme.not_a_number != 0) {
        value = Real(std::numeric_limits<double>::quiet_NaN());
      } else {
        value = extreme.key == empty ? Measure_Value{} : Real(From_Key(extreme.key));
      }
      break;
    }
    case Kind::histogram:
      for (uint32_t b = 0; b < m.bins; ++b)
        _values[m.column + b] = Integer(reinterpret_cast<int64_t*>(total)[b]);
      break;
    case Kind::gauge:
    case Kind::integer_gauge:
      break;  // set by the controlling thread
  }
}

void Measures::End_Iteration() {
  for (const Declared& m : _measures) {
    if (m.kind == Kind::gauge || m.kind == Kind::integer_gauge) continue;
    privCombine(m);
    privUpdate_Values(m);
    if (m.reset == Measure_Reset::each_iteration) {
      privEmpty(privTotal(m.offset), m);
    }
  }
}

int64_t Count_Measure::Value() const {
  return _owner->_values[_column].integer;
}
double Sum_Measure::Value() const {
  return _owner->_values[_column].real;
}
Measure_Value Mean_Measure::Value() const {
  return _owner->_values[_column];
}
template <bool Max>
Measure_Value Extreme_Measure<Max>::Value() const {
  return _owner->_values[_column];
}
template class Extreme_Measure<false>;
template class Extreme_Measure<true>;

int64_t Histogram_Measure::Under() const {
  return _owner->_values[_column].integer;
}
int64_t Histogram_Measure::Bin(size_t bin) const {
  return _owner->_values[_column + 1 + std::min(bin, _last + 1)].integer;
}
int64_t Histogram_Measure::Over() const {
  return _owner->_values[_column + _last + 2].integer;
}

void Gauge_Measure::Set(double value) const {
  _owner->_values[_column] = Real(value);
}
Measure_Value Gauge_Measure::Value() const {
  return _owner->_values[_column];
}
void Integer_Gauge_Measure::Set(int64_t value) const {
  _owner->_values[_column] = Integer(value);
}
Measure_Value Integer_Gauge_Measure::Value() const {
  return _owner->_values[_column];
}

}  // namespace quarnel

namespace quarnel {

Measures::Saved_State Measures::Save_State() const {
  if (_parts == nullptr) privNot_Started();
  Saved_State state;
  const auto* totals = reinterpret_cast<const uint8_t*>(_totals.get());
  state.totals.assign(totals, totals + _bytes);
  const auto* pending = reinterpret_cast<const uint8_t*>(privPart(_threads - 1, 0));
  state.pending.assign(pending, pending + _bytes);
  state.values = _values;
  return state;
}

bool Measures::Restore_State(const Saved_State& state) {
  if (_parts == nullptr) privNot_Started();
  if (state.totals.size() != _bytes || state.pending.size() != _bytes ||
      state.values.size() != _values.size())
    return false;
  for (size_t i = 0; i < _values.size(); ++i) {
    const Measure_Value& v = state.values[i];
    if (v.kind != Measure_Value::Kind::none && v.kind != _columns[i].kind) return false;
  }
  std::copy(state.totals.begin(), state.totals.end(), reinterpret_cast<uint8_t*>(_totals.get()));
  std::copy(state.pending.begin(), state.pending.end(),
            reinterpret_cast<uint8_t*>(privPart(_threads - 1, 0)));
  _values = state.values;
  return true;
}

}  // namespace quarnel
