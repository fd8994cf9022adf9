// Execution blocks: their sizing, their free list, their place in the per-thread lists, and
// how a step treats due, silent and released cells.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/World.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Execution_Block.h>
#include "Execution_Run.h"
#include "Test_Support.h"

namespace quarnel {
namespace {

struct MT_Block {};

class Cell_Agent : public Quarnel_Component<MT_Block, TypeList<NULLTYPE, TypeList<Cell_Agent, NULLTYPE>>,
                                            Execution_Object> {
 public:
  int _calls = 0;  // the agent still fits in 64-byte cells
};

Execution_Component_Manager_Base& Manager() {
  return *Cell_Agent::component_manager;
}
int Controller() {
  return int(World::Instance().num_threads());
}

class Block_Test : public testing::Execution_Run_Test {};

TEST(Block_Sizing_Test, Blocks_Take_Powers_Of_Two_Up_To_Half_A_Page_Then_Whole_Pages) {
  struct Row {
    uint32_t n, bytes, cells;
  };
  const Row table[] = {{1000, 65536, 1022}, {100, 8192, 126}, {62, 8192, 126}, {30, 2048, 30},
                       {3, 512, 6},         {2, 256, 2},      {1, 192, 1}};
  for (const Row& row : table) {
    const Block_Shape shape = Block_Size(row.n, 64, 128);
    EXPECT_EQ(shape.bytes, row.bytes) << "n = " << row.n;
    EXPECT_EQ(shape.cells, row.cells) << "n = " << row.n;
  }
  EXPECT_EQ(Block_Size(5, 64, 128).bytes, 512u);     // 448 -> 512
  EXPECT_EQ(Block_Size(13, 64, 128).bytes, 1024u);   // 960 -> 1024
  EXPECT_EQ(Block_Size(1, 128, 128).bytes, 256u);    // one cell: rounded to a cache line
  EXPECT_EQ(Block_Size(1, 4096, 128).bytes, 8192u);  // one big cell: whole pages
}

TEST(Block_Sizing_Test, A_Cell_Is_Always_Wider_Than_Its_Object) {
  EXPECT_EQ(Cell_Stride(48), 64u);
  EXPECT_EQ(Cell_Stride(63), 64u);
  EXPECT_EQ(Cell_Stride(64), 128u);
  EXPECT_EQ(Cell_Stride(65), 128u);
  EXPECT_EQ(sizeof(Execution_Object), 48u);
}

TEST(Block_Sizing_Test, A_Block_That_Does_Not_Fit_In_32_Bits_Is_A_Fatal_Error) {
  ::testing::internal::CaptureStderr();
  const std::string text = testing::Thrown_Text([] { Block_Size(0x7fffffffu, 128, 128); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("cannot be allocated"), std::string::npos) << text;
}

TEST(Block_Sizing_Test, Chunks_Aim_At_Blocks_Per_Thread_Shares_And_Hold_At_Least_One_Block) {
  EXPECT_EQ(Chunk_Size(45, 1, 20), 2u);
  EXPECT_EQ(Chunk_Size(45, 6, 20), 1u);
  EXPECT_EQ(Chunk_Size(0, 2, 20), 1u);
  EXPECT_EQ(Chunk_Size(1000, 2, 20), 25u);
  EXPECT_EQ(Chunk_Size(59, 1, 20), 2u);  // 2.95 truncates
}

// Six cells per block. Allocation fills from the lowest address; a full block leaves the
// thread's list and re-enters it at the back on its first release; mixed releases refill
// lowest address first.
TEST_F(Block_Test, Free_Cells_Refill_Lowest_Address_First_And_Full_Blocks_Leave_The_List) {
  Start(1, 3);
  std::vector<Cell_Agent*> agents;
  for (int i = 0; i < 7; ++i) agents.push_back(Allocate<Cell_Agent>());
  Execution_Block* a = agents[0]->_execution_block;
  Execution_Block* b = agents[6]->_execution_block;
  ASSERT_EQ(a->_num_cells, 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<Execution_Object*>(agents[i]), a->Cell(i));
    EXPECT_EQ(agents[i]->_next_revision, __revision_omega);
  }
  EXPECT_EQ(reinterpret_cast<char*>(a->Cell(0)) - reinterpret_cast<char*>(a), 128);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % __cache_line_size, 0u);
  EXPECT_EQ(a->_first_free, nullptr);
  EXPECT_EQ(a->_owner_thread.load(), -1);
  auto& list = Manager()._thread_blocks[Controller()];
  EXPECT_EQ(list, (std::deque<Execution_Block*>{b}));

  for (int i : {4, 1, 5, 2}) Free(agents[i]);
  EXPECT_EQ(list, (std::deque<Execution_Block*>{b, a}));
  EXPECT_EQ(a->_owner_thread.load(), Controller());
  EXPECT_EQ(a->_num_allocated, 2u);
  for (uint32_t i : {1u, 2u, 4u, 5u}) EXPECT_EQ(a->Cell_Revision(i), __revision_free) << i;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Allocate<Cell_Agent>()->_execution_block, b);  // the front first
  EXPECT_EQ(list, (std::deque<Execution_Block*>{a}));
  for (uint32_t cell : {1u, 2u, 4u, 5u})
    EXPECT_EQ(static_cast<Execution_Object*>(Allocate<Cell_Agent>()), a->Cell(cell));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(Manager()._active_blocks, (std::deque<Execution_Block*>{a, b}));
}

TEST_F(Block_Test, Releasing_The_Last_Object_During_Setup_Takes_The_Block_Out_At_Once) {
  Start(1, 3);
  Cell_Agent* agent = Allocate<Cell_Agent>();
  Execution_Block* block = agent->_execution_block;
  EXPECT_EQ(Manager()._empty_blocks[Controller()].load(), 0u);
  ASSERT_TRUE(block->_active);
  Free(agent);
  EXPECT_FALSE(block->_active);
  EXPECT_TRUE(Manager()._active_blocks.empty());
  EXPECT_TRUE(Manager()._deactivation_queue.empty());
  EXPECT_EQ(Manager()._empty_blocks[Controller()].load(), 1u);
  EXPECT_EQ(Allocate<Cell_Agent>()->_execution_block, block);  // reused, active again
  EXPECT_TRUE(block->_active);
  EXPECT_EQ(Manager()._active_blocks.size(), 1u);
  EXPECT_EQ(Manager()._empty_blocks[Controller()].load(), 0u);
}

void Count_And_Answer_9(void* object, Event_Response& response) {
  static_cast<Cell_Agent*>(object)->_calls++;
  response._next_revision = Revision(9, 0);
}
void Count_Silently(void* object, Event_Response&) {
  static_cast<Cell_Agent*>(object)->_calls++;
}

TEST_F(Block_Test, A_Step_Calls_Only_Due_Cells_And_Reports_The_Lowest_Next_Revision) {
  Start(1, 3);  // the clock stands at (0,0) during set-up
  Cell_Agent* answering = Allocate<Cell_Agent>();
  Cell_Agent* later = Allocate<Cell_Agent>();
  Cell_Agent* silent = Allocate<Cell_Agent>();
  Cell_Agent* unscheduled = Allocate<Cell_Agent>();
  answering->privLoad_Event(&Count_And_Answer_9, Revision(0, 0), Cell_Agent::component_manager);
  later->privLoad_Event(&Count_Silently, Revision(3, 0), Cell_Agent::component_manager);
  later->privLoad_Event(&Count_And_Answer_9, Revision(7, 0), Cell_Agent::component_manager);  // moved
  silent->privLoad_Event(&Count_Silently, Revision(0, 0), Cell_Agent::component_manager);
  unscheduled->_event_callback = &Count_Silently;
  Execution_Block* block = answering->_execution_block;
  EXPECT_EQ(block->_next_revision, Revision(0, 0));
  EXPECT_EQ(Manager()._next_revision, Revision(0, 0));
  silent->privReschedule(Revision(0, 0), Cell_Agent::component_manager);
  EXPECT_EQ(silent->_event_callback, &Count_Silently);  // rescheduling keeps the handler
  block->_pending_revision = Revision(8, 0);

  Revision reported = __revision_free;
  block->Step(reported);
  EXPECT_EQ(reported, Revision(7, 0));
  EXPECT_EQ(block->_next_revision, Revision(7, 0));
  EXPECT_EQ(block->_pending_revision, __revision_omega);
  EXPECT_EQ(answering->_calls, 1);
  EXPECT_EQ(answering->_next_revision, Revision(9, 0));
  EXPECT_EQ(later->_calls, 0);
  EXPECT_EQ(silent->_calls, 1);
  EXPECT_EQ(silent->_next_revision, __revision_omega);
  EXPECT_EQ(unscheduled->_calls, 0);
  EXPECT_EQ(block->_stepping_thread.load(), -1);
}

// Released cells in a running simulation. A cell whose handler releases its own object is
// never stored to again: it stays at __revision_free (a call through its free-list link
// would crash), or keeps the revision of the new object that reused it.
Cell_Agent* __reborn = nullptr;
std::atomic<int> __careless_calls{0};

std::array<std::atomic<int>, 8> __reborn_calls;  // per iteration

void Record_Call(void*, Event_Response& response) {
  ++__reborn_calls[World::Instance().iteration()];
  response._next_revision = Revision(World::Instance().iteration() + 1, 0);
}

void Answer_Then_Die(void* object, Event_Response& response) {
  ++__careless_calls;
  response._next_revision = Revision(World::Instance().iteration() + 1, 0);  // must be ignored
  Free(static_cast<Cell_Agent*>(object));
}

void Answer_Die_And_Reuse(void* object, Event_Response& response) {
  Answer_Then_Die(object, response);
  __reborn = Allocate<Cell_Agent>();
  EXPECT_EQ(static_cast<void*>(__reborn), object);  // the freed cell is the lowest free one
  __reborn->privLoad_Event(&Record_Call, Revision(3, 0), Cell_Agent::component_manager);
}

class Released_Cell_Test : public Block_Test, public ::testing::WithParamInterface<int> {};

TEST_P(Released_Cell_Test, A_New_Object_In_A_Released_Cell_Keeps_Its_Own_Revision) {
  Start(GetParam(), 1, 6);
  __careless_calls = 0;
  __reborn = nullptr;
  for (auto& calls : __reborn_calls) calls = 0;
  Cell_Agent* dying = Allocate<Cell_Agent>();
  dying->privLoad_Event(&Answer_Die_And_Reuse, Revision(1, 0), Cell_Agent::component_manager);
  Turn();
  EXPECT_EQ(__careless_calls.load(), 1);
  ASSERT_NE(__reborn, nullptr);
  // Called from iteration 3 on, never at 2 (the dying handler's answer).
  const int expected[8] = {0, 0, 0, 1, 1, 1, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(__reborn_calls[i].load(), expected[i]) << "iteration " << i;
}

// Both objects of a two-cell block release themselves in its step; the second handler then
// allocates into the emptied block, whose free cell 0 the step has already passed. The new
// object's request must survive the end of that step.
Execution_Block* __emptied = nullptr;

void Die_And_Give_Birth(void* object, Event_Response& response) {
  Answer_Then_Die(object, response);
  __reborn = Allocate<Cell_Agent>();
  EXPECT_EQ(__reborn->_execution_block, __emptied);
  EXPECT_EQ(static_cast<Execution_Object*>(__reborn), __emptied->Cell(0));
  __reborn->privLoad_Event(&Record_Call, Revision(3, 0), Cell_Agent::component_manager);
}

TEST_P(Released_Cell_Test, An_Object_Born_Into_A_Block_Emptied_In_Its_Own_Step_Is_Not_Lost) {
  Start(GetParam(), 2, 6);
  __careless_calls = 0;
  __reborn = nullptr;
  for (auto& calls : __reborn_calls) calls = 0;
  Cell_Agent* first = Allocate<Cell_Agent>();
  Cell_Agent* second = Allocate<Cell_Agent>();
  __emptied = first->_execution_block;
  ASSERT_EQ(second->_execution_block, __emptied);
  first->privLoad_Event(&Answer_Then_Die, Revision(1, 0), Cell_Agent::component_manager);
  second->privLoad_Event(&Die_And_Give_Birth, Revision(1, 0), Cell_Agent::component_manager);
  Turn();
  EXPECT_EQ(__careless_calls.load(), 2);
  ASSERT_NE(__reborn, nullptr);
  const int expected[8] = {0, 0, 0, 1, 1, 1, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(__reborn_calls[i].load(), expected[i]) << "iteration " << i;
  EXPECT_EQ(Manager()._active_blocks, (std::deque<Execution_Block*>{__emptied}));
}

INSTANTIATE_TEST_SUITE_P(Workers, Released_Cell_Test, ::testing::Values(1, 2));

}  // namespace
}  // namespace quarnel
