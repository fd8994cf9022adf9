// The population program when its logging fails, and the reproducibility of its result.
//
// Property: whatever goes wrong with the log files (the log folder is a file or cannot be
// written, the property file is rejected, a log file sits on a full device or cannot be
// opened), the program runs to its end, says what went wrong once on standard error, and
// loses no result: the "Population check passed" NOTICE line reaches the user and the exit
// status is 0. The tests run as root, who ignores permission bits, so every failure here is
// one the file system itself refuses (a file where a folder must be, /proc, /dev/full).
//
// With one worker the result is the same run after run and for any block size.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include "Program_Runner.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using population_testing::Run_Population;
using Outcome = population_testing::Program_Outcome;

size_t Count(std::string const& text, std::string const& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

void Write_File(fs::path const& file, std::string const& text) {
  std::ofstream(file) << text;
}

void Property_File(fs::path const& dir, std::string const& text) {
  fs::create_directory(dir / "log");
  Write_File(dir / "log" / "log4cpp.property", text);
}

// The run ended normally, said `reason` exactly once on standard error, and its result line
// reached the user exactly once.
void Expect_Survived(Outcome const& run, std::string const& reason) {
  const std::string all = run.out + run.err;
  EXPECT_EQ(run.status, 0) << all;
  EXPECT_EQ(Count(run.err, reason), 1u) << run.err;
  EXPECT_EQ(Count(all, "Population check passed"), 1u) << all;
  EXPECT_EQ(Count(all, "Stop_Turning finished at iteration Rev(100,0)/100"), 1u) << all;
  EXPECT_EQ(Count(all, "terminate called"), 0u) << all;
}

constexpr const char* kArgs = "--num_agents 2000 --threads 2";

TEST(Population_Faults_Test, A_Log_Folder_That_Is_A_File_Falls_Back_To_The_Console) {
  const Outcome run =
      Run_Population(kArgs, [](fs::path const& dir) { Write_File(dir / "log", "not a folder"); });
  Expect_Survived(run, "The log folder ./log/ is a file, not a folder. error in libs/core/Logger.cpp, line ");
}

TEST(Population_Faults_Test, An_Unwritable_Log_Folder_Falls_Back_To_The_Console) {
  // A folder of /proc: it exists, but no file can be created in it, not even by root.
  const Outcome run = Run_Population(
      kArgs, [](fs::path const& dir) { fs::create_directory_symlink("/proc/self/fdinfo", dir / "log"); });
  Expect_Survived(run, "Could not open the log file ./log/quarnel_progress.log");
}

TEST(Population_Faults_Test, A_Rejected_Property_File_Falls_Back_To_The_Console) {
  const Outcome run = Run_Population(kArgs, [](fs::path const& dir) {
    Property_File(dir, "log4cpp.rootCategory=DEBUG, A1\nlog4cpp.appender.A1=NoSuchAppender\n");
  });
  Expect_Survived(run, "Appender 'A1' has unknown type 'NoSuchAppender'");
}

TEST(Population_Faults_Test, A_Log_File_On_A_Full_Device_Sends_Its_Results_To_Standard_Error) {
  const Outcome run = Run_Population(kArgs, [](fs::path const& dir) {
    Property_File(dir,
                  "log4cpp.rootCategory=DEBUG, FULL\n"
                  "log4cpp.appender.FULL=org.apache.log4j.RollingFileAppender\n"
                  "log4cpp.appender.FULL.fileName=/dev/full\n"
                  "log4cpp.appender.FULL.layout=org.apache.log4j.PatternLayout\n"
                  "log4cpp.appender.FULL.layout.ConversionPattern=%p %m%n\n");
  });
  Expect_Survived(run, "Could not write to the log file /dev/full: No space left on device");
  EXPECT_EQ(Count(run.err, "NOTICE Population check passed"), 1u) << run.err;
  EXPECT_EQ(Count(run.err, "INFO "), 0u) << "less severe lines are dropped with the file\n" << run.err;
}

TEST(Population_Faults_Test, A_Log_File_That_Cannot_Be_Opened_Is_Reported_And_The_Console_Keeps_Working) {
  const Outcome run = Run_Population(kArgs, [](fs::path const& dir) {
    Property_File(dir,
                  "log4cpp.rootCategory=DEBUG, FILE, CONSOLE\n"
                  "log4cpp.appender.FILE=org.apache.log4j.FileAppender\n"
                  "log4cpp.appender.FILE.fileName=./no_such_folder/progress.log\n"
                  "log4cpp.appender.FILE.layout=org.apache.log4j.BasicLayout\n"
                  "log4cpp.appender.CONSOLE=org.apache.log4j.ConsoleAppender\n"
                  "log4cpp.appender.CONSOLE.threshold=NOTICE\n"
                  "log4cpp.appender.CONSOLE.layout=org.apache.log4j.BasicLayout\n");
  });
  // The result reaches the console, and the file's NOTICE lines standard error: twice in all.
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Count(run.err, "Could not write to the log file ./no_such_folder/progress.log"), 1u) << run.err;
  EXPECT_EQ(Count(run.out, "Population check passed"), 1u) << run.out;
  EXPECT_EQ(Count(run.err, "Population check passed"), 1u) << run.err;
}

// The result line of a run, e.g. "Population check passed: population 2017, expected ...".
std::string Result_Line(Outcome const& run) {
  const std::string all = run.out + run.err;
  const size_t at = all.find("Population check");
  return at == std::string::npos ? "" : all.substr(at, all.find('\n', at) - at);
}

// With too little address space for 200 thread stacks the run fails, says why on one line
// and exits 1 at once: the workers that did start are released, so nothing waits at exit.
// The sanitizers reserve terabytes of shadow memory and cannot run under an address-space
// limit at all, so their builds skip this case (World_test covers the same path in-process).
TEST(Population_Faults_Test, Workers_That_Cannot_Start_End_The_Program_With_Status_1) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit is incompatible with the sanitizers";
#else
  const Outcome outcome = Run_Population("--threads 200 --num_agents 10", {}, "ulimit -v 400000");
  EXPECT_EQ(outcome.status, 1) << outcome.output;
  EXPECT_EQ(Count(outcome.err, "population: the run failed: "), 1u) << outcome.err;
  EXPECT_NE(outcome.err.find("Could not start the worker threads: "), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find(" of 200 started: Resource temporarily unavailable"), std::string::npos)
      << outcome.err;
#endif
}

TEST(Population_Determinism_Test, One_Worker_Gives_The_Same_Result_Run_After_Run_And_For_Any_Block_Size) {
  auto nothing = [](fs::path const&) {};
  const std::string first = Result_Line(Run_Population("--num_agents 20000 --threads 1", nothing));
  ASSERT_NE(first.find("population "), std::string::npos) << first;
  EXPECT_EQ(Result_Line(Run_Population("--num_agents 20000 --threads 1", nothing)), first);
  EXPECT_EQ(Result_Line(Run_Population("--num_agents 20000 --threads 1 --agents_per_block 3", nothing)),
            first);
}

}  // namespace
