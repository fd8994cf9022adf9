// Schelling: the kernel's run equals the sequential reference step by step on any number of
// workers and any block size, the move contest follows its rule, and the program refuses bad
// input with one line and status 1.
#include <gtest/gtest.h>
#include <quarnel/Checkpoint.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Schelling_Reference.h"

namespace schelling {
namespace {

using quarnel::modelkit::Model_Size;

// Property: for a seed and a size, every (workers, block size) gives the reference's
// per-step series exactly, and one run fingerprint.
void Expect_Kernel_Equals_Reference(const Parameters& p, uint64_t seed) {
  const Series expected = reference::Run(p, seed);
  ASSERT_EQ(expected.size(), size_t(p.steps) + 1);
  // Residents must move and become happier, or the comparison would prove little.
  EXPECT_GT(expected[1].moved, 0);
  EXPECT_GT(expected.back().happy, expected[1].happy);
  quarnel::Run_Digest first{};
  for (int threads : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      const kernel::Run_Result result = kernel::Run(p, seed, threads, block_size);
      SCOPED_TRACE(testing::Message() << threads << " workers, blocks of " << block_size);
      ASSERT_EQ(result.series.size(), expected.size());
      for (size_t t = 0; t < expected.size(); ++t) {
        ASSERT_EQ(result.series[t], expected[t])
            << "step " << t << ": kernel happy " << result.series[t].happy << " moved "
            << result.series[t].moved << ", reference happy " << expected[t].happy << " moved "
            << expected[t].moved;
      }
      EXPECT_GT(result.fingerprint.calls, 0u);
      if (first.calls == 0) first = result.fingerprint;
      EXPECT_EQ(result.fingerprint, first);
    }
  }
}

TEST(Schelling_Kernel_Test, Small_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::small), 4);
}

TEST(Schelling_Kernel_Test, Large_Equals_Reference_On_Every_Worker_Count_And_Block_Size) {
  Expect_Kernel_Equals_Reference(Parameters_For(Model_Size::large), 9);
}

TEST(Schelling_Kernel_Test, Set_Up_Places_Every_Resident_On_Its_Own_Cell_Half_In_Each_Group) {
  const Parameters p = Parameters_For(Model_Size::small);
  std::vector<int32_t> cells;
  const Grid grid = rules::Place_Residents(p, 3, cells);
  EXPECT_EQ(grid.occupied(), 1000);
  int64_t group1 = 0;
  for (int32_t cell = 0; cell < grid.geometry().num_cells(); ++cell) group1 += grid.At(cell) == 1;
  EXPECT_EQ(group1, 500);
  for (size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(grid.At(cells[i]), rules::Group_Of(p, int32_t(i)));
  Parameters crowded = p;
  crowded.agents = 1601;
  EXPECT_THROW(rules::Place_Residents(crowded, 3, cells), std::invalid_argument);
}

// Happy residents counted by hand on a grid, resident i at cells[i]: the cells within the
// radius (the square window, clipped at the borders, the resident's own cell excluded) that
// hold its group, at least the minimum.
int64_t Happy_By_Hand(const Parameters& p, const Grid& grid, const std::vector<int32_t>& cells) {
  const int32_t side = p.side;
  int64_t happy = 0;
  for (size_t i = 0; i < cells.size(); ++i) {
    const int32_t x = cells[i] % side, y = cells[i] / side;
    const uint8_t group = rules::Group_Of(p, int32_t(i));
    int32_t alike = 0;
    for (int32_t v = std::max(0, y - p.radius); v <= std::min(side - 1, y + p.radius); ++v) {
      for (int32_t u = std::max(0, x - p.radius); u <= std::min(side - 1, x + p.radius); ++u) {
        if ((u != x || v != y) && grid.At(v * side + u) == group) ++alike;
      }
    }
    happy += alike >= p.min_to_be_happy;
  }
  return happy;
}

Grid Grid_Of(const Parameters& p, const std::vector<int32_t>& cells) {
  Grid grid(Grid_Geometry(p.side, p.side));
  for (size_t i = 0; i < cells.size(); ++i) grid.Place(cells[i], rules::Group_Of(p, int32_t(i)));
  return grid;
}

// Property: every way reports the state after each step. Row 0 is the grid after set-up (its
// happy residents, none moved), the last row the grid after the last step (its happy
// residents, recomputed from the final cells); the kernel, the reference and the declared rules
// agree on row 0, and the kernel's summary is its last row. Seed 1 of the small size is the
// run once reported wrongly: 453 happy after set-up, 582 after one step, 994 after 20.
TEST(Schelling_Kernel_Test, Rows_Report_The_State_After_Each_Step) {
  for (const Model_Size size : {Model_Size::small, Model_Size::large}) {
    for (uint64_t seed : {1u, 5u}) {
      const Parameters p = Parameters_For(size);
      std::vector<int32_t> start;
      const Grid set_up = rules::Place_Residents(p, seed, start);
      const Counts first{Happy_By_Hand(p, set_up, start), 0};
      ASSERT_GT(first.happy, 0);
      const kernel::Run_Result kernel_run = kernel::Run(p, seed, 2, 7);
      ASSERT_EQ(kernel_run.series.size(), size_t(p.steps) + 1);
      EXPECT_EQ(kernel_run.series[0], first) << "seed " << seed;
      EXPECT_EQ(kernel_run.series.back().happy,
                Happy_By_Hand(p, Grid_Of(p, kernel_run.final_cells), kernel_run.final_cells))
          << "seed " << seed;
      EXPECT_EQ(reference::Run(p, seed)[0], first);
      std::vector<int32_t> declared_cells;
      const Series declared_run = declared::Run(p, seed, &declared_cells);
      EXPECT_EQ(declared_run[0], first);
      EXPECT_EQ(declared_run.back().happy, Happy_By_Hand(p, Grid_Of(p, declared_cells), declared_cells));
      if (size == Model_Size::small && seed == 1) {
        EXPECT_EQ(kernel_run.series[0].happy, 453);
        EXPECT_EQ(kernel_run.series[1].happy, 582);
        EXPECT_EQ(kernel_run.series[20].happy, 994);
      }
      // One step at a time: the last row of a k-step run is the grid after step k.
      for (int32_t steps : {1, 2}) {
        Parameters q = p;
        q.steps = steps;
        const kernel::Run_Result short_run = kernel::Run(q, seed, 1, 1000);
        EXPECT_EQ(short_run.series.back().happy,
                  Happy_By_Hand(p, Grid_Of(p, short_run.final_cells), short_run.final_cells));
        EXPECT_EQ(short_run.series.back(), kernel_run.series[size_t(steps)]);
      }
    }
  }
}

// With a row sink, the kernel hands each row over as soon as it is final, the same rows, and
// keeps only the last one.
TEST(Schelling_Kernel_Test, A_Row_Sink_Gets_Every_Row_In_Order) {
  const Parameters p = Parameters_For(Model_Size::small);
  const Series expected = reference::Run(p, 2);
  Series received;
  const kernel::Run_Result run =
      kernel::Run(p, 2, 2, 1000, true, [&](const Counts& c) { received.push_back(c); });
  EXPECT_EQ(received, expected);
  ASSERT_EQ(run.series.size(), 1u);
  EXPECT_EQ(run.series[0], expected.back());
}

// A hand-built contest: a 2 x 2 grid, three residents, one empty cell, and a minimum (3 alike
// within radius 1) that no one can reach. Every step all three claim the only empty cell;
// the lowest identity (resident 0) moves each time, the others never do, so resident 0
// swaps between the empty cell and its own, and one resident moves per step.
TEST(Schelling_Kernel_Test, Three_Claims_For_One_Cell_Lowest_Identity_Moves) {
  const Parameters p{2, 3, 1, 3, 3};
  for (uint64_t seed : {1u, 2u, 3u}) {
    std::vector<int32_t> start;
    rules::Place_Residents(p, seed, start);
    int32_t empty = 0 + 1 + 2 + 3;
    for (int32_t c : start) empty -= c;
    for (int threads : {1, 2}) {
      for (int32_t steps : {1, 2, 3}) {
        Parameters q = p;
        q.steps = steps;
        const kernel::Run_Result result = kernel::Run(q, seed, threads, 1);
        EXPECT_EQ(result.series[0], (Counts{0, 0}));
        for (int32_t t = 1; t <= steps; ++t) EXPECT_EQ(result.series[size_t(t)], (Counts{0, 1}));
        EXPECT_EQ(result.final_cells[0], steps % 2 == 1 ? empty : start[0]) << "seed " << seed;
        EXPECT_EQ(result.final_cells[1], start[1]);
        EXPECT_EQ(result.final_cells[2], start[2]);
      }
    }
  }
}

// The minimum is read during the run: 0 makes everyone happy at once, nobody moves.
TEST(Schelling_Kernel_Test, Minimum_Zero_Makes_Everyone_Happy) {
  Parameters p = Parameters_For(Model_Size::small);
  p.min_to_be_happy = 0;
  p.steps = 3;
  const Series series = kernel::Run(p, 8, 2, 7).series;
  for (size_t t = 0; t < series.size(); ++t) EXPECT_EQ(series[t], (Counts{1000, 0})) << "row " << t;
}

// The program: one line on standard error and status 1 for bad input.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(SCHELLING_PROGRAM, args);
}

TEST(Schelling_Program_Test, Bad_Input_Gives_One_Line_And_Status_1) {
  // A line break in a value stays escaped on the one line; a thread count no system can start
  // is refused before anything is allocated for it.
  for (const char* args :
       {"--size tiny", "--threads -1", "--seed abc", "--steps 0", "--nonsense 3",
        "--csv /nonexistent-folder/x.csv --steps 1",
        "--size \"$(printf 'tiny\\nschelling: 20 steps of small')\"", "--threads 2147483647"}) {
    const quarnel::modelkit::Program_Outcome outcome = Run_Program(args);
    EXPECT_EQ(outcome.status, 1) << args;
    ASSERT_FALSE(outcome.err.empty()) << args;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << args << ": " << outcome.err;
    EXPECT_EQ(outcome.err.rfind("schelling: ", 0), 0u) << outcome.err;
  }
  EXPECT_EQ(Run_Program("--help").status, 0);
}

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "schelling_" + std::to_string(getpid()) + "_" + name;
}

using quarnel::modelkit::Lines_Of;

void Write_File(const std::string& file, const std::string& text) {
  std::ofstream(file) << text;
}

using quarnel::modelkit::Read_Text_File;

// SIGINT: the run stops at the end of its step, the CSV holds every finished step (streamed as
// the run went, no torn line), one line says where it stopped, no summary, status 130.
TEST(Schelling_Program_Test, Sigint_Stops_At_The_End_Of_A_Step_Keeping_Every_Finished_Row) {
  const std::string csv = Temp_File("interrupted.csv");
  Write_File(csv, "an old series\n");
  const std::string db = Temp_File("interrupted.db");
  std::remove(db.c_str());
  quarnel::modelkit::Background_Program run(
      SCHELLING_PROGRAM, "--size large --steps 2000000000 --overwrite --csv " + csv + " --sqlite " + db);
  ASSERT_TRUE(quarnel::modelkit::Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 4; },
                                            std::chrono::milliseconds(30000)))
      << "the rows are written as the steps finish";
  run.Signal(SIGINT);
  const quarnel::modelkit::Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 130) << output.err;
  const std::string text = Read_Text_File(csv);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> lines = Lines_Of(text);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "step,happy,moved,fraction_happy");
  for (size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].rfind(std::to_string(i - 1) + ",", 0), 0u) << lines[i];
  const std::string last = std::to_string(lines.size() - 2);
  EXPECT_NE(output.err.find("schelling: interrupted by SIGINT after step " + last +
                            " of 2000000000; the records hold every finished step\n"),
            std::string::npos)
      << output.err;
  EXPECT_EQ(output.out, "") << "no summary for a run that did not finish";
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT status, steps FROM runs"),
            std::vector<std::string>{"interrupted|2000000000"});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT count(*), max(step) FROM series"),
            std::vector<std::string>{std::to_string(lines.size() - 1) + "|" + last});
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// A second signal stops the program at once, in the middle of a step (a huge grid's step takes
// a tenth of a second or more), and it dies by that signal. The second signal is sent as soon
// as the first has been answered; should the step end in that moment, the run has stopped at
// its end as for one signal, and the case is tried again.
TEST(Schelling_Program_Test, A_Second_Sigint_Stops_At_Once) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // An eighth of huge: its iterations under a sanitizer still outlast the two signals.
  const std::string size = "--size huge --set side=700 --set agents=392000";
#else
  const std::string size = "--size huge";
#endif
  bool at_once = false;
  for (int attempt = 0; attempt < 3 && !at_once; ++attempt) {
    const std::string csv = Temp_File("twice.csv");
    quarnel::modelkit::Background_Program run(SCHELLING_PROGRAM, size + " --steps 1000 --csv " + csv);
    ASSERT_TRUE(quarnel::modelkit::Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 2; },
                                              std::chrono::milliseconds(120000)));
    run.Signal(SIGINT);
    ASSERT_TRUE(quarnel::modelkit::Wait_Until(
        [&] { return run.Err_So_Far().find("stops at the end of the iteration") != std::string::npos; }));
    run.Signal(SIGINT);
    const quarnel::modelkit::Program_Output output = run.Wait();
    EXPECT_EQ(output.status, 130) << output.err;
    at_once =
        output.err.find("schelling: SIGINT again: stopped at once during iteration ") != std::string::npos;
    if (at_once) {
      EXPECT_EQ(output.err.find("interrupted by SIGINT after step"), std::string::npos) << output.err;
      const std::string text = Read_Text_File(csv);
      EXPECT_EQ(text.rfind("step,happy,moved,fraction_happy\n0,", 0), 0u) << text;
      EXPECT_EQ(text.back(), '\n');
    }
    std::remove(csv.c_str());
  }
  EXPECT_TRUE(at_once);
}

// The parameters are declared once: --params lists them, --set changes one (a value out of
// range is one line), and the records carry them. Both sinks hold the same rows, the fraction
// as the shortest text that reads back the same double.
TEST(Schelling_Program_Test, Parameters_Are_Listed_Set_And_Recorded) {
  const quarnel::modelkit::Program_Output listing =
      quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM, "--params");
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.out.find("min_to_be_happy"), std::string::npos) << listing.out;
  const quarnel::modelkit::Program_Outcome refused = Run_Program("--set min_to_be_happy=-1");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("min_to_be_happy"), std::string::npos) << refused.err;

  const std::string csv = Temp_File("recorded.csv"), db = Temp_File("recorded.db");
  std::remove(csv.c_str());
  std::remove(db.c_str());
  const quarnel::modelkit::Program_Output run = quarnel::modelkit::Run_To_End(
      SCHELLING_PROGRAM,
      "--seed 3 --threads 2 --steps 4 --set min_to_be_happy=5 --csv " + csv + " --sqlite " + db);
  ASSERT_EQ(run.status, 0) << run.err;
  Parameters p = Parameters_For(Model_Size::small);
  p.min_to_be_happy = 5;
  p.steps = 4;
  const Series expected = reference::Run(p, 3);
  const std::vector<std::string> lines = Lines_Of(Read_Text_File(csv));
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[0], "step,happy,moved,fraction_happy");
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(
                db, "SELECT model, seed, status, side, agents, min_to_be_happy, steps FROM runs"),
            std::vector<std::string>{"schelling|3|done|40|1000|5|4"});
  const std::vector<std::string> rows = quarnel::modelkit::Query_Sqlite(
      db, "SELECT step, happy, moved, fraction_happy FROM series ORDER BY step");
  ASSERT_EQ(rows.size(), expected.size());
  for (size_t t = 0; t < expected.size(); ++t) {
    const std::string fraction = lines[t + 1].substr(lines[t + 1].rfind(',') + 1);
    EXPECT_EQ(std::stod(fraction), double(expected[t].happy) / 1000) << lines[t + 1];
    const std::string row = std::to_string(t) + "," + std::to_string(expected[t].happy) + "," +
                            std::to_string(expected[t].moved) + "," + fraction;
    EXPECT_EQ(lines[t + 1], row);
    EXPECT_EQ(std::stod(rows[t].substr(rows[t].rfind('|') + 1)), std::stod(fraction)) << rows[t];
  }
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// A study: a 2 x 2 grid times 3 replications on 2 jobs gives 12 runs, each with its own seed
// and its point's values, and each run's series is the model's for that seed and those values;
// the program run alone with them records the same series.
TEST(Schelling_Program_Test, A_Study_Of_A_Grid_Makes_Every_Run_Of_Its_Design) {
  const std::string db = Temp_File("study.db"), single = Temp_File("single.db");
  std::remove(db.c_str());
  std::remove(single.c_str());
  const quarnel::modelkit::Program_Output study =
      quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM,
                                    "study --vary radius=1,2 --vary min_to_be_happy=2,4 --replications 3 "
                                    "--seed 8 --jobs 2 --steps 5 --sqlite " +
                                        db);
  ASSERT_EQ(study.status, 0) << study.err;
  const std::vector<std::string> runs = quarnel::modelkit::Query_Sqlite(
      db, "SELECT run, seed, status, radius, min_to_be_happy FROM runs ORDER BY run");
  ASSERT_EQ(runs.size(), 12u);
  for (size_t i = 0; i < runs.size(); ++i) {
    std::istringstream row(runs[i]);
    std::string run, seed, status, radius, minimum;
    std::getline(row, run, '|');
    std::getline(row, seed, '|');
    std::getline(row, status, '|');
    std::getline(row, radius, '|');
    std::getline(row, minimum, '|');
    EXPECT_EQ(run, std::to_string(i + 1));
    EXPECT_EQ(status, "done");
    EXPECT_EQ(radius, i < 6 ? "1" : "2");              // the first --vary varies slowest
    EXPECT_EQ(minimum, (i / 3) % 2 == 0 ? "2" : "4");  // then the replications
    Parameters p = Parameters_For(Model_Size::small);
    p.steps = 5;
    p.radius = std::stoi(radius);
    p.min_to_be_happy = std::stoi(minimum);
    const Series expected = reference::Run(p, std::stoull(seed));
    const std::vector<std::string> series = quarnel::modelkit::Query_Sqlite(
        db, "SELECT step, happy, moved FROM series WHERE run = " + run + " ORDER BY step");
    ASSERT_EQ(series.size(), expected.size());
    for (size_t t = 0; t < expected.size(); ++t) {
      EXPECT_EQ(series[t], std::to_string(t) + "|" + std::to_string(expected[t].happy) + "|" +
                               std::to_string(expected[t].moved));
    }
    if (i == 7) {  // the program alone, with run 8's seed and values
      ASSERT_EQ(quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM,
                                              "--steps 5 --seed " + seed + " --set radius=" + radius +
                                                  " --set min_to_be_happy=" + minimum + " --sqlite " + single)
                    .status,
                0);
      EXPECT_EQ(
          quarnel::modelkit::Query_Sqlite(single, "SELECT step, happy, moved, fraction_happy FROM series"),
          quarnel::modelkit::Query_Sqlite(
              db, "SELECT step, happy, moved, fraction_happy FROM series WHERE run = 8 ORDER BY step"));
    }
  }
  std::remove(db.c_str());
  std::remove(single.c_str());
}

// A result that never reached standard output (a full device, a closed descriptor) is one line
// on standard error and status 1.
TEST(Schelling_Program_Test, A_Result_That_Cannot_Reach_Standard_Output_Is_An_Error) {
  for (const char* out_to : {">/dev/full", ">&-"}) {
    const quarnel::modelkit::Program_Output output =
        quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM, "--steps 2", "", out_to);
    EXPECT_EQ(output.status, 1) << out_to << ": " << output.err;
    EXPECT_NE(output.err.find("schelling: could not write to standard output: "), std::string::npos)
        << out_to << ": " << output.err;
  }
  EXPECT_NE(quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM, "--steps 2", "", ">/dev/full")
                .err.find("could not write to standard output: No space left on device"),
            std::string::npos);
  EXPECT_EQ(quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM, "--help", "", ">/dev/full").status, 1);
}

// A run that fails before its first row (here its workers cannot start for want of address
// space) leaves an existing CSV as it was. The sanitizers cannot run under an address-space
// limit.
TEST(Schelling_Program_Test, A_Run_That_Fails_Before_Its_First_Row_Leaves_The_Old_File) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit is incompatible with the sanitizers";
#else
  const std::string csv = Temp_File("kept.csv");
  Write_File(csv, "an old series\n");
  const quarnel::modelkit::Program_Output output = quarnel::modelkit::Run_To_End(
      SCHELLING_PROGRAM, "--threads 200 --overwrite --csv " + csv, "ulimit -v 400000");
  EXPECT_EQ(output.status, 1) << output.err;
  EXPECT_NE(output.err.find("Could not start the worker threads"), std::string::npos) << output.err;
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
// are replaced.
void Expect_Identical_Continuations(const std::string& args, int steps) {
  quarnel::modelkit::Resume_Trial trial(SCHELLING_PROGRAM, args, steps, 10, 15,
                                        "SELECT step, happy, moved, fraction_happy FROM series ORDER BY step",
                                        Temp_File("trial."));
  ASSERT_EQ(trial.whole().status, 0) << trial.whole().err;
  for (const quarnel::modelkit::Resume_Trial::Threads& c : quarnel::modelkit::Resume_Trial::Cases()) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    const quarnel::modelkit::Resume_Trial::Outcome r = trial.Resume(c);
    ASSERT_EQ(r.problem, "");
    EXPECT_EQ(Fingerprint_Of(r.resumed.out), Fingerprint_Of(trial.whole().out));
  }
}

TEST(Schelling_Checkpoint_Test, Killed_And_Resumed_On_Other_Workers_Continues_Identically) {
  Expect_Identical_Continuations("", 300);
}

// The same at large size, in the release build.
TEST(Schelling_Checkpoint_Test, At_Large_Size_Killed_And_Resumed_Continues_Identically) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "at large size the trial's seven runs take minutes under a sanitizer";
#endif
  Expect_Identical_Continuations("--size large", 300);
}

// A finished run's checkpoint, saved at its last step, continues into a run twice as long on
// another number of workers exactly as a run that never stopped: the last step is stepped like
// any other, the last row is written once, and the runs row's steps are the longer run's.
TEST(Schelling_Checkpoint_Test, Saved_At_The_Last_Step_A_Longer_Run_Continues_Identically) {
  const quarnel::modelkit::Longer_Resume r = quarnel::modelkit::Resume_Longer(
      SCHELLING_PROGRAM, "", 10, 1, 3, "SELECT step, happy, moved, fraction_happy FROM series ORDER BY step",
      Temp_File("longer."));
  ASSERT_EQ(r.problem, "");
  EXPECT_EQ(Fingerprint_Of(r.resumed.out), Fingerprint_Of(r.whole.out));
}

// A --checkpoint path that could not take a checkpoint is refused in one line, status 1, before
// the run (no record is made), not when a stop signal needs the checkpoint: a folder at its
// name or at its temporary file's, a missing folder, a folder that is a file.
TEST(Schelling_Checkpoint_Test, A_Checkpoint_Path_That_Cannot_Take_One_Is_Refused_Before_The_Run) {
  const std::string blocked = Temp_File("blocked.ckpt"), csv = Temp_File("never.csv");
  std::filesystem::create_directories(std::filesystem::path(blocked) / "inside");
  std::filesystem::create_directories(Temp_File("tmp_blocked.ckpt.tmp"));
  Write_File(Temp_File("plain"), "x");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {blocked, "it is a folder"},
      {Temp_File("tmp_blocked.ckpt"), "it is not a regular file"},
      {"/nonexistent/x.ckpt", "its folder /nonexistent"},
      {Temp_File("plain") + "/x.ckpt", "is not a folder"},
  };
  for (const auto& [path, expected] : cases) {
    std::remove(csv.c_str());
    const quarnel::modelkit::Program_Outcome outcome =
        Run_Program("--steps 12 --checkpoint " + path + " --csv " + csv);
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(outcome, "cannot write the checkpoint"), "") << path;
    EXPECT_NE(outcome.err.find(expected), std::string::npos) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(csv)) << path << ": the run began";
  }
  std::filesystem::remove_all(blocked);
  std::filesystem::remove_all(Temp_File("tmp_blocked.ckpt.tmp"));
}

// A checkpoint that cannot be continued is refused in one line, status 1, before the records are
// touched: missing, empty, cut short, a flipped byte, a newer format, another model's, other
// parameters or seed (unless --fork), and one at the run's last step.
TEST(Schelling_Checkpoint_Test, Bad_Checkpoints_Are_Refused_In_One_Line) {
  const std::string good = Temp_File("good.ckpt"), csv = Temp_File("bad.csv");
  ASSERT_EQ(
      quarnel::modelkit::Run_To_End(SCHELLING_PROGRAM, "--steps 12 --checkpoint " + good +
                                                           " --checkpoint-every 5 --overwrite --csv " + csv)
          .status,
      0);
  const std::string bytes = Read_Text_File(good);
  ASSERT_GT(bytes.size(), 100u);
  std::string flipped = bytes, newer = bytes;
  flipped[bytes.size() - 40] ^= 1;
  newer[8] = char(quarnel::__checkpoint_format + 1);
  const std::string other = Temp_File("other.ckpt");
  quarnel::modelkit::Write_Other_Models_Checkpoint(other, "wolf_sheep");
  auto file = [&](const std::string& name, const std::string& text) {
    Write_File(Temp_File(name), text);
    return Temp_File(name);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + Temp_File("missing.ckpt"), "cannot read the checkpoint"},
      {"--resume " + file("empty.ckpt", ""), "is empty"},
      {"--resume " + file("short.ckpt", bytes.substr(0, bytes.size() / 2)), "cut short"},
      {"--resume " + file("flipped.ckpt", flipped), "CRC-32"},
      {"--resume " + file("newer.ckpt", newer), "newer than this program's"},
      {"--resume " + other, "of the model 'wolf_sheep', not schelling"},
      {"--resume " + good + " --set radius=2", "has radius=1, not 2"},
      {"--resume " + good + " --seed 9", "has seed 1, not 9"},
      {"--resume " + good + " --steps 10", "nothing to continue"},
      {"--fork --steps 3", "--fork needs --resume"},
      {"--checkpoint-every 3", "--checkpoint-every needs --checkpoint"},
  };
  const std::string before = Read_Text_File(csv);
  for (const auto& [args, expected] : cases) {
    const std::string steps = args.find("--steps") == std::string::npos ? " --steps 12" : "";
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program(args + steps + " --csv " + csv), expected), "")
        << args;
  }
  EXPECT_TRUE(Read_Text_File(csv) == before) << "a refused resume leaves the records alone";
  // --fork continues from the saved state with other values, into new records.
  const std::string forked = Temp_File("forked.csv");
  std::remove(forked.c_str());
  const quarnel::modelkit::Program_Outcome fork =
      Run_Program("--resume " + good + " --fork --set min_to_be_happy=4 --steps 12 --csv " + forked);
  EXPECT_EQ(fork.status, 0) << fork.err;
  const std::vector<std::string> rows = Lines_Of(Read_Text_File(forked));
  ASSERT_EQ(rows.size(), 4u);  // the header, then steps 10, 11 and 12 (the last step's two rows)
  EXPECT_EQ(rows[1].rfind("10,", 0), 0u) << rows[1];
  EXPECT_EQ(rows[3].rfind("12,", 0), 0u) << rows[3];
}

}  // namespace
}  // namespace schelling
