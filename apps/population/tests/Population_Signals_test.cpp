// SIGINT and SIGTERM as a user sends them to the population program (in both modes): the run
// stops at the end of the iteration being stepped, the log says that it was interrupted and at
// which iteration, no population check is made, and the program ends by the signal (status
// 130 or 143 to a shell); a second signal stops it at once. Run as a user runs it, in a folder
// of its own (its log folder is written there).
#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using quarnel::modelkit::Background_Program;
using quarnel::modelkit::Program_Output;
using quarnel::modelkit::Read_Text_File;
using quarnel::modelkit::Wait_Until;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Population_Signals_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    static int count = 0;
    dir = fs::temp_directory_path() / ("population_signals_" + std::to_string(getpid()) + "_" + std::to_string(count++));
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Log() const { return Read_Text_File((dir / "log" / "quarnel_progress.log").string()); }
  // Starts the program and waits until its run has begun (the options are logged first).
  std::unique_ptr<Background_Program> Start(const std::string& args) {
    auto run = std::make_unique<Background_Program>(POPULATION_EXE, args, "cd '" + dir.string() + "'");
    EXPECT_TRUE(Wait_Until([&] { return Contains(Log(), "threads:          2"); }));
    return run;
  }
  fs::path dir;
};

// The iteration at which the log says the run stopped, or -1.
int Stopped_At(const std::string& log, const std::string& signal) {
  const std::string label = "Run interrupted by " + signal + " at iteration ";
  const size_t at = log.find(label);
  return at == std::string::npos ? -1 : std::stoi(log.substr(at + label.size()));
}

TEST_F(Population_Signals_Test, Sigint_Stops_At_The_End_Of_An_Iteration_Without_A_Check) {
  auto run = Start("--num_agents 2000000 --threads 2");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run->Signal(SIGINT);
  const Program_Output output = run->Wait();
  EXPECT_EQ(output.status, 130) << output.err;
  const std::string log = Log();
  const int at = Stopped_At(log, "SIGINT");
  EXPECT_GE(at, 0) << log;
  EXPECT_LT(at, 100) << log;
  EXPECT_TRUE(Contains(log, " of 100 (population ")) << log;
  EXPECT_TRUE(Contains(log, "): no population check")) << log;
  EXPECT_TRUE(Contains(log, "Stop_Turning finished at iteration Rev(" + std::to_string(at) + ",0)/100")) << log;
  EXPECT_FALSE(Contains(log, "Population check")) << log;
  // The console had it too, and standard error the answer to the signal.
  EXPECT_TRUE(Contains(output.out, "Run interrupted by SIGINT at iteration ")) << output.out;
  EXPECT_TRUE(Contains(output.err, "population: SIGINT: the run stops at the end of the iteration being stepped"))
      << output.err;
}

TEST_F(Population_Signals_Test, Sigterm_Stops_The_Deterministic_Twin_Too) {
  auto run = Start("--deterministic --num_agents 2000000 --threads 2");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run->Signal(SIGTERM);
  const Program_Output output = run->Wait();
  EXPECT_EQ(output.status, 143) << output.err;
  const std::string log = Log();
  EXPECT_GE(Stopped_At(log, "SIGTERM"), 0) << log;
  EXPECT_FALSE(Contains(log, "Population check")) << log;
}

// The second signal is sent as soon as the first has been answered; should the iteration end
// in that moment, the run has stopped at its end as for one signal, and the case is tried again.
TEST_F(Population_Signals_Test, A_Second_Signal_Stops_At_Once) {
  bool at_once = false;
  for (int attempt = 0; attempt < 3 && !at_once; ++attempt) {
    auto run = Start("--num_agents 5000000 --threads 2");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run->Signal(SIGINT);
    ASSERT_TRUE(Wait_Until([&] { return Contains(run->Err_So_Far(), "stops at the end of the iteration"); }));
    run->Signal(SIGINT);
    const Program_Output output = run->Wait();
    EXPECT_EQ(output.status, 130) << output.err;
    at_once = Contains(output.err, "population: SIGINT again: stopped at once");
  }
  EXPECT_TRUE(at_once);
}

}  // namespace
