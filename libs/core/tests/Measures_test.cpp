// Measures: statistics added to in the step and combined after each iteration.
//
// Properties under test:
//  1. Each kind combines the parts of every thread into the value its name says: counts,
//     exact sums and means, minima and maxima under the total order (-0.0 < +0.0, NaN wins),
//     histogram bins with their edges; reset each iteration or kept running; gauges set.
//  2. A kernel run whose handlers add values of wildly different magnitudes gives rows that
//     are bit-identical on 1, 2 and 6 workers and block sizes 1, 7 and 1000 (the harness
//     first checks itself on one worker against a sequential sum).
//  3. Misuse is a fatal error with its message.
#define QUARNEL_CHECKED 1  // the check of an add before the attach, in every build
#include <quarnel/Measures.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <quarnel/Model.h>
#include "Test_Support.h"

namespace {

using quarnel::Measure_Reset;
using quarnel::Measure_Value;
using quarnel::testing::Thrown_Text;

constexpr const char* kPrefix = "An exception occurred, check your logs: ";

// Adds as thread `t` of a started Measures, as a worker would.
template <class F>
void As_Thread(int32_t t, F&& add) {
  const int32_t saved = quarnel::__thread_id;
  quarnel::__thread_id = t;
  add();
  quarnel::__thread_id = saved;
}

uint64_t Bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

TEST(Measures_Test, Each_Kind_Combines_Every_Threads_Part) {
  quarnel::Measures m;
  auto count = m.Count("count");
  auto sum = m.Sum("sum");
  auto mean = m.Mean("mean");
  auto low = m.Min("low");
  auto high = m.Max("high");
  auto hist = m.Histogram("hist", 0.0, 1.0, 4);
  auto gauge = m.Gauge("gauge");
  auto live = m.Integer_Gauge("live");
  m.Start(3);  // workers 0, 1, 2 and the controlling thread 3
  As_Thread(0, [&] {
    count.Add();
    sum.Add(1e16);
    mean.Add(1.0);
    low.Add(+0.0);
    high.Add(-0.0);
    for (double x : {-0.5, 0.0, 0.2499, 0.25}) hist.Add(x);
  });
  As_Thread(2, [&] {
    count.Add(4);
    sum.Add(1);
    sum.Add(1);
    mean.Add(2.0);
    low.Add(-0.0);
    high.Add(+0.0);
    for (double x : {0.9999999, 1.0, std::nan("")}) hist.Add(x);
  });
  As_Thread(3, [&] { mean.Add(6.0); });
  m.End_Iteration();
  gauge.Set(0.5);
  live.Set(42);
  EXPECT_EQ(count.Value(), 5);
  EXPECT_EQ(sum.Value(), 1e16 + 2);
  EXPECT_EQ(mean.Value().real, 3.0);
  EXPECT_EQ(Bits(low.Value().real), Bits(-0.0));
  EXPECT_EQ(Bits(high.Value().real), Bits(+0.0));
  EXPECT_EQ(hist.Under(), 1);
  EXPECT_EQ(hist.Bin(0), 2);  // 0 and 0.2499
  EXPECT_EQ(hist.Bin(1), 1);  // 0.25
  EXPECT_EQ(hist.Bin(2), 0);
  EXPECT_EQ(hist.Bin(3), 1);  // 0.9999999
  EXPECT_EQ(hist.Over(), 2);  // 1.0 and NaN
  const std::vector<std::string> names = {"count",      "sum",    "mean",   "low",    "high",
                                          "hist_under", "hist_0", "hist_1", "hist_2", "hist_3",
                                          "hist_over",  "gauge",  "live"};
  ASSERT_EQ(m.Columns().size(), names.size());
  for (size_t c = 0; c < names.size(); ++c) EXPECT_EQ(m.Columns()[c].name, names[c]);
  EXPECT_EQ(m.Columns()[0].kind, Measure_Value::Kind::integer);
  EXPECT_EQ(m.Columns()[1].kind, Measure_Value::Kind::real);
  EXPECT_EQ(To_Text(m.Values()[11]), "0.5");
  EXPECT_EQ(To_Text(m.Values()[12]), "42");

  // The next iteration starts empty: nothing added is no value, and counts are 0.
  m.End_Iteration();
  EXPECT_EQ(count.Value(), 0);
  EXPECT_EQ(sum.Value(), 0.0);
  EXPECT_EQ(mean.Value().kind, Measure_Value::Kind::none);
  EXPECT_EQ(low.Value().kind, Measure_Value::Kind::none);
  EXPECT_EQ(To_Text(high.Value()), "");
  EXPECT_EQ(hist.Over(), 0);
  EXPECT_EQ(live.Value().integer, 42);  // a gauge keeps its value
}

TEST(Measures_Test, Running_Measures_Keep_Their_Totals_And_NaN_Wins_Extremes) {
  quarnel::Measures m;
  auto total = m.Count("total", Measure_Reset::running);
  auto mean = m.Mean("mean", Measure_Reset::running);
  auto high = m.Max("high", Measure_Reset::running);
  auto low = m.Min("low");
  m.Start(1);
  As_Thread(0, [&] {
    total.Add(2);
    mean.Add(1);
    high.Add(-std::numeric_limits<double>::infinity());
    low.Add(std::nan("5"));
    low.Add(-1);
  });
  m.End_Iteration();
  EXPECT_TRUE(std::isnan(low.Value().real));
  As_Thread(1, [&] {
    total.Add(3);
    mean.Add(4);
    high.Add(7);
    low.Add(-1);
  });
  m.End_Iteration();
  EXPECT_EQ(total.Value(), 5);
  EXPECT_EQ(mean.Value().real, 2.5);
  EXPECT_EQ(high.Value().real, 7.0);
  EXPECT_EQ(low.Value().real, -1.0);  // reset each iteration: the NaN is gone
  EXPECT_EQ(To_Text(Measure_Value{Measure_Value::Kind::real, 0, std::nan("")}), "nan");
  EXPECT_EQ(To_Text(Measure_Value{Measure_Value::Kind::real, 0, -1.0 / 0.0}), "-inf");
  EXPECT_EQ(To_Text(Measure_Value{Measure_Value::Kind::real, 0, 0.1}), "0.1");
}

// The kernel harness: agents whose values span 2^-40 .. 2^40 with both signs, from the
// counter-based stream, so that a sum in any other than a fixed order would differ.
struct Probe_State {
  quarnel::Measures measures;
  quarnel::Count_Measure calls = measures.Count("calls");
  quarnel::Sum_Measure sum = measures.Sum("sum");
  quarnel::Mean_Measure mean = measures.Mean("mean", Measure_Reset::running);
  quarnel::Min_Measure low = measures.Min("low");
  quarnel::Max_Measure high = measures.Max("high");
  quarnel::Histogram_Measure spread = measures.Histogram("spread", -40, 40, 8);
  quarnel::Integer_Gauge_Measure live = measures.Integer_Gauge("live");
  uint64_t seed = 9;
};

double Probe_Value(quarnel::Counter_Random& draws) {
  const double scale = std::ldexp(1.0, int(draws.Next_Below(81)) - 40);
  return (draws.Next_Uniform() - 0.5) * scale;
}

class Probe : public quarnel::Identified_Agent<Probe> {
 public:
  void Act(quarnel::Next& next) {
    Probe_State& s = next.model<Probe_State>();
    quarnel::Counter_Random draws = Random(s.seed);
    const double x = Probe_Value(draws);
    s.calls.Add();
    s.sum.Add(x);
    s.mean.Add(x);
    s.low.Add(x);
    s.high.Add(x);
    s.spread.Add(std::log2(std::fabs(x) + 1e-300));
    next.In(1 + uint32_t(draws.Next_Below(2)));  // some skip an iteration
  }
};

using Rows = std::vector<std::vector<uint64_t>>;  // per iteration, the bits of every value

uint64_t Cell_Bits(const Measure_Value& v) {
  return v.kind == Measure_Value::Kind::real ? Bits(v.real) : uint64_t(v.integer) ^ (uint64_t(v.kind) << 60);
}

Rows Run_Probes(int workers, int block_size, Probe_State& state) {
  Rows rows;
  quarnel::testing::Run_Bounded([&] {
    quarnel::Simulation run(quarnel::testing::Make_Configuration(workers, 12, block_size), state);
    run.Attach_Measures(state.measures);
    for (uint64_t i = 0; i < 3000; ++i) {
      quarnel::Create_Identified<Probe>(quarnel::Root_Identity(i))->Schedule_At(quarnel::Revision(0, 0));
    }
    run.On_Iteration_End([&](uint32_t) {
      Probe_State& s = quarnel::Model_State<Probe_State>();
      s.live.Set(quarnel::Live_Count<Probe>());
      std::vector<uint64_t> row;
      for (const Measure_Value& v : s.measures.Values()) row.push_back(Cell_Bits(v));
      rows.push_back(row);
    });
    run.Run();
  });
  return rows;
}

TEST(Measures_Test, Kernel_Rows_Are_Bit_Identical_On_Any_Workers_And_Block_Size) {
  // The harness on one worker: iteration 0 sees every probe once, and its sum is the exact
  // sum of the values the probes draw at revision (0, 0).
  Probe_State reference;
  const Rows expected = Run_Probes(1, 1000, reference);
  ASSERT_EQ(expected.size(), 12u);
  quarnel::Exact_Sum first;
  for (uint64_t i = 0; i < 3000; ++i) {
    quarnel::Counter_Random draws(reference.seed, quarnel::Root_Identity(i), quarnel::Revision(0, 0));
    first.Add(Probe_Value(draws));
  }
  EXPECT_EQ(expected[0][0], Cell_Bits(Measure_Value{Measure_Value::Kind::integer, 3000, 0}));
  EXPECT_EQ(expected[0][1], Bits(first.Value()));
  for (int workers : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      Probe_State state;
      EXPECT_EQ(Run_Probes(workers, block_size, state), expected)
          << workers << " workers, block size " << block_size;
    }
  }
}

TEST(Measures_Test, Misuse_Is_A_Fatal_Error_With_Its_Message) {
  quarnel::Measures m;
  auto count = m.Count("count");
  EXPECT_EQ(Thrown_Text([&] { m.Count("Count"); }),
            std::string(kPrefix) + "The measure name 'Count' is not snake_case ([a-z][a-z0-9_]*)");
  EXPECT_EQ(Thrown_Text([&] { m.Sum("count"); }),
            std::string(kPrefix) + "The measure name 'count' is declared twice");
  EXPECT_EQ(Thrown_Text([&] { m.Gauge("step"); }),
            std::string(kPrefix) + "The measure name 'step' is a column of the records themselves");
  EXPECT_EQ(Thrown_Text([&] { m.Histogram("h", 1, 1, 3); }),
            std::string(kPrefix) +
                "The histogram 'h' needs 1 to 100000 bins over a finite range low < high, not 3 "
                "bins over [1, 1)");
  EXPECT_EQ(Thrown_Text([&] { count.Add(); }),
            std::string(kPrefix) +
                "A measure was added to before its Measures were attached to a run (Attach_Measures)");
  m.Start(1);
  EXPECT_EQ(
      Thrown_Text([&] { m.Max("late"); }),
      std::string(kPrefix) + "The measure 'late' is declared after its Measures were attached to a run");
  EXPECT_EQ(
      Thrown_Text([&] {
        quarnel::Measures other;
        quarnel::World::Instance().Attach_Measures(&other);
      }),
      std::string(kPrefix) + "Measures are attached to a run after it is set up (Initialize_Simulation)");
}

}  // namespace
