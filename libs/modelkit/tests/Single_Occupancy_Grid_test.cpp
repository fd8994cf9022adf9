// The one-occupant grid: counts within a clipped Chebyshev radius, random empty cells, moves,
// and the move contest (lowest rank wins, whatever the order of the claims).
#include <quarnel/modelkit/Single_Occupancy_Grid.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quarnel::modelkit {
namespace {

using Grid = Single_Occupancy_Grid<uint8_t>;

// A grid of 9 x 7 with groups 1 and 2 at random cells, about a third empty.
Grid Random_Grid(uint32_t seed) {
  Grid grid(Grid_Geometry(9, 7));
  std::mt19937 random(seed);
  for (int32_t cell = 0; cell < grid.geometry().num_cells(); ++cell) {
    const uint8_t value = uint8_t(random() % 3);
    if (value != 0) grid.Place(cell, value);
  }
  return grid;
}

// Count_Within equals a brute-force count over all cells at Chebyshev distance <= r, the cell
// itself excluded, for every cell (corners and borders included) and radius.
TEST(Single_Occupancy_Grid_Test, Count_Within_Matches_Brute_Force_At_Borders) {
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    const Grid grid = Random_Grid(seed);
    const Grid_Geometry& g = grid.geometry();
    for (int32_t r = 0; r <= 3; ++r) {
      for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
        for (uint8_t group : {1, 2}) {
          int expected = 0;
          for (int32_t other = 0; other < g.num_cells(); ++other) {
            expected += other != cell && g.Chebyshev_Distance(cell, other) <= r && grid.At(other) == group;
          }
          ASSERT_EQ(grid.Count_Within(cell, r, group), expected) << "cell " << cell << " r " << r;
        }
      }
    }
  }
}

TEST(Single_Occupancy_Grid_Test, Place_Remove_Move_Keep_The_Occupied_Count) {
  Grid grid(Grid_Geometry(4, 4));
  grid.Place(5, 1);
  grid.Place(6, 2);
  EXPECT_THROW(grid.Place(5, 2), std::logic_error);
  EXPECT_THROW(grid.Place(7, 0), std::logic_error);
  EXPECT_THROW(grid.Remove(8), std::logic_error);
  grid.Move(5, 15);
  EXPECT_TRUE(grid.Empty(5));
  EXPECT_EQ(grid.At(15), 1);
  EXPECT_EQ(grid.occupied(), 2);
  grid.Remove(6);
  EXPECT_EQ(grid.occupied(), 1);
  EXPECT_EQ(grid.empty_cells(), 15);
}

// Cells outside the grid are refused by every operation that takes one (Empty(-1) read
// before the grid's storage), and the grid is left as it was; a Move needs an occupied
// `from` and an empty `to`.
TEST(Single_Occupancy_Grid_Test, Cells_Outside_The_Grid_And_Bad_Moves_Are_Refused) {
  Grid grid(Grid_Geometry(4, 4));
  grid.Place(5, 1);
  grid.Place(6, 2);
  for (int32_t cell : {-1, 16, INT32_MIN, INT32_MAX}) {
    EXPECT_THROW(grid.At(cell), std::out_of_range) << cell;
    EXPECT_THROW(grid.Empty(cell), std::out_of_range) << cell;
    EXPECT_THROW(grid.Place(cell, 1), std::out_of_range) << cell;
    EXPECT_THROW(grid.Remove(cell), std::out_of_range) << cell;
    EXPECT_THROW(grid.Move(5, cell), std::out_of_range) << cell;
    EXPECT_THROW(grid.Move(cell, 7), std::out_of_range) << cell;
    EXPECT_THROW(grid.Count_Within(cell, 1, 1), std::out_of_range) << cell;
    EXPECT_THROW(grid.Count_Von_Neumann(cell, 1), std::out_of_range) << cell;
  }
  try {
    grid.Empty(-1);
    ADD_FAILURE() << "not refused";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()),
              "Single_Occupancy_Grid::Empty: cell -1 lies outside the grid of 4 x 4 cells (0 to 15)");
  }
  EXPECT_THROW(grid.Move(7, 8), std::logic_error) << "from an empty cell";
  EXPECT_THROW(grid.Move(5, 6), std::logic_error) << "into a taken cell";
  EXPECT_THROW(grid.Move(5, 5), std::logic_error) << "onto itself";
  EXPECT_EQ(grid.occupied(), 2);
  EXPECT_EQ(grid.At(5), 1);
  EXPECT_EQ(grid.At(6), 2);
  Move_Claims claims(16);
  EXPECT_THROW(claims.Claim(-1, 1, 0), std::out_of_range);
  EXPECT_THROW(claims.Claim(16, 1, 0), std::out_of_range);
  EXPECT_THROW(claims.Winner(16, 1), std::out_of_range);
}

// A radius up to INT32_MAX counts the whole grid (it overflowed to -1 before); a negative
// one is refused.
TEST(Single_Occupancy_Grid_Test, Count_Within_Clips_Huge_Radii_And_Refuses_Negative_Ones) {
  Grid grid(Grid_Geometry(10, 10));
  for (int32_t cell = 0; cell < 100; ++cell) grid.Place(cell, 1);
  for (int32_t cell : {0, 55, 99}) {
    EXPECT_EQ(grid.Count_Within(cell, INT32_MAX, 1), 99) << cell;
    EXPECT_EQ(grid.Count_Within(cell, 1000, 1), 99) << cell;
  }
  EXPECT_THROW(grid.Count_Within(55, -1, 1), std::invalid_argument);
}

// Count_Von_Neumann equals a brute-force count over the cells at Manhattan distance 1.
TEST(Single_Occupancy_Grid_Test, Count_Von_Neumann_Matches_Brute_Force_At_Borders) {
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    const Grid grid = Random_Grid(seed);
    const Grid_Geometry& g = grid.geometry();
    for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
      for (uint8_t group : {0, 1, 2}) {
        int expected = 0;
        for (int32_t other = 0; other < g.num_cells(); ++other) {
          const int d = std::abs(g.X(cell) - g.X(other)) + std::abs(g.Y(cell) - g.Y(other));
          expected += d == 1 && grid.At(other) == group;
        }
        ASSERT_EQ(grid.Count_Von_Neumann(cell, group), expected) << "cell " << cell;
      }
    }
  }
}

// Every empty cell is drawn about equally often, and an occupied one never; a full grid
// answers -1 instead of searching for ever.
TEST(Single_Occupancy_Grid_Test, Random_Empty_Cell_Is_Uniform_Over_Empty_Cells) {
  Grid grid(Grid_Geometry(5, 4));
  for (int32_t cell = 0; cell < 20; ++cell) {
    if (cell % 4 != 0) grid.Place(cell, 1);  // empty: 0, 4, 8, 12, 16
  }
  std::map<int32_t, int> seen;
  constexpr int kDraws = 50000;
  for (uint64_t i = 0; i < kDraws; ++i) {
    Counter_Random draws(7, i, 0);
    ++seen[grid.Random_Empty_Cell(draws)];
  }
  ASSERT_EQ(seen.size(), 5u);
  for (auto [cell, n] : seen) {
    EXPECT_EQ(cell % 4, 0);
    EXPECT_NEAR(n, kDraws / 5, kDraws / 50) << "cell " << cell;
  }
  for (int32_t cell = 0; cell < 20; cell += 4) grid.Place(cell, 2);
  Counter_Random draws(7, 1, 0);
  EXPECT_EQ(grid.Random_Empty_Cell(draws), -1);
}

// The winner of a round is the lowest rank that claimed in it, for any order of the claims,
// also when the claims come from several threads at once; an older round never wins.
TEST(Single_Occupancy_Grid_Test, Move_Claims_Lowest_Rank_Of_The_Round_Wins_In_Any_Order) {
  std::vector<uint32_t> ranks(64);
  std::iota(ranks.begin(), ranks.end(), 100u);
  std::mt19937 random(3);
  for (int trial = 0; trial < 20; ++trial) {
    Move_Claims claims(4);
    std::shuffle(ranks.begin(), ranks.end(), random);
    for (uint32_t rank : ranks) claims.Claim(rank % 3, 1, rank);
    EXPECT_EQ(claims.Winner(0, 1), 102u);
    EXPECT_EQ(claims.Winner(1, 1), 100u);
    EXPECT_EQ(claims.Winner(2, 1), 101u);
    EXPECT_EQ(claims.Winner(3, 1), Move_Claims::no_winner);
    // Round 2: an old round's low rank does not win, and unclaimed cells have no winner.
    claims.Claim(1, 2, 150);
    EXPECT_EQ(claims.Winner(1, 2), 150u);
    EXPECT_EQ(claims.Winner(0, 2), Move_Claims::no_winner);
  }
  Move_Claims shared(1);
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (uint32_t rank = 1000 + t; rank < 5000; rank += 4) shared.Claim(0, 9, rank);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared.Winner(0, 9), 1000u);
  EXPECT_THROW(shared.Claim(0, 0, 5), std::invalid_argument);
  EXPECT_THROW(shared.Claim(0, 1, Move_Claims::no_winner), std::invalid_argument);
}

}  // namespace
}  // namespace quarnel::modelkit
