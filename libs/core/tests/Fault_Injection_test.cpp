// Fault injection: handlers that fail or misuse the World in the middle of a run.
//
// A churning population (agents at sub-iteration 0 that are born and die, on blocks of two
// cells so that blocks join and leave the active set in every revision) and a set of events
// at sub-iteration 1 run on 1, 2 or 6 workers. On a worker and at an iteration drawn from a
// seeded generator, the first handler that runs there (at or after that iteration) injects
// one fault:
//  - an agent's or an event's handler throws: the run aborts at that cycle and Start_Turning
//    throws "There was an exception on a worker thread - aborting simulation";
//  - a handler calls Stop_Mid_Simulation: the run stops at the next boundary, normally;
//  - a handler calls Start_Turning: the fatal error "Simulation Has Already Started!" either
//    escapes the handler (the run aborts as for a throw) or is caught there (the run goes on
//    to its last iteration undisturbed).
// Every run is bounded in time (a hang fails the test), no handler runs in a cycle after the
// one that ended the run, Terminate_Simulation releases everything (after an aborted run it
// may report the blocks the interrupted step left queued, as documented), and the next run
// in the same process is exact: every agent and every event acts once in every iteration.
// Leaks are LeakSanitizer's to report, at the end of the process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Thrown_Text;

struct MT_Fault {};
class Fault_Agent : public Quarnel_Component<MT_Fault, TypeList<NULLTYPE, TypeList<Fault_Agent, NULLTYPE>>,
                                             Execution_Object> {
 public:
  uint64_t _serial;
};
class Fault_Event
    : public Quarnel_Component<MT_Fault, TypeList<NULLTYPE, TypeList<Fault_Event, NULLTYPE>>, Event_Object> {
 public:
  uint64_t _serial;
};

enum class Fault { Throw_In_Agent, Throw_In_Event, Stop_Mid, Start_Turning_Escapes, Start_Turning_Caught };

const char* Name(Fault f) {
  switch (f) {
    case Fault::Throw_In_Agent:
      return "throw in an agent";
    case Fault::Throw_In_Event:
      return "throw in an event";
    case Fault::Stop_Mid:
      return "Stop_Mid_Simulation";
    case Fault::Start_Turning_Escapes:
      return "Start_Turning, escaping";
    case Fault::Start_Turning_Caught:
      return "Start_Turning, caught";
  }
  return "";
}

struct Plan {
  Fault fault;
  int worker;
  uint32_t iteration;
};

// Written by the controlling thread between runs; `fired` and the call records by handlers.
Plan __plan;
std::atomic<bool> __fired{false};
std::atomic<uint64_t> __fired_at{0};      // revision key of the injection
std::atomic<uint64_t> __last_call{0};     // highest revision key of any handler call
std::string __caught_text;                // what a handler caught (written once, by the injector)
std::vector<std::atomic<int>> __healthy;  // healthy run: calls per (object, iteration)
constexpr uint32_t kHealthy_Iterations = 12;
constexpr int kHealthy_Agents = 40;
constexpr int kHealthy_Events = 10;

uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

void Note_Call(Revision now) {
  uint64_t seen = __last_call.load();
  while (seen < now._revision && !__last_call.compare_exchange_weak(seen, now._revision)) {
  }
}

// Injects the planned fault if this handler is the first on the planned worker at or after
// the planned iteration, and `on_event` says whether this is the planned kind of handler.
// Which worker claims which blocks is first come, first served, so a worker may step no
// block for a while: after a grace of a few iterations any worker injects it.
void Maybe_Inject(bool on_event) {
  constexpr uint32_t kGrace = 3;
  World& world = World::Instance();
  const Revision now = world.current_revision();
  if (now._iteration < __plan.iteration) return;
  if (__thread_id != __plan.worker && now._iteration < __plan.iteration + kGrace) return;
  if (on_event != (__plan.fault == Fault::Throw_In_Event)) return;
  if (__fired.exchange(true)) return;
  __fired_at = now._revision;
  switch (__plan.fault) {
    case Fault::Throw_In_Agent:
    case Fault::Throw_In_Event:
      throw std::runtime_error("injected fault");
    case Fault::Stop_Mid:
      world.Stop_Mid_Simulation();
      return;
    case Fault::Start_Turning_Escapes:
      world.Start_Turning(".");
      return;
    case Fault::Start_Turning_Caught:
      __caught_text = Thrown_Text([&] { world.Start_Turning("."); });
      return;
  }
}

void Churning_Agent(void* object, Event_Response& response) {
  auto* agent = static_cast<Fault_Agent*>(object);
  const Revision now = World::Instance().current_revision();
  Note_Call(now);
  Maybe_Inject(false);
  const uint64_t h = Mix(agent->_serial ^ Mix(now._revision));
  if (h % 5 == 0) {
    Fault_Agent* child = Allocate<Fault_Agent>();
    child->_serial = Mix(h);
    child->privLoad_Event(&Churning_Agent, Revision(now._iteration + 1, 0), Fault_Agent::component_manager);
  }
  if (h % 5 == 1) {
    Free(agent);
    return;
  }
  response._next_revision = Revision(now._iteration + 1, 0);
}

void Ticking_Event(void*, Event_Response& response) {
  const Revision now = World::Instance().current_revision();
  Note_Call(now);
  Maybe_Inject(true);
  response._next_revision = Revision(now._iteration + 1, 1);
}

void Start(int threads, int iterations) {
  Simulation_Configuration config = testing::Make_Configuration(threads, iterations, 2);
  World::Initialize_Simulation(config);
}

// Runs the population with the planned fault; returns what Start_Turning threw ("" if
// nothing) and, through `log`, what the engine logged meanwhile.
std::string Run_Faulty(int threads, std::string& log) {
  Start(threads, 60);
  __fired = false;
  __fired_at = 0;
  __last_call = 0;
  __caught_text.clear();
  for (int i = 0; i < 120; ++i) {
    Fault_Agent* agent = Allocate<Fault_Agent>();
    agent->_serial = Mix(uint64_t(i) + 1);
    agent->privLoad_Event(&Churning_Agent, Revision(0, 0), Fault_Agent::component_manager);
  }
  for (int i = 0; i < 12; ++i) {
    Allocate<Fault_Event>()->privLoad_Event(&Ticking_Event, Revision(0, 1), Fault_Event::component_manager);
  }
  ::testing::internal::CaptureStderr();
  std::string thrown =
      Thrown_Text([] { testing::Run_Bounded([] { World::Instance().Start_Turning("."); }); });
  log = ::testing::internal::GetCapturedStderr();
  return thrown;
}

void Healthy_Agent(void* object, Event_Response& response) {
  const uint32_t it = World::Instance().iteration();
  ++__healthy[size_t(static_cast<Fault_Agent*>(object)->_serial * kHealthy_Iterations + it)];
  response._next_revision = Revision(it + 1, 0);
}

void Healthy_Event(void* object, Event_Response& response) {
  const uint32_t it = World::Instance().iteration();
  ++__healthy[size_t(static_cast<Fault_Event*>(object)->_serial * kHealthy_Iterations + it)];
  response._next_revision = Revision(it + 1, 1);
}

// A run after the faulty one: every agent and event acts exactly once per iteration.
void Expect_Healthy_Run(int threads) {
  Start(threads, int(kHealthy_Iterations));
  __healthy = std::vector<std::atomic<int>>(size_t(kHealthy_Agents + kHealthy_Events) * kHealthy_Iterations);
  for (int i = 0; i < kHealthy_Agents; ++i) {
    Fault_Agent* agent = Allocate<Fault_Agent>();
    agent->_serial = uint64_t(i);
    agent->privLoad_Event(&Healthy_Agent, Revision(0, 0), Fault_Agent::component_manager);
  }
  for (int i = 0; i < kHealthy_Events; ++i) {
    Fault_Event* event = Allocate<Fault_Event>();
    event->_serial = uint64_t(kHealthy_Agents + i);
    event->privLoad_Event(&Healthy_Event, Revision(0, 1), Fault_Event::component_manager);
  }
  ::testing::internal::CaptureStderr();
  const std::string thrown =
      Thrown_Text([] { testing::Run_Bounded([] { World::Instance().Start_Turning("."); }); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown, "") << log;
  EXPECT_EQ(Thrown_Text([] { World::Terminate_Simulation(); }), "");
  int wrong = 0;
  for (std::atomic<int> const& calls : __healthy) wrong += calls.load() != 1;
  EXPECT_EQ(wrong, 0) << "objects that did not act exactly once in an iteration of the next run";
}

bool Contains(std::string const& text, std::string const& part) {
  return text.find(part) != std::string::npos;
}

void Expect_Outcome(std::string const& thrown, std::string const& log) {
  const Revision fired = Revision::From_Key(__fired_at);
  EXPECT_TRUE(__fired.load()) << "the fault was never injected";
  const char* aborted = "There was an exception on a worker thread - aborting simulation";
  switch (__plan.fault) {
    case Fault::Throw_In_Agent:
    case Fault::Throw_In_Event:
      EXPECT_EQ(thrown, aborted);
      EXPECT_TRUE(Contains(log, "injected fault")) << log;
      EXPECT_EQ(__last_call.load(), fired._revision) << "a handler ran after the failed cycle";
      break;
    case Fault::Start_Turning_Escapes:
      EXPECT_EQ(thrown, aborted);
      EXPECT_TRUE(Contains(log, "Simulation Has Already Started!")) << log;
      EXPECT_EQ(__last_call.load(), fired._revision) << "a handler ran after the failed cycle";
      break;
    case Fault::Stop_Mid:
      EXPECT_EQ(thrown, "");
      EXPECT_TRUE(Contains(log, "Stop Mid Simulation called at iteration " + to_string(fired))) << log;
      EXPECT_TRUE(Contains(log, "Stop_Turning finished at iteration ")) << log;
      EXPECT_EQ(__last_call.load(), fired._revision) << "a handler ran after the stopping cycle";
      break;
    case Fault::Start_Turning_Caught:
      EXPECT_EQ(thrown, "");
      EXPECT_EQ(__caught_text, "An exception occurred, check your logs: Simulation Has Already Started!");
      EXPECT_EQ(__last_call.load(), Revision(59, 1)._revision) << "the run did not reach its last iteration";
      break;
  }
}

// A run that ended normally terminates without complaint. A run aborted in the middle of a
// step may leave blocks in a manager's queues; Terminate_Simulation then raises its fatal
// error about them after releasing them and terminating every other manager, so a second
// call finds nothing left to do.
void Expect_Clean_Termination(Fault fault) {
  const bool aborted = fault != Fault::Stop_Mid && fault != Fault::Start_Turning_Caught;
  const std::string terminated = Thrown_Text([] { World::Terminate_Simulation(); });
  if (terminated.empty()) return;
  EXPECT_TRUE(aborted) << "terminating a run that ended normally failed: " << terminated;
  EXPECT_NE(terminated.find("There are still blocks in the activation or deactivation queues"),
            std::string::npos)
      << terminated;
  EXPECT_EQ(Thrown_Text([] { World::Terminate_Simulation(); }), "");
}

TEST(Fault_Injection_Test, Every_Fault_Ends_As_Documented_And_The_Next_Run_Is_Exact) {
  std::mt19937 random(20240611);
  const Fault faults[] = {Fault::Throw_In_Agent, Fault::Throw_In_Event, Fault::Stop_Mid,
                          Fault::Start_Turning_Escapes, Fault::Start_Turning_Caught};
  const int thread_counts[] = {1, 2, 6};
  for (Fault fault : faults) {
    for (int threads : thread_counts) {
      __plan = {fault, int(random() % unsigned(threads)), uint32_t(random() % 40)};
      SCOPED_TRACE(std::string(Name(fault)) + " on worker " + std::to_string(__plan.worker) + " of " +
                   std::to_string(threads) + " at iteration " + std::to_string(__plan.iteration));
      std::string log;
      const std::string thrown = Run_Faulty(threads, log);
      EXPECT_FALSE(World::Instance().running());
      Expect_Clean_Termination(__plan.fault);
      EXPECT_TRUE(World::simulation_engine().execution_types().empty());
      EXPECT_TRUE(World::simulation_engine().event_types().empty());
      Expect_Outcome(thrown, log);
      Expect_Healthy_Run(threads == 6 ? 2 : 6);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace quarnel
