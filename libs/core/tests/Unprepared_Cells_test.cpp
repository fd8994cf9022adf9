// Blocks leave their cells untouched until the free list first hands them out. Here every
// block's memory is filled with a chosen byte when it is made (Set_Block_Memory_Perturb): a
// zero-filled cell read before it is prepared looks due at (0, 0) with a null handler and a
// null link, so any such read crashes or loses cells. Agents and events are born, scheduled
// and freed by the workers, in bulk and one by one, and the totals must equal those of the
// same model as a plain loop.
#include <gtest/gtest.h>

#include <vector>

#include <quarnel/Model.h>
#include <quarnel/detail/Block_Arena.h>
#include "Execution_Run.h"

namespace {

std::vector<quarnel::Cache_Line_Value<int64_t>> acts, births, alarms;

class Alarm : public quarnel::Event<Alarm> {
 public:
  void Act(quarnel::Next&) {
    ++alarms[quarnel::__thread_id].value;
    quarnel::Release(this);
  }
};

// Acts every iteration; at age 2 has a child (acting from the next iteration) and sets an
// alarm for the next iteration's second sub-iteration; dies at age 4.
class Breeder : public quarnel::Agent<Breeder> {
 public:
  explicit Breeder(int age) : _age(age) {}
  void Act(quarnel::Next& next) {
    const int t = quarnel::__thread_id;
    ++acts[t].value;
    if (++_age == 2) {
      ++births[t].value;
      quarnel::Create<Breeder>(0)->Schedule_At(quarnel::Revision(next.iteration() + 1, 0));
      quarnel::Create<Alarm>()->Schedule_At(quarnel::Revision(next.iteration() + 1, 1));
    }
    if (_age == 4) {
      quarnel::Release(this);
      return;
    }
    next.In(1);
  }
  int _age;
};

// {acts, births, alarms} of `people` breeders of ages i % 4 over `iterations`.
std::vector<int64_t> Reference_Totals(int people, int iterations) {
  std::vector<int> ages;
  for (int i = 0; i < people; ++i) ages.push_back(i % 4);
  std::vector<int64_t> totals(3, 0);
  int64_t alarms_due = 0;  // set in the previous iteration
  for (int it = 0; it < iterations; ++it) {
    totals[2] += alarms_due;
    alarms_due = 0;
    std::vector<int> next;
    for (int age : ages) {
      ++totals[0];
      if (++age == 2) {
        ++totals[1];
        next.push_back(0);
        ++alarms_due;
      }
      if (age != 4) next.push_back(age);
    }
    ages = std::move(next);
  }
  return totals;
}

int64_t Sum(const std::vector<quarnel::Cache_Line_Value<int64_t>>& v) {
  int64_t s = 0;
  for (const auto& x : v) s += x.value;
  return s;
}

class Unprepared_Cells_Test : public quarnel::testing::Execution_Run_Test {};

TEST_F(Unprepared_Cells_Test, Cells_Are_Read_Only_After_They_Are_Handed_Out) {
  using namespace quarnel;
  constexpr int kIterations = 12;
  const std::vector<int64_t> expected = Reference_Totals(120, kIterations);
  for (unsigned char byte : {0x00, 0xA5}) {
    for (int threads : {1, 2, 3}) {
      Set_Block_Memory_Perturb(byte);
      Start(threads, 100, kIterations);
      for (auto* v : {&acts, &births, &alarms}) v->assign(size_t(threads) + 1, {});
      Set_Block_Size<Breeder>(300);  // blocks far larger than what is handed out at first
      Set_Block_Size<Alarm>(300);
      // In bulk into an empty block, one by one, in bulk into the partly used block, then a
      // freed hole.
      const auto age = [](uint64_t first) {
        return [first](uint64_t i) { return Breeder(int((first + i) % 4)); };
      };
      Create_Many<Breeder>(60, Revision(0, 0), age(0));
      for (int i = 60; i < 100; ++i) Create<Breeder>(i % 4)->Schedule_At(Revision(0, 0));
      Create_Many<Breeder>(20, Revision(0, 0), age(100));
      Release(Create<Breeder>(0));
      Release(Create<Alarm>());
      Turn();
      EXPECT_EQ((std::vector<int64_t>{Sum(acts), Sum(births), Sum(alarms)}), expected)
          << threads << " workers, cells filled with " << int(byte);
      TearDown();
    }
  }
  Set_Block_Memory_Perturb(-1);
}

}  // namespace
