// Exact_Sum: a sum of doubles kept without rounding, so that its value depends only on the
// multiset of the values added, never on their order or on how they were split between
// partial sums. Measures use it for every floating-point sum, so that a sum over the workers
// is the same bit for bit on any number of workers.
//
// A finite double is m * 2^(p - 1074) with an integer m < 2^53 and p in [0, 2045]. The sum
// keeps one 128-bit signed integer per 16 consecutive p (a limb of 2^(16 k - 1074)), and
// Add puts +-(m << (p mod 16)) into limb p / 16: one integer addition, no loop, no branch for
// finite values. Infinities and NaNs are counted apart. Value() folds the limbs into one wide
// two's-complement integer (the carries are resolved there) and rounds it once, to nearest
// with ties to even, so it is a function of the exact sum alone.
//
// Invariants:
//  1. Every limb equals the sum of the integers added into it: each added term is below
//     2^68, so a limb cannot overflow before 2^59 terms.
//  2. Two sums of the same multiset of values have equal limbs and flags (Add and Merge are
//     integer additions, which commute and associate).
//  3. Value() is the exact sum rounded to nearest, ties to even (overflowing to +-infinity);
//     with any NaN, or both infinities, it is the quiet NaN; with one infinity, that infinity.
//     An exact zero is +0.0, also for a sum of negative zeros.
//
// Thread safety: a plain value, owned by one thread at a time. Trivially copyable; all-zero
// bytes are the empty sum.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

namespace quarnel {

class Exact_Sum {
 public:
  static constexpr int kLimbs = 128;  // 2046 exponent positions, 16 to a limb

  void Add(double x) {
    const uint64_t bits = std::bit_cast<uint64_t>(x);
    const uint32_t exponent = uint32_t(bits >> 52) & 0x7ff;
    if (exponent == 0x7ff) [[unlikely]] {
      Add_Special(bits);
      return;
    }
    const uint64_t mantissa = (bits & ((uint64_t(1) << 52) - 1)) | (uint64_t(exponent != 0) << 52);
    const uint32_t position = exponent - uint32_t(exponent != 0);
    __int128 term = __int128(mantissa) << (position & 15);
    if (bits >> 63) term = -term;
    _limbs[position >> 4] += term;
  }

  // Adds every value added to `other`.
  void Merge(const Exact_Sum& other) {
    for (int i = 0; i < kLimbs; ++i) _limbs[i] += other._limbs[i];
    _specials |= other._specials;
  }

  // The exact sum rounded once (invariant 3).
  double Value() const;

  void Clear() { *this = Exact_Sum{}; }

 private:
  enum : uint32_t { kPlus_Infinity = 1, kMinus_Infinity = 2, kNot_A_Number = 4 };
  void Add_Special(uint64_t bits);
  double Finite_Value() const;

  __int128 _limbs[kLimbs] = {};
  uint32_t _specials = 0;
};
static_assert(std::is_trivially_copyable_v<Exact_Sum>);

}  // namespace quarnel
