// libFuzzer target: the intrusive binary heap against a reference multiset.
//
// The input is a program of operations on a pool of nodes: push a free node with a key
// (small keys, so ties are common), pop the root, or take an arbitrary node out the way an
// event block does (swap it up to the root unconditionally, then pop). After every
// operation the heap's invariants are checked in full; every pop must return a smallest
// key; at the end the heap drains in key order. Popped nodes are reused with stale links.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <vector>

#include "Intrusive_Binary_Heap.h"

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

// Invariants 1 to 5 of the heap's header, and that the heap holds exactly `expected` nodes.
void Check(const Heap& heap, size_t expected) {
  if (heap._root == nullptr) {
    Require(expected == 0 && heap._num_levels == 0 && heap._first_of_upper_level == nullptr &&
                heap._first_of_last_level == nullptr && heap._insertion_parent == nullptr &&
                heap._last == nullptr,
            "empty heap state");
    return;
  }
  Require(heap._root->_parent == nullptr && heap._root->_prev_in_order == nullptr, "root links");
  size_t count = 0;
  size_t at_level = 0;
  int32_t level = 1;
  const ibh_node* last = nullptr;
  for (const ibh_node* n = heap._root; n != nullptr; last = n, n = n->_next_in_order) {
    ++count;
    Require(count <= expected, "more nodes in the level-order list than pushed");
    if (n->_level != level) {
      Require(n->_level == level + 1 && at_level == (size_t(1) << (level - 1)), "a level is not full");
      ++level;
      at_level = 0;
    }
    ++at_level;
    Require(n->_prev_in_order == last, "level-order back link");
    if (n->_parent != nullptr) {
      Require(Key(n->_parent) <= Key(n), "heap order");
      Require((n->_side == 'L' ? n->_parent->_left : n->_parent->_right) == n, "child link");
      Require(n->_parent->_level == n->_level - 1, "parent level");
    } else {
      Require(n == heap._root && n->_side == 'N', "a parentless node that is not the root");
    }
    for (const ibh_node* child : {n->_left, n->_right})
      Require(child == nullptr || child->_parent == n, "parent link");
  }
  Require(count == expected, "fewer nodes in the level-order list than pushed");
  Require(heap._num_levels == level, "level count");
  if (count == 1) {
    Require(heap._first_of_last_level == nullptr && heap._last == nullptr &&
                heap._insertion_parent == heap._root && heap._first_of_upper_level == heap._root,
            "single-node state");
  } else {
    Require(heap._last == last && heap._first_of_last_level != nullptr &&
                heap._first_of_last_level->_level == level,
            "last node and last level");
  }
}

constexpr size_t kPool = 96;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<Node> pool(kPool);
  Heap heap;
  std::multiset<uint64_t> reference;
  size_t cursor = 0;
  auto next = [&]() -> uint8_t { return cursor < size ? data[cursor++] : 0; };

  while (cursor < size) {
    const uint8_t op = next();
    Node& node = pool[next() % kPool];
    if (op % 4 < 2) {  // push
      if (node._in_heap) continue;
      node._next_revision = Revision(next() % 4, next() % 8);
      node._in_heap = true;
      heap.push_node(&node);
      reference.insert(node._next_revision._revision);
    } else if (op % 4 == 2) {  // pop the root
      ibh_node* root = heap.pop_root();
      if (reference.empty()) {
        Require(root == nullptr, "pop of an empty heap returned a node");
        continue;
      }
      Require(root != nullptr && Key(root) == *reference.begin(), "pop did not return a smallest key");
      reference.erase(reference.begin());
      static_cast<Node*>(root)->_in_heap = false;
    } else {  // take out an arbitrary node, as an event block does
      if (!node._in_heap) continue;
      while (node._parent != nullptr) heap.swap_nodes(&node, node._parent);
      Require(heap.pop_root() == &node, "the node swapped up to the root was not popped");
      reference.erase(reference.find(node._next_revision._revision));
      node._in_heap = false;
    }
    Check(heap, reference.size());
  }
  for (uint64_t key : reference) {
    ibh_node* root = heap.pop_root();
    Require(root != nullptr && Key(root) == key, "drain out of order");
  }
  Require(heap.pop_root() == nullptr && heap.empty(), "heap not empty after draining");
  return 0;
}
