// Intrusive min-heap of event objects, ordered by their next revision.
//
// The heap is an array laid out as a 4-ary tree (the children of slot i are slots
// 4i+1 .. 4i+4), whose slots hold each element's key next to a pointer to its `ibh_node`;
// the node records the slot it stands in, so a given element is found, removed or re-keyed
// in O(log n) without a search. Moves shift a hole along the path and write each element
// once; the four children of a slot share one cache line.
//
// Room: a heap takes any number of elements (up to kMax_Capacity). A push into a full heap
// grows the storage (to twice its size, at least kFirst_Room slots) out of line; slots keep
// their indices, so no node has to be told. A heap made with room for n elements (or given
// it by Reserve) allocates nothing while it holds at most n: an event block reserves its
// cell count, which no block exceeds, so stepping never allocates. Pop, removal and
// re-keying never allocate.
//
// Keys: the key of an element is the unsigned 64-bit key of the `_next_revision` of the T
// that contains its node, read when the element is pushed or re-keyed and kept in its slot.
// By default T derives from `ibh_node`; a T that holds its node as a member instead provides
// `static uint64_t Heap_Key(const ibh_node*)`. While an element is in the heap its key
// changes only together with a call of rekey_node. Equal keys leave in any order.
//
// Thread safety: none. A heap belongs to one owner (an event block, whose locks guard it)
// and is touched by one thread at a time.
//
// Invariants (checked by the tests after every operation):
//  1. Slots 0 .. size() - 1 hold the elements; size() <= capacity(), and capacity() only
//     grows while the heap lives (moving a heap hands its storage over).
//  2. The node in slot i records i (`_position`); a node in no heap records -1, so a node
//     is in at most one heap and knows whether it is in one.
//  3. The key in slot i equals the key of its element.
//  4. The key in slot i > 0 is not below the key of its parent slot (i - 1) / 4; slot 0
//     holds a smallest key.
//
// Misuse (a fatal error): pushing a node that is already in a heap, asking for room beyond
// kMax_Capacity (by Reserve or by a push into a heap that holds that many), removing or
// re-keying a node that is not in this heap.
//
// Ownership: the heap owns its slot array; it may be moved, not copied. The nodes belong to
// the elements, which must outlive their stay in the heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <quarnel/Globals.h>

namespace quarnel {

// The heap's part of an element: the slot it stands in, -1 while in no heap.
struct ibh_node {
  int32_t _position = -1;
};

// Reads the key of the T that contains a node.
template <class T>
struct Ibh_Key_Of {
  static uint64_t Key(const ibh_node* n) {
    if constexpr (requires { T::Heap_Key(n); }) {
      return T::Heap_Key(n);
    } else {
      static_assert(std::is_base_of_v<ibh_node, T>, "T must derive from ibh_node or provide Heap_Key");
      return Load_Revision(static_cast<const T*>(n)->_next_revision)._revision;
    }
  }
};

// The heap's fatal errors, kept out of line and off the fast paths.
[[noreturn]] void Ibh_Misuse(const char* what, int64_t position, uint32_t size, uint32_t capacity);
// The slot storage: `bytes` aligned to a cache line (a std::bad_alloc when the system has
// none), and its release.
void* Ibh_Allocate(size_t bytes);
void Ibh_Release(void* storage);

template <class T, class Key_Of = Ibh_Key_Of<T>>
class Intrusive_Binary_Heap {
 public:
  static constexpr uint32_t kArity = 4;
  static constexpr uint32_t kMax_Capacity = INT32_MAX - kArity;
  static constexpr uint32_t kFirst_Room = 16;  // a heap's first growth

  struct Slot {
    uint64_t key;
    ibh_node* node;
  };

  // An empty heap without storage; its first push (or Reserve) allocates some.
  Intrusive_Binary_Heap() = default;
  explicit Intrusive_Binary_Heap(uint32_t capacity) { Reserve(capacity); }
  Intrusive_Binary_Heap(const Intrusive_Binary_Heap&) = delete;
  Intrusive_Binary_Heap& operator=(const Intrusive_Binary_Heap&) = delete;
  Intrusive_Binary_Heap(Intrusive_Binary_Heap&& other) noexcept { Take(other); }
  Intrusive_Binary_Heap& operator=(Intrusive_Binary_Heap&& other) noexcept {
    if (this != &other) {
      Free_Storage();
      Take(other);
    }
    return *this;
  }
  ~Intrusive_Binary_Heap() { Free_Storage(); }

  // Makes room for at least `capacity` elements, so that pushes up to that size allocate
  // nothing; a heap never shrinks. A fatal error beyond kMax_Capacity.
  void Reserve(uint32_t capacity) {
    if (capacity > kMax_Capacity) Ibh_Misuse("Reserve", capacity, _size, _capacity);
    if (capacity > _capacity) Grow_To(capacity);
  }

  bool empty() const { return _size == 0; }
  uint32_t size() const { return _size; }
  uint32_t capacity() const { return _capacity; }
  // The element with the smallest key and that key. REQUIRES: not empty.
  ibh_node* root() const { return _slots[0].node; }
  uint64_t root_key() const { return _slots[0].key; }
  // Slot i, for inspection. REQUIRES: i < size().
  const Slot& slot(uint32_t i) const { return _slots[i]; }
  static constexpr uint32_t parent_of(uint32_t i) { return (i - 1) / kArity; }

  // Inserts a node that is in no heap. O(log n); a full heap first grows (see Room).
  void push_node(ibh_node* n) {
    if (n->_position != -1 || _size == _capacity) [[unlikely]] {
      Push_Slow(n);
      return;
    }
    Sift_Up(_size++, Slot{Key_Of::Key(n), n});
  }

  // Removes and returns the element with the smallest key; null on an empty heap. O(log n).
  ibh_node* pop_root() {
    if (_size == 0) return nullptr;
    ibh_node* root = _slots[0].node;
    root->_position = -1;
    if (--_size != 0) Sift_Down(0, _slots[_size]);
    return root;
  }

  // Removes a node of this heap, wherever it stands. O(log n).
  void remove_node(ibh_node* n) {
    const uint32_t i = Position_Of(n, "remove_node");
    n->_position = -1;
    if (--_size != i) Place(i, _slots[_size]);
  }

  // Restores the order after the key of a node of this heap has changed. O(log n).
  void rekey_node(ibh_node* n) { Place(Position_Of(n, "rekey_node"), Slot{Key_Of::Key(n), n}); }

 private:
  static_assert(sizeof(Slot) * kArity == __cache_line_size, "four slots fill one cache line");

  uint32_t Position_Of(const ibh_node* n, const char* what) const {
    const int32_t i = n->_position;
    if (i < 0 || uint32_t(i) >= _size || _slots[i].node != n) Ibh_Misuse(what, i, _size, _capacity);
    return uint32_t(i);
  }

  void Put(uint32_t i, const Slot& s) {
    _slots[i] = s;
    s.node->_position = int32_t(i);
  }

  // `s` goes into the hole at slot i: up if it is below its parent, otherwise down.
  void Place(uint32_t i, const Slot& s) {
    if (i > 0 && s.key < _slots[parent_of(i)].key) {
      Sift_Up(i, s);
    } else {
      Sift_Down(i, s);
    }
  }

  // Equal keys stop the climb: an element never rises above an equal parent.
  void Sift_Up(uint32_t hole, Slot s) {
    while (hole > 0) {
      const uint32_t p = parent_of(hole);
      if (!(s.key < _slots[p].key)) break;
      Put(hole, _slots[p]);
      hole = p;
    }
    Put(hole, s);
  }

  // The smallest child rises into the hole while it is below `s`; the first of equal
  // children wins.
  void Sift_Down(uint32_t hole, Slot s) {
    for (;;) {
      const uint32_t first = kArity * hole + 1;
      if (first >= _size) break;
      const uint32_t best = first + kArity <= _size ? Smallest_Of_Four(first) : Smallest_Of_Few(first);
      if (!(_slots[best].key < s.key)) break;
      Put(hole, _slots[best]);
      hole = best;
    }
    Put(hole, s);
  }

  uint32_t Smallest_Of_Four(uint32_t first) const {
    const Slot* c = _slots + first;
    const uint32_t a = c[1].key < c[0].key ? 1 : 0;
    const uint32_t b = c[3].key < c[2].key ? 3 : 2;
    return first + (c[b].key < c[a].key ? b : a);
  }

  uint32_t Smallest_Of_Few(uint32_t first) const {
    uint32_t best = first;
    for (uint32_t j = first + 1; j < _size; ++j) {
      if (_slots[j].key < _slots[best].key) best = j;
    }
    return best;
  }

  // push_node's rare cases, out of line: a node already in a heap (a fatal error), or a
  // full heap, which grows before the push.
  __attribute__((noinline)) void Push_Slow(ibh_node* n) {
    if (n->_position != -1) Ibh_Misuse("push_node", n->_position, _size, _capacity);
    Grow();
    Sift_Up(_size++, Slot{Key_Of::Key(n), n});
  }

  // A full heap's room doubles (kFirst_Room at first), up to kMax_Capacity.
  void Grow() {
    if (_capacity >= kMax_Capacity) Ibh_Misuse("push_node", -1, _size, _capacity);
    const uint64_t doubled = std::max<uint64_t>(kFirst_Room, uint64_t(_capacity) * 2);
    Grow_To(uint32_t(std::min<uint64_t>(doubled, kMax_Capacity)));
  }

  // New storage for `capacity` (> capacity()) slots; the elements keep their slots. Slot 0
  // sits three slots into a cache line, so each group of four children (slots 4i+1 .. 4i+4)
  // fills exactly one line. The old storage is released only once the new one exists.
  void Grow_To(uint32_t capacity) {
    Slot* slots =
        static_cast<Slot*>(Ibh_Allocate(sizeof(Slot) * (size_t(capacity) + kArity - 1))) + (kArity - 1);
    if (_size != 0) std::memcpy(static_cast<void*>(slots), _slots, sizeof(Slot) * _size);
    if (_slots != nullptr) Ibh_Release(_slots - (kArity - 1));
    _slots = slots;
    _capacity = capacity;
  }

  void Take(Intrusive_Binary_Heap& other) {
    _slots = std::exchange(other._slots, nullptr);
    _size = std::exchange(other._size, 0);
    _capacity = std::exchange(other._capacity, 0);
  }

  void Free_Storage() {
    if (_slots == nullptr) return;
    Ibh_Release(_slots - (kArity - 1));
    _slots = nullptr;
    _size = _capacity = 0;
  }

  Slot* _slots = nullptr;  // slot 0; the allocation starts kArity - 1 slots earlier
  uint32_t _size = 0;
  uint32_t _capacity = 0;
};

}  // namespace quarnel
