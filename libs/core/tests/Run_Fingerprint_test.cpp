// The run fingerprint: the digest of every handler call of a run, agents and events alike.
//
// Property: with the fingerprint on, the digest after a run is exactly the sum of
// Fingerprint_Hash over the (identity, revision) of the calls the schedule implies, whatever
// the number of workers and the block size; with it off the run leaves an empty digest.
//
// Schedule, for K iterations: identified agent i (identity i + 1) acts at (t, 0) for every
// t < K; agents with i % 7 == 0 give birth at t = 3 to Child_Identity(i + 1, (3, 0)), which
// acts from t = 4 on. Identified event j (identity j + 1) runs at (t, 1 + j % 2) for even t.
// Plain agents with identifiers 100, 101, ... and one without (-1) act at (t, 0) too.
#include <quarnel/Run_Fingerprint.h>

#include <gtest/gtest.h>

#include <vector>

#include <quarnel/Object_Identity.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;

constexpr uint32_t K = 9;
constexpr int kAgents = 60, kEvents = 12, kPlain = 5;

struct MT_Fingerprint {};

uint32_t Now() {
  return World::Instance().iteration();
}

class FP_Agent : public Quarnel_Component<MT_Fingerprint, TypeList<NULLTYPE, TypeList<FP_Agent, NULLTYPE>>,
                                          Identified_Execution_Object> {
 public:
  bool _parent = false;
  static void Act(void* self, Event_Response& response) {
    auto* agent = static_cast<FP_Agent*>(self);
    if (agent->_parent && Now() == 3) {
      FP_Agent* child = Allocate_Identified<FP_Agent>(Child_Identity(agent->_identity, Revision(3, 0)));
      child->privLoad_Event(&Act, Revision(4, 0), component_manager);
    }
    response._next_revision = Revision(Now() + 1, 0);
  }
};

class FP_Event : public Quarnel_Component<MT_Fingerprint, TypeList<NULLTYPE, TypeList<FP_Event, NULLTYPE>>,
                                          Identified_Event_Object> {
 public:
  static void Act(void*, Event_Response& response) {
    const Revision now = World::Instance().current_revision();
    response._next_revision = Revision(now._iteration + 2, now._sub_iteration);
  }
};

class FP_Plain : public Quarnel_Component<MT_Fingerprint, TypeList<NULLTYPE, TypeList<FP_Plain, NULLTYPE>>,
                                          Execution_Object> {
 public:
  static void Act(void*, Event_Response& response) { response._next_revision = Revision(Now() + 1, 0); }
};

// The digest that the schedule above implies, computed without the engine.
Run_Digest Expected_Digest() {
  Run_Digest expected;
  for (uint32_t t = 0; t < K; ++t) {
    for (int i = 0; i < kAgents; ++i) {
      expected.Add(Root_Identity(uint64_t(i)), Revision(t, 0));
      if (i % 7 == 0 && t >= 4)
        expected.Add(Child_Identity(Root_Identity(uint64_t(i)), Revision(3, 0)), Revision(t, 0));
    }
    for (int j = 0; j < kEvents && t % 2 == 0; ++j)
      expected.Add(Root_Identity(uint64_t(j)), Revision(t, 1 + j % 2));
    for (int p = 0; p < kPlain; ++p) expected.Add(uint64_t(100 + p), Revision(t, 0));
    expected.Add(~0ull, Revision(t, 0));
  }
  return expected;
}

// One run of the schedule; returns the fingerprint's result after it.
Run_Digest Run_Schedule(int threads, int objects_per_block) {
  Simulation_Configuration config = Make_Configuration(threads, K, objects_per_block);
  World::Initialize_Simulation(config);
  FP_Agent::component_manager->_objects_per_block = objects_per_block;
  for (int i = 0; i < kAgents; ++i) {
    FP_Agent* agent = Allocate_Identified<FP_Agent>(Root_Identity(uint64_t(i)));
    agent->_parent = i % 7 == 0;
    agent->privLoad_Event(&FP_Agent::Act, Revision(0, 0), FP_Agent::component_manager);
  }
  for (int j = 0; j < kEvents; ++j) {
    Allocate_Identified<FP_Event>(Root_Identity(uint64_t(j)))
        ->privLoad_Event(&FP_Event::Act, Revision(0, 1 + j % 2), FP_Event::component_manager);
  }
  for (int p = 0; p <= kPlain; ++p) {
    Allocate<FP_Plain>(p < kPlain ? 100 + p : -1)
        ->privLoad_Event(&FP_Plain::Act, Revision(0, 0), FP_Plain::component_manager);
  }
  Run_Bounded([] { World::Instance().Start_Turning("."); });
  World::Terminate_Simulation();
  return Run_Fingerprint::Instance().Result();
}

TEST(Run_Fingerprint_Test, Off_By_Default_A_Run_Leaves_An_Empty_Digest) {
  ASSERT_FALSE(Run_Fingerprint::Instance().on());
  EXPECT_EQ(Run_Schedule(2, 4), Run_Digest{});
}

TEST(Run_Fingerprint_Test, On_It_Digests_Exactly_The_Scheduled_Calls_On_Any_Workers_And_Blocks) {
  const Run_Digest expected = Expected_Digest();
  ASSERT_EQ(expected.calls, uint64_t(K) * (kAgents + kPlain + 1) + (K - 4) * 9 + ((K + 1) / 2) * kEvents);
  Run_Fingerprint::Instance().Switch(true);
  for (int threads : {1, 2, 3}) {
    for (int per_block : {1, 4, 100}) {
      EXPECT_EQ(Run_Schedule(threads, per_block), expected)
          << threads << " workers, " << per_block << " per block";
    }
  }
  Run_Fingerprint::Instance().Switch(false);
}

TEST(Run_Fingerprint_Test, The_Digest_Tells_Apart_Calls_That_Differ_In_Identity_Or_Revision) {
  Run_Digest a, b, c, d;
  a.Add(1, Revision(2, 0));
  a.Add(2, Revision(1, 0));
  b.Add(2, Revision(1, 0));
  b.Add(1, Revision(2, 0));
  EXPECT_EQ(a, b);  // the order of the calls does not matter
  c.Add(1, Revision(1, 0));
  c.Add(2, Revision(2, 0));
  EXPECT_NE(a, c);  // the same identities and revisions, paired otherwise
  d.Add(1, Revision(2, 1));
  d.Add(2, Revision(1, 0));
  EXPECT_NE(a, d);
  EXPECT_EQ(to_string(Run_Digest{3, 0xabcull}), "0x0000000000000abc over 3 handler calls");
}

}  // namespace
}  // namespace quarnel
