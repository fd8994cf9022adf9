// The event component manager: block sizing with the event header, registration and
// activation, the queues while the manager is due, clean-up, termination, and the rules for
// requests made during a run.
#include <quarnel/Event_Component_Manager.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;
using testing::Thrown_Text;

struct Manager_Test_Master {};

// An event type per Tag; every call is logged (under a mutex) and handed to the script.
template <int Tag>
class Scripted
    : public Quarnel_Component<Manager_Test_Master, TypeList<NULLTYPE, TypeList<Scripted<Tag>, NULLTYPE>>,
                               Event_Object> {
 public:
  using Script = std::function<void(Scripted*, Event_Response&)>;
  int _id = 0;

  static inline Script script;
  static inline std::mutex calls_mutex;
  static inline std::vector<std::pair<int, Revision>> calls;

  static void Handle(void* event, Event_Response& response) {
    auto* e = static_cast<Scripted*>(event);
    {
      std::lock_guard lock(calls_mutex);
      calls.emplace_back(e->_id, World::Instance().current_revision());
    }
    if (script) script(e, response);
  }
  static Scripted* Make(int id, Revision revision) {
    Scripted* e = Allocate<Scripted>();
    e->_id = id;
    e->privLoad_Event(&Handle, revision, Scripted::component_manager);
    return e;
  }
  static auto* manager() { return Scripted::component_manager; }
  static void Reset() {
    script = nullptr;
    calls.clear();
  }
};

using Event_A = Scripted<1>;
using Event_B = Scripted<2>;

Simulation_Configuration Configuration(int threads, int iterations, int objects_per_block) {
  return Make_Configuration(threads, iterations, objects_per_block);
}

void Turn() {
  Run_Bounded([] { World::Instance().Start_Turning("."); }, std::chrono::seconds(60));
}

// Ends a run that was set up but should not step anything: one cycle at (0,0), then stop.
// (A run that never turns would leave its activated managers in the engine's new lists.)
void Turn_Idle_And_Terminate() {
  World::Instance().Update_Num_Iterations(0);
  Turn();
  Run_Bounded([] { World::Terminate_Simulation(); });
}

bool Contains(const std::deque<Event_Block*>& blocks, const Event_Block* block) {
  return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

TEST(Event_Manager_Test, Blocks_Are_Sized_With_The_192_Byte_Event_Header) {
  struct Example {
    uint32_t objects, object_size, bytes, cells;
  };
  for (Example x : {Example{100, 128, 16384, 126}, Example{10, 64, 1024, 13}, Example{1, 100, 320, 1},
                    Example{2, 1952, 8192, 4}}) {
    Block_Shape shape = Block_Size(x.objects, x.object_size, Event_Block::_data_offset);
    EXPECT_EQ(shape.bytes, x.bytes) << x.objects << " x " << x.object_size;
    EXPECT_EQ(shape.cells, x.cells) << x.objects << " x " << x.object_size;
  }
  // Through a manager: 10 events of a 128-byte stride need 1472 bytes, so 2048 and 14 cells.
  Simulation_Configuration config = Configuration(1, 10, 10);
  World::Initialize_Simulation(config);
  EXPECT_EQ(Event_A::manager()->_object_size, Cell_Stride(sizeof(Event_A)));
  Event_A* e = Allocate<Event_A>();
  EXPECT_EQ(e->_event_block->_num_cells,
            (Block_Size(10, Cell_Stride(sizeof(Event_A)), 192).bytes - 192) / Cell_Stride(sizeof(Event_A)));
  Turn_Idle_And_Terminate();
}

TEST(Event_Manager_Test, Event_Types_Register_An_Event_Manager_That_Activates_At_Its_First_Block) {
  auto* manager = Event_A::manager();
  ASSERT_NE(dynamic_cast<Event_Component_Manager<Event_A>*>(manager), nullptr);
  EXPECT_EQ(manager->Component_Manager_Type(), 1);
  EXPECT_EQ((*__all_components)[Event_A::component_id], manager);
  EXPECT_EQ(manager->_component_id, Event_A::component_id);

  for (int run = 0; run < 2; ++run) {
    Simulation_Configuration config = Configuration(2, 10, 100);
    World::Initialize_Simulation(config);
    const int t = 2;  // the controlling thread
    EXPECT_FALSE(manager->_activated.load());
    EXPECT_EQ(World::simulation_engine().new_event_types().size(), 0u);
    Event_A* first = Allocate<Event_A>();
    Event_A* second = Allocate<Event_A>();
    EXPECT_TRUE(manager->_activated.load());
    EXPECT_EQ(World::simulation_engine().new_event_types().size(), 1u);
    ASSERT_EQ(manager->_thread_blocks[t].size(), 1u);
    Event_Block* block = manager->_thread_blocks[t].front();
    EXPECT_EQ(first->_event_block, block);
    EXPECT_EQ(second->_event_block, block);
    EXPECT_TRUE(block->_active);
    EXPECT_EQ(manager->_active_blocks.size(), 1u);
    EXPECT_EQ(manager->_empty_blocks[t].load(), 0u);
    EXPECT_EQ(block->_owner_thread.load(), t);
    // Releasing both during set-up empties and deactivates the block at once.
    Free(second);
    Free(first);
    EXPECT_FALSE(block->_active);
    EXPECT_EQ(manager->_active_blocks.size(), 0u);
    EXPECT_EQ(manager->_empty_blocks[t].load(), 1u);
    Turn_Idle_And_Terminate();
    EXPECT_EQ(World::simulation_engine().event_types().size(), 0u);
    EXPECT_FALSE(manager->_thread_blocks);
  }
}

// With 4 cells per block (192-byte cells, 1024-byte blocks) and one worker: a block that gets
// its first event while the manager is due waits in the activation queue until Update; one
// that empties and refills within the due revision leaves the deactivation queue again.
TEST(Event_Manager_Test, Blocks_Join_And_Leave_Through_The_Queues_While_The_Manager_Is_Due) {
  Simulation_Configuration config = Configuration(1, 10, 4);
  World::Initialize_Simulation(config);
  Event_A::Reset();
  auto* manager = Event_A::manager();
  Event_A* trigger = Event_A::Make(0, Revision(1, 0));
  std::vector<Event_A*> made;
  Event_Block* fresh = nullptr;
  bool queued = false, emptied_leaves = false, refilled_stays = false;
  Event_A::script = [&](Event_A* e, Event_Response& r) {
    if (e != trigger) {
      if (World::Instance().iteration() < 5) r._next_revision = Revision(5, 0);
      return;
    }
    Spin_Lock& lock = manager->_schedule_lock;
    if (World::Instance().iteration() == 1) {
      ASSERT_EQ(fresh, nullptr) << "the trigger runs once at (1,0)";
      for (int i = 1; i <= 4; ++i) made.push_back(Event_A::Make(i, Revision(1, i == 1 ? 0 : 1)));
      fresh = made[0]->_event_block;
      Spin_Guard guard(lock);
      queued = fresh->_in_activation_queue && !fresh->_active && !Contains(manager->_active_blocks, fresh);
      r._next_revision = Revision(2, 0);
      return;
    }
    for (Event_A* m : made) Free(m);  // `fresh` empties: queued to leave
    {
      Spin_Guard guard(lock);
      Spin_Guard block_guard(fresh->_schedule_lock);
      emptied_leaves = fresh->_in_deactivation_queue && fresh->_active && fresh->_num_allocated == 0 &&
                       fresh->_next_revision == __revision_omega &&
                       fresh->_pending_revision == __revision_omega;
    }
    Event_A* again = Event_A::Make(9, Revision(3, 0));
    Spin_Guard guard(lock);
    refilled_stays = again->_event_block == fresh && fresh->_active && !fresh->_in_deactivation_queue &&
                     manager->_deactivation_queue.empty();
  };
  Turn();
  EXPECT_TRUE(queued);
  EXPECT_TRUE(emptied_leaves);
  EXPECT_TRUE(refilled_stays);
  // (1,0): trigger, then event 1 in an extra cycle (its block joined at Update); (1,1): 2..4;
  // (2,0): the trigger releases 1..4 and makes 9; (3,0) and (5,0): 9.
  std::vector<std::pair<int, Revision>> expected{
      {0, Revision(1, 0)}, {1, Revision(1, 0)}, {2, Revision(1, 1)}, {3, Revision(1, 1)},
      {4, Revision(1, 1)}, {0, Revision(2, 0)}, {9, Revision(3, 0)}, {9, Revision(5, 0)}};
  auto calls = Event_A::calls;
  std::sort(calls.begin(), calls.end(),
            [](auto& a, auto& b) { return a.second != b.second ? a.second < b.second : a.first < b.first; });
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(manager->_activation_queue.size(), 0u);
  EXPECT_TRUE(fresh->_active);
  Run_Bounded([] { World::Terminate_Simulation(); });
}

// max_free_blocks 10, num_free_blocks_buffer 5, one cell per block: a worker holding 10 empty
// blocks keeps them all, one holding 11 releases 6. The controlling thread's list is never
// cleaned.
TEST(Event_Manager_Test, Clean_Up_Brings_A_Worker_Down_To_The_Buffer_Above_The_Maximum) {
  for (int empties : {10, 11}) {
    Simulation_Configuration config = Configuration(1, 4, 1);
    World::Initialize_Simulation(config);
    Event_A::Reset();
    auto* manager = Event_A::manager();
    std::vector<Event_A*> setup;
    for (int i = 0; i < 12; ++i) setup.push_back(Allocate<Event_A>());
    Event_A* trigger = Event_A::Make(0, Revision(1, 0));
    for (Event_A* e : setup) Free(e);
    Event_A::script = [&](Event_A* e, Event_Response& r) {
      if (e != trigger || World::Instance().iteration() != 1) return;
      std::vector<Event_A*> made;
      for (int i = 0; i < empties; ++i) made.push_back(Allocate<Event_A>());
      for (Event_A* m : made) Free(m);
      r._next_revision = Revision(2, 0);  // the next step cleans up the now inactive blocks
    };
    Turn();
    EXPECT_EQ(manager->_thread_blocks[0].size(), empties == 10 ? 10u : 5u);
    EXPECT_EQ(manager->_empty_blocks[0].load(), empties == 10 ? 10u : 5u);
    EXPECT_EQ(manager->_thread_blocks[1].size(), 12u);
    EXPECT_EQ(manager->_empty_blocks[1].load(), 12u);
    Run_Bounded([] { World::Terminate_Simulation(); });
  }
}

TEST(Event_Manager_Test, A_Due_Manager_Whose_Events_Were_All_Released_Still_Finishes_Its_Step) {
  for (int threads : {1, 2}) {
    Simulation_Configuration config = Configuration(threads, 50, 8);
    World::Initialize_Simulation(config);
    Event_A::Reset();
    Event_B::Reset();
    Event_B* victim = Event_B::Make(1, Revision(3, 0));
    Event_A::Make(0, Revision(1, 0));
    Event_A::script = [&](Event_A*, Event_Response&) { Free(victim); };
    Turn();  // the B manager is due at (3,0) with no active block; the run must still end
    EXPECT_TRUE(Event_B::calls.empty());
    EXPECT_EQ(World::Instance().current_revision(), __revision_omega);
    EXPECT_EQ(Event_B::manager()->_next_revision, __revision_omega);
    EXPECT_EQ(Event_B::manager()->_threads_finished.load(), 0);
    Run_Bounded([] { World::Terminate_Simulation(); });
  }
}

TEST(Event_Manager_Test, Requests_Before_Now_Or_At_Now_For_An_Idle_Manager_Are_Refused) {
  Simulation_Configuration config = Configuration(1, 10, 8);
  World::Initialize_Simulation(config);
  Event_A::Reset();
  Event_B::Reset();
  Event_B* b = Allocate<Event_B>();
  Event_A::Make(0, Revision(2, 0));
  std::string before, idle;
  Event_A::script = [&](Event_A* e, Event_Response&) {
    if (e->_id != 0) return;
    before = Thrown_Text([&] { b->privLoad_Event(&Event_B::Handle, Revision(1, 5), Event_B::manager()); });
    idle = Thrown_Text([&] { b->privLoad_Event(&Event_B::Handle, Revision(2, 0), Event_B::manager()); });
    Event_A::Make(1, Revision(2, 0));  // its own manager is due: accepted
  };
  Turn();
  const std::string name = Event_A::manager()->_display_name;
  EXPECT_EQ(before, "An exception occurred, check your logs: An event of " +
                        Event_B::manager()->_display_name +
                        " was scheduled at Rev(1,5), before the revision being stepped Rev(2,0)");
  EXPECT_EQ(idle, "An exception occurred, check your logs: An event of " + Event_B::manager()->_display_name +
                      " was scheduled at the revision being stepped Rev(2,0) while its manager is not due in "
                      "it; schedule it at a later revision");
  EXPECT_TRUE(Event_B::calls.empty());
  EXPECT_FALSE(b->In_Heap());
  EXPECT_EQ(Event_A::calls,
            (std::vector<std::pair<int, Revision>>{{0, Revision(2, 0)}, {1, Revision(2, 0)}}));
  Run_Bounded([] { World::Terminate_Simulation(); });
}

TEST(Event_Manager_Test, Terminate_Releases_Everything_And_Reports_Queued_Blocks) {
  Simulation_Configuration config = Configuration(1, 10, 8);
  World::Initialize_Simulation(config);
  auto* manager = Event_A::manager();
  Event_A::Make(0, Revision(7, 0));
  World::Instance().Update_Num_Iterations(0);
  Turn();
  ASSERT_EQ(manager->_active_blocks.size(), 1u);
  Event_Block* block = manager->_active_blocks.front();
  manager->_deactivation_queue.push_back(block);  // as if the run had stopped inside a due revision
  block->_in_deactivation_queue = true;
  std::string text = Thrown_Text([] { Run_Bounded([] { World::Terminate_Simulation(); }); });
  EXPECT_EQ(
      text,
      "An exception occurred, check your logs: Event_Component_Manager_Base::Terminate: There are still "
      "blocks in the activation or deactivation queues. This indicates that some blocks were not properly "
      "deactivated before termination.");
  EXPECT_FALSE(manager->_thread_blocks);
  EXPECT_TRUE(manager->_active_blocks.empty());
  EXPECT_TRUE(manager->_deactivation_queue.empty());
  // The other registered managers were skipped by the failed termination; terminate them now.
  for (auto& [id, m] : *__all_components) {
    if (m != manager) m->Terminate();
  }
}

}  // namespace
}  // namespace quarnel
