// Misuse of agents and events is refused with the engine's fatal error, never a crash or a
// silent wrong result: the clock never goes back through an agent, an agent needs a handler,
// an object is freed once. A worker's failure reaches the caller of Start_Turning as the
// exception nested in the one it throws.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/World.h>
#include "Execution_Run.h"

struct Misuse_Master {};

// An agent whose handler records the revision of every call and then runs the test's script.
class Clock_Agent
    : public quarnel::Quarnel_Component<
          Misuse_Master,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Clock_Agent, quarnel::NULLTYPE>>,
          quarnel::Execution_Object> {
 public:
  using Script = std::function<void(Clock_Agent*, quarnel::Event_Response&)>;
  static inline Script script;
  static inline std::mutex calls_mutex;
  static inline std::vector<quarnel::Revision> calls;

  static void Handle(void* object, quarnel::Event_Response& response) {
    {
      std::lock_guard lock(calls_mutex);
      calls.push_back(quarnel::World::Instance().current_revision());
    }
    script(static_cast<Clock_Agent*>(object), response);
  }
  static Clock_Agent* Make(quarnel::Revision at) {
    auto* agent = quarnel::Allocate<Clock_Agent>();
    agent->privLoad_Event(&Handle, at, component_manager);
    return agent;
  }
};

class Misuse_Event
    : public quarnel::Quarnel_Component<
          Misuse_Master,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Misuse_Event, quarnel::NULLTYPE>>,
          quarnel::Event_Object> {};

namespace quarnel {
namespace {

using testing::Thrown_And_Cause;

constexpr const char* kAborted = "There was an exception on a worker thread - aborting simulation";

class Misuse_Test : public testing::Execution_Run_Test {
 protected:
  void SetUp() override {
    Clock_Agent::calls.clear();
    Clock_Agent::script = [](Clock_Agent*, Event_Response& response) {
      response._next_revision = Revision(World::Instance().iteration() + 1, 0);
    };
  }
  // The revisions of the handler calls, in the order they were made, never went back.
  static void Expect_Clock_Never_Went_Back() {
    EXPECT_TRUE(std::is_sorted(Clock_Agent::calls.begin(), Clock_Agent::calls.end()));
  }
};

// A handler that answers a revision before the one being stepped stops the run: the calls
// seen are those of iterations 0, 1 and 2 only, whatever the number of workers.
TEST_F(Misuse_Test, A_Handler_Answer_Before_The_Revision_Being_Stepped_Is_Refused) {
  for (int threads : {1, 3}) {
    Clock_Agent::calls.clear();
    Start(threads, 4, 10);
    for (int i = 0; i < 10; ++i) Clock_Agent::Make(Revision(0, 0));
    Clock_Agent::script = [](Clock_Agent*, Event_Response& response) {
      const uint32_t now = World::Instance().iteration();
      response._next_revision = Revision(now == 2 ? 1 : now + 1, 0);
    };
    ::testing::internal::CaptureStderr();
    auto [thrown, cause] = Thrown_And_Cause([&] { Turn(); });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(thrown, kAborted);
    EXPECT_EQ(cause,
              "An exception occurred, check your logs: An agent handler of Clock_Agent answered Rev(1,0), "
              "before the revision being stepped Rev(2,0)");
    Expect_Clock_Never_Went_Back();
    EXPECT_LE(Clock_Agent::calls.size(), 30u);
    TearDown();
  }
}

// Loading or rescheduling an agent at an earlier revision from a handler is refused too.
TEST_F(Misuse_Test, Scheduling_An_Agent_Before_The_Revision_Being_Stepped_Is_Refused) {
  for (bool reload : {false, true}) {
    Clock_Agent::calls.clear();
    Start(2, 4, 10);
    Clock_Agent* idle = Allocate<Clock_Agent>();  // allocated, never loaded
    Clock_Agent::Make(Revision(0, 0));
    Clock_Agent::script = [&](Clock_Agent*, Event_Response& response) {
      const uint32_t now = World::Instance().iteration();
      if (now == 2 && reload)
        idle->privLoad_Event(&Clock_Agent::Handle, Revision(1, 5), Clock_Agent::component_manager);
      if (now == 2 && !reload) idle->privReschedule(Revision(1, 5), Clock_Agent::component_manager);
      response._next_revision = Revision(now + 1, 0);
    };
    ::testing::internal::CaptureStderr();
    auto [thrown, cause] = Thrown_And_Cause([&] { Turn(); });
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(thrown, kAborted);
    EXPECT_EQ(cause,
              "An exception occurred, check your logs: An agent of Clock_Agent was scheduled at Rev(1,5), "
              "before the revision being stepped Rev(2,0)");
    EXPECT_EQ(Clock_Agent::calls.size(), 3u);
    EXPECT_EQ(Load_Revision(idle->_next_revision), __revision_omega);
    Expect_Clock_Never_Went_Back();
    TearDown();
  }
}

// A later request, or one at the revision being stepped, is still accepted.
TEST_F(Misuse_Test, Scheduling_At_Or_After_The_Revision_Being_Stepped_Is_Accepted) {
  Start(2, 4, 5);
  Clock_Agent* other = Allocate<Clock_Agent>();
  bool loaded = false;
  Clock_Agent::Make(Revision(1, 0));
  Clock_Agent::script = [&](Clock_Agent* self, Event_Response& response) {
    if (self != other && !loaded) {
      loaded = true;
      other->privLoad_Event(&Clock_Agent::Handle, Revision(1, 0), Clock_Agent::component_manager);
    }
    response._next_revision = Revision(World::Instance().iteration() + 1, 0);
  };
  Turn();
  EXPECT_EQ(Clock_Agent::calls.size(), 8u);  // both agents at 1..4
  Expect_Clock_Never_Went_Back();
}

TEST_F(Misuse_Test, Loading_An_Agent_Without_A_Handler_Is_Refused) {
  Start(1, 4);
  Clock_Agent* agent = Allocate<Clock_Agent>();
  ::testing::internal::CaptureStderr();
  const std::string text = testing::Thrown_Text(
      [&] { agent->privLoad_Event(nullptr, Revision(0, 0), Clock_Agent::component_manager); });
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(text,
            "An exception occurred, check your logs: An agent of Clock_Agent was loaded without a handler");
  EXPECT_NE(log.find("RUNTIME_ERROR at libs/core/Execution_Object.cpp"), std::string::npos) << log;
  EXPECT_EQ(Load_Revision(agent->_next_revision), __revision_omega);
}

// A second release is refused before it touches the block: the free list keeps one entry per
// free cell, so the next allocations get distinct cells.
TEST_F(Misuse_Test, Freeing_An_Object_Twice_Is_Refused_And_The_Free_List_Stays_Intact) {
  Start(1, 4);
  Clock_Agent* agent = Allocate<Clock_Agent>();
  Execution_Block* block = agent->_execution_block;
  Free(agent);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(testing::Thrown_Text([&] { Free(agent); }),
            "An exception occurred, check your logs: An agent of Clock_Agent was freed twice");
  Misuse_Event* event = Allocate<Misuse_Event>();
  Free(event);
  EXPECT_EQ(testing::Thrown_Text([&] { Free(event); }),
            "An exception occurred, check your logs: An event of Misuse_Event was freed twice");
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(block->_num_allocated, 0u);
  Clock_Agent* a = Allocate<Clock_Agent>();
  Clock_Agent* b = Allocate<Clock_Agent>();
  EXPECT_NE(a, b);
  EXPECT_EQ(block->_num_allocated, 2u);
  Misuse_Event* e = Allocate<Misuse_Event>();
  Misuse_Event* f = Allocate<Misuse_Event>();
  EXPECT_NE(e, f);
}

// The first worker's exception is the one nested, with its own type and text.
TEST_F(Misuse_Test, The_Cause_Of_A_Worker_Failure_Is_Nested_In_The_Exception_Of_Start_Turning) {
  Start(2, 4, 10);
  for (int i = 0; i < 4; ++i) Clock_Agent::Make(Revision(0, 0));
  Clock_Agent::script = [](Clock_Agent*, Event_Response&) { throw std::out_of_range("no such cell 7"); };
  ::testing::internal::CaptureStderr();
  std::string outer;
  std::string cause;
  std::string line;
  try {
    Turn();
  } catch (std::exception const& e) {
    outer = e.what();
    line = Describe_Exception(e);
    try {
      std::rethrow_if_nested(e);
    } catch (std::out_of_range const& nested) {
      cause = nested.what();
    }
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(outer, kAborted);
  EXPECT_EQ(cause, "no such cell 7");
  EXPECT_EQ(line, std::string(kAborted) + ": no such cell 7");  // what a program prints
}

}  // namespace
}  // namespace quarnel
