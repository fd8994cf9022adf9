// Event blocks whose last event is freed while they are stepped, and events parked at the
// final iteration.
//
// Property: an event loaded into a block is called at its revision, however the block's
// release of its last event, another thread's allocation into it and the end of its step
// interleave; an event parked at the final iteration counts in its block's minimum while
// other events remain, so the run's last cycle is the final iteration.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Test_Support.h"

struct Reuse_Master {};

// An event that runs the test's script; every call is counted per worker.
class Reuse_Event
    : public quarnel::Quarnel_Component<
          Reuse_Master,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Reuse_Event, quarnel::NULLTYPE>>,
          quarnel::Event_Object> {
 public:
  using Script = std::function<void(Reuse_Event*, quarnel::Event_Response&)>;
  static inline Script script;
  uint64_t _id = 0;

  static void Handle(void* event, quarnel::Event_Response& response) {
    script(static_cast<Reuse_Event*>(event), response);
  }
  static Reuse_Event* Make(uint64_t id, quarnel::Revision at) {
    auto* event = quarnel::Allocate<Reuse_Event>();
    event->_id = id;
    event->privLoad_Event(&Handle, at, component_manager);
    return event;
  }
};

// A second event type, activated after Reuse_Event, so its manager is stepped after
// Reuse_Event's in every cycle.
class Later_Event
    : public quarnel::Quarnel_Component<
          Reuse_Master,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Later_Event, quarnel::NULLTYPE>>,
          quarnel::Event_Object> {
 public:
  static inline std::function<void()> script;
  static void Handle(void*, quarnel::Event_Response&) { script(); }
};

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;

class Event_Reuse_Test : public ::testing::Test {
 protected:
  void Start(int threads, int iterations, int objects_per_block) {
    Simulation_Configuration config = Make_Configuration(threads, iterations, objects_per_block);
    World::Initialize_Simulation(config);
    _started = true;
  }
  void Turn() {
    ::testing::internal::CaptureStderr();
    Run_Bounded([] { World::Instance().Start_Turning("."); });
    ::testing::internal::GetCapturedStderr();
  }
  void TearDown() override {
    if (!_started) return;
    _started = false;
    Run_Bounded([] { World::Terminate_Simulation(); });
    Reuse_Event::script = nullptr;
    Later_Event::script = nullptr;
  }
  bool _started = false;
};

// One worker steps block X at (1,0), and the handler of X's only event frees it. Before the
// step ends, another thread allocates into X and makes the first half of a load at (2,0) (the
// schedules); the event reaches X's heap only after X's step has ended (the second half, made
// here by a handler of the later manager). The block must keep the request and step the new
// event at (2,0).
TEST_F(Event_Reuse_Test, An_Event_Loaded_Into_A_Block_Whose_Last_Event_Was_Freed_During_Its_Step_Is_Called) {
  Start(1, 5, 8);
  Reuse_Event* first = Reuse_Event::Make(1, Revision(1, 0));
  Event_Block* block = first->_event_block;
  Later_Event* later = Allocate<Later_Event>();
  later->privLoad_Event(&Later_Event::Handle, Revision(1, 0), Later_Event::component_manager);

  const Revision at(2, 0);
  Reuse_Event* reused = nullptr;
  std::vector<Revision> reused_calls;
  Reuse_Event::script = [&](Reuse_Event* event, Event_Response&) {
    if (event->_id != 1) {  // the new event may well take the first one's cell
      reused_calls.push_back(World::Instance().current_revision());
      return;
    }
    Free(event);
    // The controlling thread's index: X is the front block of that thread's list.
    std::thread other([&] {
      __thread_id = int32_t(World::Instance().num_threads());
      reused = Allocate<Reuse_Event>();
      World::simulation_engine().Lower_Next_Revision(at, true);
      Reuse_Event::component_manager->Update_Schedule(at);
      reused->_event_block->Update_Schedule(at);
    });
    other.join();
  };
  Later_Event::script = [&] {
    if (World::Instance().iteration() == 1)
      reused->_event_block->Request_Schedule(reused, &Reuse_Event::Handle, at);
  };
  Turn();
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(reused->_event_block, block);
  EXPECT_EQ(reused_calls, std::vector<Revision>{at});
}

// Workers free events and allocate their replacements while the blocks are stepped: small
// blocks empty and refill all the time, often while another worker steps them. Every live
// event is called exactly once per iteration, so the calls add up to events x iterations.
TEST_F(Event_Reuse_Test, Events_Freed_And_Allocated_Across_Workers_Are_Never_Lost) {
  constexpr int kEvents = 400;
  constexpr uint32_t kIterations = 60;
  for (int threads : {2, 3, 6}) {
    for (int per_block : {1, 2}) {
      Start(threads, int(kIterations), per_block);
      std::vector<Cache_Line_Value<uint64_t>> calls(static_cast<size_t>(threads));
      Reuse_Event::script = [&](Reuse_Event* event, Event_Response& response) {
        ++calls[size_t(__thread_id)].value;
        const uint32_t now = World::Instance().iteration();
        const Revision next(now + 1, 0);
        // Half of the events, by a hash of identity and iteration, are replaced.
        if (((event->_id * 0x9E3779B97F4A7C15ull + now) >> 17) % 2 == 0) {
          const uint64_t id = event->_id;
          Free(event);
          if (now + 1 < kIterations) Reuse_Event::Make(id, next);
          return;
        }
        if (now + 1 < kIterations) response._next_revision = next;
      };
      for (int i = 0; i < kEvents; ++i) Reuse_Event::Make(uint64_t(i), Revision(0, 0));
      Turn();
      uint64_t total = 0;
      for (const auto& c : calls) total += c.value;
      EXPECT_EQ(total, uint64_t(kEvents) * kIterations)
          << threads << " workers, " << per_block << " per block";
      TearDown();
    }
  }
}

// A 10-iteration run: one event ticks every iteration and answers the final iteration at 9,
// where it is parked; another waits at (12,0) in the same block. The run ends at (10,0).
TEST_F(Event_Reuse_Test, A_Parked_Event_Counts_In_Its_Block_Minimum_While_Others_Remain) {
  Start(2, 10, 8);
  int ticks = 0;
  Reuse_Event::script = [&](Reuse_Event* event, Event_Response& response) {
    const uint32_t now = World::Instance().iteration();
    if (event->_id == 1) {
      ++ticks;
      response._next_revision = Revision(now + 1, 0);
    }
  };
  Reuse_Event* ticker = Reuse_Event::Make(1, Revision(0, 0));
  Reuse_Event* late = Reuse_Event::Make(2, Revision(12, 0));
  ASSERT_EQ(ticker->_event_block, late->_event_block);
  ::testing::internal::CaptureStderr();
  Run_Bounded([] { World::Instance().Start_Turning("."); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ticks, 10);
  EXPECT_EQ(World::Instance().current_revision(), Revision(10, 0));
  EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(10,0)/10"), std::string::npos) << log;
  EXPECT_FALSE(ticker->In_Heap());
  EXPECT_EQ(Load_Revision(ticker->_next_revision), Revision(10, 0));
}

}  // namespace
}  // namespace quarnel
