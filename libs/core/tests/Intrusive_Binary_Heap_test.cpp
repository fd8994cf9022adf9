#include <quarnel/detail/Intrusive_Binary_Heap.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Thrown_Text;

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

void Set_Key(Test_Event* e, uint64_t key) {
  e->_next_revision = Revision::From_Key(key);
}

// Checks invariants 1 to 4 of the heap's header for a heap that must hold exactly the
// events of `in_heap`; every other event of `all` must record that it is in no heap.
void Expect_Valid(const Heap& h, const std::set<const Test_Event*>& in_heap,
                  const std::deque<Test_Event>& all) {
  ASSERT_EQ(h.size(), in_heap.size());
  ASSERT_LE(h.size(), h.capacity());
  EXPECT_EQ(h.empty(), in_heap.empty());
  std::set<const ibh_node*> seen;
  for (uint32_t i = 0; i < h.size(); ++i) {
    const ibh_node* n = h.slot(i).node;
    ASSERT_TRUE(in_heap.count(static_cast<const Test_Event*>(n))) << "slot " << i << " holds a stranger";
    ASSERT_TRUE(seen.insert(n).second) << "slot " << i << " holds a node twice";
    ASSERT_EQ(n->_position, int32_t(i)) << "the node in slot " << i << " records another slot";
    ASSERT_EQ(h.slot(i).key, Key(n)) << "slot " << i << " caches a stale key";
    if (i > 0) {
      ASSERT_GE(h.slot(i).key, h.slot(Heap::parent_of(i)).key) << "heap order at slot " << i;
    }
  }
  for (const Test_Event& e : all) {
    if (!in_heap.count(&e)) {
      ASSERT_EQ(e._position, -1) << "event " << e._id << " is out of the heap";
    }
  }
}

class Heap_Test : public ::testing::Test {
 protected:
  Test_Event* Make(uint64_t key) {
    _events.emplace_back();
    Set_Key(&_events.back(), key);
    _events.back()._id = int(_events.size()) - 1;
    return &_events.back();
  }
  void Push(Test_Event* e) {
    _heap.push_node(e);
    _in_heap.insert(e);
  }
  Test_Event* Pop() {
    auto* e = static_cast<Test_Event*>(_heap.pop_root());
    EXPECT_NE(e, nullptr);
    _in_heap.erase(e);
    return e;
  }
  void Remove(Test_Event* e) {
    _heap.remove_node(e);
    _in_heap.erase(e);
  }
  void Check() { Expect_Valid(_heap, _in_heap, _events); }

  std::deque<Test_Event> _events;  // stable addresses
  std::set<const Test_Event*> _in_heap;
  Heap _heap{64};
};

TEST_F(Heap_Test, Pops_In_Key_Order_And_Ends_Empty) {
  for (uint64_t k : {5, 3, 8, 1}) {
    Push(Make(k));
    Check();
  }
  EXPECT_EQ(_heap.root_key(), 1u);
  EXPECT_EQ(Key(_heap.root()), 1u);
  for (uint64_t k : {1, 3, 5, 8}) {
    EXPECT_EQ(Key(Pop()), k);
    Check();
  }
  EXPECT_EQ(_heap.pop_root(), nullptr) << "popping an empty heap yields nothing";
  EXPECT_EQ(_heap.capacity(), 64u) << "the storage stays for the next pushes";
}

TEST_F(Heap_Test, A_Popped_Node_Is_Detached_And_Can_Be_Pushed_Again) {
  Test_Event* a = Make(1);
  Test_Event* b = Make(2);
  Push(a);
  Check();
  EXPECT_EQ(a->_position, 0);
  Push(b);
  Check();
  EXPECT_EQ(Pop(), a);
  EXPECT_EQ(a->_position, -1);
  Check();
  EXPECT_EQ(_heap.root(), b);
  Test_Event* c = Make(3);
  Push(c);
  EXPECT_EQ(c->_position, 1);
  Set_Key(a, 4);
  Push(a);
  Check();
  EXPECT_EQ(Key(Pop()), 2u);
  EXPECT_EQ(Key(Pop()), 3u);
  EXPECT_EQ(Key(Pop()), 4u);
  Check();
}

TEST_F(Heap_Test, Equal_Key_Stays_Below_Its_Parent) {
  Test_Event* x = Make(5);
  Test_Event* y = Make(5);
  Push(x);
  Push(y);
  EXPECT_EQ(_heap.root(), x);
  EXPECT_EQ(y->_position, 1);
  Check();
}

TEST_F(Heap_Test, Sinking_Node_Takes_The_First_Of_Equal_Children) {
  Test_Event* root = Make(1);
  std::vector<Test_Event*> children;
  Push(root);
  for (int i = 0; i < 4; ++i) {
    children.push_back(Make(3));
    Push(children.back());
  }
  Test_Event* big = Make(9);  // slot 5, the first child of slot 1 and the last slot
  Push(big);
  Check();
  ASSERT_EQ(big->_position, 5);
  EXPECT_EQ(Pop(), root);
  Check();
  EXPECT_EQ(_heap.root(), children[0]);
  EXPECT_EQ(big->_position, 1);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(children[i]->_position, i + 1);
}

TEST_F(Heap_Test, A_Pop_That_Empties_The_Deepest_Level_Refills_It_On_The_Next_Push) {
  for (uint64_t k = 1; k <= 6; ++k) Push(Make(k));  // slots 0; 1-4; 5 alone on the third level
  Check();
  Test_Event* deepest = static_cast<Test_Event*>(_heap.slot(5).node);
  EXPECT_EQ(Key(deepest), 6u);
  EXPECT_EQ(Key(Pop()), 1u);
  Check();
  EXPECT_EQ(_heap.size(), 5u);
  for (uint32_t i = 0; i < 5; ++i) EXPECT_LT(_heap.slot(i).node->_position, 5) << "no slot past the last";
  Test_Event* fresh = Make(100);
  Push(fresh);
  Check();
  EXPECT_EQ(fresh->_position, 5);
}

TEST_F(Heap_Test, Node_Held_As_Member_Is_Keyed_Through_Its_Container) {
  Intrusive_Binary_Heap<Member_Event> heap(3);
  Member_Event e[3];
  e[0]._key = 7;
  e[1]._key = 2;
  e[2]._key = 4;
  for (auto& m : e) heap.push_node(&m._node);
  EXPECT_EQ(heap.root_key(), 2u);
  e[0]._key = 1;
  heap.rekey_node(&e[0]._node);
  EXPECT_EQ(heap.pop_root(), &e[0]._node);
  EXPECT_EQ(heap.pop_root(), &e[1]._node);
  EXPECT_EQ(heap.pop_root(), &e[2]._node);
  EXPECT_TRUE(heap.empty());
}

// Removal fills the hole with the last element, which must climb when it comes from another
// subtree with a smaller key and sink when it is larger than the hole's children.
TEST_F(Heap_Test, Removal_Of_Any_Node_Moves_The_Last_One_Up_Or_Down) {
  // Slot 0: 0; slots 1-4: 10, 1, 1, 1; slots 5-8 (under 10): 20 x4; slots 9-12 (under 1): 2 x4.
  std::vector<Test_Event*> at;
  for (uint64_t k : {0, 10, 1, 1, 1, 20, 20, 20, 20, 2, 2, 2, 2}) {
    at.push_back(Make(k));
    Push(at.back());
  }
  Check();
  for (size_t i = 0; i < at.size(); ++i) ASSERT_EQ(at[i]->_position, int32_t(i));

  Remove(at[5]);  // the last (2, slot 12) lands under 10 and climbs above it
  Check();
  EXPECT_EQ(at[5]->_position, -1);
  EXPECT_EQ(at[12]->_position, 1);
  EXPECT_EQ(at[1]->_position, 5);

  Remove(at[0]);  // the root: the last (2, slot 11) sinks one level, below the first 1
  Check();
  EXPECT_EQ(_heap.root(), at[2]);
  EXPECT_EQ(at[11]->_position, 2);

  Remove(at[9]);  // a leaf in the middle of the last level: the last (slot 10) takes its slot
  Check();
  EXPECT_EQ(at[10]->_position, 9);
  Remove(at[10]);  // the last slot itself: nothing else moves
  Check();
  EXPECT_EQ(at[11]->_position, 2);

  std::vector<uint64_t> keys;
  while (!_heap.empty()) keys.push_back(Key(Pop()));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(keys.size(), 9u);
  Check();
}

TEST_F(Heap_Test, Rekeying_Moves_A_Node_Up_Down_Or_Nowhere) {
  std::vector<Test_Event*> e;
  for (uint64_t k = 10; k < 30; ++k) {
    e.push_back(Make(k));
    Push(e.back());
  }
  Check();
  Test_Event* deep = static_cast<Test_Event*>(_heap.slot(_heap.size() - 1).node);
  Set_Key(deep, 1);  // below the root
  _heap.rekey_node(deep);
  Check();
  EXPECT_EQ(_heap.root(), deep);

  Set_Key(deep, 100);  // above every other key: it sinks to a leaf
  _heap.rekey_node(deep);
  Check();
  EXPECT_GT(uint32_t(deep->_position), 4u) << "a leaf of this heap lies past slot 4";

  Test_Event* middle = static_cast<Test_Event*>(_heap.slot(2).node);
  const int32_t before = middle->_position;
  _heap.rekey_node(middle);  // unchanged key: it stays
  EXPECT_EQ(middle->_position, before);
  Check();

  std::vector<uint64_t> keys;
  while (!_heap.empty()) keys.push_back(Key(Pop()));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  EXPECT_EQ(keys.back(), 100u);
}

TEST_F(Heap_Test, Misuse_Is_A_Fatal_Error) {
  Heap small(2);
  Test_Event* a = Make(1);
  Test_Event* b = Make(2);
  Test_Event* c = Make(3);
  small.push_node(a);
  EXPECT_EQ(
      Thrown_Text([&] { small.push_node(a); }),
      "An exception occurred, check your logs: Intrusive_Binary_Heap::push_node: the node is already in "
      "a heap (at position 0)");
  EXPECT_EQ(
      Thrown_Text([&] { _heap.push_node(a); }),
      "An exception occurred, check your logs: Intrusive_Binary_Heap::push_node: the node is already in "
      "a heap (at position 0)");
  small.push_node(b);
  EXPECT_EQ(c->_position, -1);
  EXPECT_EQ(Thrown_Text([&] { small.remove_node(c); }),
            "An exception occurred, check your logs: Intrusive_Binary_Heap::remove_node: the node is not in "
            "this heap (position -1, size 2)");
  Push(c);  // slot 0 of the fixture's heap, where `a` stands in `small`
  EXPECT_EQ(Thrown_Text([&] { small.rekey_node(c); }),
            "An exception occurred, check your logs: Intrusive_Binary_Heap::rekey_node: the node is not in "
            "this heap (position 0, size 2)");
  EXPECT_EQ(Thrown_Text([&] { small.Reserve(Heap::kMax_Capacity + 1); }),
            "An exception occurred, check your logs: Intrusive_Binary_Heap::Reserve: a heap holds at most "
            "2147483643 elements (asked for 2147483644, capacity 2)");
  // Nothing was changed by the refused operations.
  EXPECT_EQ(small.size(), 2u);
  EXPECT_EQ(small.capacity(), 2u);
  EXPECT_EQ(small.root(), a);
  EXPECT_EQ(b->_position, 1);
  EXPECT_EQ(small.pop_root(), a);
  EXPECT_EQ(small.pop_root(), b);
  Check();
}

// The heap itself has no capacity: a default-constructed heap takes any number of nodes,
// here 257 (past the first growth and several doublings), pops them in key order with
// duplicates, and re-keys them while they are in it.
TEST_F(Heap_Test, A_Default_Heap_Takes_Any_Number_Of_Nodes) {
  Heap heap;
  EXPECT_EQ(heap.capacity(), 0u);
  std::vector<Test_Event*> nodes;
  for (int i = 0; i < 257; ++i) {
    nodes.push_back(Make(uint64_t((i * 37) % 50)));  // every key 0..49 several times
    heap.push_node(nodes.back());
    _in_heap.insert(nodes.back());
    Expect_Valid(heap, _in_heap, _events);
    if (::testing::Test::HasFatalFailure()) FAIL() << "after push " << i;
  }
  EXPECT_EQ(heap.size(), 257u);
  EXPECT_GE(heap.capacity(), 257u);
  // Re-key every third node: some climb to the root, some sink to the leaves.
  for (size_t i = 0; i < nodes.size(); i += 3) {
    Set_Key(nodes[i], i % 2 == 0 ? 100 + i : i / 10);
    heap.rekey_node(nodes[i]);
  }
  Expect_Valid(heap, _in_heap, _events);
  std::multiset<uint64_t> expected;
  for (const Test_Event* e : nodes) expected.insert(Key(e));
  std::vector<uint64_t> popped;
  while (!heap.empty()) {
    auto* e = static_cast<Test_Event*>(heap.pop_root());
    _in_heap.erase(e);
    popped.push_back(Key(e));
  }
  EXPECT_EQ(popped, std::vector<uint64_t>(expected.begin(), expected.end()));
  Expect_Valid(heap, _in_heap, _events);
  // The room stays: the nodes go in again without the storage moving.
  const uint32_t room = heap.capacity();
  for (Test_Event* e : nodes) heap.push_node(e);
  EXPECT_EQ(heap.capacity(), room);
}

// A heap with reserved room keeps it: pushes up to that size never move its storage (an
// event block reserves its cell count, so stepping never allocates). Past it, the heap
// grows and every node keeps its slot.
TEST_F(Heap_Test, Reserved_Room_Is_Kept_And_A_Full_Heap_Grows_In_Place_Of_Refusing) {
  const Heap::Slot* storage = &_heap.slot(0);
  for (int i = 0; i < 64; ++i) Push(Make(uint64_t(64 - i)));
  Check();
  EXPECT_EQ(_heap.capacity(), 64u);
  EXPECT_EQ(&_heap.slot(0), storage) << "pushes within the reserved room allocate nothing";
  std::vector<const ibh_node*> before;
  for (uint32_t i = 0; i < _heap.size(); ++i) before.push_back(_heap.slot(i).node);
  Push(Make(1000));  // the 65th: the heap grows
  Check();
  EXPECT_EQ(_heap.capacity(), 128u);
  for (uint32_t i = 0; i < before.size(); ++i) EXPECT_EQ(_heap.slot(i).node, before[i]) << "slot " << i;
  _heap.Reserve(100);  // less than it has: nothing changes
  EXPECT_EQ(_heap.capacity(), 128u);
  _heap.Reserve(300);
  EXPECT_EQ(_heap.capacity(), 300u);
  Check();
  uint64_t last = 0;
  while (!_heap.empty()) {
    const uint64_t key = Key(Pop());
    EXPECT_GE(key, last);
    last = key;
  }
  Heap small(2);
  Test_Event* a = Make(3);
  Test_Event* b = Make(2);
  Test_Event* c = Make(1);
  for (Test_Event* e : {a, b, c}) small.push_node(e);
  EXPECT_EQ(small.capacity(), Heap::kFirst_Room);
  EXPECT_EQ(small.pop_root(), c);
  EXPECT_EQ(small.pop_root(), b);
  EXPECT_EQ(small.pop_root(), a);
}

TEST_F(Heap_Test, A_Moved_Heap_Keeps_Its_Nodes_And_Leaves_An_Empty_One) {
  for (uint64_t k : {4, 2, 9}) Push(Make(k));
  Heap moved(std::move(_heap));
  EXPECT_EQ(moved.size(), 3u);
  EXPECT_EQ(moved.capacity(), 64u);
  EXPECT_EQ(_heap.size(), 0u);
  EXPECT_EQ(_heap.capacity(), 0u);
  _heap = std::move(moved);
  Check();
  EXPECT_EQ(Key(Pop()), 2u);
}

// Property: under any mix of pushes, pops, removals and re-keys, the heap pops exactly what a
// reference multiset holds at its smallest, and every invariant holds after every operation.
// Popped and removed nodes are pushed again later, so reused nodes are exercised too.
TEST_F(Heap_Test, Random_Sequences_Match_A_Reference_Multiset) {
  for (uint32_t seed : {1u, 2u, 3u, 42u}) {
    std::mt19937 rng(seed);
    _events.clear();
    _in_heap.clear();
    // Odd seeds on a heap with room for 400, even ones on a default heap that grows.
    _heap = seed % 2 == 1 ? Heap(400) : Heap();
    const uint32_t limit = seed % 2 == 1 ? 400 : 100000;
    std::multiset<uint64_t> reference;
    std::vector<Test_Event*> spare;
    const uint64_t key_range = seed % 2 == 0 ? 8 : 1000000;  // few keys: many equal keys
    for (int step = 0; step < 3000; ++step) {
      const uint32_t roll = rng() % 100;
      const bool grow = step < 1500;
      if (reference.empty() || (roll < (grow ? 55u : 35u) && _heap.size() < limit)) {
        Test_Event* e = spare.empty() ? Make(0) : spare.back();
        if (!spare.empty()) spare.pop_back();
        Set_Key(e, rng() % key_range);
        reference.insert(Key(e));
        Push(e);
      } else if (roll < 70) {
        Test_Event* e = Pop();
        ASSERT_EQ(Key(e), *reference.begin()) << "seed " << seed << " step " << step;
        reference.erase(reference.begin());
        spare.push_back(e);
      } else {
        auto* e = static_cast<Test_Event*>(_heap.slot(rng() % _heap.size()).node);
        reference.erase(reference.find(Key(e)));
        if (roll < 85) {
          Remove(e);
          spare.push_back(e);
        } else {
          Set_Key(e, rng() % key_range);
          reference.insert(Key(e));
          _heap.rekey_node(e);
        }
      }
      Check();
      if (::testing::Test::HasFatalFailure()) FAIL() << "seed " << seed << " step " << step;
    }
    for (uint64_t key : reference) ASSERT_EQ(Key(Pop()), key);
    Check();
  }
}

}  // namespace
}  // namespace quarnel
