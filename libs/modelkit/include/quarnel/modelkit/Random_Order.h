// A fresh random order of n agents for a step, as sequential models activate them: a
// Fisher-Yates shuffle of 0 .. n-1 drawn from one Counter_Random stream (seed, key, step).
// The same (n, seed, key, step) gives the same order on any machine and in any run.
// The indices are 32-bit: an n above 2^32 is refused with std::length_error before anything
// is allocated (its order would repeat indices).
//
// Thread safety: a pure function; any thread.
#pragma once

#include <quarnel/Counter_Random.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quarnel::modelkit {

inline std::vector<uint32_t> Random_Order(size_t n, uint64_t seed, uint64_t key, uint64_t step) {
  if (uint64_t(n) > uint64_t(UINT32_MAX) + 1) {
    throw std::length_error("Random_Order: " + std::to_string(n) +
                            " indices, more than 32-bit indices hold (2^32)");
  }
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = uint32_t(i);
  Counter_Random draws(seed, key, step);
  for (size_t i = n; i > 1; --i) std::swap(order[i - 1], order[draws.Next_Below(i)]);
  return order;
}

}  // namespace quarnel::modelkit
