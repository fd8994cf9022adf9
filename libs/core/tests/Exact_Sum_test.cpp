// Exact_Sum: the sum of doubles kept without rounding.
//
// Properties under test:
//  1. Value() is the exact sum rounded once to nearest, ties to even: checked against sums
//     whose exact value is known (cancellations, ties, subnormals, overflow) and against an
//     exact integer reference for random values on a common grid.
//  2. The value depends only on the multiset of values: the same values added in many orders
//     and split into partial sums merged in any order give the same bits, for values of
//     wildly different magnitudes, signs and exact cancellations.
//  3. Infinities and NaNs: one infinity gives it, both or any NaN give NaN.
#include <quarnel/Exact_Sum.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

double Sum_Of(const std::vector<double>& values) {
  quarnel::Exact_Sum sum;
  for (double x : values) sum.Add(x);
  return sum.Value();
}

uint64_t Bits(double x) {
  return std::bit_cast<uint64_t>(x);
}

TEST(Exact_Sum_Test, Known_Sums_Are_Rounded_Once_To_Nearest_Even) {
  EXPECT_EQ(Sum_Of({}), 0.0);
  EXPECT_EQ(Sum_Of({1e16, 1, 1}), 1e16 + 2);  // a naive sum loses both ones
  EXPECT_EQ(Sum_Of({1e300, 1, -1e300}), 1.0);
  EXPECT_EQ(Sum_Of({1e-300, 1e300, -1e300}), 1e-300);
  EXPECT_EQ(Sum_Of({0.1, 0.2}), 0.1 + 0.2);  // one correctly rounded addition
  // 0.1, 0.2 and 0.3 are 3602879701896397 * 2^-55, 3602879701896397 * 2^-54 and
  // 5404319552844595 * 2^-54: exactly 2^-55 apart (the naive sum gives 2^-54).
  EXPECT_EQ(Sum_Of({0.1, 0.2, -0.3}), std::ldexp(1.0, -55));
  const double two53 = std::ldexp(1.0, 53);
  EXPECT_EQ(Sum_Of({two53, 1}), two53);                            // a tie, to even
  EXPECT_EQ(Sum_Of({two53, 3}), two53 + 4);                        // a tie, to even
  EXPECT_EQ(Sum_Of({two53, 1, std::ldexp(1.0, -60)}), two53 + 2);  // above the tie
  EXPECT_EQ(Sum_Of({two53, 1, -std::ldexp(1.0, -60)}), two53);     // below the tie
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(Sum_Of({tiny, tiny, tiny}), 3 * tiny);
  EXPECT_EQ(Sum_Of({DBL_MIN, -tiny}), DBL_MIN - tiny);
  EXPECT_EQ(Sum_Of({DBL_MAX, DBL_MAX, -DBL_MAX}), DBL_MAX);  // no overflow on the way
  EXPECT_EQ(Sum_Of({DBL_MAX, DBL_MAX}), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Sum_Of({-DBL_MAX, -DBL_MAX}), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Sum_Of({-2.5, 1.25}), -1.25);
  EXPECT_EQ(Bits(Sum_Of({-0.0, -0.0})), Bits(0.0));  // an exact zero is +0.0
  EXPECT_EQ(Bits(Sum_Of({5.0, -5.0})), Bits(0.0));
}

TEST(Exact_Sum_Test, Infinities_And_Not_A_Number) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(Sum_Of({1, inf, 2}), inf);
  EXPECT_EQ(Sum_Of({-inf, 1e308}), -inf);
  EXPECT_TRUE(std::isnan(Sum_Of({inf, -inf})));
  EXPECT_TRUE(std::isnan(Sum_Of({1, std::nan("7"), 2})));
  EXPECT_EQ(Bits(Sum_Of({-std::nan("")})), Bits(Sum_Of({std::nan("3")})));  // one NaN
}

// Random values k * 2^e on a grid of 2^-60: their exact sum is an integer number of grid
// steps, computed in 128 bits and converted once (the conversion rounds to nearest even).
TEST(Exact_Sum_Test, Random_Sums_Match_An_Exact_Integer_Reference) {
  std::mt19937_64 draw(11);
  for (int round = 0; round < 200; ++round) {
    __int128 steps = 0;
    quarnel::Exact_Sum sum;
    const int n = 1 + int(draw() % 300);
    for (int i = 0; i < n; ++i) {
      const int64_t k = int64_t(draw() % (uint64_t(1) << 53)) - (int64_t(1) << 52);
      const int e = int(draw() % 60);  // the value is k * 2^(e - 60)
      steps += __int128(k) << e;
      sum.Add(std::ldexp(double(k), e - 60));
    }
    EXPECT_EQ(sum.Value(), std::ldexp(double(steps), -60)) << "round " << round;
  }
}

// Values of every magnitude, both signs, subnormals and exact cancellations.
std::vector<double> Wild_Values(std::mt19937_64& draw, size_t n) {
  std::vector<double> values;
  std::uniform_real_distribution<double> unit(0.5, 1.0);
  while (values.size() < n) {
    const int exponent = int(draw() % 2100) - 1070;
    double x = std::ldexp(unit(draw), exponent);
    if (draw() % 2) x = -x;
    values.push_back(x);
    if (draw() % 5 == 0) values.push_back(-x);  // cancels exactly
    if (draw() % 7 == 0) values.push_back(std::ldexp(1.0, -1074) * double(draw() % 1000));
  }
  return values;
}

TEST(Exact_Sum_Test, Same_Bits_In_Any_Order_And_Any_Split_Into_Partial_Sums) {
  std::mt19937_64 draw(5);
  for (int set = 0; set < 20; ++set) {
    std::vector<double> values = Wild_Values(draw, 500);
    // Also a set whose large terms cancel, leaving the small ones.
    if (set % 2) {
      for (double big : {1e300, 3e200, -7e250}) {
        values.push_back(big);
        values.push_back(-big);
      }
    }
    const uint64_t expected = Bits(Sum_Of(values));
    for (int trial = 0; trial < 30; ++trial) {
      std::shuffle(values.begin(), values.end(), draw);
      const size_t parts = 1 + draw() % 7;  // as many workers
      std::vector<quarnel::Exact_Sum> partial(parts);
      for (double x : values) partial[draw() % parts].Add(x);
      std::shuffle(partial.begin(), partial.end(), draw);
      quarnel::Exact_Sum total;
      for (const auto& p : partial) total.Merge(p);
      ASSERT_EQ(Bits(total.Value()), expected) << "set " << set << ", trial " << trial;
    }
  }
}

TEST(Exact_Sum_Test, Clear_Empties_The_Sum) {
  quarnel::Exact_Sum sum;
  sum.Add(3.5);
  sum.Add(std::numeric_limits<double>::infinity());
  sum.Clear();
  sum.Add(1.5);
  EXPECT_EQ(sum.Value(), 1.5);
}

}  // namespace
