// The execution component manager and the block sets it shares with the event side: the
// chunk-claim walk, the activation and deactivation queues, clean-up, termination, names,
// cell sizes and the diagnostics record.
#include <quarnel/Execution_Component_Manager.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Execution_Run.h"
#include "Test_Support.h"

struct MasterType_Test {};

// Named and shaped like the population application's agent (48 bytes, no fields of its own).
template <class MasterType, class ParentType = quarnel::TypeList<quarnel::NULLTYPE, quarnel::NULLTYPE>,
          class InheritanceList = void>
class Agent_Implementation
    : public quarnel::Quarnel_Component<
          MasterType,
          quarnel::TypeList<quarnel::NULLTYPE,
                            quarnel::TypeList<Agent_Implementation<MasterType>, quarnel::NULLTYPE>>,
          quarnel::Execution_Object> {};

namespace quarnel {
namespace {

using testing::Thrown_Text;

// ---------------------------------------------------------------------------------------
// Block_Pool on its own, with a block that only counts.

struct Fake_Block
    : boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::normal_link>> {
  bool _active = false;
  bool _in_activation_queue = false;
  bool _in_deactivation_queue = false;
  std::atomic<int32_t> _claim_count{0};
  Revision _next_revision = __revision_omega;
  uint32_t _num_allocated = 0;
  Spin_Lock _free_lock;
  std::atomic<int> _steps{0};
  Revision _answer = __revision_omega;

  void Step(Revision& revision) {
    ++_steps;
    Store_Revision(_next_revision, _answer);
    revision = _answer;
  }
  static inline std::atomic<int> __released{0};
  static void Release(Fake_Block* block) {
    ++__released;
    delete block;
  }
};

using Fake_Pool = Block_Pool<Fake_Block>;

// Property: whatever the number of threads and the chunk size, every due block is stepped
// exactly once per revision, no block that is not due is stepped, the lows of the threads
// combine to the smallest next revision, and every claim counter is back at 0.
void Walk_With_Threads(uint32_t threads, uint32_t chunk) {
  Fake_Pool pool;
  std::vector<Fake_Block*> blocks;
  for (int i = 0; i < 45; ++i) blocks.push_back(new Fake_Block);
  pool._active_blocks.assign(blocks.begin(), blocks.end());
  for (uint32_t round = 1; round <= 3; ++round) {
    const Revision now(round * 10, 0);
    Revision expected_low = __revision_omega;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const bool due = (i + round) % 3 != 0;
      blocks[i]->_steps = 0;
      blocks[i]->_next_revision = due ? now : Revision(now._iteration + 50, uint32_t(i));
      blocks[i]->_answer = Revision(now._iteration + 1 + uint32_t(i % 7), 0);
      expected_low = min(expected_low, due ? blocks[i]->_answer : blocks[i]->_next_revision);
    }
    std::atomic<bool> go{false};
    std::vector<Revision> lows(threads, __revision_free);
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        lows[t] = pool.Step_Chunks(now, threads, chunk, t);
      });
    }
    go = true;
    for (std::thread& w : workers) w.join();
    Revision combined = __revision_omega;
    for (Revision low : lows) combined = min(combined, low);
    EXPECT_EQ(combined, expected_low);
    for (size_t i = 0; i < blocks.size(); ++i) {
      const bool due = (i + round) % 3 != 0;
      EXPECT_EQ(blocks[i]->_steps.load(), due ? 1 : 0) << "block " << i << " round " << round;
      EXPECT_EQ(blocks[i]->_claim_count.load(), 0) << "block " << i;
    }
  }
  pool.Release_All();
}

TEST(Block_Pool_Test, Every_Due_Block_Is_Stepped_Exactly_Once_By_One_Thread) {
  Walk_With_Threads(1, Chunk_Size(45, 1, 20));  // chunk 2, the harness on one thread first
  Walk_With_Threads(6, Chunk_Size(45, 6, 20));  // chunk 1
  Walk_With_Threads(2, 7);                      // the last chunk is cut at 45
  Walk_With_Threads(3, 45);                     // one chunk
}

// While the manager is due, joins and leaves only queue and cancel each other; every block
// sits in each queue at most once; when it is not due, they apply at once.
TEST(Block_Pool_Test, Queued_Changes_Cancel_Each_Other_And_Each_Block_Is_Queued_Once) {
  Fake_Pool pool;
  Fake_Block fresh, was_active, passing;
  pool.Join(&was_active, false);
  EXPECT_EQ(pool._active_blocks, (std::deque<Fake_Block*>{&was_active}));

  pool.Join(&fresh, true);  // joins, empties and receives an object again
  pool.Leave(&fresh, true);
  EXPECT_EQ(pool._deactivation_queue, (std::deque<Fake_Block*>{&fresh}));
  pool.Join(&fresh, true);
  EXPECT_TRUE(pool._deactivation_queue.empty());
  pool.Leave(&was_active, true);  // empties twice, refills once
  pool.Leave(&was_active, true);
  EXPECT_EQ(pool._deactivation_queue.size(), 1u);
  pool.Join(&was_active, true);
  pool.Join(&passing, true);  // joins and empties: never becomes active
  pool.Leave(&passing, true);
  EXPECT_EQ(pool._activation_queue.size(), 2u);
  EXPECT_EQ(pool._deactivation_queue, (std::deque<Fake_Block*>{&passing}));

  pool.Apply_Queues();
  EXPECT_EQ(pool._active_blocks, (std::deque<Fake_Block*>{&was_active, &fresh}));
  EXPECT_TRUE(fresh._active && was_active._active && !passing._active);
  EXPECT_TRUE(pool._activation_queue.empty() && pool._deactivation_queue.empty());
  for (Fake_Block* b : {&fresh, &was_active, &passing}) {
    EXPECT_FALSE(b->_in_activation_queue || b->_in_deactivation_queue);
  }
  pool.Leave(&fresh, false);
  EXPECT_FALSE(fresh._active);
  EXPECT_EQ(pool._active_blocks, (std::deque<Fake_Block*>{&was_active}));
}

TEST(Block_Pool_Test, Clean_Up_Keeps_Queued_And_Active_Blocks_And_Release_All_Frees_Each_Block_Once) {
  Fake_Block::__released = 0;
  Fake_Pool pool;
  pool.Create_Thread_Lists(2);
  std::vector<Fake_Block*> blocks;
  for (int i = 0; i < 12; ++i) {
    blocks.push_back(new Fake_Block);
    pool._thread_blocks[0].push_back(blocks.back());
  }
  pool.Join(blocks[0], true);   // queued to join, still empty
  pool.Join(blocks[1], false);  // active and empty (waiting in no queue)
  pool.Join(blocks[2], false);
  pool.Leave(blocks[2], true);  // queued to leave
  std::atomic<uint32_t> empty{12};
  Spin_Lock schedule_lock;
  pool.Clean_Up(0, empty, 10, 5, schedule_lock);
  EXPECT_EQ(empty.load(), 5u);
  EXPECT_EQ(Fake_Block::__released.load(), 7);
  EXPECT_EQ(pool._thread_blocks[0].size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(std::find(pool._thread_blocks[0].begin(), pool._thread_blocks[0].end(), blocks[i]),
              pool._thread_blocks[0].end());
  }
  EXPECT_TRUE(pool.Release_All());  // blocks were still queued
  EXPECT_EQ(Fake_Block::__released.load(), 12);
  EXPECT_FALSE(pool._thread_blocks);
  EXPECT_FALSE(pool.Release_All());
}

// ---------------------------------------------------------------------------------------
// The manager in a World run.

using Test_Agent = Agent_Implementation<MasterType_Test>;

struct MT_Wide {};
class Wide_Agent : public Quarnel_Component<MT_Wide, TypeList<NULLTYPE, TypeList<Wide_Agent, NULLTYPE>>,
                                            Execution_Object> {
 public:
  char _payload[16];  // 64 bytes in all
};

// Agents whose handler runs a script set by the test.
struct MT_Script {};
template <int Tag>
class Scripted : public Quarnel_Component<MT_Script, TypeList<NULLTYPE, TypeList<Scripted<Tag>, NULLTYPE>>,
                                          Execution_Object> {
 public:
  static inline std::function<void(Scripted*, Event_Response&)> script;
  static inline std::atomic<int> calls[16];
  int _name = 0;

  static void Handle(void* object, Event_Response& response) {
    auto* agent = static_cast<Scripted*>(object);
    ++calls[agent->_name];
    if (script) script(agent, response);
  }
  static Scripted* Make(int name, Revision revision) {
    Scripted* agent = Allocate<Scripted>();
    agent->_name = name;
    agent->privLoad_Event(&Handle, revision, manager());
    return agent;
  }
  static Execution_Component_Manager<Scripted>* manager() { return Scripted::component_manager; }
  static void Reset() {
    script = nullptr;
    for (auto& c : calls) c = 0;
  }
};
using A = Scripted<0>;
using B = Scripted<1>;

class Manager_Test : public testing::Execution_Run_Test {
 protected:
  void SetUp() override {
    A::Reset();
    B::Reset();
  }
  void TearDown() override {
    testing::Execution_Run_Test::TearDown();
    A::Reset();
    B::Reset();
  }
  static int Controller() { return int(World::Instance().num_threads()); }
};

bool In(std::deque<Execution_Block*> const& blocks, Execution_Block* block) {
  return std::count(blocks.begin(), blocks.end(), block) == 1;
}

TEST_F(Manager_Test, Names_Kind_And_Cell_Stride_Follow_The_Type) {
  Start(1, 100);
  Execution_Component_Manager_Base& manager = *Test_Agent::component_manager;
  EXPECT_EQ(
      manager._type_name,
      "Agent_Implementation<MasterType_Test, quarnel::TypeList<quarnel::NULLTYPE, quarnel::NULLTYPE>, void>");
  EXPECT_EQ(manager._display_name, "Agent_Implementation<MT_Test>");
  EXPECT_EQ(manager._component_id, Test_Agent::component_id);
  EXPECT_EQ(manager.Component_Manager_Type(), 0);
  EXPECT_EQ(sizeof(Test_Agent), 48u);
  EXPECT_EQ(manager._object_size, 64u);
  EXPECT_EQ(sizeof(Wide_Agent), 64u);
  EXPECT_EQ(Wide_Agent::component_manager->_object_size, 128u);
  EXPECT_EQ(Wide_Agent::component_manager->_display_name, "quarnel::(anonymous namespace)::Wide_Agent");
}

TEST_F(Manager_Test, The_First_Allocation_Creates_A_Block_And_Activates_The_Manager_Once) {
  Start(1, 100);
  Execution_Component_Manager_Base& manager = *Test_Agent::component_manager;
  Simulation_Engine& engine = World::simulation_engine();
  const size_t before = engine.new_execution_types().size();
  Test_Agent* first = Allocate<Test_Agent>();
  Execution_Block* block = first->_execution_block;
  EXPECT_EQ(static_cast<Execution_Object*>(first), block->Cell(0));
  EXPECT_EQ(engine.new_execution_types().size(), before + 1);
  EXPECT_EQ(&engine.new_execution_types().back(), &manager);
  EXPECT_EQ(manager._thread_blocks[Controller()], (std::deque<Execution_Block*>{block}));
  EXPECT_EQ(manager._active_blocks, (std::deque<Execution_Block*>{block}));
  EXPECT_TRUE(block->_active);
  EXPECT_EQ(manager._empty_blocks[Controller()].load(), 0u);
  EXPECT_EQ(first->_component_id, Test_Agent::component_id);
  EXPECT_EQ(first->_object_id, -1);
  Allocate<Test_Agent>();
  EXPECT_EQ(engine.new_execution_types().size(), before + 1);
  Test_Agent* named = Allocate<Test_Agent>(17);
  EXPECT_EQ(manager._thread_object_tables[Controller()].at(17), named);
}

TEST_F(Manager_Test, A_Full_Block_Of_1022_Cells_Leaves_The_List_And_A_Second_Block_Follows) {
  Start(1, 1000);
  Execution_Component_Manager_Base& manager = *Test_Agent::component_manager;
  Execution_Block* first = Allocate<Test_Agent>()->_execution_block;
  EXPECT_EQ(first->_num_cells, 1022u);
  for (int i = 1; i < 1022; ++i) Allocate<Test_Agent>();
  EXPECT_EQ(first->_owner_thread.load(), -1);
  EXPECT_TRUE(manager._thread_blocks[Controller()].empty());
  Execution_Block* second = Allocate<Test_Agent>()->_execution_block;
  EXPECT_NE(second, first);
  EXPECT_EQ(second->_owner_thread.load(), Controller());
  EXPECT_EQ(manager._active_blocks, (std::deque<Execution_Block*>{first, second}));
}

// Fills `n` one-cell blocks and empties them again: n empty, inactive blocks in the list.
void Make_Empty_Blocks(int n) {
  std::vector<Test_Agent*> agents;
  for (int i = 0; i < n; ++i) agents.push_back(Allocate<Test_Agent>());
  for (Test_Agent* agent : agents) Free(agent);
}

TEST_F(Manager_Test, Clean_Up_Starts_Above_Max_Free_Blocks_And_Keeps_The_Buffer) {
  Start(1, 1);  // max_free_blocks 10, num_free_blocks_buffer 5
  Execution_Component_Manager_Base& manager = *Test_Agent::component_manager;
  Make_Empty_Blocks(10);
  EXPECT_EQ(manager._empty_blocks[Controller()].load(), 10u);
  manager.Clean_Up_Thread_Memory();
  EXPECT_EQ(manager._thread_blocks[Controller()].size(), 10u);
  Make_Empty_Blocks(11);  // reuses the ten, adds one
  EXPECT_EQ(manager._empty_blocks[Controller()].load(), 11u);
  manager.Clean_Up_Thread_Memory();
  EXPECT_EQ(manager._empty_blocks[Controller()].load(), 5u);
  EXPECT_EQ(manager._thread_blocks[Controller()].size(), 5u);
  EXPECT_TRUE(manager._active_blocks.empty());
}

TEST_F(Manager_Test, The_Diagnostics_Record_Lists_Each_Active_Block) {
  Start(1, 100);
  Execution_Component_Manager_Base& manager = *Test_Agent::component_manager;
  std::ostringstream empty;
  empty << manager;
  EXPECT_EQ(empty.str(),
            "\"Agent_Implementation<MT_Test>\"," + std::to_string(manager._component_id) + ",0,0\n");
  for (int i = 0; i < 3; ++i) Allocate<Test_Agent>();
  std::ostringstream record;
  manager.Write_Diagnostics(record);
  EXPECT_EQ(record.str(), "\"Agent_Implementation<MT_Test>\"," + std::to_string(manager._component_id) +
                              ",1,64\n" + std::to_string(Controller()) + ",3,126,7872\n");
  for (int i = 3; i < 126; ++i) Allocate<Test_Agent>();
  std::ostringstream full;
  full << manager;
  EXPECT_NE(full.str().find("\n-1,126,126,0\n"), std::string::npos) << full.str();
}

// While A is due at (1,0), one of its handlers releases and allocates objects of A (the
// changes wait in the queues until A's step ends) and of B, which is not due (the changes
// apply at once). Blocks hold one object each.
TEST_F(Manager_Test, Changes_Wait_In_The_Queues_Only_While_The_Manager_Is_Due) {
  Start(1, 1, 8);
  A* actor = A::Make(0, Revision(1, 0));
  A* victim = A::Make(1, Revision(1, 0));
  B* b_victim = B::Make(0, Revision(5, 0));
  Execution_Block* k1 = actor->_execution_block;
  Execution_Block* k2 = victim->_execution_block;
  Execution_Block* kb = b_victim->_execution_block;
  Execution_Block* k3 = nullptr;
  auto& a = *A::manager();
  auto& b = *B::manager();
  A::script = [&](A* self, Event_Response&) {
    if (self->_name != 0) return;
    Free(victim);  // k2 empties while A is due: it stays active until A's update
    EXPECT_TRUE(In(a._active_blocks, k2) && k2->_active);
    EXPECT_EQ(a._deactivation_queue, (std::deque<Execution_Block*>{k2}));
    A::Make(2, Revision(2, 0));  // refills k2: it leaves the deactivation queue
    EXPECT_TRUE(a._deactivation_queue.empty());
    A* temporary = Allocate<A>();  // a new block waits in the activation queue
    k3 = temporary->_execution_block;
    EXPECT_EQ(a._activation_queue.size(), 1u);
    EXPECT_FALSE(k3->_active);
    Free(temporary);  // ... empties ...
    EXPECT_EQ(a._deactivation_queue, (std::deque<Execution_Block*>{k3}));
    A::Make(3, Revision(2, 0));  // ... and is refilled: once in the activation queue only
    EXPECT_EQ(a._activation_queue.size(), 1u);
    EXPECT_TRUE(a._deactivation_queue.empty());

    Free(b_victim);  // B is not due: its block leaves at once
    EXPECT_FALSE(kb->_active);
    EXPECT_FALSE(In(b._active_blocks, kb));
    EXPECT_TRUE(b._deactivation_queue.empty());
    B::Make(1, Revision(5, 0));  // and rejoins at once
    EXPECT_TRUE(kb->_active && In(b._active_blocks, kb));
    EXPECT_TRUE(b._activation_queue.empty());
  };
  Turn();
  EXPECT_EQ(A::calls[0].load(), 1);
  EXPECT_EQ(A::calls[1].load(), 0);  // released before its turn
  EXPECT_EQ(A::calls[2].load(), 1);
  EXPECT_EQ(A::calls[3].load(), 1);
  EXPECT_EQ(B::calls[0].load(), 0);
  EXPECT_EQ(B::calls[1].load(), 1);
  EXPECT_EQ(a._active_blocks, (std::deque<Execution_Block*>{k1, k2, k3}));
  for (Execution_Block* k : {k1, k2, k3}) EXPECT_TRUE(k->_active);
  EXPECT_TRUE(a._activation_queue.empty() && a._deactivation_queue.empty());
  EXPECT_EQ(b._active_blocks, (std::deque<Execution_Block*>{kb}));
}

// B is scheduled at (3,0); its only object is released at (1,0), while B is not due. At
// (3,0) B is due with no active block: every worker still finishes B's step.
TEST_F(Manager_Test, A_Due_Manager_Without_Active_Blocks_Still_Completes_Its_Step) {
  Start(2, 1, 8);
  B* lonely = B::Make(0, Revision(3, 0));
  A::Make(0, Revision(1, 0));
  A::script = [&](A*, Event_Response& response) {
    if (World::Instance().iteration() == 1) Free(lonely);
    response._next_revision = Revision(World::Instance().iteration() + 1, 0);
  };
  Turn();
  EXPECT_EQ(B::calls[0].load(), 0);
  EXPECT_EQ(A::calls[0].load(), 7);  // iterations 1 to 7
  EXPECT_TRUE(B::manager()->_active_blocks.empty());
  EXPECT_EQ(B::manager()->_threads_finished.load(), 0);
  EXPECT_EQ(B::manager()->_next_revision, __revision_omega);
}

// A run aborted by a failing handler leaves a block in the activation queue. Terminate
// releases everything and then reports it; the next run starts clean.
TEST_F(Manager_Test, Terminate_With_A_Queued_Block_Raises_Its_Fatal_Error_And_The_Next_Run_Is_Clean) {
  Start(1, 1, 5);
  A::Make(0, Revision(1, 0));
  A::script = [](A*, Event_Response&) {
    Allocate<A>();
    throw std::runtime_error("handler failure");
  };
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Thrown_Text([&] { Turn(); }), "There was an exception on a worker thread - aborting simulation");
  EXPECT_EQ(A::manager()->_activation_queue.size(), 1u);
  _started = false;
  const std::string text = Thrown_Text([] { World::Terminate_Simulation(); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      text,
      "An exception occurred, check your logs: Execution_Component_Manager_Base::Terminate: There are still "
      "blocks in the activation or deactivation queues. This indicates that some blocks were not properly "
      "deactivated before termination.");
  EXPECT_NE(log.find("RUNTIME_ERROR at libs/core/Execution_Component_Manager:42"), std::string::npos) << log;
  EXPECT_TRUE(A::manager()->_active_blocks.empty());
  EXPECT_TRUE(A::manager()->_activation_queue.empty());
  // Other managers may have been skipped by the failing Terminate: end the run for them.
  World::Terminate_Simulation();

  A::Reset();
  Start(1, 1, 3);
  A::Make(0, Revision(1, 0));
  Turn();
  EXPECT_EQ(A::calls[0].load(), 1);
  EXPECT_EQ(A::manager()->_active_blocks.size(), 1u);
}

// Every agent is rescheduled each iteration; with an interval of 10 over 100 iterations the
// report holds iterations 0, 10, ..., 100, each with the manager record.
void Every_Iteration(void*, Event_Response& response) {
  response._next_revision = Revision(World::Instance().iteration() + 1, 0);
}

TEST_F(Manager_Test, The_Core_Diagnostics_Report_Holds_Eleven_Reports_Over_100_Iterations) {
  const std::filesystem::path previous = std::filesystem::current_path();
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("quarnel_core_diagnostics_" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  Simulation_Engine& engine = World::simulation_engine();
  engine._diagnosed_iterations.clear();

  Simulation_Configuration config = testing::Make_Configuration(2, 100, 2);
  config.core_diagnostics_interval = 10;
  World::Initialize_Simulation(config);
  _started = true;
  for (int i = 0; i < 5; ++i) {
    Allocate<Test_Agent>()->privLoad_Event(&Every_Iteration, Revision(0, 0), Test_Agent::component_manager);
  }
  Turn();
  engine._diagnostics_enabled = false;

  std::ifstream file("core.diagnostics");
  std::stringstream text;
  text << file.rdbuf();
  const auto& manager = *Test_Agent::component_manager;
  const std::string record = "\"Agent_Implementation<MT_Test>\"," + std::to_string(manager._component_id) +
                             ",3,64\n-1,2,2,0\n-1,2,2,0\n2,1,2,64\n\n";
  std::string expected;
  for (int i = 0; i <= 100; i += 10) {
    expected += "iteration: Step(" + std::to_string(i) + ") component_types: 1\n" + record;
  }
  EXPECT_EQ(text.str(), expected);
  std::filesystem::current_path(previous);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quarnel
