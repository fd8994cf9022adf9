#include <quarnel/Exact_Sum.h>

#include <cmath>
#include <limits>

namespace quarnel {
namespace {

// A two's-complement integer wide enough for every limb moved to its place: the limbs reach
// bit 16 * 127 + 128, and 2^7 of them add 7 bits of carries.
constexpr int kWords = 36;
using Wide = uint64_t[kWords];

// wide += limb * 2^(16 k), the carries resolved up to the top word.
void Add_Shifted(Wide& wide, __int128 limb, int k) {
  const int word = (16 * k) / 64;
  const int shift = (16 * k) % 64;
  const auto bits = static_cast<unsigned __int128>(limb);
  const uint64_t low = uint64_t(bits);
  const uint64_t high = uint64_t(bits >> 64);
  const uint64_t extension = limb < 0 ? ~uint64_t(0) : 0;
  uint64_t parts[3];
  parts[0] = low << shift;
  parts[1] = shift == 0 ? high : (high << shift) | (low >> (64 - shift));
  parts[2] = shift == 0 ? extension : (high >> (64 - shift)) | (extension << shift);
  unsigned carry = 0;
  for (int i = word; i < kWords; ++i) {
    const uint64_t part = i - word < 3 ? parts[i - word] : extension;
    const uint64_t before = wide[i];
    const uint64_t sum = before + part;
    const uint64_t total = sum + carry;
    carry = unsigned(sum < before) + unsigned(total < sum);
    wide[i] = total;
  }
}

void Negate(Wide& wide) {
  unsigned carry = 1;
  for (uint64_t& word : wide) {
    word = ~word + carry;
    carry = carry != 0 && word == 0 ? 1 : 0;
  }
}

// The non-negative `wide` times 2^-1074, rounded to nearest with ties to even.
double Round(const Wide& wide) {
  int top = kWords - 1;
  while (top >= 0 && wide[top] == 0) --top;
  if (top < 0) return 0.0;
  const int highest = 64 * top + 63 - std::countl_zero(wide[top]);  // the highest set bit
  if (highest < 53) return std::ldexp(double(wide[0]), -1074);      // exact, down to subnormals
  // The 64 bits below and at `highest`, and whether any bit below them is set.
  const int shift = highest - 63;
  uint64_t window = 0;
  bool sticky = false;
  if (shift <= 0) {
    window = wide[0] << -shift;
  } else {
    const int word = shift / 64;
    const int bit = shift % 64;
    window = wide[word] >> bit;
    if (bit != 0 && word + 1 < kWords) window |= wide[word + 1] << (64 - bit);
    sticky = bit != 0 && (wide[word] & ((uint64_t(1) << bit) - 1)) != 0;
    for (int i = 0; i < word && !sticky; ++i) sticky = wide[i] != 0;
  }
  uint64_t mantissa = window >> 11;  // 53 bits
  const uint64_t rest = window & 0x7ff;
  if (rest > 0x400 || (rest == 0x400 && (sticky || (mantissa & 1) != 0))) ++mantissa;
  // At least 2^52 * 2^-1021: a normal number, so ldexp rounds nothing (it may overflow).
  return std::ldexp(double(mantissa), shift + 11 - 1074);
}

}  // namespace

void Exact_Sum::Add_Special(uint64_t bits) {
  if ((bits & ((uint64_t(1) << 52) - 1)) != 0) {
    _specials |= kNot_A_Number;
  } else {
    _specials |= (bits >> 63) != 0 ? kMinus_Infinity : kPlus_Infinity;
  }
}

double Exact_Sum::Finite_Value() const {
  Wide wide = {};
  for (int k = 0; k < kLimbs; ++k) {
    if (_limbs[k] != 0) Add_Shifted(wide, _limbs[k], k);
  }
  const bool negative = (wide[kWords - 1] >> 63) != 0;
  if (negative) Negate(wide);
  const double magnitude = Round(wide);
  return negative ? -magnitude : magnitude;
}

double Exact_Sum::Value() const {
  const bool both = (_specials & (kPlus_Infinity | kMinus_Infinity)) == (kPlus_Infinity | kMinus_Infinity);
  if ((_specials & kNot_A_Number) != 0 || both) return std::numeric_limits<double>::quiet_NaN();
  if ((_specials & kPlus_Infinity) != 0) return std::numeric_limits<double>::infinity();
  if ((_specials & kMinus_Infinity) != 0) return -std::numeric_limits<double>::infinity();
  return Finite_Value();
}

}  // namespace quarnel
