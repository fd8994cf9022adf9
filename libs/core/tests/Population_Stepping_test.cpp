// A population of agents acting iteration after iteration on all worker threads, with births
// and deaths, checked against a sequential model of the same population.
//
// Property: whatever the number of workers and the block size, every agent acts exactly once
// in every iteration it is scheduled for and at no other, an agent that died never acts
// again (even though its handler answered a next revision before it released itself), and
// births and deaths are counted exactly. The gold result is the multiset of (agent,
// iteration) calls of the model, which a run must reproduce exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <set>
#include <tuple>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/World.h>
#include "Execution_Run.h"

namespace quarnel {
namespace {

struct MT_Population {};

class Pop_Agent : public Quarnel_Component<MT_Population, TypeList<NULLTYPE, TypeList<Pop_Agent, NULLTYPE>>,
                                           Execution_Object> {
 public:
  uint64_t _serial;
  Revision _due;
};

uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint64_t __seed = 0;

struct Fate {
  bool birth;
  bool death;
};
// Decided by the agent and the iteration alone, so any schedule of threads gives one history.
Fate Fate_Of(uint64_t serial, uint32_t iteration) {
  const uint64_t h = Mix(Mix(serial ^ __seed) + iteration);
  return {h % 8 == 0, (h >> 20) % 10 == 0};
}
uint64_t Child_Of(uint64_t serial, uint32_t iteration) {
  return Mix(Mix(serial + 0x5151) ^ (uint64_t(iteration) << 40));
}

using Call = std::pair<uint64_t, uint32_t>;  // (agent serial, iteration)

struct alignas(64) Ledger {  // one per worker, touched only by that worker
  std::vector<Call> calls;
  int64_t births = 0;
  int64_t deaths = 0;
  int64_t misfires = 0;  // calls at a revision the agent was not scheduled for
};
std::vector<Ledger> __ledgers;

void Act(void* object, Event_Response& response);

Pop_Agent* Spawn(uint64_t serial, Revision first) {
  Pop_Agent* agent = Allocate<Pop_Agent>();
  agent->_serial = serial;
  agent->_due = first;
  agent->privLoad_Event(&Act, first, Pop_Agent::component_manager);
  return agent;
}

// Acts every iteration; a newborn first acts two iterations after its birth.
void Act(void* object, Event_Response& response) {
  auto* agent = static_cast<Pop_Agent*>(object);
  const Revision now = World::Instance().current_revision();
  Ledger& ledger = __ledgers[__thread_id];
  if (agent->_due != now) ++ledger.misfires;
  const uint64_t serial = agent->_serial;
  ledger.calls.emplace_back(serial, now._iteration);
  const Fate fate = Fate_Of(serial, now._iteration);
  // The answer is given even by an agent that dies: its released cell must ignore it, and a
  // newborn that reuses the cell must keep its own first revision.
  response._next_revision = Revision(now._iteration + 1, 0);
  agent->_due = response._next_revision;
  if (fate.death) {
    Free(agent);
    ++ledger.deaths;
  }
  if (fate.birth) {
    Spawn(Child_Of(serial, now._iteration), Revision(now._iteration + 2, 0));
    ++ledger.births;
  }
}

struct Outcome {
  std::vector<Call> calls;  // sorted
  int64_t births = 0;
  int64_t deaths = 0;
  size_t population = 0;
};

// The same population stepped by one plain loop.
Outcome Model(int initial, uint32_t iterations) {
  Outcome out;
  std::vector<std::pair<uint64_t, uint32_t>> alive;  // (serial, next iteration)
  for (int i = 1; i <= initial; ++i) alive.emplace_back(uint64_t(i), 0);
  for (uint32_t it = 0; it < iterations; ++it) {
    std::vector<std::pair<uint64_t, uint32_t>> next;
    for (auto [serial, due] : alive) {
      if (due != it) {
        next.emplace_back(serial, due);
        continue;
      }
      out.calls.emplace_back(serial, it);
      const Fate fate = Fate_Of(serial, it);
      if (fate.death) {
        ++out.deaths;
      } else {
        next.emplace_back(serial, it + 1);
      }
      if (fate.birth) {
        next.emplace_back(Child_Of(serial, it), it + 2);
        ++out.births;
      }
    }
    alive.swap(next);
  }
  out.population = alive.size();
  std::sort(out.calls.begin(), out.calls.end());
  return out;
}

constexpr int kInitial = 40;
constexpr uint32_t kIterations = 24;

class Population_Stepping : public testing::Execution_Run_Test,
                            public ::testing::WithParamInterface<std::tuple<int, int, uint64_t>> {};

TEST_P(Population_Stepping, Every_Agent_Acts_Exactly_Once_Per_Scheduled_Iteration) {
  const auto [threads, per_block, seed] = GetParam();
  __seed = seed;
  const Outcome gold = Model(kInitial, kIterations);
  ASSERT_GT(gold.births, 10);  // the model really has births and deaths to check
  ASSERT_GT(gold.deaths, 10);

  Start(threads, per_block, int(kIterations));
  __ledgers.assign(size_t(threads), Ledger{});
  for (Ledger& ledger : __ledgers) ledger.calls.reserve(gold.calls.size());
  for (int i = 1; i <= kInitial; ++i) Spawn(uint64_t(i), Revision(0, 0));
  Turn();

  Outcome seen;
  int64_t misfires = 0;
  for (Ledger const& ledger : __ledgers) {
    seen.calls.insert(seen.calls.end(), ledger.calls.begin(), ledger.calls.end());
    seen.births += ledger.births;
    seen.deaths += ledger.deaths;
    misfires += ledger.misfires;
  }
  std::sort(seen.calls.begin(), seen.calls.end());
  EXPECT_EQ(misfires, 0);
  EXPECT_EQ(seen.births, gold.births);
  EXPECT_EQ(seen.deaths, gold.deaths);
  ASSERT_EQ(seen.calls.size(), gold.calls.size());
  const auto mismatch = std::mismatch(seen.calls.begin(), seen.calls.end(), gold.calls.begin());
  EXPECT_TRUE(mismatch.first == seen.calls.end())
      << "first difference: agent " << mismatch.first->first << " at iteration " << mismatch.first->second;

  // The block sets are consistent: each non-empty block active once, no queue left.
  Execution_Component_Manager_Base& manager = *Pop_Agent::component_manager;
  std::set<Execution_Block*> distinct(manager._active_blocks.begin(), manager._active_blocks.end());
  EXPECT_EQ(distinct.size(), manager._active_blocks.size());
  size_t population = 0;
  for (Execution_Block* block : manager._active_blocks) {
    EXPECT_TRUE(block->_active);
    EXPECT_GT(block->_num_allocated, 0u);
    EXPECT_EQ(block->_claim_count.load(), 0);
    population += block->_num_allocated;
  }
  EXPECT_EQ(population, gold.population);
  EXPECT_TRUE(manager._activation_queue.empty());
  EXPECT_TRUE(manager._deactivation_queue.empty());
  EXPECT_EQ(manager._threads_finished.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Workers_Block_Sizes_Seeds, Population_Stepping,
                         ::testing::Combine(::testing::Values(1, 2, 6), ::testing::Values(1, 2, 3, 100, 1000),
                                            ::testing::Values(uint64_t(1), uint64_t(2))));

// ---------------------------------------------------------------------------------------
// Requests for the revision being stepped.

struct MT_Now {};
class Now_Agent
    : public Quarnel_Component<MT_Now, TypeList<NULLTYPE, TypeList<Now_Agent, NULLTYPE>>, Execution_Object> {
 public:
  int _name;
};

std::atomic<int> __now_calls[4][8];  // [agent][iteration]
Now_Agent* __agents[4];

void Now_Handler(void* object, Event_Response& response) {
  auto* agent = static_cast<Now_Agent*>(object);
  const uint32_t it = World::Instance().iteration();
  const int calls = ++__now_calls[agent->_name][it];
  switch (agent->_name) {
    case 1:  // asks again for the revision being stepped, for an agent already called ...
      __agents[0]->privReschedule(Revision(it, 0), Now_Agent::component_manager);
      // ... and for one the block has not reached yet
      __agents[2]->privReschedule(Revision(it, 0), Now_Agent::component_manager);
      break;
    case 3:  // answers the revision being stepped once
      if (calls == 1) response._next_revision = Revision(it, 0);
      break;
  }
}

class Current_Revision_Test : public testing::Execution_Run_Test,
                              public ::testing::WithParamInterface<int> {};

TEST_P(Current_Revision_Test, A_Request_For_The_Revision_Being_Stepped_Runs_In_An_Extra_Cycle) {
  Start(GetParam(), 100, 8);
  for (auto& agent : __now_calls) {
    for (auto& calls : agent) calls = 0;
  }
  const Revision first[4] = {Revision(1, 0), Revision(1, 0), Revision(5, 0), Revision(1, 0)};
  for (int i = 0; i < 4; ++i) {
    __agents[i] = Allocate<Now_Agent>();
    __agents[i]->_name = i;
    __agents[i]->privLoad_Event(&Now_Handler, first[i], Now_Agent::component_manager);
  }
  Turn();
  EXPECT_EQ(__now_calls[0][1].load(), 2);  // passed already: called again in the extra cycle
  EXPECT_EQ(__now_calls[1][1].load(), 1);
  EXPECT_EQ(__now_calls[2][1].load(), 1);  // reached later in the same pass: called once
  EXPECT_EQ(__now_calls[2][5].load(), 0);  // its earlier revision was replaced
  EXPECT_EQ(__now_calls[3][1].load(), 2);  // its own answer: once more, then unscheduled
  int total = 0;
  for (auto& agent : __now_calls) {
    for (auto& calls : agent) total += calls.load();
  }
  EXPECT_EQ(total, 6);
}

INSTANTIATE_TEST_SUITE_P(Workers, Current_Revision_Test, ::testing::Values(1, 2));

}  // namespace
}  // namespace quarnel
