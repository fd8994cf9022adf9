// Identities of deterministic models: the rule for roots and newborns, and the detection of
// an identity given twice in a run, during set-up and inside handlers on several workers.
#include <quarnel/Object_Identity.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Execution_Run.h"
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Thrown_Text;

struct MT_Identity {};

class Identified_Agent
    : public Quarnel_Component<MT_Identity, TypeList<NULLTYPE, TypeList<Identified_Agent, NULLTYPE>>,
                               Identified_Execution_Object> {
 public:
  // Every agent gives birth, at (1, 0), to a child with identity `child` (0: no birth).
  static inline std::atomic<uint64_t> child{0};
  static void Act(void*, Event_Response&) {
    const uint64_t c = child.load();
    if (c != 0) Allocate_Identified<Identified_Agent>(c);
  }
};

class Identified_Event
    : public Quarnel_Component<MT_Identity, TypeList<NULLTYPE, TypeList<Identified_Event, NULLTYPE>>,
                               Identified_Event_Object> {};

class Plain_Agent : public Quarnel_Component<MT_Identity, TypeList<NULLTYPE, TypeList<Plain_Agent, NULLTYPE>>,
                                             Execution_Object> {};

TEST(Identity_Rule_Test, Roots_Count_From_One_And_Newborns_Never_Collide_Structurally) {
  EXPECT_EQ(Root_Identity(0), 1u);
  EXPECT_EQ(Root_Identity(41), 42u);
  // Parents and revision keys drawn from the same small numbers, so that a rule that mixed
  // them symmetrically (p ^ r, p + r) would collide; grandchildren by two paths as well.
  std::unordered_set<uint64_t> seen;
  size_t made = 0;
  auto add = [&](uint64_t id) {
    EXPECT_NE(id, __identity_none);
    seen.insert(id);
    ++made;
  };
  for (uint64_t p = 1; p <= 120; ++p) {
    add(Root_Identity(p + 1000));
    for (uint64_t r = 0; r <= 120; ++r) {
      for (uint64_t k = 0; k < 3; ++k) add(Child_Identity(p, Revision::From_Key(r), k));
      if (r > 0) add(Child_Identity(p, Revision(uint32_t(r), 0)));  // (0, 0) is key 0, added above
    }
    add(Child_Identity(Child_Identity(p, Revision(1, 0)), Revision(2, 0)));
    add(Child_Identity(Child_Identity(p, Revision(2, 0)), Revision(1, 0)));
  }
  EXPECT_EQ(seen.size(), made);
  // Revision (r, 0) is the key r << 32: the same child however the revision is spelt.
  EXPECT_EQ(Child_Identity(7, Revision(3, 0)), Child_Identity(7, Revision::From_Key(3ull << 32), 0));
}

TEST(Identity_Registry_Test, A_Repeat_Or_Zero_Is_A_Fatal_Error_And_Concurrent_Claims_Are_Counted_Once) {
  Identity_Registry registry;
  registry.Claim(5, "T");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(
      Thrown_Text([&] { registry.Claim(5, "T"); }),
      "An exception occurred, check your logs: Identity collision: identity 5 was given to two objects of T "
      "in one run");
  EXPECT_EQ(Thrown_Text([&] { registry.Claim(0, "T"); }),
            "An exception occurred, check your logs: Identity 0 given to an object of T");

  // Four threads claim 3000 identities each, 40 of them shared by all four: each shared
  // identity is accepted exactly once and refused three times.
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; i < 3000; ++i) {
        const uint64_t id = i < 40 ? 100 + i : 1000000 * (t + 1) + i;
        try {
          registry.Claim(id, "T");
        } catch (std::runtime_error const&) {
          ++refused;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(refused.load(), 3 * 40);
  EXPECT_EQ(registry.size(), 1u + 40u + 4u * 2960u);
  registry.Clear();
  EXPECT_EQ(registry.size(), 0u);
  registry.Claim(5, "T");
}

// Identities on both sides of the dense limit, and enough hashed ones that every shard's table
// grows several times: each is accepted once and refused after every growth.
TEST(Identity_Registry_Test, Dense_And_Hashed_Identities_Are_Each_Accepted_Once_Across_Growth) {
  Identity_Registry registry;
  const uint64_t limit = Identity_Registry::kDense_Limit;
  std::vector<uint64_t> ids = {1, 63, 64, limit - 1, limit, limit + 1, ~uint64_t(0)};
  for (uint64_t p = 1; ids.size() < 200000; ++p) ids.push_back(Child_Identity(p, Revision(3, 1)));
  for (uint64_t id : ids) registry.Claim(id, "T");
  EXPECT_EQ(registry.size(), ids.size());
  ::testing::internal::CaptureStderr();
  int refused = 0;
  for (size_t i = 0; i < ids.size(); i += 997) {
    try {
      registry.Claim(ids[i], "T");
    } catch (std::runtime_error const&) {
      ++refused;
    }
  }
  for (uint64_t id : {uint64_t(1), limit - 1, limit, ~uint64_t(0)}) {
    EXPECT_THROW(registry.Claim(id, "T"), std::runtime_error) << id;
  }
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(refused, int((ids.size() + 996) / 997));
  EXPECT_EQ(registry.size(), ids.size());
  registry.Claim(2, "T");  // neighbours of a recorded identity are still free
  registry.Claim(limit + 2, "T");
}

class Identity_Run_Test : public testing::Execution_Run_Test {};

TEST_F(Identity_Run_Test, Identified_Objects_Carry_Their_Identity_And_Other_Types_Keep_Their_Size) {
  Start(1, 100);
  Identified_Agent* agent = Allocate_Identified<Identified_Agent>(Root_Identity(0));
  Identified_Event* event = Allocate_Identified<Identified_Event>(Root_Identity(0));  // another type
  EXPECT_EQ(agent->_identity, 1u);
  EXPECT_EQ(event->_identity, 1u);
  EXPECT_EQ(agent->_object_id, -1);
  EXPECT_EQ(Fingerprint_Identity<Execution_Object>(agent, true), 1u);
  EXPECT_TRUE(Identified_Agent::component_manager->_identified);
  EXPECT_TRUE(Identified_Event::component_manager->_identified);
  EXPECT_FALSE(Plain_Agent::component_manager->_identified);
  EXPECT_EQ(sizeof(Plain_Agent), sizeof(Execution_Object));
  EXPECT_EQ(sizeof(Identified_Agent), sizeof(Execution_Object) + 8);
  EXPECT_EQ(Identified_Agent::component_manager->_object_size, Plain_Agent::component_manager->_object_size);

  Plain_Agent* plain = Allocate<Plain_Agent>(7);
  EXPECT_EQ(Fingerprint_Identity<Execution_Object>(plain, false), 7u);
  Plain_Agent* anonymous = Allocate<Plain_Agent>();
  EXPECT_EQ(Fingerprint_Identity<Execution_Object>(anonymous, false), ~0ull);  // -1 widened
}

TEST_F(Identity_Run_Test, A_Repeat_In_Set_Up_Allocates_Nothing_And_The_Next_Run_Starts_Afresh) {
  Start(2, 100);
  Allocate_Identified<Identified_Agent>(Root_Identity(3));
  const uint32_t allocated = Identified_Agent::component_manager->_active_blocks.front()->_num_allocated;
  ::testing::internal::CaptureStderr();
  const std::string text = Thrown_Text([] { Allocate_Identified<Identified_Agent>(Root_Identity(3)); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("Identity collision: identity 4 was given to two objects of"), std::string::npos)
      << text;
  EXPECT_EQ(Identified_Agent::component_manager->_active_blocks.front()->_num_allocated, allocated);
  TearDown();

  Start(2, 100);
  EXPECT_EQ(Allocate_Identified<Identified_Agent>(Root_Identity(3))->_identity, 4u);
}

TEST_F(Identity_Run_Test, Two_Newborns_Given_One_Identity_On_Different_Workers_Fail_The_Run) {
  Start(2, 100, 3);
  for (uint64_t i = 0; i < 400; ++i) {
    Allocate_Identified<Identified_Agent>(Root_Identity(i))
        ->privLoad_Event(&Identified_Agent::Act, Revision(1, 0), Identified_Agent::component_manager);
  }
  Identified_Agent::child = Child_Identity(1, Revision(1, 0));
  ::testing::internal::CaptureStderr();
  const std::string text = Thrown_Text([this] { Turn(); });
  // The failed cycle leaves the first newborn's block queued, which termination reports.
  Thrown_Text([] { World::Terminate_Simulation(); });
  _started = false;
  const std::string log = ::testing::internal::GetCapturedStderr();
  Identified_Agent::child = 0;
  EXPECT_EQ(text, "There was an exception on a worker thread - aborting simulation");
  EXPECT_NE(log.find("Identity collision: identity " + std::to_string(Child_Identity(1, Revision(1, 0)))),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace quarnel
