// The flocking model: the kernel's series equals the sequential reference's bit for bit on any
// number of workers and block size; a bird reads only the previous step's flock, across the
// borders of the periodic space; the program refuses bad input with one line.
#include "Flocking_Reference.h"

#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>

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
                          "--steps 2 --csv /nonexistent-folder/series.csv"}) {
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

}  // namespace
}  // namespace flocking
