// Per_Worker<T>: counts kept per thread inside handlers and combined in the hook.
//
// Property: with any number of workers, every handler's addition lands in exactly one entry
// (its thread's), so the hook's Sum equals the number of calls of the iteration, and Reset
// starts the next iteration from zero; entries never share a cache line.
#include <quarnel/Per_Worker.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <quarnel/Model.h>
#include "Test_Support.h"

namespace {

struct Tally {
  int64_t calls = 0;
  int64_t weight = 0;
  Tally& operator+=(const Tally& other) {
    calls += other.calls;
    weight += other.weight;
    return *this;
  }
};

quarnel::Per_Worker<Tally> tallies;

class Counted : public quarnel::Agent<Counted> {
 public:
  explicit Counted(int64_t weight) : _weight(weight) {}
  void Act(quarnel::Next& next) {
    Tally& mine = tallies.Mine();
    ++mine.calls;
    mine.weight += _weight;
    next.In(1);
  }
  int64_t _weight;
};

TEST(Per_Worker_Test, Hook_Sums_Every_Call_Of_The_Iteration_On_Any_Number_Of_Workers) {
  constexpr int kAgents = 1000, kIterations = 5;
  constexpr int64_t kWeight = int64_t(kAgents) * (kAgents - 1) / 2;  // 0 + 1 + ... + 999
  for (int workers : {1, 2, 6}) {
    std::vector<Tally> seen;
    size_t entries = 0;
    quarnel::testing::Run_Bounded([&] {
      quarnel::Simulation run(quarnel::testing::Make_Configuration(workers, kIterations, 7));
      tallies.Start();
      entries = tallies.size();
      for (int i = 0; i < kAgents; ++i) quarnel::Create<Counted>(i)->Schedule_At(quarnel::Revision(0, 0));
      run.On_Iteration_End([&](uint32_t) {
        seen.push_back(tallies.Sum());
        tallies.Reset();
      });
      run.Run();
    });
    EXPECT_EQ(entries, size_t(workers) + 1) << "workers " << workers;
    ASSERT_EQ(seen.size(), size_t(kIterations)) << "workers " << workers;
    for (const Tally& t : seen) {
      EXPECT_EQ(t.calls, kAgents) << "workers " << workers;
      EXPECT_EQ(t.weight, kWeight) << "workers " << workers;
    }
  }
}

TEST(Per_Worker_Test, Entries_Lie_On_Cache_Lines_Of_Their_Own_In_Thread_Order) {
  quarnel::testing::Run_Bounded([] {
    quarnel::Simulation run(quarnel::testing::Make_Configuration(3, 1));
    quarnel::Per_Worker<int64_t> counts;
    counts.Start();
    ASSERT_EQ(counts.size(), 4u);
    for (size_t t = 0; t + 1 < counts.size(); ++t) {
      const auto a = reinterpret_cast<uintptr_t>(&counts[t]);
      const auto b = reinterpret_cast<uintptr_t>(&counts[t + 1]);
      EXPECT_EQ(a % quarnel::__cache_line_size, 0u);
      EXPECT_GE(b - a, uintptr_t(quarnel::__cache_line_size));
    }
    // The controlling thread's entry is the last one.
    ++counts.Mine();
    EXPECT_EQ(counts[3], 1);
    std::vector<int64_t> order;
    counts.For_Each([&](int64_t value) { order.push_back(value); });
    EXPECT_EQ(order, (std::vector<int64_t>{0, 0, 0, 1}));
  });
}

}  // namespace
