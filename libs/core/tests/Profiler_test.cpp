#include <quarnel/Profiler.h>

#include <gtest/gtest.h>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <string>
#include <thread>
#include <vector>

namespace quarnel {
namespace {

const std::string kBanner = "\n=======================\nQUARNEL Profiler Report\n=======================\n";

// Burns at least `ticks` counter ticks, so a timed scope is never empty.
void Spin(uint64_t ticks) {
  uint64_t start = Read_Cycle_Counter();
  while (Read_Cycle_Counter() - start < ticks) {
  }
}

// The report line of the slot whose function is `function`, or empty.
std::string Line_Of(const std::string& report, const std::string& function) {
  size_t at = report.find(" " + function + "(x");
  if (at == std::string::npos) return "";
  size_t begin = report.rfind('\n', at);
  size_t end = report.find('\n', at);
  return report.substr(begin + 1, end - begin - 1);
}

TEST(Profiler_Report_Test, Empty_Table_Gives_Banner_Total_And_One_Line_Feed) {
  static Timing_Point table[8];
  EXPECT_EQ(Build_Profiler_Report(table, 8, 3000, 1000), kBanner + "  Total time: 3000.0000ms\n" + "\n");
  EXPECT_EQ(Build_Profiler_Report(table, 8, 3000, 0), kBanner + "\n") << "uncalibrated: no total line";
}

TEST(Profiler_Report_Test, Entries_Are_Right_Aligned_With_Exclusive_And_Inclusive_Shares) {
  static Timing_Point table[8];
  table[1].location = "libs/a/b:1";
  table[1].function_name = "f";
  table[1].count = 1000;
  table[1].cycles = 250;
  table[1].cycles_with_children = 250;
  table[5].location = "/home/user/quarnel/libs/core/World:22";
  table[5].function_name = "Step";
  table[5].count = 3;
  table[5].cycles = 100;
  table[5].cycles_with_children = 400;
  table[6].location = "libs/unused/Never:9";  // never completed: not reported, not measured
  table[6].function_name = "a_very_long_function_name";
  const std::string expected =
      kBanner + "  Total time: 1.0000ms\n" + "\n          /a/b:1    f(x1000): 250 cycles, 0.250ms (25.00%)" +
      "\n  /core/World:22 Step(x3): 100 cycles, 0.100ms (10.00%, 40.00% w/children)" + "\n";
  EXPECT_EQ(Build_Profiler_Report(table, 8, 1000, 1000000), expected);
  EXPECT_STREQ(table[1].location.load(), "/a/b:1") << "locations are shortened in place";
  EXPECT_STREQ(table[6].location.load(), "libs/unused/Never:9") << "unused slots are left alone";
  EXPECT_EQ(Build_Profiler_Report(table, 8, 1000, 1000000), expected) << "a second report is identical";
}

TEST(Profiler_Report_Test, Shortening_Keeps_Two_Path_Components) {
  EXPECT_STREQ(Shorten_Location("apps/population/CoreEngine_Tests:81"), "/population/CoreEngine_Tests:81");
  EXPECT_STREQ(Shorten_Location("/x/y/libs/core/World.cpp:22"), "/core/World.cpp:22");
  EXPECT_STREQ(Shorten_Location("/core/World:22"), "/core/World:22");
  EXPECT_STREQ(Shorten_Location("core/World:22"), "/World:22");
  EXPECT_STREQ(Shorten_Location("a/b:c/d:7"), "/b:c/d:7") << "the last ':' decides";
  // Degenerate texts stay whole.
  EXPECT_STREQ(Shorten_Location("World.h:5"), "World.h:5");
  EXPECT_STREQ(Shorten_Location(":5"), ":5");
  EXPECT_STREQ(Shorten_Location("no/line/number"), "no/line/number");
  EXPECT_STREQ(Shorten_Location(""), "");
}

// Timing sites of the tests below use slots from 4000 up, away from the application's.
void Inner_Site() {
  QUARNEL_TIMED_SCOPE(4001);
  Spin(20000);
}

void Outer_Site() {
  QUARNEL_TIMED_SCOPE(4000);
  Spin(20000);
  EXPECT_EQ(global_profiler_parent, 4000u);
  Inner_Site();
  Spin(20000);
}

TEST(Profiler_Timer_Test, Nested_Scope_Time_Is_Subtracted_From_The_Outer_Slot) {
  uint64_t root_before = profiler_timing_points[0].cycles;
  Outer_Site();
  EXPECT_EQ(global_profiler_parent, 0u);
  Timing_Point& outer = profiler_timing_points[4000];
  Timing_Point& inner = profiler_timing_points[4001];
  EXPECT_EQ(outer.count, 1u);
  EXPECT_EQ(inner.count, 1u);
  EXPECT_GE(inner.cycles, 20000u);
  EXPECT_EQ(inner.cycles, inner.cycles_with_children);
  EXPECT_GE(outer.cycles, 40000u);
  EXPECT_EQ(outer.cycles + inner.cycles, outer.cycles_with_children);
  EXPECT_EQ(root_before - profiler_timing_points[0].cycles, outer.cycles_with_children.load())
      << "the root slot loses the outermost scope's whole time";

  std::string report = Build_Profiler_Report(profiler_timing_points, __profiler_num_slots,
                                             4 * outer.cycles_with_children, 1000000000);
  std::string outer_line = Line_Of(report, "Outer_Site");
  std::string inner_line = Line_Of(report, "Inner_Site");
  EXPECT_NE(outer_line.find("/tests/Profiler_test.cpp:"), std::string::npos) << outer_line;
  EXPECT_NE(outer_line.find("(x1): "), std::string::npos) << outer_line;
  EXPECT_NE(outer_line.find(", 25.00% w/children)"), std::string::npos) << outer_line;
  EXPECT_EQ(inner_line.find("w/children"), std::string::npos) << inner_line;
  EXPECT_EQ(outer_line.find("(x"), inner_line.find("(x"))
      << "locations and names are padded to common widths";
}

void Repeated_Site() {
  QUARNEL_TIMED_SCOPE(4002);
}

int Recursive_Site(int depth) {
  QUARNEL_TIMED_SCOPE(4003);
  Spin(1000);
  return depth == 0 ? 0 : 1 + Recursive_Site(depth - 1);
}

TEST(Profiler_Timer_Test, Counts_Completed_Scopes_And_Counts_Reentry_Once) {
  for (int i = 0; i < 1000; ++i) Repeated_Site();
  EXPECT_EQ(profiler_timing_points[4002].count, 1000u);

  EXPECT_EQ(Recursive_Site(2), 2);
  Timing_Point& rec = profiler_timing_points[4003];
  EXPECT_EQ(rec.count, 3u);
  EXPECT_EQ(rec.cycles, rec.cycles_with_children) << "inner re-entries must not add to the inclusive time";

  std::string report =
      Build_Profiler_Report(profiler_timing_points, __profiler_num_slots, 1u << 30, 1000000000);
  std::string line = Line_Of(report, "Repeated_Site");
  EXPECT_NE(line.find("Repeated_Site(x1000): "), std::string::npos) << report;
  EXPECT_EQ(Line_Of(report, "Recursive_Site").find("w/children"), std::string::npos);
}

void Worker_Inner() {
  QUARNEL_TIMED_SCOPE(4011);
}
void Worker_Outer() {
  QUARNEL_TIMED_SCOPE(4010);
  Worker_Inner();
}

// Property: scopes on several threads at once lose no count, and each thread tracks its own
// nesting (a worker starts at the root slot and returns to it).
TEST(Profiler_Timer_Test, Concurrent_Scopes_Count_Exactly) {
  constexpr int kThreads = 4, kScopes = 500;
  std::vector<std::thread> threads;
  std::atomic<int> parent_errors{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      if (global_profiler_parent != 0) ++parent_errors;
      for (int i = 0; i < kScopes; ++i) Worker_Outer();
      if (global_profiler_parent != 0) ++parent_errors;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(parent_errors, 0);
  EXPECT_EQ(profiler_timing_points[4010].count, uint64_t(kThreads * kScopes));
  EXPECT_EQ(profiler_timing_points[4011].count, uint64_t(kThreads * kScopes));
  EXPECT_STREQ(profiler_timing_points[4010].function_name.load(), "Worker_Outer");
}

TEST(Profiler_Timer_Test, Calibrated_Report_Is_Logged_As_One_Message) {
  Calibrate_Profiler();
  EXPECT_GT(timer_freq, 0u);
  EXPECT_LE(profiler_start_cycle, Read_Cycle_Counter());
  Repeated_Site();

  log4cpp::Category& category = log4cpp::Category::getInstance("profiler_test");
  category.setAdditivity(false);
  auto* queue = new log4cpp::StringQueueAppender("queue");
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern("%p|%m");
  queue->setLayout(layout);
  category.addAppender(queue);
  category.setPriority(log4cpp::Priority::NOTICE);
  Log_Profiler_Report([&] { return category.getStream(log4cpp::Priority::NOTICE); });
  ASSERT_EQ(queue->queueSize(), 1u);
  std::string message = queue->getQueue().front();
  EXPECT_EQ(message.rfind("NOTICE|" + kBanner + "  Total time: ", 0), 0u) << message;
  EXPECT_NE(message.find("Repeated_Site(x"), std::string::npos) << message;
  category.removeAllAppenders();
}

}  // namespace
}  // namespace quarnel
