// Checkpoints of the population's deterministic twin: saved at an iteration and resumed on
// another number of workers and block size, in-process and as a user runs the program (killed
// by SIGKILL after a save), the run ends with the population and run fingerprint of a run that
// never stopped; a checkpoint it cannot continue is refused in one line with status 1.
#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Deterministic_Population.h"
#include "Program_Runner.h"

namespace {

namespace fs = std::filesystem;
using population_testing::Contains;
using population_testing::Read_File;
using population_testing::Run_Population;

std::string Temp_File(const std::string& name) {
  return (fs::temp_directory_path() / ("population_ckpt_" + std::to_string(getpid()) + "_" + name)).string();
}

// The program's population in the tests that run it. Under a sanitizer each of their seven runs is
// many times slower: a tenth of the population keeps each test within a minute there, and the
// runs still turn, save, stop and resume as they do at a million.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const std::string kProgram_Agents = "100000";
#else
const std::string kProgram_Agents = "1000000";
#endif

struct Case {
  int save_threads, save_block, resume_threads, resume_block;
};
const Case kCases[] = {{1, 1000, 6, 1}, {2, 7, 1, 1000}, {2, 1, 6, 7}};

// Saved every 40 iterations (the last save at 80) and resumed from the last save.
TEST(Deterministic_Checkpoint_Test, Resumed_On_Other_Workers_And_Blocks_Ends_As_A_Run_That_Never_Stopped) {
  constexpr int kAgents = 3000;
  constexpr uint64_t kSeed = 99;
  const Deterministic_Result whole = run_deterministic_population(kAgents, 2, 7, kSeed);
  ASSERT_GT(whole.population, kAgents);
  const std::string file = Temp_File("in_process.ckpt");
  for (const Case c : kCases) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    std::remove(file.c_str());
    const Deterministic_Result saving =
        run_deterministic_population(kAgents, c.save_threads, c.save_block, kSeed, {file, 40, nullptr});
    EXPECT_EQ(saving.fingerprint, whole.fingerprint) << "saving changes nothing of the run";
    Deterministic_Checkpoints resume;
    resume.resume = read_deterministic_checkpoint(file, kAgents, kSeed, 100);
    ASSERT_EQ(resume.resume->header().iteration, 80u);
    const Deterministic_Result resumed =
        run_deterministic_population(kAgents, c.resume_threads, c.resume_block, kSeed, resume);
    EXPECT_EQ(resumed.population, whole.population);
    EXPECT_EQ(resumed.fingerprint, whole.fingerprint);
    EXPECT_TRUE(resumed.passed);
  }
  std::remove(file.c_str());
}

// The rest of the line after `label`, or "(none)".
std::string Line_After(const std::string& output, const std::string& label) {
  const size_t at = output.find(label);
  if (at == std::string::npos) return "(none in: " + output + ")";
  return output.substr(at + label.size(), output.find('\n', at) - at - label.size());
}

// As a user runs it: a run saving every 10 iterations, killed by SIGKILL once its second save
// is on disk, resumed with other workers and blocks.
TEST(Deterministic_Checkpoint_Test, Killed_And_Resumed_On_Other_Workers_Continues_Identically) {
  const std::string args = "--deterministic --seed 7 --num_agents " + kProgram_Agents + " --no_progress";
  const population_testing::Program_Outcome whole =
      Run_Population(args + " --threads 2 --agents_per_block 7");
  ASSERT_EQ(whole.status, 0) << whole.output;
  const std::string fingerprint = Line_After(whole.output, "Run fingerprint: ");
  const std::string check = Line_After(whole.output, "Population check passed: ");
  const fs::path dir = Temp_File("program");
  for (const Case c : kCases) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string ckpt = (dir / "run.ckpt").string();
    auto saved_at = [&]() -> uint32_t {
      try {
        return quarnel::Checkpoint_Reader(ckpt).header().iteration;
      } catch (const quarnel::Checkpoint_Error&) {
        return 0;  // not written yet
      }
    };
    {
      quarnel::modelkit::Background_Program dying(
          POPULATION_EXE,
          args + " --checkpoint " + ckpt + " --checkpoint-every 10 --threads " +
              std::to_string(c.save_threads) + " --agents_per_block " + std::to_string(c.save_block),
          "cd '" + dir.string() + "'");
      ASSERT_TRUE(quarnel::modelkit::Wait_Until([&] { return saved_at() >= 20; }, std::chrono::seconds(120)));
      dying.Signal(SIGKILL);
      EXPECT_EQ(dying.Wait().status, 128 + SIGKILL);
    }
    const uint32_t at = saved_at();
    ASSERT_GE(at, 20u);
    ASSERT_LT(at, 100u) << "killed too late for this test";
    const population_testing::Program_Outcome resumed =
        Run_Population(args + " --resume " + ckpt + " --threads " + std::to_string(c.resume_threads) +
                       " --agents_per_block " + std::to_string(c.resume_block));
    ASSERT_EQ(resumed.status, 0) << resumed.output;
    EXPECT_EQ(Line_After(resumed.output, "Run fingerprint: "), fingerprint);
    EXPECT_EQ(Line_After(resumed.output, "Population check passed: "), check);
  }
  fs::remove_all(dir);
}

// SIGTERM ends the run at the end of its iteration with a checkpoint of that iteration (status
// 143); resumed, it ends as a run that never stopped.
TEST(Deterministic_Checkpoint_Test, Sigterm_Saves_The_Iteration_It_Stops_At) {
  const std::string args = "--deterministic --seed 3 --num_agents " + kProgram_Agents + " --no_progress";
  const population_testing::Program_Outcome whole = Run_Population(args + " --threads 2");
  ASSERT_EQ(whole.status, 0) << whole.output;
  const fs::path dir = Temp_File("sigterm");
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string ckpt = (dir / "run.ckpt").string();
  // The signal comes once the run has turned (its first checkpoint, at iteration 10, is there),
  // however slow the build: a stop during set-up has no iteration to save.
  quarnel::modelkit::Background_Program stopped(
      POPULATION_EXE, args + " --threads 2 --checkpoint-every 10 --checkpoint " + ckpt,
      "cd '" + dir.string() + "'");
  ASSERT_TRUE(
      quarnel::modelkit::Wait_Until([&] { return fs::exists(ckpt); }, std::chrono::milliseconds(300000)));
  stopped.Signal(SIGTERM);
  const quarnel::modelkit::Program_Output output = stopped.Wait();
  ASSERT_EQ(output.status, 143) << output.err;
  const std::string log = Read_File(dir / "log" / "quarnel_progress.log");
  const size_t at = log.find("Run interrupted by SIGTERM at iteration ");
  ASSERT_NE(at, std::string::npos) << log;
  const uint32_t iteration = uint32_t(std::stoul(log.substr(at + 40)));
  EXPECT_EQ(quarnel::Checkpoint_Reader(ckpt).header().iteration, iteration);
  const population_testing::Program_Outcome resumed = Run_Population(args + " --threads 1 --resume " + ckpt);
  ASSERT_EQ(resumed.status, 0) << resumed.output;
  EXPECT_EQ(Line_After(resumed.output, "Run fingerprint: "), Line_After(whole.output, "Run fingerprint: "));
  fs::remove_all(dir);
}

// What cannot be continued is refused in one line, status 1: checkpoints without
// --deterministic, another model's checkpoint, another seed or number of agents, a missing file.
TEST(Deterministic_Checkpoint_Test, A_Checkpoint_It_Cannot_Continue_Is_Refused_In_One_Line) {
  const std::string good = Temp_File("good.ckpt"), other = Temp_File("other.ckpt");
  std::remove(good.c_str());
  ASSERT_EQ(run_deterministic_population(500, 1, 1000, 5, {good, 30, nullptr}).interrupted, false);
  quarnel::modelkit::Write_Other_Models_Checkpoint(other, "schelling");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + good + " --num_agents 500", "option --resume needs --deterministic"},
      {"--checkpoint " + good, "option --checkpoint needs --deterministic"},
      {"--deterministic --checkpoint-every 5", "option --checkpoint-every needs --checkpoint FILE"},
      {"--deterministic --checkpoint x --checkpoint-every 0", "option --checkpoint-every: '0' is below 1"},
      {"--deterministic --resume " + other, "is of the model 'schelling', not population"},
      {"--deterministic --num_agents 500 --seed 6 --resume " + good, "has seed 5, not 6"},
      {"--deterministic --num_agents 501 --seed 5 --resume " + good, "has num_agents=500, not 501"},
      {"--deterministic --resume " + Temp_File("missing.ckpt"), "cannot read the checkpoint"},
      {"--deterministic --checkpoint /nonexistent/x.ckpt", "cannot write the checkpoint /nonexistent/x.ckpt"},
  };
  for (const auto& [args, expected] : cases) {
    const population_testing::Program_Outcome run = Run_Population(args);
    EXPECT_EQ(run.status, 1) << args << "\n" << run.output;
    EXPECT_TRUE(Contains(run.err, "population: ")) << args << "\n" << run.err;
    EXPECT_TRUE(Contains(run.err, expected)) << args << "\n" << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << args << "\n" << run.err;
  }
  std::remove(good.c_str());
  std::remove(other.c_str());
}

}  // namespace
