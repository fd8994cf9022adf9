// The flocking model: the kernel's series equals the sequential reference's bit for bit on any
// number of workers and block size; a bird reads only the previous step's flock, across the
// borders of the periodic space; the program refuses bad input with one line.
#include "Flocking_Reference.h"

#include <gtest/gtest.h>
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
  const Flocking_Parameters p = Parameters_For(Model_Size::small);
  Run_Settings settings;
  settings.threads = 2;
  settings.block_size = 1;
  settings.steps = 1;
  EXPECT_EQ(Run_Flocking(p, settings).series, Run_Flocking_Reference(p, 1, 1).series);
}

// Runs the program with `args`; its exit status and what it wrote on standard error.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(FLOCKING_PROGRAM, args);
}

TEST(Flocking_Test, Program_Refuses_Bad_Input_With_One_Line_And_Runs_Good_Input) {
  for (const char* bad : {"--size medium", "--threads 0", "--steps x", "--bogus", "--block_size",
                          "--steps 2 --csv /nonexistent-folder/series.csv",
                          "--steps \"$(printf '2\\nflocking small: 200 birds')\"", "--threads 2147483647"}) {
    const auto [status, err] = Run_Program(bad);
    EXPECT_EQ(status, 1) << bad;
    EXPECT_EQ(err.rfind("flocking: ", 0), 0u) << bad << ": " << err;
    ASSERT_FALSE(err.empty()) << bad;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << bad << ": " << err;
  }
  const std::string csv = testing::TempDir() + "flocking_series.csv";
  EXPECT_EQ(Run_Program("--steps 3 --threads 2 --csv " + csv).status, 0);
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

// With a row sink the kernel hands over each row as soon as it is final and keeps nothing per
// step; a run stopped on request ends with the row of its last finished step, the reference's.
TEST(Flocking_Test, A_Row_Sink_Gets_Every_Row_And_A_Stopped_Run_Ends_With_Its_Last_Step) {
  const Flocking_Parameters p = Parameters_For(Model_Size::small);
  std::vector<Flocking_Row> rows;
  Run_Settings settings;
  settings.threads = 2;
  settings.steps = 300000000;  // nothing is sized by the steps
  settings.on_row = [&](const Flocking_Row& row) {
    rows.push_back(row);
    if (row.step == 5) quarnel::World::Request_Stop();  // in step 6: the run ends after it
  };
  const Flocking_Result result = Run_Flocking(p, settings);
  quarnel::World::Clear_Stop_Request();
  EXPECT_TRUE(quarnel::World::Instance().stopped_on_request());
  const std::vector<Flocking_Row> expected = Run_Flocking_Reference(p, 1, 6).series;
  EXPECT_EQ(rows, expected);
  ASSERT_EQ(result.series.size(), 1u);
  EXPECT_EQ(result.series[0], expected.back());
}

// SIGTERM on a run of 300 million steps: memory does not grow with the steps (the run fits in
// 1 GB of address space, where the program used to keep every step), the CSV holds every
// finished step, status 143. The sanitizers cannot run under an address-space limit.
TEST(Flocking_Program_Test, Sigterm_Stops_A_Run_Of_Many_Steps_Whose_Memory_Does_Not_Grow) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string limit = "";
#else
  const std::string limit = "ulimit -v 1000000";
#endif
  const std::string csv = Temp_File("interrupted.csv");
  Background_Program run(FLOCKING_PROGRAM, "--steps 300000000 --csv " + csv, limit);
  ASSERT_TRUE(Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 4 || !run.Running(); },
                         std::chrono::milliseconds(30000)));
  run.Signal(SIGTERM);
  const Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 143) << output.err;
  const std::string text = Read_Text_File(csv);
  Expect_Whole_Rows(text, "step,mean_nearest_distance,alignment", 1);
  EXPECT_NE(output.err.find("flocking: interrupted by SIGTERM after step " +
                            std::to_string(Lines_Of(text).size() - 1) + " of 300000000; the CSV file '" +
                            csv + "' holds every finished step\n"),
            std::string::npos)
      << output.err;
  std::remove(csv.c_str());
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

}  // namespace
}  // namespace flocking
