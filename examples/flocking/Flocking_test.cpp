// The flocking model: the kernel's series equals the sequential reference's bit for bit on any
// number of workers and block size; a bird reads only the previous step's flock, across the
// borders of the periodic space; the program refuses bad input with one line and records its
// declared parameters and its series to CSV and SQLite.
#include "Flocking_Reference.h"

#include <gtest/gtest.h>
#include <quarnel/Checkpoint.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace flocking {
namespace {

using quarnel::modelkit::Model_Size;

// Property: for a given seed the kernel's series (every bit of every double) and fingerprint
// are the same for 1, 2 and 6 workers and blocks of 1, 7 and 1000 birds, and the series is the
// reference's.
TEST(Flocking_Test, Kernel_Equals_Reference_On_Any_Workers_And_Block_Size) {
  for (Model_Size size : {Model_Size::small, Model_Size::large}) {
    const Flocking_Parameters p = Parameters_For(size);
    const Flocking_Result reference = Run_Flocking_Reference(p, 11);
    ASSERT_EQ(reference.series.size(), 100u);
    quarnel::Run_Digest first{};
    for (int threads : {1, 2, 6}) {
      for (int block_size : {1, 7, 1000}) {
        Run_Settings settings;
        settings.threads = threads;
        settings.seed = 11;
        settings.block_size = block_size;
        const Flocking_Result kernel = Run_Flocking(p, settings);
        EXPECT_EQ(kernel.series, reference.series)
            << to_string(size) << " threads " << threads << " blocks " << block_size;
        EXPECT_EQ(kernel.fingerprint.calls, uint64_t(p.birds) * 100);
        if (first.calls == 0) first = kernel.fingerprint;
        EXPECT_EQ(kernel.fingerprint, first) << "threads " << threads << " blocks " << block_size;
      }
    }
    // The rules do make flocks: the birds end up much closer together than they start.
    EXPECT_LT(reference.series.back().mean_nearest_distance,
              0.75 * reference.series.front().mean_nearest_distance)
        << to_string(size);
    EXPECT_NE(Run_Flocking_Reference(p, 12).series, reference.series);
  }
}

Flock_Grid Grid_Of(const Flocking_Parameters& p, const std::vector<Bird_State>& flock) {
  Flock_Grid grid(p.width, p.height, p.visual_distance);
  std::vector<Grid_Item> items;
  for (size_t i = 0; i < flock.size(); ++i) {
    items.push_back({flock[i].x, flock[i].y, flock[i].vx, flock[i].vy, uint32_t(i)});
  }
  grid.Rebuild(items);
  return grid;
}

// Two birds 0.6 apart across the left border, heading up: each sees the other (within the
// separation) through the border, on the side where it is.
TEST(Flocking_Test, Neighbours_Pull_And_Push_Across_The_Border) {
  const Flocking_Parameters p = Parameters_For(Model_Size::small);  // 100 x 100, v = 5
  const std::vector<Bird_State> flock = {{0.2, 50.0, 0.0, 1.0}, {99.8, 50.0, 0.0, 1.0}};
  const Flock_Grid grid = Grid_Of(p, flock);
  const Bird_Update a = Step_Bird(grid, p, 0, flock[0]);
  // Other - self = -0.4 (through the border): cohere -0.4 * 0.03, separate +0.4 * 0.015,
  // match (0, 1) * 0.05; then halved and normalised.
  const double vx = (-0.4 * 0.03 + 0.4 * 0.015) / 2, vy = (1.0 + 0.05) / 2;
  const double norm = std::sqrt(vx * vx + vy * vy);
  EXPECT_NEAR(a.next.vx, vx / norm, 1e-15);
  EXPECT_NEAR(a.next.vy, vy / norm, 1e-15);
  EXPECT_LT(a.next.vx, 0.0);  // towards the other bird, across the border
  EXPECT_NEAR(a.nearest_d2, 0.16, 1e-12);
  const Bird_Update b = Step_Bird(grid, p, 1, flock[1]);
  EXPECT_NEAR(b.next.vx, -a.next.vx, 1e-15);  // the mirror image
  EXPECT_NEAR(b.next.x, std::fmod(99.8 + b.next.vx, 100.0), 1e-12);
}

// A bird alone keeps its heading, moves by its speed and wraps; a bird at exactly the visual
// distance is a neighbour, one just beyond is not; the nearest distance is found beyond it.
TEST(Flocking_Test, Lone_Bird_Wraps_And_Visual_Distance_Is_Inclusive) {
  const Flocking_Parameters p = Parameters_For(Model_Size::small);
  const std::vector<Bird_State> alone = {{99.7, 0.3, 0.6, -0.8}, {50.0, 50.0, 1.0, 0.0}};
  const Bird_Update u = Step_Bird(Grid_Of(p, alone), p, 0, alone[0]);
  EXPECT_NEAR(u.next.x, 0.3, 1e-12);
  EXPECT_NEAR(u.next.y, 99.5, 1e-12);
  EXPECT_DOUBLE_EQ(u.next.vx, 0.6);
  EXPECT_DOUBLE_EQ(u.next.vy, -0.8);
  EXPECT_NEAR(u.nearest_d2, 49.7 * 49.7 + 49.7 * 49.7, 1e-9);  // through both borders

  for (double gap : {5.0, std::nextafter(5.0, 6.0)}) {
    const std::vector<Bird_State> pair = {{10.0, 0.0, 1.0, 0.0}, {10.0, gap, 0.0, 1.0}};
    const Bird_Update w = Step_Bird(Grid_Of(p, pair), p, 0, pair[0]);
    const bool neighbour = gap <= 5.0;
    EXPECT_EQ(w.next.vx != 1.0, neighbour) << gap;
    EXPECT_DOUBLE_EQ(w.nearest_d2, gap * gap);
  }
}

// The step reads the previous flock only: on two workers, in blocks of one bird (each bird
// stepped on its own, in no fixed order), the first step is the reference's.
TEST(Flocking_Test, Step_Reads_Only_The_Previous_Flock) {
  Flocking_Parameters p = Parameters_For(Model_Size::small);
  p.steps = 1;
  Run_Settings settings;
  settings.threads = 2;
  settings.block_size = 1;
  EXPECT_EQ(Run_Flocking(p, settings).series, Run_Flocking_Reference(p, 1).series);
}

// A bird crosses at most one border per step: a speed up to the shorter side keeps every bird
// inside the space; a faster one is refused before the run, by the kernel and the reference.
TEST(Flocking_Test, A_Speed_Beyond_A_Side_Of_The_Space_Is_Refused) {
  Flocking_Parameters p = Parameters_For(Model_Size::small);
  p.height = 60.0;
  p.speed = 60.0;
  p.steps = 5;
  Run_Settings settings;
  settings.threads = 2;
  const Flocking_Result kernel = Run_Flocking(p, settings);
  EXPECT_EQ(kernel.series, Run_Flocking_Reference(p, 1).series);
  p.speed = std::nextafter(60.0, 61.0);
  EXPECT_THROW(Run_Flocking(p, settings), std::invalid_argument);
  EXPECT_THROW(Run_Flocking_Reference(p, 1), std::invalid_argument);
}

// Runs the program with `args`; its exit status and what it wrote on standard error.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(FLOCKING_PROGRAM, args);
}

TEST(Flocking_Test, Program_Refuses_Bad_Input_With_One_Line_And_Runs_Good_Input) {
  for (const char* bad : {"--size medium", "--threads 0", "--steps x", "--bogus", "--block_size",
                          "--steps 2 --csv /nonexistent-folder/series.csv",
                          "--steps \"$(printf '2\\nflocking small: 200 birds')\"", "--threads 2147483647",
                          "--set speed=100.5", "--size large --set height=0.5 --set width=200"}) {
    const auto [status, err] = Run_Program(bad);
    EXPECT_EQ(status, 1) << bad;
    EXPECT_EQ(err.rfind("flocking: ", 0), 0u) << bad << ": " << err;
    ASSERT_FALSE(err.empty()) << bad;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << bad << ": " << err;
  }
  const std::string csv = testing::TempDir() + "flocking_series.csv";
  std::remove(csv.c_str());
  EXPECT_EQ(Run_Program("--steps 3 --threads 2 --csv " + csv).status, 0);
  const auto [again, refused] = Run_Program("--steps 3 --csv " + csv);
  EXPECT_EQ(again, 1) << "an existing CSV is kept unless --overwrite";
  EXPECT_NE(refused.find("--overwrite"), std::string::npos) << refused;
  EXPECT_EQ(Run_Program("--steps 3 --overwrite --csv " + csv).status, 0);
  std::ifstream in(csv);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "step,mean_nearest_distance,alignment");
  EXPECT_EQ(lines[3].rfind("3,", 0), 0u);
}

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "flocking_" + std::to_string(getpid()) + "_" + name;
}

using quarnel::modelkit::Lines_Of;

using quarnel::modelkit::Background_Program;
using quarnel::modelkit::Program_Output;
using quarnel::modelkit::Read_Text_File;
using quarnel::modelkit::Run_To_End;
using quarnel::modelkit::Wait_Until;

// The CSV ends with a whole line, and its rows count up from `first` without a gap.
void Expect_Whole_Rows(const std::string& text, const std::string& header, int first) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << text;
  const std::vector<std::string> lines = Lines_Of(text);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], header);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(std::to_string(first + int(i) - 1) + ",", 0), 0u) << lines[i];
  }
}

// With a row sink the kernel hands over each row as soon as it is final, with the measures set
// to it, and keeps nothing per step; a run stopped on request ends with the row of its last
// finished step, the reference's.
TEST(Flocking_Test, A_Row_Sink_Gets_Every_Row_And_A_Stopped_Run_Ends_With_Its_Last_Step) {
  Flocking_Parameters p = Parameters_For(Model_Size::small);
  p.steps = 300000000;  // nothing is sized by the steps
  std::vector<Flocking_Row> rows;
  Measured measured;
  Run_Settings settings;
  settings.threads = 2;
  settings.measured = &measured;
  settings.on_row = [&](const Flocking_Row& row) {
    rows.push_back(row);
    EXPECT_EQ(measured.mean_nearest_distance.Value().real, row.mean_nearest_distance) << row.step;
    EXPECT_EQ(measured.alignment.Value().real, row.alignment) << row.step;
    if (row.step == 5) quarnel::World::Request_Stop();  // in step 6: the run ends after it
  };
  const Flocking_Result result = Run_Flocking(p, settings);
  quarnel::World::Clear_Stop_Request();
  EXPECT_TRUE(quarnel::World::Instance().stopped_on_request());
  p.steps = 6;
  const std::vector<Flocking_Row> expected = Run_Flocking_Reference(p, 1).series;
  EXPECT_EQ(rows, expected);
  ASSERT_EQ(result.series.size(), 1u);
  EXPECT_EQ(result.series[0], expected.back());
}

// SIGTERM on a run of 300 million steps: memory does not grow with the steps (the run fits in
// 1 GB of address space, where the program used to keep every step), the CSV and the SQLite
// file hold every finished step, the runs row says 'interrupted', status 143. The sanitizers
// cannot run under an address-space limit.
TEST(Flocking_Program_Test, Sigterm_Stops_A_Run_Of_Many_Steps_Whose_Memory_Does_Not_Grow) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string limit = "";
#else
  const std::string limit = "ulimit -v 1000000";
#endif
  const std::string csv = Temp_File("interrupted.csv"), db = Temp_File("interrupted.db");
  std::remove(db.c_str());
  Background_Program run(FLOCKING_PROGRAM, "--steps 300000000 --csv " + csv + " --sqlite " + db, limit);
  ASSERT_TRUE(Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 4 || !run.Running(); },
                         std::chrono::milliseconds(30000)));
  run.Signal(SIGTERM);
  const Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 143) << output.err;
  const std::string text = Read_Text_File(csv);
  Expect_Whole_Rows(text, "step,mean_nearest_distance,alignment", 1);
  const std::string last = std::to_string(Lines_Of(text).size() - 1);
  EXPECT_NE(output.err.find("flocking: interrupted by SIGTERM after step " + last +
                            " of 300000000; the records hold every finished step\n"),
            std::string::npos)
      << output.err;
  EXPECT_EQ(output.out, "") << "no summary for a run that did not finish";
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT status, steps FROM runs"),
            std::vector<std::string>{"interrupted|300000000"});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT count(*), min(step), max(step) FROM series"),
            std::vector<std::string>{last + "|1|" + last});
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// The parameters are declared once: --params lists them, --set changes one (a value out of
// range is one line), and the records carry them. Both sinks hold the reference's series: the
// CSV in the shortest text that reads back the same double, SQLite as the doubles themselves.
TEST(Flocking_Program_Test, Parameters_Are_Listed_Set_And_Recorded) {
  const Program_Output listing = Run_To_End(FLOCKING_PROGRAM, "--params");
  EXPECT_EQ(listing.status, 0);
  for (const char* name : {"visual_distance", "cohere_factor", "separate_factor", "match_factor"})
    EXPECT_NE(listing.out.find(name), std::string::npos) << listing.out;
  const auto [refused_status, refused] = Run_Program("--set match_factor=1001");
  EXPECT_EQ(refused_status, 1);
  EXPECT_EQ(refused.rfind("flocking: ", 0), 0u) << refused;
  EXPECT_NE(refused.find("match_factor"), std::string::npos) << refused;
  EXPECT_EQ(refused.find('\n'), refused.size() - 1) << refused;

  const std::string csv = Temp_File("recorded.csv"), db = Temp_File("recorded.db");
  std::remove(csv.c_str());
  std::remove(db.c_str());
  const Program_Output run =
      Run_To_End(FLOCKING_PROGRAM,
                 "--seed 3 --threads 2 --steps 4 --set separation=2.5 --csv " + csv + " --sqlite " + db);
  ASSERT_EQ(run.status, 0) << run.err;
  Flocking_Parameters p = Parameters_For(Model_Size::small);
  p.separation = 2.5;
  p.steps = 4;
  const std::vector<Flocking_Row> expected = Run_Flocking_Reference(p, 3).series;
  Flocking_Parameters unset = Parameters_For(Model_Size::small);
  unset.steps = 4;
  ASSERT_NE(expected, Run_Flocking_Reference(unset, 3).series) << "the separation set changes the series";
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(
                db, "SELECT model, seed, status, width, birds, separation, steps FROM runs"),
            std::vector<std::string>{"flocking|3|done|100.0|200|2.5|4"});
  const std::vector<std::string> lines = Lines_Of(Read_Text_File(csv));
  const std::vector<std::string> rows =
      quarnel::modelkit::Query_Sqlite(db,
                                      "SELECT step, printf('%!.17g', mean_nearest_distance), "
                                      "printf('%!.17g', alignment) FROM series ORDER BY step");
  ASSERT_EQ(lines.size(), expected.size() + 1);
  ASSERT_EQ(rows.size(), expected.size());
  EXPECT_EQ(lines[0], "step,mean_nearest_distance,alignment");
  for (size_t t = 0; t < expected.size(); ++t) {
    const Flocking_Row& e = expected[t];
    for (const auto& [row, separator] : {std::pair{lines[t + 1], ','}, std::pair{rows[t], '|'}}) {
      std::vector<std::string> cells;
      std::stringstream cut(row);
      for (std::string cell; std::getline(cut, cell, separator);) cells.push_back(cell);
      ASSERT_EQ(cells.size(), 3u) << row;
      EXPECT_EQ(cells[0], std::to_string(e.step)) << row;
      EXPECT_EQ(std::stod(cells[1]), e.mean_nearest_distance) << row;
      EXPECT_EQ(std::stod(cells[2]), e.alignment) << row;
    }
  }
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

TEST(Flocking_Program_Test, A_Result_That_Cannot_Reach_Standard_Output_Is_An_Error) {
  const Program_Output full = Run_To_End(FLOCKING_PROGRAM, "--steps 2", "", ">/dev/full");
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_NE(full.err.find("flocking: could not write to standard output: No space left on device\n"),
            std::string::npos)
      << full.err;
  const Program_Output closed = Run_To_End(FLOCKING_PROGRAM, "--steps 2", "", ">&-");
  EXPECT_EQ(closed.status, 1) << closed.err;
  EXPECT_NE(closed.err.find("flocking: could not write to standard output: "), std::string::npos)
      << closed.err;
}

// ---------------------------------------------------------------------------------------
// Checkpoints.

// The summary after the worker count: the flock's statistics and the run fingerprint.
std::string Summary_Of(const std::string& out) {
  const size_t at = out.find(" workers: ");
  return at == std::string::npos ? "(none in: " + out + ")" : out.substr(at);
}

// A run saved every k steps and killed by SIGKILL a few steps after a save, then resumed on
// another number of workers and block size, writes the same CSV rows, SQLite series, final
// statistics and run fingerprint as a run that never stopped, bit for bit: the row whose
// nearest distance the next step finds is saved pending, and the rows the killed run wrote
// after its checkpoint are replaced.
void Expect_Identical_Continuations(const std::string& args, int steps) {
  quarnel::modelkit::Resume_Trial trial(
      FLOCKING_PROGRAM, args, steps, 10, 14,
      "SELECT step, mean_nearest_distance, alignment FROM series ORDER BY step", Temp_File("trial."));
  ASSERT_EQ(trial.whole().status, 0) << trial.whole().err;
  for (const quarnel::modelkit::Resume_Trial::Threads& c : quarnel::modelkit::Resume_Trial::Cases()) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    const quarnel::modelkit::Resume_Trial::Outcome r = trial.Resume(c);
    ASSERT_EQ(r.problem, "");
    EXPECT_EQ(Summary_Of(r.resumed.out), Summary_Of(trial.whole().out));
  }
}

TEST(Flocking_Checkpoint_Test, Killed_And_Resumed_On_Other_Workers_Continues_Identically) {
  Expect_Identical_Continuations("", 300);
}

// The same at large size, in the release build.
TEST(Flocking_Checkpoint_Test, At_Large_Size_Killed_And_Resumed_Continues_Identically) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "at large size the trial's seven runs take minutes under a sanitizer";
#endif
  Expect_Identical_Continuations("--size large", 300);
}

// A finished run's checkpoint, saved at its last step, continues into a run twice as long on
// another number of workers exactly as a run that never stopped (rows, series, runs row with
// the longer run's steps, statistics and fingerprint).
TEST(Flocking_Checkpoint_Test, Saved_At_The_Last_Step_A_Longer_Run_Continues_Identically) {
  const quarnel::modelkit::Longer_Resume r = quarnel::modelkit::Resume_Longer(
      FLOCKING_PROGRAM, "", 10, 1, 3,
      "SELECT step, mean_nearest_distance, alignment FROM series ORDER BY step", Temp_File("longer."));
  ASSERT_EQ(r.problem, "");
  EXPECT_EQ(Summary_Of(r.resumed.out), Summary_Of(r.whole.out));
}

// Another model's checkpoint, and one whose birds cannot fit the run (--fork into a smaller
// space or another flock), are refused in one line with status 1.
TEST(Flocking_Checkpoint_Test, A_Checkpoint_That_Does_Not_Fit_Is_Refused_In_One_Line) {
  const std::string good = Temp_File("good.ckpt"), other = Temp_File("other.ckpt");
  ASSERT_EQ(Run_To_End(FLOCKING_PROGRAM, "--steps 12 --checkpoint " + good + " --checkpoint-every 5").status,
            0);
  quarnel::modelkit::Write_Other_Models_Checkpoint(other, "epidemic");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + other, "of the model 'epidemic', not flocking"},
      {"--resume " + good + " --fork --set width=10 --set height=10", "not one per index within"},
      {"--resume " + good + " --fork --set birds=300", "not one per index within"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program(args + " --steps 20"), expected), "") << args;
  }
  std::remove(good.c_str());
  std::remove(other.c_str());
}

// A value, a name or a path given by the user that holds control characters comes back in an
// error escaped: the error is one line and cannot move the cursor, whichever path reports it
// (the options, the parameters, the records, the checkpoints, the view, a study).
TEST(Flocking_Program_Test, Control_Characters_In_Input_Are_Escaped_In_Errors) {
  const std::string bad = "\"$(printf '/nonexistent-folder\\n\\033[2Jflocking: done')\"";
  const std::vector<std::string> cases = {
      "--set \"$(printf 'spe\\ned=1')\"",
      "--set \"$(printf 'speed=1\\n\\033[2J')\"",
      "--set \"$(printf 'speed\\033[2J')\"",
      "--view --port 0 --set \"$(printf 'birds=\\n\\033[2J')\"",
      "--steps 2 --csv " + bad + "/series.csv",
      "--steps 2 --sqlite " + bad + "/runs.db",
      "--steps 2 --checkpoint " + bad + "/run.ckpt --checkpoint-every 1",
      "--steps 2 --resume " + bad + "/run.ckpt",
      "--steps 2 --view --port 0 --view-address " + bad,
      "study --vary speed=1,2 --set steps=2 --sqlite " + bad + "/study.db",
  };
  for (const std::string& args : cases) {
    const auto [status, err] = Run_Program(args);
    EXPECT_EQ(status, 1) << args;
    EXPECT_EQ(err.rfind("flocking: ", 0), 0u) << args << ": " << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << args << ": " << err;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << args << ": " << err;
    EXPECT_TRUE(err.find("\\n") != std::string::npos || err.find("\\x1b") != std::string::npos)
        << args << ": " << err;
  }
}

}  // namespace
}  // namespace flocking
