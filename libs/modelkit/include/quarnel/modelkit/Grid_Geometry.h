// The geometry of a W x H grid of cells that does not wrap around: cell numbering, clipped
// Moore (8-neighbour) and von Neumann (4-neighbour) neighbourhoods and clipped Chebyshev
// windows. Every grid of the modelkit keeps one.
//
// Cells are numbered row by row: cell = y * width + x, x in [0, width), y in [0, height).
// Nothing wraps: a neighbourhood near a border holds only the cells inside the grid, so a
// corner cell has 3 Moore neighbours, an edge cell 5 and any other cell 8; and 2, 3 and 4
// von Neumann neighbours.
//
// Checks, always on: every function that takes a cell number (X, Y, the neighbourhoods, the
// distance, the window) refuses one outside [0, num_cells()) with std::out_of_range, and a
// window's radius below 0 with std::invalid_argument; a radius beyond the grid is clipped
// without overflow. A check is one comparison against a stored count, beside a division
// (X, Y) or a loop over the neighbours; Cell(x, y) is not checked (Contains tests x and y).
//
// Thread safety: immutable after construction; any thread may call anything.
//
// Invariants:
//  1. 1 <= width, 1 <= height, width * height <= INT32_MAX (a cell fits an int32_t).
//  2. Moore_Neighbours and Von_Neumann_Neighbours list the neighbours in row order (y, then
//     x), never the cell itself, so a draw Next_Below(count) picks the same cell on every run
//     and every worker.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

namespace quarnel::modelkit {

class Grid_Geometry {
 public:
  // The cells within Chebyshev distance r of a cell, clipped to the grid: x0..x1, y0..y1
  // (inclusive).
  struct Window {
    int32_t x0, x1, y0, y1;
  };

  // A std::invalid_argument when a side is below 1 or the grid has more than INT32_MAX cells.
  Grid_Geometry(int32_t width, int32_t height) : _width(width), _height(height) {
    if (width < 1 || height < 1 ||
        int64_t(width) * int64_t(height) > int64_t(std::numeric_limits<int32_t>::max())) {
      throw std::invalid_argument("a grid of " + std::to_string(width) + " x " + std::to_string(height) +
                                  " cells: each side must be at least 1 and the cells at most 2^31 - 1");
    }
    _num_cells = width * height;
  }

  int32_t width() const { return _width; }
  int32_t height() const { return _height; }
  int32_t num_cells() const { return _num_cells; }

  // Whether `cell` is a cell of the grid; Check_Cell refuses one that is not, naming `call`.
  bool Contains_Cell(int32_t cell) const { return uint32_t(cell) < uint32_t(_num_cells); }
  void Check_Cell(int32_t cell, const char* call) const {
    if (!Contains_Cell(cell)) [[unlikely]]
      Refuse_Cell(cell, call);
  }

  int32_t Cell(int32_t x, int32_t y) const { return y * _width + x; }
  int32_t X(int32_t cell) const {
    Check_Cell(cell, "Grid_Geometry::X");
    return cell % _width;
  }
  int32_t Y(int32_t cell) const {
    Check_Cell(cell, "Grid_Geometry::Y");
    return cell / _width;
  }
  bool Contains(int32_t x, int32_t y) const { return x >= 0 && x < _width && y >= 0 && y < _height; }

  // The Chebyshev distance of two cells: max(|dx|, |dy|), never wrapped.
  int32_t Chebyshev_Distance(int32_t a, int32_t b) const {
    return std::max(std::abs(X(a) - X(b)), std::abs(Y(a) - Y(b)));
  }

  // The cells that share a side with `cell`, inside the grid, in row order (above, left,
  // right, below), into `out`; returns how many (2, 3 or 4 on grids of at least 2 x 2).
  int Von_Neumann_Neighbours(int32_t cell, std::array<int32_t, 4>& out) const {
    const int32_t x = X(cell), y = Y(cell);
    int n = 0;
    if (y > 0) out[n++] = cell - _width;
    if (x > 0) out[n++] = cell - 1;
    if (x + 1 < _width) out[n++] = cell + 1;
    if (y + 1 < _height) out[n++] = cell + _width;
    return n;
  }

  // The cells at Chebyshev distance 1 from `cell` inside the grid, in row order, into `out`;
  // returns how many (3, 5 or 8 on grids of at least 2 x 2; fewer on a line or one cell).
  int Moore_Neighbours(int32_t cell, std::array<int32_t, 8>& out) const {
    const int32_t x = X(cell), y = Y(cell);
    int n = 0;
    for (int32_t dy = -1; dy <= 1; ++dy) {
      for (int32_t dx = -1; dx <= 1; ++dx) {
        if ((dx != 0 || dy != 0) && Contains(x + dx, y + dy)) out[n++] = Cell(x + dx, y + dy);
      }
    }
    return n;
  }

  // The cells within Chebyshev distance `radius` of `cell`, clipped to the grid; the cell
  // itself is inside the window. Any radius from 0 to INT32_MAX, clipped without overflow; a
  // negative one is a std::invalid_argument.
  Window Clipped_Window(int32_t cell, int32_t radius) const {
    if (!Contains_Cell(cell) || radius < 0) [[unlikely]]
      Refuse_Window(cell, radius);
    const int32_t x = cell % _width, y = cell / _width;
    // Each side moves by at most the room it has, so nothing is ever added past the grid.
    return {x - std::min(radius, x), x + std::min(radius, _width - 1 - x), y - std::min(radius, y),
            y + std::min(radius, _height - 1 - y)};
  }

 private:
  [[noreturn]] __attribute__((noinline, cold)) void Refuse_Cell(int32_t cell, const char* call) const {
    throw std::out_of_range(std::string(call) + ": cell " + std::to_string(cell) +
                            " lies outside the grid of " + std::to_string(_width) + " x " +
                            std::to_string(_height) + " cells (0 to " + std::to_string(_num_cells - 1) + ")");
  }
  [[noreturn]] __attribute__((noinline, cold)) void Refuse_Window(int32_t cell, int32_t radius) const {
    Check_Cell(cell, "Grid_Geometry::Clipped_Window");
    throw std::invalid_argument("Grid_Geometry::Clipped_Window: the radius " + std::to_string(radius) +
                                " is negative");
  }

  int32_t _width;
  int32_t _height;
  int32_t _num_cells = 0;
};

}  // namespace quarnel::modelkit
