// Counter-based random numbers for models whose results must not depend on the workers.
//
// A draw is a pure function of four numbers: the run's seed, a stable key of the object that
// draws (its identity, see Object_Identity.h), a counter (usually the revision being stepped)
// and the draw's index within that (seed, key, counter) stream. Nothing else enters: not the
// worker, not the order in which objects are stepped, not how many draws other objects made.
// So a model that draws this way gets the same numbers on 1 or 60 workers, for any block
// size, in any build of the same source.
//
// The generator is Philox4x64-10 from Random123: key = (seed, key), counter = (counter,
// index / 4, 0, 0); draw `index` is word index % 4 of that block. With seed, key, counter and
// index all 0 the first draw is the first word of the published known-answer vector of
// Philox4x64-10 (0x16554d9eca36314c).
//
// Thread safety: a Counter_Random is a small value owned by one thread (make one on the stack
// in a handler); it shares no state with any other. The static functions are pure.
//
// Invariants:
//  1. U64(i) and Uniform(i) depend only on (seed, key, counter, i); the Next_* calls return
//     draws 0, 1, 2, ... in order, so Next_U64() k times gives U64(0) .. U64(k - 1).
//  2. Uniform values lie in [0, 1): the top 53 bits of a draw times 2^-53.
//  3. Next_Below(bound) is exactly uniform over [0, bound) (rejection, no modulo bias); it
//     may take more than one draw, always the next ones of the stream.
#pragma once

#include <Random123/philox.h>

#include <cstdint>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Globals.h>

namespace quarnel {

class Counter_Random {
 public:
  using Philox = r123::Philox4x64;

  Counter_Random(uint64_t seed, uint64_t key, uint64_t counter) : _key{{seed, key}}, _counter(counter) {}
  Counter_Random(uint64_t seed, uint64_t key, Revision revision)
      : Counter_Random(seed, key, revision._revision) {}

  // Draw `index` of this stream, by random access.
  uint64_t U64(uint64_t index) const { return Block(index >> 2)[index & 3]; }
  double Uniform(uint64_t index) const { return To_Unit(U64(index)); }

  // The next draw of the stream (draw 0 first).
  uint64_t Next_U64() {
    if (_next >> 2 != _cached_block) {
      _cached_block = _next >> 2;
      _cache = Block(_cached_block);
    }
    return _cache[_next++ & 3];
  }
  double Next_Uniform() { return To_Unit(Next_U64()); }

  // A whole number in [0, bound), exactly uniform (Lemire's multiply-and-reject).
  // A bound of 0 is a fatal error.
  uint64_t Next_Below(uint64_t bound) {
    if (bound == 0) QUARNEL_FATAL("Counter_Random::Next_Below needs a bound above 0");
    const uint64_t threshold = (0 - bound) % bound;  // 2^64 mod bound
    for (;;) {
      const __uint128_t product = __uint128_t(Next_U64()) * bound;
      if (uint64_t(product) >= threshold) return uint64_t(product >> 64);
    }
  }

  // Index of the draw that Next_* returns next.
  uint64_t next_index() const { return _next; }

  // The top 53 bits of `bits` as a double in [0, 1).
  static constexpr double To_Unit(uint64_t bits) { return double(bits >> 11) * 0x1.0p-53; }

 private:
  Philox::ctr_type Block(uint64_t block) const {
    const Philox::ctr_type counter = {{_counter, block, 0, 0}};
    return Philox()(counter, _key);
  }

  Philox::key_type _key;
  uint64_t _counter;
  uint64_t _next = 0;
  uint64_t _cached_block = UINT64_MAX;  // no block cached yet (block 2^64 - 1 is never reached)
  Philox::ctr_type _cache = {};
};

}  // namespace quarnel
