// libFuzzer target: the intrusive heap against a reference multiset.
//
// The input is a program of operations on a pool of nodes and a heap whose initial room the
// first byte chooses (0: a default-constructed heap without storage): push a free node with
// a key (small keys, so ties are common; a push into a full heap grows it), pop the root,
// remove an arbitrary node, give a node of the heap a new key, or reserve more room. After
// every operation the heap's invariants are checked in full and its keys must be exactly
// the reference's; its room never shrinks and never moves while it suffices; every pop must
// return a smallest key; at the end the heap drains in key order. Popped and removed nodes
// are pushed again later.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include <quarnel/detail/Intrusive_Binary_Heap.h>

namespace {

using quarnel::ibh_node;
using quarnel::Revision;

struct Node : ibh_node {
  Revision _next_revision;
  bool _in_heap = false;
};
using Heap = quarnel::Intrusive_Binary_Heap<Node>;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "heap invariant broken: %s\n", what);
  std::abort();
}
void Require(bool condition, const char* what) {
  if (!condition) Fail(what);
}

uint64_t Key(const ibh_node* n) {
  return static_cast<const Node*>(n)->_next_revision._revision;
}

// Invariants 1 to 4 of the heap's header, that the heap holds exactly the pool's nodes that
// were pushed and not taken out, and that its keys are the reference's.
void Check(const Heap& heap, const std::vector<Node>& pool, const std::multiset<uint64_t>& reference) {
  Require(heap.size() == reference.size() && heap.size() <= heap.capacity(), "size");
  Require(heap.empty() == reference.empty(), "emptiness");
  std::vector<uint64_t> keys;
  for (uint32_t i = 0; i < heap.size(); ++i) {
    const ibh_node* n = heap.slot(i).node;
    Require(n >= &pool.front() && n <= &pool.back(), "a slot holds a node outside the pool");
    Require(static_cast<const Node*>(n)->_in_heap, "a slot holds a node that was taken out");
    Require(n->_position == int32_t(i), "a node records another slot");
    Require(heap.slot(i).key == Key(n), "a slot caches a stale key");
    if (i > 0) Require(heap.slot(Heap::parent_of(i)).key <= heap.slot(i).key, "heap order");
    keys.push_back(heap.slot(i).key);
  }
  size_t in_heap = 0;
  for (const Node& node : pool) {
    Require(node._in_heap == (node._position != -1), "a node does not know whether it is in the heap");
    in_heap += node._in_heap;
  }
  Require(in_heap == heap.size(), "a pushed node is missing from the slots");
  std::sort(keys.begin(), keys.end());
  Require(std::equal(keys.begin(), keys.end(), reference.begin(), reference.end()), "keys differ");
}

constexpr size_t kPool = 96;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Node> pool(kPool);
  size_t cursor = 0;
  auto next = [&]() -> uint8_t { return cursor < size ? data[cursor++] : 0; };
  const uint32_t initial_room = next() % (kPool + 1);
  Heap heap = initial_room == 0 ? Heap() : Heap(initial_room);
  std::multiset<uint64_t> reference;

  while (cursor < size) {
    const uint8_t op = next();
    Node& node = pool[next() % kPool];
    const uint32_t room = heap.capacity();
    const void* storage = room == 0 ? nullptr : &heap.slot(0);
    if (op % 11 == 10) {  // reserve room for up to the whole pool
      heap.Reserve(uint32_t(next() % (kPool + 1)));
      Require(heap.capacity() >= room, "Reserve shrank the heap");
    } else if (op % 11 < 4) {  // push, past the room when the heap is full
      if (node._in_heap) continue;
      node._next_revision = Revision(next() % 4, next() % 8);
      node._in_heap = true;
      const bool full = heap.size() == room;
      heap.push_node(&node);
      reference.insert(node._next_revision._revision);
      Require(full ? heap.capacity() > room : heap.capacity() == room && &heap.slot(0) == storage,
              "a push grew a heap that had room, or did not grow a full one");
    } else if (op % 11 < 6) {  // pop the root
      ibh_node* root = heap.pop_root();
      if (reference.empty()) {
        Require(root == nullptr, "pop of an empty heap returned a node");
        continue;
      }
      Require(root != nullptr && Key(root) == *reference.begin(), "pop did not return a smallest key");
      reference.erase(reference.begin());
      static_cast<Node*>(root)->_in_heap = false;
    } else if (op % 11 < 8) {  // remove an arbitrary node
      if (!node._in_heap) continue;
      heap.remove_node(&node);
      reference.erase(reference.find(node._next_revision._revision));
      node._in_heap = false;
    } else {  // re-key an arbitrary node
      if (!node._in_heap) continue;
      reference.erase(reference.find(node._next_revision._revision));
      node._next_revision = Revision(next() % 4, next() % 8);
      reference.insert(node._next_revision._revision);
      heap.rekey_node(&node);
    }
    Check(heap, pool, reference);
  }
  for (uint64_t key : reference) {
    ibh_node* root = heap.pop_root();
    Require(root != nullptr && Key(root) == key, "drain out of order");
  }
  Require(heap.pop_root() == nullptr && heap.empty(), "heap not empty after draining");
  return 0;
}
