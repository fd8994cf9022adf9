// The iteration hook, the live counts and the visit of live objects.
//
// Properties under test:
//  1. The hook runs on the controlling thread exactly once for every finished iteration
//     0 .. num_iterations - 1, in order, whatever the worker count and however the clock
//     jumps, and only after the clock has moved past that iteration.
//  2. Stopping from the hook ends the run at that boundary; a hook that throws ends the run
//     with its own exception, and the next run is exact.
//  3. In the hook, Live_Count<T>() and For_Each_Live<T> agree with a hand count of births
//     and deaths, for agents and events, on any number of workers; the visit sees every
//     live object once and no released one, in the same order on one worker run after run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Live_Objects.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;
using testing::Thrown_Text;

constexpr uint32_t kAlive = 0xA11CE;

uint64_t Mix(uint64_t a, uint64_t b) {
  uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  return x ^ (x >> 29);
}

// Hand counts per worker (and one slot for the controlling thread).
struct alignas(64) Tally {
  int64_t births = 0, deaths = 0, event_births = 0, event_deaths = 0, calls = 0;
  uint32_t last_iteration = 0;
};
std::vector<Tally> tallies;

struct Hook_Master {};

// An event that lives for two iterations, then releases itself when it is called.
class Hook_Event : public Quarnel_Component<Hook_Master, TypeList<NULLTYPE, TypeList<Hook_Event, NULLTYPE>>,
                                            Event_Object> {
 public:
  ~Hook_Event() override { _marker = 0; }
  uint32_t _marker = kAlive;
  static void Handle(void* object, Event_Response&) {
    ++tallies[__thread_id].event_deaths;
    Free(static_cast<Hook_Event*>(object));
  }
};

// Acts at (i, 0) of every iteration; dies, gives birth and makes an event by a rule of its
// identity and i only, so the history does not depend on the workers.
class Hook_Agent : public Quarnel_Component<Hook_Master, TypeList<NULLTYPE, TypeList<Hook_Agent, NULLTYPE>>,
                                            Execution_Object> {
 public:
  ~Hook_Agent() override { _marker = 0; }
  uint64_t _id = 0;
  uint32_t _marker = kAlive;

  static Hook_Agent* Make(uint64_t id, Revision at) {
    Hook_Agent* agent = Allocate<Hook_Agent>();
    agent->_id = id;
    agent->privLoad_Event(&Handle, at, component_manager);
    return agent;
  }

  static void Handle(void* object, Event_Response& response) {
    auto* agent = static_cast<Hook_Agent*>(object);
    Tally& tally = tallies[__thread_id];
    const uint32_t now = World::Instance().iteration();
    ++tally.calls;
    tally.last_iteration = std::max(tally.last_iteration, now);
    const uint64_t roll = Mix(agent->_id, now) % 100;
    if (roll % 3 == 0) {
      ++tally.event_births;
      Hook_Event* event = Allocate<Hook_Event>();
      event->privLoad_Event(&Hook_Event::Handle, Revision(now + 2, 1), Hook_Event::component_manager);
    }
    if (roll < 8) {
      ++tally.deaths;
      Free(agent);
      return;
    }
    if (roll < 18) {
      ++tally.births;
      Make(Mix(agent->_id, now + 1000), Revision(now + 1, 0));
    }
    response._next_revision = Revision(now + 1, 0);
  }
};

// Initialises a run and loads `agents` agents at (0, 0).
void Start_Population(int threads, int iterations, int agents, int per_block = 3) {
  Simulation_Configuration config = Make_Configuration(threads, iterations, per_block);
  World::Initialize_Simulation(config);
  tallies.assign(threads + 1, {});
  for (int a = 0; a < agents; ++a) Hook_Agent::Make(uint64_t(a) + 1, Revision(0, 0));
}

int64_t Sum(int64_t Tally::*field) {
  int64_t sum = 0;
  for (Tally const& t : tallies) sum += t.*field;
  return sum;
}

// Runs the turned World on another thread (bounded); returns the log, or the thrown text.
std::string Turn() {
  ::testing::internal::CaptureStderr();
  std::string thrown = Thrown_Text([] { Run_Bounded([] { World::Instance().Start_Turning("."); }); });
  std::string log = ::testing::internal::GetCapturedStderr();
  return thrown.empty() ? log : "THROWN: " + thrown + "\n" + log;
}

void Terminate() {
  Run_Bounded([] { World::Terminate_Simulation(); });
}

std::vector<uint32_t> Iota(uint32_t n) {
  std::vector<uint32_t> all(n);
  for (uint32_t i = 0; i < n; ++i) all[i] = i;
  return all;
}

TEST(Iteration_Hook_Test, Runs_Once_Per_Finished_Iteration_On_The_Controlling_Thread) {
  for (int threads : {1, 2, 6}) {
    Start_Population(threads, 40, 60);
    std::vector<uint32_t> seen;
    std::atomic<std::thread::id> controller{};
    bool wrong_thread = false, early = false;
    World::Instance().Set_Iteration_Hook([&](uint32_t i) {
      seen.push_back(i);
      wrong_thread |= std::this_thread::get_id() != controller.load();
      early |= World::Instance().iteration() <= i;  // the clock has moved past i
    });
    ::testing::internal::CaptureStderr();
    Run_Bounded([&] {
      controller = std::this_thread::get_id();
      World::Instance().Start_Turning(".");
    });
    std::string log = ::testing::internal::GetCapturedStderr();
    Terminate();
    EXPECT_EQ(seen, Iota(40)) << threads << " workers";
    EXPECT_FALSE(wrong_thread);
    EXPECT_FALSE(early);
    EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(40,0)/40"), std::string::npos) << log;
  }
}

// Acts at (0,0), (3,0), (3,2) and (9,0), then never again.
class Jump_Agent : public Quarnel_Component<Hook_Master, TypeList<NULLTYPE, TypeList<Jump_Agent, NULLTYPE>>,
                                            Execution_Object> {
 public:
  static void Handle(void*, Event_Response& response) {
    const Revision now = World::Instance().current_revision();
    if (now == Revision(0, 0)) response._next_revision = Revision(3, 0);
    if (now == Revision(3, 0)) response._next_revision = Revision(3, 2);
    if (now == Revision(3, 2)) response._next_revision = Revision(9, 0);
  }
};

// A run configured with only the two fields a model must set, and one Jump_Agent.
void Start_Jumps(int threads, int iterations) {
  Simulation_Configuration config;
  config.num_threads = threads;
  config.num_iterations = iterations;
  World::Initialize_Simulation(config);
  Allocate<Jump_Agent>()->privLoad_Event(&Jump_Agent::Handle, Revision(0, 0), Jump_Agent::component_manager);
}

TEST(Iteration_Hook_Test, A_Clock_Jump_Calls_It_For_Every_Iteration_Jumped_Over_In_Order) {
  for (int threads : {1, 2}) {
    Start_Jumps(threads, 20);
    std::vector<std::pair<uint32_t, uint32_t>> seen;  // (i, the clock's iteration then)
    World::Instance().Set_Iteration_Hook(
        [&](uint32_t i) { seen.emplace_back(i, World::Instance().iteration()); });
    std::string log = Turn();
    Terminate();
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (uint32_t i = 0; i < 20; ++i) expected.emplace_back(i, i < 3 ? 3 : i < 9 ? 9 : 4294967295u);
    EXPECT_EQ(seen, expected) << threads << " workers\n" << log;
    EXPECT_NE(log.find("Rev(4294967295,0)/20"), std::string::npos) << log;
  }
}

TEST(Iteration_Hook_Test, Stop_After_This_Iteration_Ends_The_Run_At_That_Boundary) {
  for (int threads : {1, 2, 6}) {
    Start_Population(threads, 100, 30);
    std::vector<uint32_t> seen;
    World::Instance().Set_Iteration_Hook([&](uint32_t i) {
      seen.push_back(i);
      if (i == 5) World::Instance().Stop_After_This_Iteration();
    });
    std::string log = Turn();
    uint32_t last = 0;
    for (Tally const& t : tallies) last = std::max(last, t.last_iteration);
    Terminate();
    EXPECT_EQ(seen, Iota(6)) << threads;
    EXPECT_EQ(last, 5u) << "no agent may act after the stop";
    EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(6,0)/100"), std::string::npos) << log;
  }
  // Inside a jump, the iterations after the stop get no call.
  Start_Jumps(2, 20);
  std::vector<uint32_t> seen;
  World::Instance().Set_Iteration_Hook([&](uint32_t i) {
    seen.push_back(i);
    if (i == 4) World::Instance().Stop_After_This_Iteration();
  });
  std::string log = Turn();
  Terminate();
  EXPECT_EQ(seen, Iota(5));
  EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(9,0)/20"), std::string::npos) << log;
}

TEST(Iteration_Hook_Test, A_Throwing_Hook_Ends_The_Run_With_Its_Exception_And_The_Next_Run_Is_Exact) {
  for (int threads : {1, 2, 6}) {
    Start_Population(threads, 100, 30);
    World::Instance().Set_Iteration_Hook([](uint32_t i) {
      if (i == 3) throw std::invalid_argument("hook broke at 3");
    });
    std::string log = Turn();
    uint32_t last = 0;
    for (Tally const& t : tallies) last = std::max(last, t.last_iteration);
    Terminate();
    EXPECT_EQ(log.rfind("THROWN: hook broke at 3\n", 0), 0u) << log;
    EXPECT_EQ(last, 3u);

    // Terminate_Simulation cleared the hook: a run without one calls nothing old.
    Start_Population(threads, 10, 30);
    std::string second = Turn();
    EXPECT_EQ(second.find("THROWN"), std::string::npos) << second;
    Terminate();

    // A new hook on a new run sees every iteration.
    Start_Population(threads == 6 ? 2 : threads + 1, 12, 30);
    std::vector<uint32_t> seen;
    World::Instance().Set_Iteration_Hook([&](uint32_t i) { seen.push_back(i); });
    Turn();
    Terminate();
    EXPECT_EQ(seen, Iota(12));
  }
}

// What the hook checks after every iteration; the first mismatch is kept.
struct Census {
  std::vector<std::vector<uint64_t>> orders;  // ids in visit order, per iteration
  std::string mismatch;
  int64_t final_agents = 0;

  void Check(uint32_t i) {
    const int64_t agents = 60 + Sum(&Tally::births) - Sum(&Tally::deaths);
    const int64_t events = Sum(&Tally::event_births) - Sum(&Tally::event_deaths);
    std::vector<uint64_t> ids;
    std::set<const void*> cells;
    bool dead_seen = false;
    For_Each_Live<Hook_Agent>([&](Hook_Agent& a) {
      ids.push_back(a._id);
      cells.insert(&a);
      dead_seen |= a._marker != kAlive;
    });
    int64_t visited_events = 0;
    For_Each_Live<Hook_Event>([&](Hook_Event& e) {
      ++visited_events;
      dead_seen |= e._marker != kAlive;
    });
    std::string error;
    if (Live_Count<Hook_Agent>() != agents) error = "agent count " + std::to_string(Live_Count<Hook_Agent>());
    if (int64_t(ids.size()) != agents || cells.size() != ids.size()) error = "agents visited";
    if (Live_Count<Hook_Event>() != events) error = "event count " + std::to_string(Live_Count<Hook_Event>());
    if (visited_events != events) error = "events visited " + std::to_string(visited_events);
    if (dead_seen) error = "a released object was visited";
    if (!error.empty() && mismatch.empty()) {
      mismatch = "iteration " + std::to_string(i) + ": " + error + " (hand count " + std::to_string(agents) +
                 " agents, " + std::to_string(events) + " events)";
    }
    orders.push_back(std::move(ids));
    final_agents = agents;
  }
};

Census Run_Census(int threads) {
  Start_Population(threads, 30, 60);
  Census census;
  EXPECT_EQ(Live_Count<Hook_Agent>(), 60) << "during set-up";
  World::Instance().Set_Iteration_Hook([&](uint32_t i) { census.Check(i); });
  Turn();
  EXPECT_EQ(Live_Count<Hook_Agent>(), census.final_agents) << "after the run";
  Terminate();
  EXPECT_EQ(Live_Count<Hook_Agent>(), 0) << "after Terminate_Simulation";
  EXPECT_EQ(Live_Count<Hook_Event>(), 0);
  return census;
}

TEST(Live_Objects_Test, Counts_And_Visits_Match_A_Hand_Count_Of_Births_And_Deaths) {
  // One worker first: the harness itself, and the order that must repeat.
  Census one = Run_Census(1);
  ASSERT_EQ(one.orders.size(), 30u);
  EXPECT_EQ(one.mismatch, "");
  EXPECT_NE(one.final_agents, 60) << "the model must change its population";
  EXPECT_EQ(Run_Census(1).orders, one.orders) << "the visit order on one worker repeats";
  for (int threads : {2, 6}) {
    Census many = Run_Census(threads);
    ASSERT_EQ(many.orders.size(), 30u);
    EXPECT_EQ(many.mismatch, "") << threads << " workers";
    // The history depends on the identities only, so the live set is the same.
    for (size_t i = 0; i < 30; ++i) {
      std::sort(many.orders[i].begin(), many.orders[i].end());
      std::vector<uint64_t> expected = one.orders[i];
      std::sort(expected.begin(), expected.end());
      ASSERT_EQ(many.orders[i], expected) << threads << " workers, iteration " << i;
    }
  }
}

// Misuse from a handler, while the workers step, and from outside the hook.
class Misuse_Agent
    : public Quarnel_Component<Hook_Master, TypeList<NULLTYPE, TypeList<Misuse_Agent, NULLTYPE>>,
                               Execution_Object> {
 public:
  static inline std::vector<std::string> texts;
  static void Handle(void*, Event_Response&) {
    texts.push_back(Thrown_Text([] { For_Each_Live<Hook_Agent>([](Hook_Agent&) {}); }));
    texts.push_back(Thrown_Text([] { World::Instance().Set_Iteration_Hook(nullptr); }));
    texts.push_back(Thrown_Text([] { World::Instance().Stop_After_This_Iteration(); }));
  }
};

TEST(Iteration_Hook_Test, Misuse_Raises_Fatal_Errors_With_Exact_Messages) {
  const std::string prefix = "An exception occurred, check your logs: ";
  const std::string outside =
      prefix +
      "Stop_After_This_Iteration called outside the iteration hook; a handler ends the "
      "run with Stop_Mid_Simulation";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Thrown_Text([] { World::Instance().Stop_After_This_Iteration(); }), outside);
  ::testing::internal::GetCapturedStderr();

  Simulation_Configuration config = Make_Configuration(2, 3);
  World::Initialize_Simulation(config);
  Misuse_Agent::texts.clear();
  Allocate<Misuse_Agent>()->privLoad_Event(&Misuse_Agent::Handle, Revision(0, 0),
                                           Misuse_Agent::component_manager);
  Turn();
  Terminate();
  ASSERT_EQ(Misuse_Agent::texts.size(), 3u);
  const std::string refused = prefix + "For_Each_Live of " + Hook_Agent::component_manager->_display_name +
                              " called while the workers step";
  EXPECT_EQ(Misuse_Agent::texts[0].rfind(refused, 0), 0u) << Misuse_Agent::texts[0];
  EXPECT_EQ(Misuse_Agent::texts[1], prefix + "Don't change the iteration hook while simulation is running");
  EXPECT_EQ(Misuse_Agent::texts[2], outside);
}

}  // namespace
}  // namespace quarnel
