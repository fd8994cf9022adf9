// Agents and events sharing runs of 1, 2 and 6 workers.
//
// Property: every handler call that the schedule implies happens exactly once, at the revision
// it was scheduled for, and no other call happens; events parked in the final iteration stay
// allocated out of their heaps, and every other event has been released by the end.
//
// Each agent acts at (i, 0) of every iteration i and, depending only on its id a and i,
//  - allocates a SUB event at (i, 1 + a % 3), which answers the revision being stepped
//    a % 2 more times (running again in the same step), then allocates a CHAIN event at
//    (i + 1, 0) and releases itself;
//  - allocates a PARK event at (i, 2), which answers the final iteration and is parked;
//  - allocates a MOVED event at (i + 3, 0) and, at i + 1, either moves it to (i + 2, 1) (even a)
//    or releases it before it ever runs (odd a): requests that may meet the event's block
//    while another worker steps it;
//  - every tenth agent owns a TICKER (loaded during set-up at (0, 3), answering (i + 1, 3)),
//    which it moves to (i, 4) in iterations i with i % 4 == 1.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;

constexpr int kAgents = 240;
constexpr uint32_t kIterations = 24;

enum Kind { SUB, CHAIN, PARK, MOVED, TICKER };

struct alignas(64) Counters {
  uint64_t agent = 0, sub = 0, chain = 0, park = 0, moved = 0, ticker = 0, ticker_moved = 0, wrong = 0;
};
std::vector<Counters> counters;                  // per worker
std::vector<std::vector<Event_Object*>> parked;  // per worker: every PARK made there

struct E2E_Master {};

class E2E_Event
    : public Quarnel_Component<E2E_Master, TypeList<NULLTYPE, TypeList<E2E_Event, NULLTYPE>>, Event_Object> {
 public:
  Kind _kind = SUB;
  int _repeats = 0;
  Revision _at;  // where the event must next be called

  static E2E_Event* Make(Kind kind, Revision at) {
    E2E_Event* e = Allocate<E2E_Event>();
    e->_kind = kind;
    e->_at = at;
    e->privLoad_Event(&Handle, at, component_manager);
    return e;
  }
  void Move(Revision at) {
    _at = at;
    privReschedule(at, component_manager);
  }

  static void Handle(void* object, Event_Response& response) {
    auto* e = static_cast<E2E_Event*>(object);
    Counters& c = counters[__thread_id];
    const Revision now = World::Instance().current_revision();
    if (now != e->_at) ++c.wrong;
    switch (e->_kind) {
      case SUB:
        ++c.sub;
        if (e->_repeats > 0) {
          --e->_repeats;
          response._next_revision = now;
          return;
        }
        if (now._iteration + 1 < kIterations) Make(CHAIN, Revision(now._iteration + 1, 0));
        Free(e);
        return;
      case CHAIN:
        ++c.chain;
        Free(e);
        return;
      case PARK:
        ++c.park;
        response._next_revision = Revision(kIterations, 0);
        return;
      case MOVED:
        ++c.moved;
        Free(e);
        return;
      case TICKER:
        ++c.ticker;
        if (now._sub_iteration == 4) ++c.ticker_moved;
        e->_at = Revision(now._iteration + 1, 3);
        response._next_revision = e->_at;
        return;
    }
  }
};

class E2E_Agent : public Quarnel_Component<E2E_Master, TypeList<NULLTYPE, TypeList<E2E_Agent, NULLTYPE>>,
                                           Execution_Object> {
 public:
  uint32_t _id = 0;
  E2E_Event* _moved = nullptr;
  E2E_Event* _ticker = nullptr;

  static void Handle(void* object, Event_Response& response) {
    static_cast<E2E_Agent*>(object)->Act(response);
  }

  void Act(Event_Response& response) {
    Counters& c = counters[__thread_id];
    const Revision now = World::Instance().current_revision();
    const uint32_t i = now._iteration, a = _id;
    ++c.agent;
    if (now._sub_iteration != 0) ++c.wrong;
    if ((a + i) % 3 == 0) E2E_Event::Make(SUB, Revision(i, 1 + a % 3))->_repeats = int(a % 2);
    if ((a + i) % 5 == 1) parked[__thread_id].push_back(E2E_Event::Make(PARK, Revision(i, 2)));
    if (_moved != nullptr) {
      if (a % 2 == 0) {
        _moved->Move(Revision(i + 1, 1));
      } else {
        Free(_moved);
      }
      _moved = nullptr;
    }
    if ((a + i) % 7 == 0 && i + 3 < kIterations) _moved = E2E_Event::Make(MOVED, Revision(i + 3, 0));
    if (_ticker != nullptr && i % 4 == 1) _ticker->Move(Revision(i, 4));
    response._next_revision = Revision(i + 1, 0);
  }
};

Counters Expected() {
  Counters x;
  for (uint32_t a = 0; a < kAgents; ++a) {
    for (uint32_t i = 0; i < kIterations; ++i) {
      ++x.agent;
      if ((a + i) % 3 == 0) {
        x.sub += 1 + a % 2;
        if (i + 1 < kIterations) ++x.chain;
      }
      if ((a + i) % 5 == 1) ++x.park;
      if ((a + i) % 7 == 0 && i + 3 < kIterations && a % 2 == 0) ++x.moved;
    }
    if (a % 10 != 0) continue;
    x.ticker += kIterations;
    for (uint32_t i = 0; i < kIterations; ++i) x.ticker_moved += i % 4 == 1;
  }
  return x;
}

Counters Sum() {
  Counters s;
  for (const Counters& c : counters) {
    s.agent += c.agent;
    s.sub += c.sub;
    s.chain += c.chain;
    s.park += c.park;
    s.moved += c.moved;
    s.ticker += c.ticker;
    s.ticker_moved += c.ticker_moved;
    s.wrong += c.wrong;
  }
  return s;
}

void Run_Shared(int threads) {
  SCOPED_TRACE("workers: " + std::to_string(threads));
  Simulation_Configuration config = Make_Configuration(threads, kIterations, 16);
  World::Initialize_Simulation(config);
  counters.assign(size_t(threads) + 1, Counters{});
  parked.assign(size_t(threads) + 1, {});
  std::vector<E2E_Event*> tickers;
  for (uint32_t a = 0; a < kAgents; ++a) {
    E2E_Agent* agent = Allocate<E2E_Agent>();
    agent->_id = a;
    agent->privLoad_Event(&E2E_Agent::Handle, Revision(0, 0), E2E_Agent::component_manager);
    if (a % 10 == 0) tickers.push_back(agent->_ticker = E2E_Event::Make(TICKER, Revision(0, 3)));
  }
  Run_Bounded([] { World::Instance().Start_Turning("."); }, std::chrono::seconds(120));

  const Counters got = Sum(), want = Expected();
  EXPECT_EQ(got.wrong, 0u);
  EXPECT_EQ(got.agent, want.agent);
  EXPECT_EQ(got.sub, want.sub);
  EXPECT_EQ(got.chain, want.chain);
  EXPECT_EQ(got.park, want.park);
  EXPECT_EQ(got.moved, want.moved);
  EXPECT_EQ(got.ticker, want.ticker);
  EXPECT_EQ(got.ticker_moved, want.ticker_moved);

  // Only the parked events and the tickers are still allocated, all out of their heaps.
  size_t parked_count = 0;
  for (auto& list : parked) {
    for (Event_Object* e : list) {
      EXPECT_FALSE(e->In_Heap());
      EXPECT_EQ(e->_next_revision, Revision(kIterations, 0));
    }
    parked_count += list.size();
  }
  EXPECT_EQ(parked_count, want.park);
  for (E2E_Event* t : tickers) {
    EXPECT_FALSE(t->In_Heap());
    EXPECT_EQ(t->_next_revision, Revision(kIterations, 3));
  }
  auto* manager = E2E_Event::component_manager;
  size_t allocated = 0;
  for (Event_Block* block : manager->_active_blocks) {
    allocated += block->_num_allocated;
    EXPECT_TRUE(block->_event_heap.empty());
    EXPECT_EQ(block->_deferred_head, nullptr);
  }
  EXPECT_EQ(allocated, parked_count + tickers.size());
  EXPECT_TRUE(manager->_activation_queue.empty());
  EXPECT_TRUE(manager->_deactivation_queue.empty());
  EXPECT_EQ(World::Instance().current_revision(), Revision(kIterations, 0));
  Run_Bounded([] { World::Terminate_Simulation(); });
}

TEST(Events_End_To_End_Test, Agents_And_Events_Share_Runs_Of_1_2_And_6_Workers) {
  for (int threads : {1, 2, 6}) Run_Shared(threads);
}

}  // namespace
}  // namespace quarnel
