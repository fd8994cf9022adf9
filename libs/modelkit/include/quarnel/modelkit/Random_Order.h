// A fresh random order of n agents for a step, as sequential models activate them: a
// Fisher-Yates shuffle of 0 .. n-1 drawn from one Counter_Random stream (seed, key, step).
// The same (n, seed, key, step) gives the same order on any machine and in any run.
//
// Thread safety: a pure function; any thread.
#pragma once

#include <quarnel/Counter_Random.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace quarnel::modelkit {

inline std::vector<uint32_t> Random_Order(size_t n, uint64_t seed, uint64_t key, uint64_t step) {
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = uint32_t(i);
  Counter_Random draws(seed, key, step);
  for (size_t i = n; i > 1; --i) std::swap(order[i - 1], order[draws.Next_Below(i)]);
  return order;
}

}  // namespace quarnel::modelkit
