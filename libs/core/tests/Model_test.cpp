// The model interface: agents and events written as plain classes with a member handler.
//
// Property: a model written this way runs exactly as the same model written with the engine's
// own names: every object acts at each revision it is scheduled for, constructor arguments
// arrive, births, deaths and events created and released inside handlers are counted exactly,
// on any number of workers; misuse gets the engine's fatal error naming the type.
#include <quarnel/Model.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <quarnel/detail/Block_Sizing.h>
#include "Execution_Run.h"

// A person ages each iteration; at age 3 it schedules a Checkup event two iterations ahead;
// at age 5 it has a child, at age 8 it dies.
class Person;
class Checkup : public quarnel::Event<Checkup> {
 public:
  explicit Checkup(Person* person) : _person(person) {}
  void Act(quarnel::Next& next);
  Person* _person;
};

std::vector<quarnel::Cache_Line_Value<int64_t>> births, deaths, checkups, acts;

class Person : public quarnel::Agent<Person> {
 public:
  Person(int age, int generation) : _age(age), _generation(generation) {}
  void Act(quarnel::Next& next) {
    const int t = quarnel::__thread_id;
    ++acts[t].value;
    ++_age;
    if (_age == 3) quarnel::Create<Checkup>(this)->Schedule_At(quarnel::Revision(next.iteration() + 2, 1));
    if (_age == 5) {
      ++births[t].value;
      quarnel::Create<Person>(0, _generation + 1)->Schedule_At(quarnel::Revision(next.iteration() + 1, 0));
    }
    if (_age == 8) {
      ++deaths[t].value;
      quarnel::Release(this);
      return;
    }
    next.In(1);
  }
  int _age;
  int _generation;
  int _checkups = 0;
};

void Checkup::Act(quarnel::Next& next) {
  EXPECT_EQ(next.now()._sub_iteration, 1u);
  ++checkups[quarnel::__thread_id].value;
  ++_person->_checkups;
  quarnel::Release(this);
}

class Walker : public quarnel::Identified_Agent<Walker> {
 public:
  void Act(quarnel::Next& next) {
    _last_draw = Random(7).Next_U64();
    next.Never();
  }
  uint64_t _last_draw = 0;
};

// Creates three more of its kind with Create_Many, which a handler may not do.
class Spawner : public quarnel::Agent<Spawner> {
 public:
  void Act(quarnel::Next&) {
    ++acts[quarnel::__thread_id].value;
    quarnel::Create_Many<Spawner>(3, quarnel::Revision(5, 0), [](uint64_t) { return Spawner(); });
  }
};

// Counts its own actions.
class Counter : public quarnel::Agent<Counter> {
 public:
  void Act(quarnel::Next& next) {
    ++_acts;
    next.In(1);
  }
  int _acts = 0;
};

// Releases its victims at once when it acts (in a sub-iteration of its own: no victim is
// being stepped then), then itself.
class Culler : public quarnel::Agent<Culler> {
 public:
  void Act(quarnel::Next&) {
    quarnel::Release_All(_victims);
    quarnel::Release(this);
  }
  std::vector<Counter*> _victims;
};

// Misuses a run from its own handler: sets up another run (a Simulation, or the World's
// Initialize_Simulation beneath it), or answers a negative number of iterations.
class Intruder : public quarnel::Agent<Intruder> {
 public:
  enum class Act_As { simulation, initialize, negative_in };
  static inline Act_As act_as = Act_As::simulation;
  void Act(quarnel::Next& next) {
    quarnel::Simulation_Configuration config = quarnel::testing::Make_Configuration(1, 1);
    if (act_as == Act_As::simulation) quarnel::Simulation inner(config);
    if (act_as == Act_As::initialize) quarnel::World::Initialize_Simulation(config);
    if (act_as == Act_As::negative_in) next.In(-1);
  }
};

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;
using testing::Thrown_And_Cause;
using testing::Thrown_Text;

constexpr const char* kAborted = "There was an exception on a worker thread - aborting simulation";
constexpr const char* kSecond_Simulation =
    "An exception occurred, check your logs: quarnel::Simulation: a run is already in progress (another "
    "Simulation is alive); end it, by letting its Simulation go out of scope, before setting up the next run";
constexpr const char* kInitialize_While_Turning =
    "An exception occurred, check your logs: Initialize_Simulation: a run is already in progress (the World "
    "is "
    "turning); set the next run up after Start_Turning has returned and the run has been ended";
constexpr const char* kNo_Run =
    "An exception occurred, check your logs: Allocate of Counter: no run is set up; objects are created "
    "while a "
    "run is set up: construct a quarnel::Simulation (or call World::Initialize_Simulation) first, and create "
    "them while it lives";

class Model_Test : public testing::Execution_Run_Test {
 protected:
  void Start_Model(int threads, int iterations) {
    Start(threads, 100, iterations);
    for (auto* v : {&births, &deaths, &checkups, &acts}) v->assign(size_t(threads) + 1, {});
  }
  static int64_t Sum(const std::vector<Cache_Line_Value<int64_t>>& v) {
    int64_t s = 0;
    for (const auto& x : v) s += x.value;
    return s;
  }
};

// The same model as plain loops: {births, deaths, checkups, acts} after `iterations`.
std::vector<int64_t> Reference_Totals(int people, int iterations) {
  struct P {
    int age;
    int from;  // first iteration it acts in
    bool alive;
  };
  std::vector<P> population;
  for (int i = 0; i < people; ++i) population.push_back({i % 5, 0, true});
  std::vector<int64_t> totals(4, 0);
  for (int it = 0; it < iterations; ++it) {
    const size_t n = population.size();
    for (size_t k = 0; k < n; ++k) {
      P& p = population[k];
      if (!p.alive || p.from > it) continue;
      ++totals[3];
      ++p.age;
      if (p.age == 3 && it + 2 < iterations) ++totals[2];
      if (p.age == 5) {
        ++totals[0];
        population.push_back({0, it + 1, true});
      }
      if (population[k].age == 8) {
        ++totals[1];
        population[k].alive = false;
      }
    }
  }
  return totals;
}

// 100 people of ages 0..4 for 12 iterations, in blocks of 7.
TEST_F(Model_Test, A_Model_Of_Plain_Classes_Matches_Its_Plain_Loop_On_Any_Number_Of_Workers) {
  const std::vector<int64_t> expected = Reference_Totals(100, 12);
  for (int threads : {1, 2, 3}) {
    Start_Model(threads, 12);
    Set_Block_Size<Person>(7);
    for (int i = 0; i < 100; ++i) Create<Person>(i % 5, 0)->Schedule_At(Revision(0, 0));
    EXPECT_EQ(Person::component_manager->_objects_per_block, 7);
    Turn();
    EXPECT_EQ((std::vector<int64_t>{Sum(births), Sum(deaths), Sum(checkups), Sum(acts)}), expected)
        << threads << " workers";
    TearDown();
  }
}

// Create_Many makes the same population as a loop of Create + Schedule_At: same objects, in
// the order of i on one thread, all scheduled, counted, and stepped exactly as the loop's.
TEST_F(Model_Test, Create_Many_Makes_What_A_Loop_Of_Creates_Makes) {
  const std::vector<int64_t> expected = Reference_Totals(100, 12);
  for (int threads : {1, 3}) {
    Start_Model(threads, 12);
    Set_Block_Size<Person>(7);
    Create_Many<Person>(100, Revision(0, 0), [](uint64_t i) { return Person(int(i % 5), 0); });
    EXPECT_EQ(Live_Count<Person>(), 100);
    std::vector<int> ages;
    For_Each_Live<Person>([&](Person& p) { ages.push_back(p._age); });
    ASSERT_EQ(ages.size(), 100u);
    for (size_t i = 0; i < ages.size(); ++i) EXPECT_EQ(ages[i], int(i % 5));
    Turn();
    EXPECT_EQ((std::vector<int64_t>{Sum(births), Sum(deaths), Sum(checkups), Sum(acts)}), expected)
        << threads << " workers";
    TearDown();
  }
}

// A block steps only the cells below the highest one allocated since it last emptied: cells
// taken from holes and from above that mark, by Create and by Create_Many into a partly used
// block, and by a block that emptied and filled again, are all stepped.
TEST_F(Model_Test, Every_Object_Of_A_Partly_Used_Block_Is_Stepped) {
  for (int threads : {1, 2}) {
    Start_Model(threads, 3);
    constexpr int kCells = 14;  // 14 cells of 64 bytes behind the header fill 1024 bytes exactly
    ASSERT_EQ(Block_Size(kCells, Cell_Stride(sizeof(Counter)), Execution_Block::_data_offset).cells,
              uint32_t(kCells));
    Set_Block_Size<Counter>(kCells);
    std::vector<Counter*> made;
    for (int i = 0; i < 3; ++i) made.push_back(Create<Counter>());
    Release(made[0]);
    Release(made[1]);  // cells 0 and 1 free, cell 2 used
    made[2]->Schedule_At(Revision(0, 0));
    // Fills cells 0, 1 and 3..13 of the partly used block.
    Create_Many<Counter>(kCells - 1, Revision(0, 0), [](uint64_t) { return Counter(); });
    // A second block up to cell 4, emptied, then filled again up to cell 1.
    made.clear();
    for (int i = 0; i < 5; ++i) made.push_back(Create<Counter>());
    for (Counter* c : made) Release(c);
    for (int i = 0; i < 2; ++i) Create<Counter>()->Schedule_At(Revision(0, 0));
    ASSERT_EQ(Live_Count<Counter>(), kCells + 2);
    Turn();
    std::vector<int> acts;
    For_Each_Live<Counter>([&](Counter& c) { acts.push_back(c._acts); });
    EXPECT_EQ(acts, std::vector<int>(kCells + 2, 3)) << threads << " workers";
    TearDown();
  }
}

// Release_All releases exactly the objects it is given, in any blocks and any order: during
// set-up and from handlers on several workers at once, agents and events, an empty range
// included; the freed cells are taken again first, and every survivor still acts.
TEST_F(Model_Test, Release_All_Frees_Exactly_Its_Objects) {
  for (int threads : {1, 2}) {
    Start_Model(threads, 3);
    Set_Block_Size<Counter>(3);
    std::vector<Counter*> made;
    for (int i = 0; i < 60; ++i) made.push_back(Create<Counter>());
    for (Counter* c : made) c->Schedule_At(Revision(0, 0));
    // Every third one during set-up, from the last block back to the first.
    std::vector<Counter*> doomed;
    for (int i = 59; i >= 0; i -= 3) doomed.push_back(made[size_t(i)]);
    Release_All(doomed);
    Release_All(std::vector<Counter*>{});
    EXPECT_EQ(Live_Count<Counter>(), 40);
    // The holes are taken again before any new block: the next 20 land exactly in them.
    const std::set<Counter*> holes(doomed.begin(), doomed.end());
    for (int i = 0; i < 20; ++i) {
      Counter* c = Create<Counter>();
      EXPECT_TRUE(holes.count(c) == 1) << "a new object outside the released cells";
      c->Schedule_At(Revision(0, 0));
    }
    // Four cullers take the rest of the odd ones, interleaved across blocks, after iteration 1.
    std::vector<Culler*> cullers;
    for (int k = 0; k < 4; ++k) {
      cullers.push_back(Create<Culler>());
      cullers.back()->Schedule_At(Revision(1, 1));
    }
    int culled = 0;
    for (int i = 1; i < 60; i += 2) {
      if (i % 3 == 2) continue;  // released above
      cullers[size_t(i) % 4]->_victims.push_back(made[size_t(i)]);
      ++culled;
    }
    Person* parent = Create<Person>(0, 0);
    std::vector<Checkup*> checkups_made;
    for (int i = 0; i < 5; ++i) checkups_made.push_back(Create<Checkup>(parent));
    Release_All(checkups_made);
    EXPECT_EQ(Live_Count<Checkup>(), 0);
    Release(parent);
    Turn();
    EXPECT_EQ(Live_Count<Counter>(), 60 - culled) << threads << " workers";
    EXPECT_EQ(Live_Count<Culler>(), 0);
    std::vector<int> counts;
    For_Each_Live<Counter>([&](Counter& c) { counts.push_back(c._acts); });
    EXPECT_EQ(counts, std::vector<int>(size_t(60 - culled), 3)) << threads << " workers";
    TearDown();
  }
}

// Create_Many of events creates them one by one; from a handler (the World runs) it is
// refused, since it is a set-up call.

TEST_F(Model_Test, Create_Many_Of_Events_And_Its_Refusal_Inside_A_Run) {
  Start_Model(2, 4);
  Create_Many<Spawner>(0, Revision(0, 0), [](uint64_t) { return Spawner(); });
  EXPECT_EQ(Live_Count<Spawner>(), 0);
  Person* parent = Create<Person>(0, 0);
  Create_Many<Checkup>(5, Revision(2, 1), [&](uint64_t) { return Checkup(parent); });
  Turn();
  EXPECT_EQ(Sum(checkups), 5);
  EXPECT_EQ(parent->_checkups, 5);
  EXPECT_EQ(Live_Count<Checkup>(), 0);
  TearDown();

  Start_Model(2, 4);
  Create_Many<Spawner>(1, Revision(1, 0), [](uint64_t) { return Spawner(); });
  ::testing::internal::CaptureStderr();
  const std::string cause = testing::Thrown_And_Cause([&] { Turn(); }).second;
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      cause,
      "An exception occurred, check your logs: Create_Many of Spawner is for setting a run up; inside a run "
      "create objects one by one with Create");
  EXPECT_EQ(Live_Count<Spawner>(), 1);
}

// The block size set by name survives the next Initialize; below 1 it is refused.
TEST_F(Model_Test, Set_Block_Size_Holds_Across_Runs_And_Refuses_Less_Than_One) {
  Start_Model(1, 2);
  Set_Block_Size<Walker>(3);
  TearDown();
  Start_Model(1, 2);
  EXPECT_EQ(Walker::component_manager->_objects_per_block, 3);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(
      testing::Thrown_Text([] { Set_Block_Size<Walker>(0); }),
      "An exception occurred, check your logs: The block size of Walker must be at least 1 object, not 0");
  ::testing::internal::GetCapturedStderr();
  Set_Block_Size<Walker>(1000);
}

// An identified agent's draws depend on its identity and the revision only.
TEST_F(Model_Test, Identified_Agents_Draw_From_Their_Own_Stream) {
  Start_Model(2, 3);
  Walker* a = Create_Identified<Walker>(Root_Identity(0));
  Walker* b = Create_Identified<Walker>(Root_Identity(1));
  a->Schedule_At(Revision(1, 0));
  b->Schedule_At(Revision(2, 0));
  Turn();
  EXPECT_EQ(a->identity(), 1u);
  EXPECT_EQ(a->_last_draw, Counter_Random(7, 1, Revision(1, 0)).U64(0));
  EXPECT_EQ(b->_last_draw, Counter_Random(7, 2, Revision(2, 0)).U64(0));
  EXPECT_EQ(a->next_revision(), __revision_omega);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(
      testing::Thrown_Text([] { Create_Identified<Walker>(Root_Identity(1)); }),
      "An exception occurred, check your logs: Identity collision: identity 2 was given to two objects of "
      "Walker in one run");
  ::testing::internal::GetCapturedStderr();
}

// A released object is gone: scheduling it again is refused with a fatal error that names its
// type, as a second release is, for agents and events alike, and nothing is scheduled.
TEST_F(Model_Test, Scheduling_A_Released_Object_Is_Refused) {
  Start_Model(1, 4);
  Counter* agent = Create<Counter>();
  Release(agent);
  Person* parent = Create<Person>(0, 0);
  Checkup* event = Create<Checkup>(parent);
  Release(event);
#if defined(__SANITIZE_ADDRESS__)
  // The address build also runs UndefinedBehaviorSanitizer, which reports the member call on a
  // destroyed object itself and ends the process, before the kernel's check can: the misuse
  // is refused there too, by the sanitizer.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(agent->Schedule_At(Revision(1, 0)), "does not point to an object of type");
  EXPECT_DEATH(event->Schedule_At(Revision(1, 0)), "does not point to an object of type");
#else
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Thrown_Text([&] { agent->Schedule_At(Revision(1, 0)); }),
            "An exception occurred, check your logs: An agent of Counter was scheduled after its release");
  EXPECT_EQ(Thrown_Text([&] { event->Schedule_At(Revision(1, 0)); }),
            "An exception occurred, check your logs: An event of Checkup was scheduled after its release");
  ::testing::internal::GetCapturedStderr();
#endif
  EXPECT_EQ(Load_Revision(agent->_next_revision), __revision_free);
  EXPECT_EQ(Load_Revision(event->_next_revision), __revision_free);
  EXPECT_EQ(Live_Count<Counter>(), 0);
  EXPECT_EQ(Live_Count<Checkup>(), 0);
  Release(parent);
  Turn();
  EXPECT_EQ(Sum(acts), 0);
  EXPECT_EQ(Sum(checkups), 0);
}

// A negative answer from a handler (next.In(-1)) is refused, as Revision(-1, 0) is.
TEST_F(Model_Test, A_Negative_Number_Of_Iterations_Is_Refused) {
  Start_Model(2, 4);
  Intruder::act_as = Intruder::Act_As::negative_in;
  Create<Intruder>()->Schedule_At(Revision(1, 0));
  ::testing::internal::CaptureStderr();
  const auto [thrown, cause] = Thrown_And_Cause([&] { Turn(); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown, kAborted);
  EXPECT_EQ(
      cause,
      "An exception occurred, check your logs: Next::In: the number of iterations is -1; iterations and "
      "sub-iterations are whole numbers from 0 to 4294967295");
}

// One run at a time. A second Simulation while the first is alive is refused, and the first
// still runs to its end; once it has ended, the next one is welcome.
TEST(Simulation_Test, A_Second_Simulation_While_One_Is_Alive_Is_Refused_And_The_First_Runs_On) {
  Run_Bounded([] {
    Simulation first(Make_Configuration(2, 5));
    Counter* counter = Create<Counter>();
    counter->Schedule_At(Revision(0, 0));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Thrown_Text([] { Simulation second(Make_Configuration(3, 7)); }), kSecond_Simulation);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(World::Instance().num_threads(), 2u);
    first.Run();
    EXPECT_EQ(counter->_acts, 5);
  });
  Run_Bounded([] {
    Simulation next(Make_Configuration(1, 3));
    Counter* counter = Create<Counter>();
    counter->Schedule_At(Revision(0, 0));
    next.Run();
    EXPECT_EQ(counter->_acts, 3);
  });
}

// From the run's iteration hook: a Simulation, or the World's Initialize_Simulation, is
// refused, and the hook's failure ends the run at that boundary.
TEST(Simulation_Test, A_Run_Set_Up_From_The_Iteration_Hook_Is_Refused) {
  for (bool plain_world : {false, true}) {
    Run_Bounded([plain_world] {
      Simulation run(Make_Configuration(2, 10));
      Counter* counter = Create<Counter>();
      counter->Schedule_At(Revision(0, 0));
      run.On_Iteration_End([plain_world](uint32_t iteration) {
        if (iteration != 2) return;
        Simulation_Configuration config = Make_Configuration(1, 1);
        if (plain_world) World::Initialize_Simulation(config);
        Simulation inner(config);
      });
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(Thrown_Text([&] { run.Run(); }),
                plain_world ? kInitialize_While_Turning : kSecond_Simulation);
      ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(counter->_acts, 3);
    });
  }
}

// From a handler: the same refusal, as the cause of the worker's failure (the World's own
// Initialize_Simulation from a worker used to fail with "Resource deadlock avoided").
TEST(Simulation_Test, A_Run_Set_Up_From_A_Handler_Is_Refused) {
  for (auto act_as : {Intruder::Act_As::simulation, Intruder::Act_As::initialize}) {
    Intruder::act_as = act_as;
    Run_Bounded([act_as] {
      Simulation run(Make_Configuration(2, 10));
      for (int i = 0; i < 4; ++i) Create<Intruder>()->Schedule_At(Revision(1, 0));
      ::testing::internal::CaptureStderr();
      const auto [thrown, cause] = Thrown_And_Cause([&] { run.Run(); });
      ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(thrown, kAborted);
      EXPECT_EQ(cause,
                act_as == Intruder::Act_As::simulation ? kSecond_Simulation : kInitialize_While_Turning);
    });
  }
}

// Objects live in a run: Create after the last run ended (as before any run, below) says
// that no run is set up and how to set one up.
TEST(Simulation_Test, Create_Without_A_Run_Says_No_Run_Is_Set_Up) {
  Run_Bounded([] {
    {
      Simulation run(Make_Configuration(1, 2));
      Create<Counter>()->Schedule_At(Revision(0, 0));
      run.Run();
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Thrown_Text([] { Create<Counter>(); }), kNo_Run);
    EXPECT_EQ(
        Thrown_Text([] { Create_Many<Counter>(3, Revision(0, 0), [](uint64_t) { return Counter(); }); }),
        kNo_Run);
    ::testing::internal::GetCapturedStderr();
  });
}

// Before any run of the process: in a fresh process (the test binary run again for this test
// alone, which does nothing before its Create).
TEST(Simulation_Test, Create_Before_Any_Run_Says_No_Run_Is_Set_Up) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string text = Thrown_Text([] { Create<Counter>(); });
        std::fprintf(stderr, "thrown: %s\n", text.c_str());
        std::_Exit(text == kNo_Run ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "thrown: ");
}

}  // namespace
}  // namespace quarnel
