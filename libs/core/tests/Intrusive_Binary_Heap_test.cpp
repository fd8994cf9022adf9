#include "Intrusive_Binary_Heap.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <queue>
#include <random>
#include <vector>

namespace quarnel {
namespace {

struct Test_Event : ibh_node {
  Revision _next_revision;
  int _id = 0;
};

// An element that holds its node as a member instead of deriving from it.
struct Member_Event {
  int _payload = 0;
  ibh_node _node;
  uint64_t _key = 0;
  static uint64_t Heap_Key(const ibh_node* n) {
    auto* self = reinterpret_cast<const Member_Event*>(reinterpret_cast<const char*>(n) -
                                                       offsetof(Member_Event, _node));
    return self->_key;
  }
};

using Heap = Intrusive_Binary_Heap<Test_Event>;

uint64_t Key(const ibh_node* n) {
  return static_cast<const Test_Event*>(n)->_next_revision._revision;
}

// Checks every invariant of the heap holding `expected_count` nodes, by walking the level
// order list from the root: position p (1-based) must sit under position p/2 on side L when
// p is even, so the walk also proves completeness.
void Expect_Valid(const Heap& h, size_t expected_count) {
  if (expected_count == 0) {
    EXPECT_EQ(h._num_levels, 0);
    EXPECT_EQ(h._first_of_upper_level, nullptr);
    EXPECT_EQ(h._first_of_last_level, nullptr);
    EXPECT_EQ(h._insertion_parent, nullptr);
    EXPECT_EQ(h._last, nullptr);
    EXPECT_EQ(h._root, nullptr);
    return;
  }
  std::vector<const ibh_node*> order{nullptr};  // 1-based positions
  const ibh_node* prev = nullptr;
  for (const ibh_node* n = h._root; n != nullptr && order.size() <= expected_count + 1;
       n = n->_next_in_order) {
    ASSERT_EQ(n->_prev_in_order, prev);
    order.push_back(n);
    prev = n;
  }
  ASSERT_EQ(order.size() - 1, expected_count) << "the list must visit every node once";
  int32_t level = 0;
  for (size_t p = 1; p < order.size(); ++p) {
    const ibh_node* n = order[p];
    if ((p & (p - 1)) == 0) ++level;  // positions 1, 2, 4, 8 ... open a level
    ASSERT_EQ(n->_level, level) << "position " << p;
    const ibh_node* left = 2 * p < order.size() ? order[2 * p] : nullptr;
    const ibh_node* right = 2 * p + 1 < order.size() ? order[2 * p + 1] : nullptr;
    ASSERT_EQ(n->_left, left) << "position " << p;
    ASSERT_EQ(n->_right, right) << "position " << p;
    if (p == 1) {
      ASSERT_EQ(n->_parent, nullptr);
      ASSERT_EQ(n->_side, 'N');
      continue;
    }
    ASSERT_EQ(n->_parent, order[p / 2]);
    ASSERT_EQ(n->_side, p % 2 == 0 ? 'L' : 'R');
    ASSERT_GE(Key(n), Key(n->_parent)) << "heap order at position " << p;
  }
  const size_t count = expected_count;
  EXPECT_EQ(h._num_levels, level);
  if (count == 1) {
    EXPECT_EQ(h._first_of_upper_level, h._root);
    EXPECT_EQ(h._insertion_parent, h._root);
    EXPECT_EQ(h._first_of_last_level, nullptr);
    EXPECT_EQ(h._last, nullptr);
    return;
  }
  size_t first_of_last = size_t(1) << (level - 1);
  EXPECT_EQ(h._last, order.back());
  EXPECT_EQ(h._first_of_last_level, order[first_of_last]);
  EXPECT_EQ(h._first_of_upper_level, order[first_of_last / 2]);
  // The next child goes under position (count+1)/2; the heap may still point at the full
  // node just before it.
  size_t next_parent = (count + 1) / 2;
  const ibh_node* ip = h._insertion_parent;
  bool ok = ip == order[next_parent] || (ip == order[next_parent - 1] && ip->_right != nullptr);
  EXPECT_TRUE(ok) << "insertion parent is not at or just before position " << next_parent;
}

class Heap_Test : public ::testing::Test {
 protected:
  Test_Event* Make(uint64_t key) {
    _events.emplace_back();
    _events.back()._next_revision = Revision::From_Key(key);
    _events.back()._id = int(_events.size()) - 1;
    return &_events.back();
  }
  uint64_t Pop_Key() {
    ibh_node* n = _heap.pop_root();
    EXPECT_NE(n, nullptr);
    return Key(n);
  }
  std::deque<Test_Event> _events;  // stable addresses
  Heap _heap;
};

TEST_F(Heap_Test, Pops_In_Key_Order_And_Ends_Empty) {
  size_t count = 0;
  for (uint64_t k : {5, 3, 8, 1}) {
    _heap.push_node(Make(k));
    Expect_Valid(_heap, ++count);
  }
  EXPECT_EQ(Key(_heap._root), 1u);
  for (uint64_t k : {1, 3, 5, 8}) {
    EXPECT_EQ(Pop_Key(), k);
    Expect_Valid(_heap, --count);
  }
  EXPECT_EQ(_heap.pop_root(), nullptr) << "popping an empty heap yields nothing";
}

TEST_F(Heap_Test, Single_Node_State_After_Pop_Accepts_New_Children) {
  Test_Event* a = Make(1);
  Test_Event* b = Make(2);
  _heap.push_node(a);
  Expect_Valid(_heap, 1);
  EXPECT_EQ(a->_level, 1);
  EXPECT_EQ(a->_side, 'N');
  _heap.push_node(b);
  Expect_Valid(_heap, 2);
  EXPECT_EQ(_heap.pop_root(), a);
  Expect_Valid(_heap, 1);
  EXPECT_EQ(_heap._root, b);
  EXPECT_EQ(b->_next_in_order, nullptr);
  EXPECT_EQ(b->_prev_in_order, nullptr);
  Test_Event* c = Make(3);
  _heap.push_node(c);
  Expect_Valid(_heap, 2);
  EXPECT_EQ(b->_left, c);
  EXPECT_EQ(Pop_Key(), 2u);
  EXPECT_EQ(Pop_Key(), 3u);
  Expect_Valid(_heap, 0);
}

TEST_F(Heap_Test, Equal_Key_Stays_Below_Its_Parent) {
  Test_Event* x = Make(5);
  Test_Event* y = Make(5);
  _heap.push_node(x);
  _heap.push_node(y);
  EXPECT_EQ(_heap._root, x);
  EXPECT_EQ(x->_left, y);
}

TEST_F(Heap_Test, Sinking_Node_Takes_Left_Path_On_Equal_Children) {
  Test_Event* root = Make(1);
  Test_Event* left = Make(3);
  Test_Event* right = Make(3);
  Test_Event* big = Make(9);  // left child of `left`, the last node
  for (Test_Event* e : {root, left, right, big}) _heap.push_node(e);
  Expect_Valid(_heap, 4);
  EXPECT_EQ(_heap.pop_root(), root);
  Expect_Valid(_heap, 3);
  EXPECT_EQ(_heap._root, left);
  EXPECT_EQ(left->_left, big);
  EXPECT_EQ(left->_right, right);
}

TEST_F(Heap_Test, Pop_Of_Lone_Last_Level_Node_Drops_The_Level) {
  for (uint64_t k = 1; k <= 8; ++k) _heap.push_node(Make(k));  // levels 1,2,4 full, 1 on level 4
  Expect_Valid(_heap, 8);
  ASSERT_EQ(_heap._num_levels, 4);
  ibh_node* first_of_level_3 = &_events[3];  // key 4 stays at position 4
  EXPECT_EQ(_heap._first_of_upper_level, first_of_level_3);
  _heap.pop_root();
  Expect_Valid(_heap, 7);
  EXPECT_EQ(_heap._num_levels, 3);
  EXPECT_EQ(_heap._first_of_last_level->_level, 3);
  EXPECT_EQ(_heap._first_of_upper_level, _heap._root->_left);
  // The freed place is filled again by the next push.
  _heap.push_node(Make(100));
  Expect_Valid(_heap, 8);
  EXPECT_EQ(_heap._num_levels, 4);
}

TEST_F(Heap_Test, Node_Held_As_Member_Is_Keyed_Through_Its_Container) {
  Intrusive_Binary_Heap<Member_Event> heap;
  Member_Event e[3];
  e[0]._key = 7;
  e[1]._key = 2;
  e[2]._key = 4;
  for (auto& m : e) heap.push_node(&m._node);
  EXPECT_EQ(heap.pop_root(), &e[1]._node);
  EXPECT_EQ(heap.pop_root(), &e[2]._node);
  EXPECT_EQ(heap.pop_root(), &e[0]._node);
  EXPECT_EQ(heap._root, nullptr);
}

// Property: under any mix of pushes and pops, the heap pops exactly what a reference
// priority queue pops, and every invariant holds after every operation. Popped nodes are
// pushed again later, so stale links of reused nodes are exercised too.
TEST_F(Heap_Test, Random_Sequences_Match_Priority_Queue) {
  for (uint32_t seed : {1u, 2u, 3u, 42u}) {
    std::mt19937 rng(seed);
    _events.clear();
    _heap = Heap{};
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<>> reference;
    std::vector<Test_Event*> spare;
    const uint64_t key_range = seed % 2 == 0 ? 8 : 1000000;  // few keys: many equal keys
    size_t count = 0;
    for (int step = 0; step < 3000; ++step) {
      bool push = reference.empty() || rng() % 100 < (step < 1500 ? 60u : 40u);
      if (push) {
        Test_Event* e = spare.empty() ? Make(0) : spare.back();
        if (!spare.empty()) spare.pop_back();
        e->_next_revision = Revision::From_Key(rng() % key_range);
        reference.push(e->_next_revision._revision);
        _heap.push_node(e);
        ++count;
      } else {
        ibh_node* n = _heap.pop_root();
        ASSERT_NE(n, nullptr);
        ASSERT_EQ(Key(n), reference.top()) << "seed " << seed << " step " << step;
        reference.pop();
        spare.push_back(static_cast<Test_Event*>(n));
        --count;
      }
      Expect_Valid(_heap, count);
      if (::testing::Test::HasFatalFailure()) FAIL() << "seed " << seed << " step " << step;
    }
    while (!reference.empty()) {
      ASSERT_EQ(Pop_Key(), reference.top());
      reference.pop();
      Expect_Valid(_heap, --count);
    }
    Expect_Valid(_heap, 0);
  }
}

}  // namespace
}  // namespace quarnel
