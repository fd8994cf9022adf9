// The grid geometry: numbering, clipped neighbourhoods at borders and corners, windows.
#include <quarnel/modelkit/Grid_Geometry.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <stdexcept>

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
