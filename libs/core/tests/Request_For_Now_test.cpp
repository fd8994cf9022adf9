// A request for the revision being stepped, racing a step of the object's block.
//
// Scheduling an object lowers the schedules of the engine, its manager and its block first,
// and settles the object's own schedule after (an agent stores its revision; an event enters
// its block's heap). When the revision is the one being stepped and the block was not due,
// another worker may step the block in between and not see the object yet. The handlers below
// make that interleaving happen on two workers, for agents and for events. Four blocks of one
// object each form four chunks: a witness due one iteration later, the waker, a holder and
// the sleeper. Worker 1 starts at the holder's chunk, and the holder keeps it until the waker
// (worker 0) has lowered the sleeper's block; worker 1 then steps the sleeper's block and
// passes the waker's chunk last, which resets its claim counter; only then does the waker
// settle the sleeper's schedule. The sleeper must be called once, at that revision, before the
// clock moves on (the witness checks it).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <type_traits>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Execution_Run.h"

namespace quarnel {
namespace {

struct Race_Master {};

class Race_Agent : public Quarnel_Component<Race_Master, TypeList<NULLTYPE, TypeList<Race_Agent, NULLTYPE>>,
                                            Execution_Object> {};
class Race_Event : public Quarnel_Component<Race_Master, TypeList<NULLTYPE, TypeList<Race_Event, NULLTYPE>>,
                                            Event_Object> {};

template <class Object>
auto* Block_Of(Object* object) {
  if constexpr (std::is_base_of_v<Event_Object, Object>) {
    return object->_event_block;
  } else {
    return object->_execution_block;
  }
}

// The state of one arranged race; the handlers are plain functions, so it is static.
template <class Object>
struct Race {
  static inline std::atomic<bool> sleeper_block_lowered{false};
  static inline std::atomic<int> sleeper_calls{0};
  static inline std::atomic<int> waits_timed_out{0};
  static inline Object* sleeper = nullptr;
  static inline Object* waker = nullptr;

  template <class Condition>
  static void Wait_Until(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ++waits_timed_out;
        return;
      }
      std::this_thread::yield();
    }
  }

  static void Hold(void*, Event_Response&) {
    Wait_Until([] { return sleeper_block_lowered.load(); });
  }

  // Schedules the sleeper at the revision being stepped, in the two halves of a request, with
  // the other worker's step of the sleeper's block in between.
  static void Wake(void*, Event_Response&) {
    const Revision now = World::Instance().current_revision();
    World::simulation_engine().Lower_Next_Revision(now, true);
    Object::component_manager->Update_Schedule(now);
    Block_Of(sleeper)->Update_Schedule(now);
    sleeper_block_lowered = true;
    Wait_Until([] { return Block_Of(waker)->_claim_count.load() == 0; });
    if constexpr (std::is_base_of_v<Event_Object, Object>) {
      Block_Of(sleeper)->Request_Schedule(sleeper, nullptr, now);
    } else {
      Store_Revision(sleeper->_next_revision, now, std::memory_order_release);
    }
  }

  static void Sleep(void*, Event_Response&) {
    EXPECT_EQ(World::Instance().current_revision(), Revision(0, 0));
    ++sleeper_calls;
  }

  static void Witness(void*, Event_Response&) {
    EXPECT_EQ(sleeper_calls.load(), 1) << "the clock moved on before the sleeper was called";
  }
};

template <class Object>
class Request_For_Now_Test : public testing::Execution_Run_Test {};

using Object_Kinds = ::testing::Types<Race_Agent, Race_Event>;
TYPED_TEST_SUITE(Request_For_Now_Test, Object_Kinds);

TYPED_TEST(Request_For_Now_Test, Survives_A_Step_Of_Its_Block_That_Does_Not_See_The_Object_Yet) {
  using R = Race<TypeParam>;
  this->Start(2, 1, 3);
  R::sleeper_block_lowered = false;
  R::sleeper_calls = 0;
  R::waits_timed_out = 0;
  TypeParam* witness = Allocate<TypeParam>();
  R::waker = Allocate<TypeParam>();
  TypeParam* holder = Allocate<TypeParam>();
  R::sleeper = Allocate<TypeParam>();
  ASSERT_EQ(TypeParam::component_manager->_active_blocks,
            (std::deque{Block_Of(witness), Block_Of(R::waker), Block_Of(holder), Block_Of(R::sleeper)}));
  auto* manager = TypeParam::component_manager;
  witness->privLoad_Event(&R::Witness, Revision(1, 0), manager);
  R::waker->privLoad_Event(&R::Wake, Revision(0, 0), manager);
  holder->privLoad_Event(&R::Hold, Revision(0, 0), manager);
  // Not due at (0, 0), and neither is its block until the waker lowers it.
  R::sleeper->privLoad_Event(&R::Sleep, Revision(2, 0), manager);
  this->Turn();
  EXPECT_EQ(R::waits_timed_out.load(), 0) << "the interleaving did not happen as arranged";
  EXPECT_EQ(R::sleeper_calls.load(), 1);
}

}  // namespace
}  // namespace quarnel
