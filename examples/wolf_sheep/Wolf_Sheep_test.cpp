// Wolf-sheep-grass: the kernel's run equals the sequential reference step by step on any
// number of workers and any block size, the contests follow their rules, and the program
// refuses bad input with one line and status 1.
#include <gtest/gtest.h>
#include <quarnel/Checkpoint.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Wolf_Sheep_Reference.h"

namespace wolf_sheep {
namespace {

using quarnel::modelkit::Model_Size;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int32_t kLargeSteps = 12;  // sanitizers run 5-20x slower: fewer steps, same matrix
#else
constexpr int32_t kLargeSteps = 100;
#endif

// Property: for a seed and a size, every (workers, block size) gives the reference's
// per-step series exactly, and one run fingerprint.
void Expect_Kernel_Equals_Reference(Parameters p, uint64_t seed) {
  const Series expected = reference::Run(p, seed);
  ASSERT_EQ(expected.size(), size_t(p.steps) + 1);
  // The population must live and change, or the comparison would prove little.
  EXPECT_NE(expected.back(), expected.front());
  EXPECT_GT(expected.back().sheep + expected.back().wolves, 0);
  quarnel::Run_Digest first{};
  for (int threads : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      const kernel::Run_Result result = kernel::Run(p, seed, threads, block_size);
      SCOPED_TRACE(testing::Message() << threads << " workers, blocks of " << block_size);
      ASSERT_EQ(result.series.size(), expected.size());
      for (size_t t = 0; t < expected.size(); ++t) {
        ASSERT_EQ(result.series[t], expected[t])
            << "step " << t << ": kernel sheep " << result.series[t].sheep << " wolves "
            << result.series[t].wolves << " grass " << result.series[t].grass << ", reference sheep "
            << expected[t].sheep << " wolves " << expected[t].wolves << " grass " << expected[t].grass;
      }
      EXPECT_GT(result.fingerprint.calls, 0u);
      if (first.calls == 0) first = result.fingerprint;
      EXPECT_EQ(result.fingerprint, first);
    }
  }
}

TEST(Wolf_Sheep_Kernel_Test, Small_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::small), 11);
}

TEST(Wolf_Sheep_Kernel_Test, Large_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Parameters p = Parameters_For(Model_Size::large);
  p.steps = kLargeSteps;
  Expect_Kernel_Equals_Reference(p, 5);
}

// Small and large grids push moved animals straight into their cells' lanes; huge ones stage
// them by row. Staging on a small grid takes the huge size's path through both versions: the
// same series as without it, on every worker count and block size.
TEST(Wolf_Sheep_Kernel_Test, Staged_Moves_Give_The_Same_Series) {
  Parameters p = Parameters_For(Model_Size::small);
  const Series unstaged = reference::Run(p, 11);
  p.stage_from_cells = 0;
  EXPECT_EQ(reference::Run(p, 11), unstaged);
  Expect_Kernel_Equals_Reference(p, 11);
}

// Another seed gives another history: the seed reaches the draws.
TEST(Wolf_Sheep_Kernel_Test, Seeds_Change_The_History_And_Set_Up_Matches_The_Parameters) {
  Parameters p = Parameters_For(Model_Size::small);
  p.steps = 30;
  const Series a = reference::Run(p, 1), b = reference::Run(p, 2);
  EXPECT_NE(a, b);
  EXPECT_EQ(a[0].sheep, 60);
  EXPECT_EQ(a[0].wolves, 40);
  // About half of the 625 cells start grown.
  EXPECT_NEAR(double(a[0].grass), 312.5, 60);
  // The declared rules start from the same set-up.
  EXPECT_EQ(declared::Run(p, 1)[0], a[0]);
}

// Hand-built cells for the contests, with the rule functions both runs call.
class Contest_Test : public testing::Test {
 protected:
  using Animal = reference::Animal;
  Contest_Test() : sheep_at(Grid_Geometry(2, 1)), wolves_at(Grid_Geometry(2, 1)) { p.regrowth_time = 7; }
  void Put_Sheep(Animal& a) { sheep_at.Push_Alone(a._cell, &a); }
  void Put_Wolf(Animal& a) { wolves_at.Push_Alone(a._cell, &a); }
  Parameters p;
  reference::Animal_Grid sheep_at, wolves_at;
  std::vector<Animal*> wolf_scratch, prey_scratch;
};

// Three sheep on one grown cell: only the lowest identity eats, the grass starts its
// countdown, and the cell next door (no grass) feeds nobody.
TEST_F(Contest_Test, Lowest_Identity_Sheep_Eats_The_Grass) {
  Animal s1{30, 0, 2}, s2{10, 0, 2}, s3{20, 0, 2}, s4{5, 1, 2};
  for (Animal* a : {&s1, &s2, &s3, &s4}) Put_Sheep(*a);
  int32_t grown = 0, not_grown = 3;
  EXPECT_TRUE(rules::Feed_Sheep(sheep_at, 0, grown, p));
  EXPECT_FALSE(rules::Feed_Sheep(sheep_at, 1, not_grown, p));
  EXPECT_EQ(s2._energy, 7.0f);
  EXPECT_EQ(s1._energy, 2.0f);
  EXPECT_EQ(s3._energy, 2.0f);
  EXPECT_EQ(s4._energy, 2.0f);
  EXPECT_EQ(grown, 7);
  EXPECT_EQ(not_grown, 3);
  // Eaten grass feeds no one until it regrows.
  EXPECT_FALSE(rules::Feed_Sheep(sheep_at, 0, grown, p));
  EXPECT_EQ(s2._energy, 7.0f);
}

// Three wolves, two living sheep and a dead one: the two lowest wolves eat the two lowest
// living sheep, one each; the third wolf gets nothing and the dead sheep is not eaten again.
TEST_F(Contest_Test, Wolves_Pair_With_Living_Sheep_By_Identity) {
  Animal w1{300, 0, 4}, w2{100, 0, 4}, w3{200, 0, 4};
  Animal s1{50, 0, 1}, s2{40, 0, 1}, dead{10, 0, 1};
  dead._alive = false;
  for (Animal* a : {&w1, &w2, &w3}) Put_Wolf(*a);
  for (Animal* a : {&s1, &s2, &dead}) Put_Sheep(*a);
  rules::Feed_Wolves(wolves_at, sheep_at, 0, wolf_scratch, prey_scratch, p);
  EXPECT_EQ(w2._energy, 4 + rules::Gain(p.wolf_energy_gain));
  EXPECT_EQ(w3._energy, 4 + rules::Gain(p.wolf_energy_gain));
  EXPECT_EQ(w1._energy, 4.0f);
  EXPECT_FALSE(s1._alive);
  EXPECT_FALSE(s2._alive);
  // One wolf, two sheep: one sheep eaten, the lower one.
  Animal lone{7, 1, 4}, t1{90, 1, 1}, t2{80, 1, 1};
  Put_Wolf(lone);
  Put_Sheep(t1);
  Put_Sheep(t2);
  rules::Feed_Wolves(wolves_at, sheep_at, 1, wolf_scratch, prey_scratch, p);
  EXPECT_EQ(lone._energy, 4 + rules::Gain(p.wolf_energy_gain));
  EXPECT_TRUE(t1._alive);
  EXPECT_FALSE(t2._alive);
}

// On a one-cell grid nobody can move: every animal meets every other in the same cell. Sheep
// that cannot eat and have too little energy starve in the first step, in both runs alike.
TEST(Wolf_Sheep_Kernel_Test, One_Cell_Grid_Equals_Reference) {
  Parameters p;
  p.width = p.height = 1;
  p.sheep = 30;
  p.wolves = 12;
  p.steps = 15;
  const Series expected = reference::Run(p, 3);
  for (int threads : {1, 2}) EXPECT_EQ(kernel::Run(p, 3, threads, 7).series, expected);
  // A wolf starts with at least 1 and dies only below 0: none dies in the first step.
  EXPECT_GE(expected[1].wolves, 12);
}

// The program: one line on standard error and status 1 for bad input.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(WOLF_SHEEP_PROGRAM, args);
}

TEST(Wolf_Sheep_Program_Test, Bad_Input_Gives_One_Line_And_Status_1) {
  for (const char* args : {"--size medium", "--threads 0", "--steps x", "--bogus", "--block_size",
                           "--csv /nonexistent-folder/x.csv --steps 1",
                           "--size \"$(printf 'medium\\nwolf_sheep: 100 steps')\"", "--threads 2147483647"}) {
    const quarnel::modelkit::Program_Outcome outcome = Run_Program(args);
    EXPECT_EQ(outcome.status, 1) << args;
    ASSERT_FALSE(outcome.err.empty()) << args;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << args << ": " << outcome.err;
    EXPECT_EQ(outcome.err.rfind("wolf_sheep: ", 0), 0u) << outcome.err;
  }
  EXPECT_EQ(Run_Program("--help").status, 0);
}

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "wolf_sheep_" + std::to_string(getpid()) + "_" + name;
}

using quarnel::modelkit::Lines_Of;

void Write_File(const std::string& file, const std::string& text) {
  std::ofstream(file) << text;
}

using quarnel::modelkit::Program_Output;
using quarnel::modelkit::Read_Text_File;
using quarnel::modelkit::Run_To_End;

// The rows are numbered 0, 1, ... without a gap, and the file ends with a whole line.
void Expect_Whole_Rows(const std::string& text, const std::string& header) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << text;
  const std::vector<std::string> lines = Lines_Of(text);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], header);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(std::to_string(i - 1) + ",", 0), 0u) << lines[i];
    EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 3) << lines[i];
  }
}

// SIGINT: the run stops at the end of its step, the CSV that replaced the old one and the
// SQLite series hold every finished step, the runs row says 'interrupted', one line says
// where, status 130.
TEST(Wolf_Sheep_Program_Test, Sigint_Stops_At_The_End_Of_A_Step_Keeping_Every_Finished_Row) {
  const std::string csv = Temp_File("interrupted.csv");
  Write_File(csv, "an old series of 32 bytes.......\n");
  const std::string db = Temp_File("interrupted.db");
  std::remove(db.c_str());
  quarnel::modelkit::Background_Program run(
      WOLF_SHEEP_PROGRAM,
      "--size large --threads 2 --steps 2000000000 --overwrite --csv " + csv + " --sqlite " + db);
  ASSERT_TRUE(quarnel::modelkit::Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 4; },
                                            std::chrono::milliseconds(30000)))
      << "the rows are written as the steps finish";
  run.Signal(SIGINT);
  const Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 130) << output.err;
  const std::string text = Read_Text_File(csv);
  Expect_Whole_Rows(text, "step,sheep,wolves,grass");
  const std::string last = std::to_string(Lines_Of(text).size() - 2);
  EXPECT_NE(output.err.find("wolf_sheep: interrupted by SIGINT after step " + last +
                            " of 2000000000; the records hold every finished step\n"),
            std::string::npos)
      << output.err;
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT status, steps FROM runs"),
            std::vector<std::string>{"interrupted|2000000000"});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT count(*), max(step) FROM series"),
            std::vector<std::string>{std::to_string(Lines_Of(text).size() - 1) + "|" + last});
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// The parameters are declared once: --params lists them, --set changes one (a value out of
// range, or a grid of more cells than a cell number holds, is one line), and the records
// carry them. The CSV and the SQLite series both equal the reference's series.
TEST(Wolf_Sheep_Program_Test, Parameters_Are_Listed_Set_And_Recorded) {
  const Program_Output listing = Run_To_End(WOLF_SHEEP_PROGRAM, "--params");
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.out.find("wolf_reproduction"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("preset large: width=100 height=100 sheep=1000 wolves=500 regrowth_time=10 "
                             "sheep_reproduction=0.4 wolf_reproduction=0.2\n"),
            std::string::npos)
      << listing.out;
  const std::pair<std::string, std::string> refusals[] = {
      {"--set wolf_reproduction=1.5", "parameter wolf_reproduction"},
      {"--set regrowth_time=0", "parameter regrowth_time"},
      {"--set width=65536 --set height=32768", "parameters width and height"}};
  for (const auto& [args, names] : refusals) {
    const quarnel::modelkit::Program_Outcome refused = Run_Program(args);
    EXPECT_EQ(refused.status, 1) << args;
    EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << args << ": " << refused.err;
    EXPECT_EQ(refused.err.rfind("wolf_sheep: " + names, 0), 0u) << refused.err;
  }

  const std::string csv = Temp_File("recorded.csv"), db = Temp_File("recorded.db");
  std::remove(csv.c_str());
  std::remove(db.c_str());
  const Program_Output run = Run_To_End(WOLF_SHEEP_PROGRAM,
                                        "--seed 3 --threads 2 --steps 30 --set sheep_reproduction=0.3 "
                                        "--set wolf_energy_gain=9.5 --csv " +
                                            csv + " --sqlite " + db);
  ASSERT_EQ(run.status, 0) << run.err;
  Parameters p = Parameters_For(Model_Size::small);
  p.sheep_reproduction = 0.3;
  p.wolf_energy_gain = 9.5;
  p.steps = 30;
  const Series expected = reference::Run(p, 3);
  EXPECT_NE(expected, reference::Run(Parameters_For(Model_Size::small), 3)) << "the values reach the rules";
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db,
                                            "SELECT model, seed, status, width, sheep, regrowth_time, "
                                            "sheep_reproduction, wolf_energy_gain, steps FROM runs"),
            std::vector<std::string>{"wolf_sheep|3|done|25|60|20|0.3|9.5|30"});
  const std::vector<std::string> lines = Lines_Of(Read_Text_File(csv));
  const std::vector<std::string> rows =
      quarnel::modelkit::Query_Sqlite(db, "SELECT step, sheep, wolves, grass FROM series ORDER BY step");
  ASSERT_EQ(lines.size(), expected.size() + 1);
  ASSERT_EQ(rows.size(), expected.size());
  EXPECT_EQ(lines[0], "step,sheep,wolves,grass");
  for (size_t t = 0; t < expected.size(); ++t) {
    const std::string row = std::to_string(t) + "," + std::to_string(expected[t].sheep) + "," +
                            std::to_string(expected[t].wolves) + "," + std::to_string(expected[t].grass);
    EXPECT_EQ(lines[t + 1], row);
    std::string sqlite_row = row;
    std::replace(sqlite_row.begin(), sqlite_row.end(), ',', '|');
    EXPECT_EQ(rows[t], sqlite_row);
  }
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

TEST(Wolf_Sheep_Program_Test, A_Result_That_Cannot_Reach_Standard_Output_Is_An_Error) {
  const Program_Output full = Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 2", "", ">/dev/full");
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_NE(full.err.find("wolf_sheep: could not write to standard output: No space left on device\n"),
            std::string::npos)
      << full.err;
  const Program_Output closed = Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 2", "", ">&-");
  EXPECT_EQ(closed.status, 1) << closed.err;
  EXPECT_NE(closed.err.find(
                "wolf_sheep: could not write to standard output: it was closed when the program started\n"),
            std::string::npos)
      << closed.err;
}

// With standard error closed, the CSV must not become descriptor 2 and receive the kernel's
// lines: the program opens /dev/null there first.
TEST(Wolf_Sheep_Program_Test, A_Closed_Standard_Error_Does_Not_Send_Lines_Into_The_Csv) {
  const std::string csv = Temp_File("closed_stderr.csv");
  const Program_Output output = Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 5 --csv " + csv, "", "", "2>&-");
  EXPECT_EQ(output.status, 0);
  const std::string text = Read_Text_File(csv);
  EXPECT_EQ(Lines_Of(text).size(), 7u) << text;
  Expect_Whole_Rows(text, "step,sheep,wolves,grass");
  std::remove(csv.c_str());
}

// Past the file-size limit the write fails with EFBIG (SIGXFSZ is ignored) and is reported
// like a full disk: one line, status 1, the file cut back to its last whole row.
TEST(Wolf_Sheep_Program_Test, The_File_Size_Limit_Is_Reported_Like_A_Full_Disk) {
  const std::string csv = Temp_File("limited.csv");
  std::remove(csv.c_str());
  const Program_Output output = Run_To_End(WOLF_SHEEP_PROGRAM, "--csv " + csv, "ulimit -f 1");
  EXPECT_EQ(output.status, 1) << output.err;
  EXPECT_EQ(output.err, "wolf_sheep: writing the CSV file " + csv + " failed: File too large\n");
  const std::string text = Read_Text_File(csv);
  EXPECT_LE(text.size(), 1024u);
  Expect_Whole_Rows(text, "step,sheep,wolves,grass");
  std::remove(csv.c_str());
}

// Memory before threads: the workers' lanes of a large grid for 20000 workers (3 GiB) do not
// fit in 2 GB of address space, and the program says so before it allocates anything. An
// existing CSV stays as it was when the workers cannot start. The sanitizers cannot run under
// an address-space limit.
TEST(Wolf_Sheep_Program_Test, Threads_And_Memory_Are_Checked_Before_Anything_Is_Allocated_For_Them) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit is incompatible with the sanitizers";
#else
  const Program_Output lanes =
      Run_To_End(WOLF_SHEEP_PROGRAM, "--size large --threads 20000", "ulimit -v 2000000");
  EXPECT_EQ(lanes.status, 1) << lanes.err;
  EXPECT_EQ(
      lanes.err.rfind("wolf_sheep: option --threads: '20000' needs about 3051 MiB for the workers' lanes of "
                      "the large grid alone, more than the 1953 MiB of the address-space limit (ulimit -v)\n",
                      0),
      0u)
      << lanes.err;
  EXPECT_EQ(std::count(lanes.err.begin(), lanes.err.end(), '\n'), 1) << lanes.err;
  const std::string csv = Temp_File("kept.csv");
  Write_File(csv, "an old series\n");
  const Program_Output refused =
      Run_To_End(WOLF_SHEEP_PROGRAM, "--threads 200 --overwrite --csv " + csv, "ulimit -v 400000");
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("Could not start the worker threads"), std::string::npos) << refused.err;
  EXPECT_EQ(Read_Text_File(csv), "an old series\n");
  std::remove(csv.c_str());
#endif
}

// ---------------------------------------------------------------------------------------
// Checkpoints.

using quarnel::modelkit::Fingerprint_Of;

// A run saved every k steps and killed by SIGKILL a few steps after a save, then resumed on
// another number of workers and block size, writes the same CSV rows, SQLite series and run
// fingerprint as a run that never stopped: the rows the killed run wrote after its checkpoint
// are replaced. Animals are born and die after the checkpoint, so new objects and released
// ones continue too.
TEST(Wolf_Sheep_Checkpoint_Test, Killed_And_Resumed_On_Other_Workers_Continues_Identically) {
  quarnel::modelkit::Resume_Trial trial(WOLF_SHEEP_PROGRAM, "--size large", 300, 10, 15,
                                        "SELECT step, sheep, wolves, grass FROM series ORDER BY step",
                                        Temp_File("trial."));
  ASSERT_EQ(trial.whole().status, 0) << trial.whole().err;
  for (const quarnel::modelkit::Resume_Trial::Threads& c : quarnel::modelkit::Resume_Trial::Cases()) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    const quarnel::modelkit::Resume_Trial::Outcome r = trial.Resume(c);
    ASSERT_EQ(r.problem, "");
    EXPECT_EQ(Fingerprint_Of(r.resumed.out), Fingerprint_Of(trial.whole().out));
  }
}

// A finished run's checkpoint, saved at its last step, continues into a run twice as long on
// another number of workers exactly as a run that never stopped (rows, series, runs row with
// the longer run's steps, fingerprint).
TEST(Wolf_Sheep_Checkpoint_Test, Saved_At_The_Last_Step_A_Longer_Run_Continues_Identically) {
  const quarnel::modelkit::Longer_Resume r = quarnel::modelkit::Resume_Longer(
      WOLF_SHEEP_PROGRAM, "", 10, 1, 3, "SELECT step, sheep, wolves, grass FROM series ORDER BY step",
      Temp_File("longer."));
  ASSERT_EQ(r.problem, "");
  EXPECT_EQ(Fingerprint_Of(r.resumed.out), Fingerprint_Of(r.whole.out));
}

// Another model's checkpoint, and one of this model on another grid (--fork lets the grid
// differ, the saved state cannot fit it), are refused in one line with status 1.
TEST(Wolf_Sheep_Checkpoint_Test, A_Checkpoint_That_Does_Not_Fit_Is_Refused_In_One_Line) {
  const std::string good = Temp_File("good.ckpt"), other = Temp_File("other.ckpt");
  ASSERT_EQ(
      Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 12 --checkpoint " + good + " --checkpoint-every 5").status, 0);
  quarnel::modelkit::Write_Other_Models_Checkpoint(other, "schelling");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + other, "of the model 'schelling', not wolf_sheep"},
      {"--resume " + good + " --fork --set width=10", "its grid has another number of cells"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program(args + " --steps 20"), expected), "") << args;
  }
  std::remove(good.c_str());
  std::remove(other.c_str());
}

// A resume without --fork continues only its own run's records. Files that hold another run's
// (another seed, other parameters, rows that do not reach the saved step or differ from the
// saved run's, a CSV the saved run never wrote) are refused in one line, status 1, and left
// byte for byte as they were; the run's own records continue.
TEST(Wolf_Sheep_Checkpoint_Test, A_Resume_Refuses_Records_Of_Another_Run_And_Leaves_Them_Alone) {
  const std::string ckpt = Temp_File("own.ckpt"), bare = Temp_File("bare.ckpt");
  const std::string own_csv = Temp_File("own.csv"), own_db = Temp_File("own.db");
  std::vector<std::string> files = {own_csv, own_db};
  auto make = [&](const std::string& name, const std::string& args) {
    const std::string csv = Temp_File(name + ".csv"), db = Temp_File(name + ".db");
    for (const std::string& f : {csv, db}) std::remove(f.c_str());
    files.push_back(csv);
    files.push_back(db);
    EXPECT_EQ(Run_To_End(WOLF_SHEEP_PROGRAM, args + " --csv " + csv + " --sqlite " + db).status, 0) << name;
  };
  for (const std::string& f : {own_csv, own_db}) std::remove(f.c_str());
  // Saved at step 20 of 25, with both records.
  ASSERT_EQ(
      Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 25 --checkpoint " + ckpt + " --checkpoint-every 10 --csv " +
                                         own_csv + " --sqlite " + own_db)
          .status,
      0);
  ASSERT_EQ(
      Run_To_End(WOLF_SHEEP_PROGRAM, "--steps 25 --checkpoint " + bare + " --checkpoint-every 10").status, 0);
  make("seed", "--seed 7 --steps 40");
  make("param", "--steps 40 --set sheep_reproduction=0.25");
  make("sparse", "--steps 40 --record_every 3");  // the same run, with no row at step 20
  make("short", "--steps 12");                    // the same run, ended before step 20
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + ckpt + " --sqlite " + Temp_File("seed.db"), "has another seed than 1"},
      {"--resume " + ckpt + " --csv " + Temp_File("seed.csv"), "are not those of the checkpoint's run"},
      {"--resume " + ckpt + " --sqlite " + Temp_File("param.db"), "has sheep_reproduction other than 0.2"},
      {"--resume " + ckpt + " --sqlite " + Temp_File("sparse.db"), "has no row at step 20"},
      {"--resume " + ckpt + " --csv " + Temp_File("sparse.csv"), "are not those of the checkpoint's run"},
      {"--resume " + ckpt + " --sqlite " + Temp_File("short.db"), "has no row at step 20"},
      {"--resume " + ckpt + " --csv " + Temp_File("short.csv"), "are not those of the checkpoint's run"},
      {"--resume " + bare + " --csv " + Temp_File("seed.csv"), "wrote no CSV file to continue"},
      // One good file does not let the other be taken over, nor is it cut first.
      {"--resume " + ckpt + " --csv " + own_csv + " --sqlite " + Temp_File("seed.db"), "another seed"},
  };
  std::vector<std::string> before;
  for (const std::string& f : files) before.push_back(Read_Text_File(f));
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program(args + " --steps 40"), expected), "") << args;
  }
  for (size_t i = 0; i < files.size(); ++i) EXPECT_TRUE(Read_Text_File(files[i]) == before[i]) << files[i];
  const Program_Output own = Run_To_End(
      WOLF_SHEEP_PROGRAM, "--resume " + ckpt + " --steps 40 --csv " + own_csv + " --sqlite " + own_db);
  EXPECT_EQ(own.status, 0) << own.err;
  EXPECT_EQ(Lines_Of(Read_Text_File(own_csv)).size(), 42u);  // the header, steps 0 to 40
  for (const std::string& f : files) std::remove(f.c_str());
  std::remove(ckpt.c_str());
  std::remove(bare.c_str());
}

// --resume FILE alone continues the saved run with its seed and values (a large preset, a
// --set), on any number of workers; what the command line gives must match them unless --fork.
TEST(Wolf_Sheep_Checkpoint_Test, A_Resume_Takes_The_Seed_And_Values_Of_Its_Checkpoint) {
  const std::string ckpt = Temp_File("values.ckpt");
  const std::string run = "--size large --seed 5 --set wolves=400";
  ASSERT_EQ(
      Run_To_End(WOLF_SHEEP_PROGRAM, run + " --steps 12 --checkpoint " + ckpt + " --checkpoint-every 10")
          .status,
      0);
  const Program_Output whole = Run_To_End(WOLF_SHEEP_PROGRAM, run + " --steps 16");
  ASSERT_EQ(whole.status, 0) << whole.err;
  const Program_Output resumed =
      Run_To_End(WOLF_SHEEP_PROGRAM, "--resume " + ckpt + " --steps 16 --threads 3");
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(Fingerprint_Of(resumed.out), Fingerprint_Of(whole.out));
  EXPECT_NE(resumed.out.find("16 steps of large"), std::string::npos) << "the nearest size: " << resumed.out;
  const Program_Output again = Run_To_End(WOLF_SHEEP_PROGRAM, "--resume " + ckpt + " " + run + " --steps 16");
  EXPECT_EQ(Fingerprint_Of(again.out), Fingerprint_Of(whole.out)) << again.err;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--seed 1", "has seed 5, not 1"},
      {"--size small", "has width=100, not 25"},
      {"--size large", "has wolves=400, not 500"},  // the size decides every preset's parameter
      {"--set regrowth_time=11", "has regrowth_time=10, not 11"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(
        quarnel::modelkit::Refusal_Problem(Run_Program("--resume " + ckpt + " --steps 16 " + args), expected),
        "")
        << args;
  }
  const Program_Output fork = Run_To_End(WOLF_SHEEP_PROGRAM, "--resume " + ckpt + " --fork --set wolves=300");
  EXPECT_EQ(fork.status, 0) << fork.err;
  std::remove(ckpt.c_str());
}

}  // namespace
}  // namespace wolf_sheep
