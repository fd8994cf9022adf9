// The progress line: its text, when it writes (only to a terminal, first after a second,
// then at most every 250 ms), that it clears itself, and the World driving it beside a
// user's iteration hook.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Progress_Line.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using namespace std::chrono_literals;
using Clock = Progress_Line::Clock;

TEST(Progress_Line_Test, Formats_Iteration_Rate_And_Time_Left) {
  EXPECT_EQ(Format_Progress(37, 100, 2.41e6, 3.2), "iteration 37 of 100, 2.41M objects/s, 0:03 left");
  EXPECT_EQ(Format_Progress(0, 100, 0, -1), "iteration 0 of 100, 0 objects/s, --:-- left");
  EXPECT_EQ(Format_Progress(5, 10, 999.4, 59.5), "iteration 5 of 10, 999 objects/s, 1:00 left");
  EXPECT_EQ(Format_Progress(5, 10, 999.6, 3725), "iteration 5 of 10, 1k objects/s, 1:02:05 left");
  EXPECT_EQ(Format_Progress(5, 10, 999999, 0), "iteration 5 of 10, 1M objects/s, 0:00 left");
  EXPECT_EQ(Format_Progress(1, 2, 12345, 61), "iteration 1 of 2, 12.3k objects/s, 1:01 left");
  EXPECT_EQ(Format_Progress(1, 2, 4.2e12, std::numeric_limits<double>::infinity()),
            "iteration 1 of 2, 4.2T objects/s, --:-- left");
}

// Everything readable from `fd` within a short wait.
std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 200) == 1 && (p.revents & POLLIN)) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, size_t(n));
  }
  return text;
}

// A pseudo-terminal: `master` reads what is written to `slave`.
struct Terminal {
  int master = -1;
  int slave = -1;
  Terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  }
  ~Terminal() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

TEST(Progress_Line_Test, Writes_To_A_Terminal_After_A_Second_At_Most_Every_Quarter_Second_Then_Clears) {
  Terminal terminal;
  ASSERT_GE(terminal.slave, 0) << "no pseudo-terminal";
  Progress_Line line(terminal.slave);
  const Clock::time_point t0 = Clock::now();
  line.Start(true, 0, 100, t0);
  ASSERT_TRUE(line.Active());
  line.Finished(10, 1000, t0 + 500ms);  // too early
  EXPECT_EQ(Drain(terminal.master), "");
  line.Finished(20, 1000, t0 + 1000ms);
  const std::string first = "iteration 20 of 100, 2k objects/s, 0:04 left";
  EXPECT_EQ(Drain(terminal.master), "\r" + first);
  line.Finished(21, 100, t0 + 1100ms);  // within 250 ms of the last
  EXPECT_EQ(Drain(terminal.master), "");
  line.Finished(30, 100, t0 + 1250ms);
  const std::string second = "iteration 30 of 100, 1.76k objects/s, 0:03 left";
  ASSERT_GT(second.size(), first.size());
  EXPECT_EQ(Drain(terminal.master), "\r" + second);
  line.Finished(100, 7800, t0 + 2000ms);  // a shorter text covers the rest of the longer one
  const std::string last = "iteration 100 of 100, 5k objects/s, 0:00 left";
  ASSERT_LT(last.size(), second.size());
  EXPECT_EQ(Drain(terminal.master), "\r" + last + std::string(second.size() - last.size(), ' '));
  line.Finish();
  EXPECT_EQ(Drain(terminal.master), "\r" + std::string(last.size(), ' ') + "\r");
  EXPECT_FALSE(line.Active());
  line.Finish();
  EXPECT_EQ(Drain(terminal.master), "");

  Progress_Line unwanted(terminal.slave);
  unwanted.Start(false, 0, 100, t0);
  unwanted.Finished(50, 1000, t0 + 5s);
  unwanted.Finish();
  EXPECT_FALSE(unwanted.Active());
  EXPECT_EQ(Drain(terminal.master), "");
}

TEST(Progress_Line_Test, Writes_Nothing_When_The_Stream_Is_Not_A_Terminal) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  Progress_Line line(pipe_fds[1]);
  const Clock::time_point t0 = Clock::now();
  line.Start(true, 0, 100, t0);
  EXPECT_FALSE(line.Active());
  for (uint32_t i = 1; i <= 100; ++i) line.Finished(i, 1000, t0 + i * 100ms);
  line.Finish();
  close(pipe_fds[1]);
  EXPECT_EQ(Drain(pipe_fds[0]), "");
  close(pipe_fds[0]);
}

struct Progress_Master {};

class Progress_Agent
    : public Quarnel_Component<Progress_Master, TypeList<NULLTYPE, TypeList<Progress_Agent, NULLTYPE>>,
                               Execution_Object> {
 public:
  static void Handle(void*, Event_Response& response) {
    response._next_revision = Revision(World::Instance().iteration() + 1, 0);
  }
};

// A run of `iterations` slow iterations (the hook sleeps) with standard error on a
// terminal; returns what the terminal received and the iterations the user's hook saw.
std::string Run_On_Terminal(bool progress, uint32_t iterations, std::vector<uint32_t>& seen) {
  Terminal terminal;
  EXPECT_GE(terminal.slave, 0) << "no pseudo-terminal";
  Simulation_Configuration config;
  config.num_threads = 2;
  config.num_iterations = int32_t(iterations);
  World::Initialize_Simulation(config);
  for (int a = 0; a < 10; ++a) {
    Allocate<Progress_Agent>()->privLoad_Event(&Progress_Agent::Handle, Revision(0, 0),
                                               Progress_Agent::component_manager);
  }
  World::Instance().Set_Progress_Line(progress);
  World::Instance().Set_Iteration_Hook([&](uint32_t i) {
    seen.push_back(i);
    std::this_thread::sleep_for(40ms);
  });
  const int saved = dup(2);
  dup2(terminal.slave, 2);
  testing::Run_Bounded([] { World::Instance().Start_Turning("."); });
  dup2(saved, 2);
  close(saved);
  testing::Run_Bounded([] { World::Terminate_Simulation(); });
  World::Instance().Set_Progress_Line(true);
  return Drain(terminal.master);
}

TEST(Progress_Line_Test, A_Long_Run_Shows_It_On_A_Terminal_Beside_The_Users_Hook_Unless_Switched_Off) {
  std::vector<uint32_t> seen;
  const std::string shown = Run_On_Terminal(true, 40, seen);
  EXPECT_EQ(seen.size(), 40u) << "the user's hook runs too";
  const size_t first = shown.find("\riteration ");
  ASSERT_NE(first, std::string::npos) << shown;
  EXPECT_NE(shown.find(" of 40, ", first), std::string::npos) << shown;
  EXPECT_NE(shown.find(" objects/s, ", first), std::string::npos) << shown;
  // Cleared (blanks, then a carriage return) before the final line is logged.
  const size_t final_line = shown.find("Stop_Turning finished at iteration Rev(40,0)/40");
  ASSERT_NE(final_line, std::string::npos) << shown;
  const size_t cleared = shown.rfind("  \r", final_line);
  ASSERT_NE(cleared, std::string::npos) << shown;
  EXPECT_EQ(shown.find("\riteration ", cleared), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\n', first), shown.find('\n', cleared)) << "no newline inside the progress line";

  seen.clear();
  const std::string off = Run_On_Terminal(false, 30, seen);
  EXPECT_EQ(seen.size(), 30u);
  EXPECT_EQ(off.find("objects/s"), std::string::npos) << off;
  EXPECT_NE(off.find("Stop_Turning finished at iteration Rev(30,0)/30"), std::string::npos) << off;
}

}  // namespace
}  // namespace quarnel
