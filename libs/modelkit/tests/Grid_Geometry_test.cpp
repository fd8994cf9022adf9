// The grid geometry: numbering, clipped neighbourhoods at borders and corners, windows.
#include <quarnel/modelkit/Grid_Geometry.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel::modelkit {
namespace {

// Every cell's Moore neighbours are exactly the in-grid cells at Chebyshev distance 1, in
// row order: checked against a brute-force scan of the whole grid.
TEST(Grid_Geometry_Test, Moore_Neighbours_Are_The_Clipped_Ring_In_Row_Order) {
  for (auto [w, h] : {std::pair{1, 1}, {1, 5}, {4, 1}, {2, 2}, {5, 3}, {7, 6}}) {
    const Grid_Geometry g(w, h);
    for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
      std::array<int32_t, 8> out{};
      const int n = g.Moore_Neighbours(cell, out);
      std::vector<int32_t> expected;
      for (int32_t other = 0; other < g.num_cells(); ++other) {
        if (g.Chebyshev_Distance(cell, other) == 1) expected.push_back(other);
      }
      EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + n), expected)
          << w << "x" << h << " cell " << cell;
    }
  }
}

TEST(Grid_Geometry_Test, Corners_Have_Three_Edges_Five_Inner_Cells_Eight) {
  const Grid_Geometry g(10, 8);
  std::array<int32_t, 8> out{};
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(0, 0), out), 3);
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(9, 7), out), 3);
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(9, 0), out), 3);
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(0, 4), out), 5);
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(5, 7), out), 5);
  EXPECT_EQ(g.Moore_Neighbours(g.Cell(5, 4), out), 8);
  // Nothing wraps: the far side of the grid is never a neighbour.
  g.Moore_Neighbours(g.Cell(0, 0), out);
  EXPECT_EQ(std::count(out.begin(), out.begin() + 3, g.Cell(9, 0)), 0);
  EXPECT_EQ(g.Chebyshev_Distance(g.Cell(0, 0), g.Cell(9, 7)), 9);
}

TEST(Grid_Geometry_Test, Windows_Are_Clipped_At_Every_Border) {
  const Grid_Geometry g(10, 8);
  auto eq = [](Grid_Geometry::Window a, Grid_Geometry::Window b) {
    return a.x0 == b.x0 && a.x1 == b.x1 && a.y0 == b.y0 && a.y1 == b.y1;
  };
  EXPECT_TRUE(eq(g.Clipped_Window(g.Cell(0, 0), 2), {0, 2, 0, 2}));
  EXPECT_TRUE(eq(g.Clipped_Window(g.Cell(9, 7), 2), {7, 9, 5, 7}));
  EXPECT_TRUE(eq(g.Clipped_Window(g.Cell(5, 4), 2), {3, 7, 2, 6}));
  EXPECT_TRUE(eq(g.Clipped_Window(g.Cell(5, 4), 0), {5, 5, 4, 4}));
  EXPECT_TRUE(eq(g.Clipped_Window(g.Cell(1, 1), 50), {0, 9, 0, 7}));
}

// A radius up to INT32_MAX is clipped to the grid without overflow; a negative one is refused.
TEST(Grid_Geometry_Test, Huge_Radii_Are_Clipped_And_Negative_Ones_Refused) {
  const Grid_Geometry g(10, 8);
  auto eq = [](Grid_Geometry::Window a, Grid_Geometry::Window b) {
    return a.x0 == b.x0 && a.x1 == b.x1 && a.y0 == b.y0 && a.y1 == b.y1;
  };
  for (int32_t radius : {100, INT32_MAX - 1, INT32_MAX}) {
    for (int32_t cell : {0, 37, 79}) EXPECT_TRUE(eq(g.Clipped_Window(cell, radius), {0, 9, 0, 7})) << radius;
  }
  const Grid_Geometry wide(46341, 46340);  // about 2^31 cells: x + radius overflowed 32 bits
  EXPECT_TRUE(eq(wide.Clipped_Window(wide.num_cells() - 1, INT32_MAX), {0, 46340, 0, 46339}));
  try {
    g.Clipped_Window(5, -1);
    ADD_FAILURE() << "not refused";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Grid_Geometry::Clipped_Window: the radius -1 is negative");
  }
  EXPECT_THROW(g.Clipped_Window(5, INT32_MIN), std::invalid_argument);
}

// Every function that takes a cell refuses one outside the grid instead of computing with it
// (X(-1) was -1).
TEST(Grid_Geometry_Test, Cells_Outside_The_Grid_Are_Refused) {
  const Grid_Geometry g(10, 8);
  std::array<int32_t, 8> moore{};
  std::array<int32_t, 4> von_neumann{};
  for (int32_t cell : {-1, 80, INT32_MIN, INT32_MAX}) {
    EXPECT_FALSE(g.Contains_Cell(cell));
    EXPECT_THROW(g.X(cell), std::out_of_range) << cell;
    EXPECT_THROW(g.Y(cell), std::out_of_range) << cell;
    EXPECT_THROW(g.Moore_Neighbours(cell, moore), std::out_of_range) << cell;
    EXPECT_THROW(g.Von_Neumann_Neighbours(cell, von_neumann), std::out_of_range) << cell;
    EXPECT_THROW(g.Clipped_Window(cell, 1), std::out_of_range) << cell;
    EXPECT_THROW(g.Chebyshev_Distance(0, cell), std::out_of_range) << cell;
  }
  try {
    g.X(-1);
    ADD_FAILURE() << "not refused";
  } catch (const std::out_of_range& e) {
    EXPECT_EQ(std::string(e.what()),
              "Grid_Geometry::X: cell -1 lies outside the grid of 10 x 8 cells (0 to 79)");
  }
  EXPECT_TRUE(g.Contains_Cell(0));
  EXPECT_TRUE(g.Contains_Cell(79));
}

// Every cell's von Neumann neighbours are exactly the in-grid cells at Manhattan distance 1,
// in row order: 2 at a corner, 3 on an edge, 4 inside; nothing wraps.
TEST(Grid_Geometry_Test, Von_Neumann_Neighbours_Are_The_Clipped_Cross_In_Row_Order) {
  for (auto [w, h] : {std::pair{1, 1}, {1, 5}, {4, 1}, {2, 2}, {5, 3}, {7, 6}}) {
    const Grid_Geometry g(w, h);
    for (int32_t cell = 0; cell < g.num_cells(); ++cell) {
      std::array<int32_t, 4> out{};
      const int n = g.Von_Neumann_Neighbours(cell, out);
      std::vector<int32_t> expected;
      for (int32_t other = 0; other < g.num_cells(); ++other) {
        if (std::abs(g.X(cell) - g.X(other)) + std::abs(g.Y(cell) - g.Y(other)) == 1)
          expected.push_back(other);
      }
      EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + n), expected)
          << w << "x" << h << " cell " << cell;
    }
  }
  const Grid_Geometry g(10, 8);
  std::array<int32_t, 4> out{};
  EXPECT_EQ(g.Von_Neumann_Neighbours(g.Cell(0, 0), out), 2);
  EXPECT_EQ(g.Von_Neumann_Neighbours(g.Cell(9, 7), out), 2);
  EXPECT_EQ(g.Von_Neumann_Neighbours(g.Cell(0, 4), out), 3);
  EXPECT_EQ(g.Von_Neumann_Neighbours(g.Cell(5, 4), out), 4);
  EXPECT_EQ(out, (std::array<int32_t, 4>{g.Cell(5, 3), g.Cell(4, 4), g.Cell(6, 4), g.Cell(5, 5)}));
}

TEST(Grid_Geometry_Test, Numbering_Round_Trips_And_Bad_Sizes_Are_Refused) {
  const Grid_Geometry g(7, 3);
  for (int32_t cell = 0; cell < g.num_cells(); ++cell) EXPECT_EQ(g.Cell(g.X(cell), g.Y(cell)), cell);
  EXPECT_EQ(g.Cell(6, 2), 20);
  EXPECT_FALSE(g.Contains(7, 0));
  EXPECT_FALSE(g.Contains(0, -1));
  EXPECT_THROW(Grid_Geometry(0, 5), std::invalid_argument);
  EXPECT_THROW(Grid_Geometry(5, -1), std::invalid_argument);
  EXPECT_THROW(Grid_Geometry(65536, 65536), std::invalid_argument);
  EXPECT_NO_THROW(Grid_Geometry(2000, 2000));
}

}  // namespace
}  // namespace quarnel::modelkit
