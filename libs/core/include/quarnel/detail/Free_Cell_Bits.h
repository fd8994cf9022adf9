// One bit per cell of a memory block, set while the cell is free.
//
// A block keeps its free cells in a list sorted by address; a released cell must be linked
// in after the free cell just below it. The bits find that cell by looking at 64 cells per
// step instead of walking the list, so releasing a block's objects in address order costs
// a constant per release instead of a walk over every free cell below it. They also name a
// free cell's successor in the list (the lowest free cell above it) without reading the
// cell, which lies anywhere in the block and is often out of the cache.
//
// Thread safety: none of its own; the owning block's `_free_lock` guards it (or set-up on
// the controlling thread), exactly like the free list it mirrors.
//
// Invariant: bit i is set exactly when cell i is in the block's free list.
//
// Ownership: up to 64 cells the word lives in the object itself; larger blocks own a heap
// array made by Create and given back by Release. The object lives inside a block header,
// which is never copied or moved.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quarnel {

class Free_Cell_Bits {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // Storage for `cells` bits. REQUIRES: no storage held (a fresh object or after Release).
  void Create(uint32_t cells) {
    _num_words = (cells + 63) / 64;
    _heap = _num_words > 1 ? new uint64_t[_num_words] : nullptr;
  }
  void Release() {
    delete[] _heap;
    _heap = nullptr;
    _num_words = 0;
  }

  // Every cell free: bits 0 .. cells - 1 set. REQUIRES: `cells` is Create's.
  void Fill(uint32_t cells) {
    uint64_t* words = Words();
    std::memset(words, 0, _num_words * sizeof(uint64_t));
    const uint32_t full = cells / 64;
    for (uint32_t w = 0; w < full; ++w) words[w] = ~uint64_t(0);
    if (cells % 64 != 0) words[full] = (uint64_t(1) << (cells % 64)) - 1;
  }

  // Cells 0 .. count - 1 taken: their bits cleared, word by word. REQUIRES: count <= the
  // cell count.
  void Clear_First(uint32_t count) {
    uint64_t* words = Words();
    const uint32_t full = count / 64;
    std::memset(words, 0, full * sizeof(uint64_t));
    if (count % 64 != 0) words[full] &= ~((uint64_t(1) << (count % 64)) - 1);
  }

  // REQUIRES (here and below): i < the cell count.
  void Set(uint32_t i) { Words()[i / 64] |= uint64_t(1) << (i % 64); }
  void Clear(uint32_t i) { Words()[i / 64] &= ~(uint64_t(1) << (i % 64)); }
  bool Test(uint32_t i) const { return (Words()[i / 64] >> (i % 64)) & 1; }
  // Asks for the line of bit i's word, to be written soon. Reads only the storage pointer.
  void Prefetch(uint32_t i) const { __builtin_prefetch(Words() + i / 64, 1); }

  // The highest set bit below i, or kNone.
  uint32_t Highest_Below(uint32_t i) const {
    const uint64_t* words = Words();
    uint32_t w = i / 64;
    uint64_t below = words[w] & ((uint64_t(1) << (i % 64)) - 1);
    while (below == 0) {
      if (w == 0) return kNone;
      below = words[--w];
    }
    return w * 64 + uint32_t(63 - std::countl_zero(below));
  }

  // The lowest set bit at or above i, or kNone. REQUIRES: i <= the cell count.
  uint32_t Lowest_From(uint32_t i) const {
    const uint64_t* words = Words();
    uint32_t w = i / 64;
    if (w >= _num_words) return kNone;
    uint64_t from = words[w] & (~uint64_t(0) << (i % 64));
    while (from == 0) {
      if (++w == _num_words) return kNone;
      from = words[w];
    }
    return w * 64 + uint32_t(std::countr_zero(from));
  }
  // Calls `visit(i)` for every cell i below `end` whose bit is clear (a cell in use), in
  // ascending order, 64 cells a word. REQUIRES: end <= the cell count.
  template <class Visit>
  void For_Each_Clear(uint32_t end, Visit&& visit) const {
    const uint64_t* words = Words();
    for (uint32_t w = 0; w * 64 < end; ++w) {
      uint64_t in_use = ~words[w];
      if (end - w * 64 < 64) in_use &= (uint64_t(1) << (end - w * 64)) - 1;
      for (; in_use != 0; in_use &= in_use - 1) visit(w * 64 + uint32_t(std::countr_zero(in_use)));
    }
  }

 private:
  uint64_t* Words() { return _heap != nullptr ? _heap : &_inline; }
  const uint64_t* Words() const { return _heap != nullptr ? _heap : &_inline; }

  uint64_t* _heap = nullptr;
  uint64_t _inline = 0;
  uint32_t _num_words = 0;
};

}  // namespace quarnel
