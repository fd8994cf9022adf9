// Event blocks: layout, the heap-driven step, parking, requests from handlers and from other
// threads. The blocks are stepped directly on the test's threads while the World is set up
// but not turning, with the clock placed by hand.
#include <quarnel/detail/Event_Block.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;
using testing::Thrown_Text;

struct Block_Test_Master {};

// A test event: every call is logged and then handed to the current script.
class Probe_Event
    : public Quarnel_Component<Block_Test_Master, TypeList<NULLTYPE, TypeList<Probe_Event, NULLTYPE>>,
                               Event_Object> {
 public:
  using Script = std::function<void(Probe_Event*, Event_Response&)>;
  int _id = 0;

  static Script& script() {
    static Script s;
    return s;
  }
  static std::vector<std::pair<int, Revision>>& calls() {
    static std::vector<std::pair<int, Revision>> log;
    return log;
  }
  static void Handle(void* event, Event_Response& response) {
    auto* probe = static_cast<Probe_Event*>(event);
    calls().emplace_back(probe->_id, World::Instance().current_revision());
    if (script()) script()(probe, response);
  }
  static Probe_Event* Make(int id, Revision revision) {
    Probe_Event* e = Allocate<Probe_Event>();
    e->_id = id;
    e->privLoad_Event(&Handle, revision, component_manager);
    return e;
  }
  void Move(Revision revision) { privReschedule(revision, component_manager); }
};

// An event type that adds nothing to Event_Object: 120 bytes, a 128-byte cell.
class Bare_Event
    : public Quarnel_Component<Block_Test_Master, TypeList<NULLTYPE, TypeList<Bare_Event, NULLTYPE>>,
                               Event_Object> {};

class Event_Block_Test : public ::testing::Test {
 protected:
  void Start(int objects_per_block, int num_iterations = 100) {
    Simulation_Configuration config = Make_Configuration(1, num_iterations, objects_per_block);
    World::Initialize_Simulation(config);
    Probe_Event::script() = nullptr;
    Probe_Event::calls().clear();
  }
  // One idle cycle at (0,0) before terminating: a run that never turns would leave its
  // activated managers in the engine's lists of new managers.
  void TearDown() override {
    Probe_Event::script() = nullptr;
    World::Instance().Update_Num_Iterations(0);
    Run_Bounded([] { World::Instance().Start_Turning("."); });
    Run_Bounded([] { World::Terminate_Simulation(); });
  }
  static Revision Step_At(Event_Block* block, Revision now) {
    World::Instance().Set_Current_Revision(now);
    Revision r = now;
    block->Step(r);
    return r;
  }
  static std::vector<int> Ids_Called() {
    std::vector<int> ids;
    for (auto& [id, at] : Probe_Event::calls()) ids.push_back(id);
    return ids;
  }
};

// The revision held by a cell, read through the fixed layout (the cell may hold no live
// object any more).
Revision Cell_Revision(const void* cell) {
  const auto* node = reinterpret_cast<const ibh_node*>(static_cast<const char*>(cell) + __event_node_offset);
  return Revision::From_Key(Event_Object::Heap_Key(node));
}

// Walks the heap's slots, checking that every node records its slot, that every slot's key
// is its event's revision, and heap order; returns the number of nodes.
size_t Heap_Size(Event_Block* block) {
  const auto& heap = block->_event_heap;
  for (uint32_t i = 0; i < heap.size(); ++i) {
    const ibh_node* node = heap.slot(i).node;
    EXPECT_EQ(node->_position, int32_t(i));
    EXPECT_EQ(heap.slot(i).key, Event_Object::Heap_Key(node));
    if (i > 0) {
      EXPECT_GE(heap.slot(i).key, heap.slot(heap.parent_of(i)).key);
    }
  }
  EXPECT_EQ(heap.capacity(), block->_num_cells);
  return heap.size();
}

TEST_F(Event_Block_Test, Cells_Start_On_The_Cache_Line_After_The_192_Byte_Header) {
  Start(100);
  EXPECT_EQ(Event_Block::_data_offset, 192u);
  EXPECT_EQ(sizeof(Bare_Event), 72u);
  Bare_Event* a = Allocate<Bare_Event>();
  Bare_Event* b = Allocate<Bare_Event>();
  Event_Block* block = a->_event_block;
  ASSERT_EQ(b->_event_block, block);
  EXPECT_EQ(reinterpret_cast<char*>(a), reinterpret_cast<char*>(block) + 192);
  EXPECT_EQ(reinterpret_cast<char*>(b), reinterpret_cast<char*>(block) + 192 + 128);
  EXPECT_EQ(block->_cell_size, 128u);
  EXPECT_EQ(block->_num_cells, 126u);  // (16384 - 192) / 128
  EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % __cache_line_size, 0u);
  EXPECT_FALSE(a->In_Heap());
  EXPECT_EQ(a->_next_revision, __revision_omega);
}

TEST_F(Event_Block_Test, Due_Events_Run_Once_Each_And_The_Block_Reports_The_Next_Key) {
  Start(16);
  Probe_Event* e1 = Probe_Event::Make(1, Revision(5, 0));
  Probe_Event::Make(2, Revision(5, 0));
  Probe_Event::Make(3, Revision(9, 0));
  Event_Block* block = e1->_event_block;
  EXPECT_EQ(block->_next_revision, Revision(5, 0));
  Probe_Event::script() = [](Probe_Event*, Event_Response& r) { r._next_revision = Revision(6, 0); };
  EXPECT_EQ(Step_At(block, Revision(5, 0)), Revision(6, 0));
  EXPECT_EQ(Ids_Called(), (std::vector<int>{1, 2}));
  EXPECT_EQ(block->_next_revision, Revision(6, 0));
  EXPECT_EQ(Heap_Size(block), 3u);

  // An answer equal to the revision being stepped runs the event again in the same step.
  Probe_Event::calls().clear();
  int again = 1;
  Probe_Event::script() = [&](Probe_Event* e, Event_Response& r) {
    r._next_revision = e->_id == 1 && again-- > 0 ? Revision(6, 0) : Revision(7, 0);
  };
  EXPECT_EQ(Step_At(block, Revision(6, 0)), Revision(7, 0));
  std::vector<int> ids = Ids_Called();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int>{1, 1, 2}));

  // A handler that writes nothing leaves its event at omega, below which it sinks.
  Probe_Event::calls().clear();
  Probe_Event::script() = nullptr;
  EXPECT_EQ(Step_At(block, Revision(7, 0)), Revision(9, 0));
  EXPECT_EQ(e1->_next_revision, __revision_omega);
  EXPECT_EQ(Probe_Event::calls().size(), 2u);
  EXPECT_EQ(Step_At(block, Revision(9, 0)), __revision_omega);
  EXPECT_EQ(Probe_Event::calls().size(), 3u);
  EXPECT_EQ(Probe_Event::calls().back().first, 3);
}

TEST_F(Event_Block_Test, Answers_In_The_Final_Iteration_Are_Parked_Later_Ones_Are_Not) {
  Start(16, /*num_iterations=*/10);
  Probe_Event* e = Probe_Event::Make(1, Revision(3, 0));
  Event_Block* block = e->_event_block;
  Probe_Event::script() = [](Probe_Event*, Event_Response& r) { r._next_revision = Revision(10, 0); };
  EXPECT_EQ(Step_At(block, Revision(3, 0)), __revision_omega);
  EXPECT_FALSE(e->In_Heap());
  EXPECT_EQ(e->_next_revision, Revision(10, 0));

  // A request taken while the block is due (pending) is still reported.
  e->Move(Revision(4, 0));
  World::Instance().Set_Current_Revision(Revision(4, 0));
  block->Update_Schedule(Revision(8, 2));
  EXPECT_EQ(Step_At(block, Revision(4, 0)), Revision(8, 2));
  EXPECT_FALSE(e->In_Heap());

  // Loading a parked event puts it back; an answer after the final iteration is kept.
  e->Move(Revision(8, 2));
  Probe_Event::script() = [](Probe_Event*, Event_Response& r) { r._next_revision = Revision(11, 0); };
  EXPECT_EQ(Step_At(block, Revision(8, 2)), Revision(11, 0));
  EXPECT_TRUE(e->In_Heap());
  EXPECT_EQ(Probe_Event::calls().size(), 3u);
}

// Property: whatever sequence of loads, re-keys, releases and reallocations happens while
// the events wait, stepping every revision in order calls each live event exactly once, at
// the revision it was last given, and never calls a released one.
TEST_F(Event_Block_Test, Rekeying_And_Releasing_Waiting_Events_Keeps_Every_Schedule) {
  Start(256);
  std::mt19937 random(7);
  std::map<int, std::pair<Probe_Event*, Revision>> live;
  int next_id = 0;
  auto random_revision = [&] { return Revision(1 + random() % 40, random() % 3); };
  for (int i = 0; i < 150; ++i) {
    Revision r = random_revision();
    live[next_id] = {Probe_Event::Make(next_id, r), r};
    ++next_id;
  }
  Event_Block* block = live.begin()->second.first->_event_block;
  for (int round = 0; round < 600; ++round) {
    auto it = std::next(live.begin(), random() % live.size());
    const int action = random() % 4;
    if (action == 0) {  // re-key in place
      Revision r = random_revision();
      it->second.first->Move(r);
      it->second.second = r;
      continue;
    }
    if (action <= 2) {  // release
      Free(it->second.first);
      live.erase(it);
    }
    if (action != 2 && live.size() < 250) {  // allocate, reusing the lowest free cell
      Revision r = random_revision();
      live[next_id] = {Probe_Event::Make(next_id, r), r};
      ASSERT_EQ(live[next_id].first->_event_block, block);
      ++next_id;
    }
  }
  ASSERT_EQ(Heap_Size(block), live.size());
  ASSERT_EQ(block->_num_allocated, live.size());

  Revision now = Load_Revision(block->_next_revision);
  while (now != __revision_omega) now = Step_At(block, now);
  std::map<int, Revision> expected;
  for (auto& [id, entry] : live) expected[id] = entry.second;
  std::map<int, Revision> seen;
  Revision previous(0, 0);
  for (auto& [id, at] : Probe_Event::calls()) {
    EXPECT_TRUE(seen.emplace(id, at).second) << "event " << id << " called twice";
    EXPECT_LE(previous, at);
    previous = at;
  }
  EXPECT_EQ(seen, expected);
}

TEST_F(Event_Block_Test, A_Handler_May_Release_Rekey_And_Replace_Events_Of_Its_Own_Block) {
  Start(16);
  Probe_Event* e1 = Probe_Event::Make(1, Revision(5, 0));
  Probe_Event* e2 = Probe_Event::Make(2, Revision(5, 0));
  Probe_Event* e3 = Probe_Event::Make(3, Revision(9, 0));
  Probe_Event* e4 = Probe_Event::Make(4, Revision(5, 0));
  Event_Block* block = e1->_event_block;
  Probe_Event* replacement = nullptr;
  Probe_Event::script() = [&](Probe_Event* e, Event_Response& r) {
    if (e->_id == 1) {
      Free(e2);                  // waiting and due: it must not run
      e3->Move(Revision(5, 0));  // re-keyed to now: runs in this step
      e4->Move(Revision(8, 0));  // ... and this one no longer does
      Free(e);                   // itself: its answer below is dropped
      replacement = Probe_Event::Make(10, Revision(5, 0));
      r._next_revision = Revision(6, 0);
      return;
    }
    if (e->_id == 3) e->Move(Revision(7, 0));  // overruled by its answer
    r._next_revision = Revision(9, 1);
  };
  EXPECT_EQ(Step_At(block, Revision(5, 0)), Revision(8, 0));
  std::vector<int> ids = Ids_Called();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<int>{1, 3, 10}));
  EXPECT_EQ(reinterpret_cast<void*>(replacement), reinterpret_cast<void*>(e1))
      << "the lowest free cell is reused";
  EXPECT_EQ(replacement->_next_revision, Revision(9, 1));
  EXPECT_EQ(e3->_next_revision, Revision(9, 1));
  EXPECT_EQ(block->_num_allocated, 3u);
  EXPECT_EQ(Heap_Size(block), 3u);
  EXPECT_EQ(static_cast<void*>(block->_first_free), static_cast<void*>(e2));
  EXPECT_EQ(Cell_Revision(e2), __revision_free);
}

// Another thread's requests for a block being stepped are deferred and applied by the
// stepping thread; the block's heap is touched by no one else meanwhile. A request after a
// deferred release is refused, as one after a release done at once is.
TEST_F(Event_Block_Test, Requests_From_Another_Thread_Wait_For_The_Stepping_Thread) {
  Start(16);
  Probe_Event* e1 = Probe_Event::Make(1, Revision(5, 0));
  Probe_Event* e2 = Probe_Event::Make(2, Revision(9, 0));
  Probe_Event* e3 = Probe_Event::Make(3, Revision(5, 1));
  Probe_Event* e4 = Probe_Event::Make(4, Revision(5, 0));
  Probe_Event* e5 = Probe_Event::Make(5, Revision(8, 0));
  Event_Block* block = e1->_event_block;
  std::promise<void> go;
  std::promise<bool> deferred;
  std::string refused;
  ::testing::internal::CaptureStderr();
  std::thread other([&] {
    __thread_id = 1;
    if (go.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) return;
    e2->Move(Revision(5, 0));                                  // to now
    Free(e4);                                                  // due, not yet run
    refused = Thrown_Text([&] { e4->Move(Revision(6, 0)); });  // after its (deferred) release
    e5->Move(Revision(7, 0));
    e5->Move(Revision(6, 5));  // the later request wins
    e1->Move(Revision(8, 0));  // its handler is running: applied after its answer
    Spin_Guard guard(block->_heap_lock);
    deferred.set_value(block->_deferred_head != nullptr && e2->_next_revision == Revision(9, 0) &&
                       e4->In_Heap() && block->_num_allocated == 5);
  });
  bool was_deferred = false;
  Probe_Event::script() = [&](Probe_Event* e, Event_Response& r) {
    r._next_revision = Revision(6, 0);
    if (e->_id != 1) return;
    go.set_value();
    auto f = deferred.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    was_deferred = f.get();
  };
  Revision r = __revision_omega;
  std::thread stepper([&] {
    __thread_id = 0;
    r = Step_At(block, Revision(5, 0));
  });
  stepper.join();
  other.join();
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(was_deferred);
  EXPECT_EQ(
      refused,
      "An exception occurred, check your logs: An event of quarnel::(anonymous namespace)::Probe_Event was "
      "scheduled after its release");
  EXPECT_EQ(Ids_Called(), (std::vector<int>{1, 2}));  // e4 released before it came up
  EXPECT_EQ(e1->_next_revision, Revision(8, 0));
  EXPECT_EQ(e5->_next_revision, Revision(6, 5));
  EXPECT_EQ(r, Revision(5, 1));
  EXPECT_EQ(block->_stepping_thread.load(), -1);
  EXPECT_EQ(block->_deferred_head, nullptr);
  EXPECT_EQ(block->_num_allocated, 4u);
  EXPECT_EQ(Heap_Size(block), 4u);
  EXPECT_EQ(e3->_next_revision, Revision(5, 1));
}

TEST_F(Event_Block_Test, A_Handler_Answering_Before_Now_Or_An_Event_Without_Handler_Is_Fatal) {
  Start(16);
  Probe_Event* e1 = Probe_Event::Make(1, Revision(5, 0));
  Probe_Event* e2 = Probe_Event::Make(2, Revision(6, 0));
  Event_Block* block = e1->_event_block;
  Probe_Event::script() = [](Probe_Event*, Event_Response& r) { r._next_revision = Revision(4, 9); };
  EXPECT_EQ(Thrown_Text([&] { Step_At(block, Revision(5, 0)); }),
            "An exception occurred, check your logs: An event handler answered Rev(4,9), before the revision "
            "being stepped Rev(5,0)");
  EXPECT_EQ(block->_stepping_thread.load(), -1);
  EXPECT_TRUE(e2->In_Heap());

  Bare_Event* bare = Allocate<Bare_Event>();
  bare->privReschedule(Revision(7, 0), Bare_Event::component_manager);
  std::string text = Thrown_Text([&] { Step_At(bare->_event_block, Revision(7, 0)); });
  EXPECT_NE(text.find("came due without a handler"), std::string::npos) << text;
  EXPECT_NE(Thrown_Text([&] {
              bare->privLoad_Event(nullptr, Revision(8, 0), Bare_Event::component_manager);
            }).find("was loaded without a handler"),
            std::string::npos);
}

}  // namespace
}  // namespace quarnel
