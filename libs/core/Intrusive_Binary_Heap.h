// Intrusive binary min-heap of event objects, ordered by their next revision.
//
// The heap never allocates: every element embeds an `ibh_node`, and the tree is made of the
// nodes' own pointers. All nodes are also threaded into a doubly linked list in level order
// (root first, then each level from left to right), which lets insertion find the next free
// place and removal find the last node in constant time.
//
// Thread safety: none. A heap belongs to one event block and is touched only by the thread
// that currently owns that block.
//
// Invariants (checked by the tests after every operation):
//  1. The tree is complete: every level but the last is full and the last level is filled
//     from the left. The level-order list holds exactly the nodes of the tree.
//  2. The key of every node is greater than or equal to the key of its parent.
//  3. Empty heap: `_num_levels` 0 and all five pointers null.
//  4. One node n: `_num_levels` 1; `_first_of_upper_level`, `_insertion_parent` and `_root`
//     are n; `_first_of_last_level` and `_last` are null; n has level 1, side 'N' and no
//     parent, children or neighbours.
//  5. Two or more nodes: `_first_of_last_level` and `_last` are non-null and `_last` has no
//     next node.
//
// Keys: the key of a node is the unsigned 64-bit key of the `_next_revision` of the T that
// contains it. By default T derives from `ibh_node`; a T that holds its node as a member
// instead provides `static uint64_t Heap_Key(const ibh_node*)`. A node is in at most one
// heap; a popped node keeps stale links until it is pushed again.
#pragma once

#include <cstdint>
#include <type_traits>

#include "Globals.h"

namespace quarnel {

struct ibh_node {
  ibh_node* _left = nullptr;
  ibh_node* _right = nullptr;
  ibh_node* _parent = nullptr;         // null for the root and for a detached node
  ibh_node* _prev_in_order = nullptr;  // null for the root
  ibh_node* _next_in_order = nullptr;  // null for the last node
  int32_t _level = -1;                 // 1 for the root; -1 while detached
  char _side = 'N';                    // 'L' or 'R' under a parent, 'N' without one
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

template <class T, class Key_Of = Ibh_Key_Of<T>>
class Intrusive_Binary_Heap {
 public:
  int32_t _num_levels = 0;
  ibh_node* _first_of_upper_level = nullptr;  // the root while there are one or two levels
  ibh_node* _first_of_last_level = nullptr;   // null while there is at most one node
  ibh_node* _insertion_parent = nullptr;      // receives the next child (or, if full, its successor does)
  ibh_node* _last = nullptr;                  // null while there is at most one node
  ibh_node* _root = nullptr;                  // the smallest key; null when empty

  bool empty() const { return _root == nullptr; }

  // Inserts a node that is in no heap. O(log n) swaps.
  void push_node(ibh_node* n) {
    *n = ibh_node{};
    if (_first_of_upper_level == nullptr) {
      Become_Single(n);
      return;
    }
    if (_first_of_last_level == nullptr) {
      Attach_Second(n);
    } else {
      Attach_At_Insertion_Place(n);
    }
    Sift_Up(n);
  }

  // Removes and returns the root; null on an empty heap. O(log n) swaps.
  ibh_node* pop_root() {
    ibh_node* r = _root;
    if (r == nullptr) return nullptr;
    if (_first_of_last_level == nullptr || _last == r) {
      *this = Intrusive_Binary_Heap{};
      return r;
    }
    swap_nodes(_last, r);  // r is now the last node
    Unlink_Last(r);
    Sift_Down(_root);
    return r;
  }

  // Exchanges the places of two nodes. `a` is the deeper one: a child of `b`, or the last
  // node while `b` is the root. Keys do not move; they live in the elements.
  void swap_nodes(ibh_node* a, ibh_node* b) {
    ibh_node old_a = *a;
    ibh_node old_b = *b;
    if (old_a._parent == b) {
      Swap_With_Parent(a, b, old_a, old_b);
    } else {
      Swap_Apart(a, b, old_a, old_b);
    }
    Swap_List_Places(a, b, old_a, old_b);
    Swap_Roles(a, b);
  }

 private:
  static uint64_t Key(const ibh_node* n) { return Key_Of::Key(n); }

  static void Set_Child(ibh_node* parent, char side, ibh_node* child) {
    (side == 'L' ? parent->_left : parent->_right) = child;
  }

  void Become_Single(ibh_node* n) {
    *n = ibh_node{};
    n->_level = 1;
    _num_levels = 1;
    _first_of_upper_level = _insertion_parent = _root = n;
    _first_of_last_level = _last = nullptr;
  }

  // The heap holds only its root: n becomes the root's left child.
  void Attach_Second(ibh_node* n) {
    ibh_node* r = _root;
    _num_levels = 2;
    n->_level = 2;
    r->_left = n;
    n->_parent = r;
    n->_side = 'L';
    r->_next_in_order = n;
    n->_prev_in_order = r;
    _last = _first_of_last_level = n;
  }

  void Attach_At_Insertion_Place(ibh_node* n) {
    ibh_node* p = _insertion_parent;
    if (p->_right != nullptr) {
      if (p->_next_in_order->_level == p->_level) {
        p = _insertion_parent = p->_next_in_order;
      } else {  // the last level is full: n opens a new one
        ++_num_levels;
        _first_of_upper_level = p = _insertion_parent = _first_of_last_level;
        _first_of_last_level = n;
      }
    }
    n->_side = p->_left == nullptr ? 'L' : 'R';
    Set_Child(p, n->_side, n);
    n->_parent = p;
    n->_level = _num_levels;
    _last->_next_in_order = n;
    n->_prev_in_order = _last;
    _last = n;
  }

  // Equal keys stop the climb: a node never rises above an equal parent.
  void Sift_Up(ibh_node* n) {
    while (n->_parent != nullptr && Key(n->_parent) > Key(n)) swap_nodes(n, n->_parent);
  }

  // The smaller child goes up; the left one when both keys are equal.
  void Sift_Down(ibh_node* v) {
    for (;;) {
      ibh_node* c = v->_left;
      if (c == nullptr) return;
      if (v->_right != nullptr && Key(v->_right) < Key(c)) c = v->_right;
      if (!(Key(c) < Key(v))) return;
      swap_nodes(c, v);
    }
  }

  // Removes the last node r (not the root) from the tree and the list.
  void Unlink_Last(ibh_node* r) {
    ibh_node* q = r->_parent;
    if (r->_side == 'L') {
      q->_left = nullptr;
      // q now has no child; the next push advances from q's predecessor (full) back to q.
      _insertion_parent = _insertion_parent->_prev_in_order;
    } else {
      q->_right = nullptr;
    }
    ibh_node* y = r->_prev_in_order;
    if (y->_level != r->_level) {  // r was alone on the last level
      --_num_levels;
      _first_of_last_level = _first_of_upper_level;
      _first_of_upper_level = _first_of_upper_level->_parent;
    }
    y->_next_in_order = nullptr;
    _last = y;
    if (y == _root) Become_Single(y);
  }

  void Swap_With_Parent(ibh_node* a, ibh_node* b, const ibh_node& old_a, const ibh_node& old_b) {
    ibh_node* sibling = old_a._side == 'L' ? old_b._right : old_b._left;
    a->_parent = old_b._parent;
    a->_side = old_b._side;
    a->_level = old_b._level;
    a->_left = old_a._side == 'L' ? b : sibling;
    a->_right = old_a._side == 'L' ? sibling : b;
    b->_parent = a;
    b->_side = old_a._side;
    b->_level = old_a._level;
    b->_left = old_a._left;
    b->_right = old_a._right;
    if (old_b._parent != nullptr) Set_Child(old_b._parent, old_b._side, a);
    if (sibling != nullptr) sibling->_parent = a;
    Adopt_Children(b);
  }

  void Swap_Apart(ibh_node* a, ibh_node* b, const ibh_node& old_a, const ibh_node& old_b) {
    a->_parent = old_b._parent;
    a->_side = old_b._side;
    a->_level = old_b._level;
    a->_left = old_b._left;
    a->_right = old_b._right;
    b->_parent = old_a._parent;
    b->_side = old_a._side;
    b->_level = old_a._level;
    b->_left = old_a._left;
    b->_right = old_a._right;
    if (old_b._parent != nullptr) Set_Child(old_b._parent, old_b._side, a);
    if (old_a._parent != nullptr) Set_Child(old_a._parent, old_a._side, b);
    Adopt_Children(a);
    Adopt_Children(b);
  }

  static void Adopt_Children(ibh_node* n) {
    if (n->_left != nullptr) n->_left->_parent = n;
    if (n->_right != nullptr) n->_right->_parent = n;
  }

  static void Swap_List_Places(ibh_node* a, ibh_node* b, const ibh_node& old_a, const ibh_node& old_b) {
    if (old_b._next_in_order == a) {  // neighbours: b, a  ->  a, b
      a->_prev_in_order = old_b._prev_in_order;
      a->_next_in_order = b;
      b->_prev_in_order = a;
      b->_next_in_order = old_a._next_in_order;
    } else {
      a->_prev_in_order = old_b._prev_in_order;
      a->_next_in_order = old_b._next_in_order;
      b->_prev_in_order = old_a._prev_in_order;
      b->_next_in_order = old_a._next_in_order;
      if (old_b._next_in_order != nullptr) old_b._next_in_order->_prev_in_order = a;
      if (old_a._prev_in_order != nullptr) old_a._prev_in_order->_next_in_order = b;
    }
    if (a->_prev_in_order != nullptr) a->_prev_in_order->_next_in_order = a;
    if (b->_next_in_order != nullptr) b->_next_in_order->_prev_in_order = b;
  }

  // Every heap pointer that named one of the two places now names the node standing there.
  void Swap_Roles(ibh_node* a, ibh_node* b) {
    for (ibh_node** role :
         {&_first_of_upper_level, &_insertion_parent, &_first_of_last_level, &_last, &_root}) {
      if (*role == a) {
        *role = b;
      } else if (*role == b) {
        *role = a;
      }
    }
  }
};

}  // namespace quarnel
