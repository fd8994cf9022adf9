// A uniform bucket grid over a W x H continuous space that is periodic in both directions:
// neighbour search within a radius and nearest-neighbour search, with distances measured along
// the shortest wrapped difference.
//
// Items are any struct with double members `x` and `y` (0 <= x < W, 0 <= y < H) and whatever
// payload the model needs beside them. Rebuild copies them into the grid, sorted by bucket; the
// queries read those copies, never the caller's objects, so a model can rebuild the grid from
// the positions of one step and let every agent of the next step query it while the agents
// overwrite their own positions.
//
// Buckets: nx = max(1, floor(W / bucket_size)) columns of width W / nx, which is at least
// bucket_size (a W that is not a multiple of bucket_size gets slightly wider buckets); the same
// for the ny rows. A radius may be larger than a bucket, and even larger than the space.
//
// Thread safety: Rebuild changes the grid; it runs on one thread while no query runs (for a
// stepped model: between steps, e.g. in the World's iteration hook). The queries are const,
// share nothing and may run on any number of threads at once between two rebuilds.
//
// Invariants:
//  1. After Rebuild(items) each item is held once, in the bucket that contains its position;
//     items() lists them bucket by bucket (row-major), within a bucket in input order.
//  2. A query visits an item at most once, whatever the radius (a radius of half the space or
//     more visits every item exactly once), in an order that depends only on the grid's
//     content and the query point: the same query on the same grid gives the same visits.
//  3. The offsets handed to a visitor are the shortest wrapped differences item - query:
//     |dx| <= W / 2, |dy| <= H / 2, and d2 = dx * dx + dy * dy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace quarnel::modelkit {

template <class Item>
class Periodic_Bucket_Grid {
 public:
  // std::invalid_argument unless width, height and bucket_size are finite and positive.
  Periodic_Bucket_Grid(double width, double height, double bucket_size)
      : _width(Checked(width, "width")), _height(Checked(height, "height")) {
    Checked(bucket_size, "bucket size");
    _nx = Bucket_Count(width, bucket_size);
    _ny = Bucket_Count(height, bucket_size);
    _bucket_width = width / _nx;
    _bucket_height = height / _ny;
    _start.assign(size_t(_nx) * _ny + 1, 0);
  }

  double width() const { return _width; }
  double height() const { return _height; }
  int columns() const { return _nx; }
  int rows() const { return _ny; }
  // The items of the last Rebuild, bucket by bucket (invariant 1).
  const std::vector<Item>& items() const { return _items; }

  // The shortest wrapped difference b - a along an axis of length `length`, for a and b in
  // [0, length).
  static double Wrapped_Difference(double a, double b, double length) {
    double d = b - a;
    if (d > 0.5 * length) {
      d -= length;
    } else if (d < -0.5 * length) {
      d += length;
    }
    return d;
  }

  // Replaces the grid's content by `items` (a stable counting sort by bucket).
  // std::out_of_range if a position lies outside [0, W) x [0, H) or is not a number.
  // REQUIRES: no query running.
  void Rebuild(const std::vector<Item>& items) {
    _bucket_of.resize(items.size());
    std::fill(_start.begin(), _start.end(), 0);
    for (size_t i = 0; i < items.size(); ++i) {
      const Item& item = items[i];
      if (!(item.x >= 0.0 && item.x < _width && item.y >= 0.0 && item.y < _height)) {
        throw std::out_of_range("Periodic_Bucket_Grid: position (" + std::to_string(item.x) + ", " +
                                std::to_string(item.y) + ") lies outside the space");
      }
      _bucket_of[i] = uint32_t(Row_Of(item.y)) * uint32_t(_nx) + uint32_t(Column_Of(item.x));
      ++_start[_bucket_of[i] + 1];
    }
    for (size_t b = 1; b < _start.size(); ++b) _start[b] += _start[b - 1];
    _items.resize(items.size());
    std::vector<uint32_t> next(_start.begin(), _start.end() - 1);
    for (size_t i = 0; i < items.size(); ++i) _items[next[_bucket_of[i]]++] = items[i];
  }

  // visit(item, dx, dy, d2) for every item of the buckets that overlap the square of half
  // side `radius` around (x, y): a superset of the items within `radius`, each once.
  template <class Visit>
  void For_Each_Candidate(double x, double y, double radius, Visit&& visit) const {
    const Span columns = Span_Of(x, radius, _bucket_width, _nx);
    const Span rows = Span_Of(y, radius, _bucket_height, _ny);
    for (int r = rows.first; r <= rows.last; ++r) {
      const uint32_t row = uint32_t(Wrap(r, _ny)) * uint32_t(_nx);
      for (int c = columns.first; c <= columns.last; ++c)
        Visit_Bucket(row + uint32_t(Wrap(c, _nx)), x, y, visit);
    }
  }

  // visit(item, dx, dy, d2) for every item at distance <= radius from (x, y), each once.
  template <class Visit>
  void For_Each_Within(double x, double y, double radius, Visit&& visit) const {
    const double r2 = radius * radius;
    For_Each_Candidate(x, y, radius, [&](const Item& item, double dx, double dy, double d2) {
      if (d2 <= r2) visit(item, dx, dy, d2);
    });
  }

  struct Nearest_Result {
    const Item* item = nullptr;  // null: no item other than the skipped ones
    double d2 = std::numeric_limits<double>::infinity();
  };

  // The item closest to (x, y) among those for which skip(item) is false (the first one in
  // visiting order when several are equally close). Searches rings of buckets outwards and
  // stops as soon as no unvisited bucket can hold a closer item.
  template <class Skip>
  Nearest_Result Nearest(double x, double y, Skip&& skip) const {
    Nearest_Result best;
    const int cx = Column_Of(x);
    const int cy = Row_Of(y);
    // Offsets from the home bucket that name each bucket once: [-(n - 1) / 2, n / 2].
    const int x_low = -(_nx - 1) / 2, x_high = _nx / 2;
    const int y_low = -(_ny - 1) / 2, y_high = _ny / 2;
    const int last_ring = std::max(std::max(-x_low, x_high), std::max(-y_low, y_high));
    const double step = std::min(_bucket_width, _bucket_height);
    auto consider = [&](const Item& item, double, double, double d2) {
      if (d2 < best.d2 && !skip(item)) {
        best.item = &item;
        best.d2 = d2;
      }
    };
    for (int ring = 0; ring <= last_ring; ++ring) {
      for (int oy = std::max(-ring, y_low); oy <= std::min(ring, y_high); ++oy) {
        const uint32_t row = uint32_t(Wrap(cy + oy, _ny)) * uint32_t(_nx);
        const bool edge_row = oy == -ring || oy == ring;
        for (int ox = std::max(-ring, x_low); ox <= std::min(ring, x_high); ++ox) {
          if (!edge_row && ox != -ring && ox != ring) continue;  // inside the ring: seen before
          Visit_Bucket(row + uint32_t(Wrap(cx + ox, _nx)), x, y, consider);
        }
      }
      // Every item of a bucket beyond this ring lies at least ring * step away (less a hair:
      // the home bucket of a point on a bucket border is decided by a rounded division).
      const double bound = std::max(0.0, ring - 1e-9) * step;
      if (best.item != nullptr && best.d2 <= bound * bound) break;
    }
    return best;
  }

 private:
  struct Span {
    int first, last;
  };

  static double Checked(double value, const char* what) {
    if (!(std::isfinite(value) && value > 0.0)) {
      throw std::invalid_argument(std::string("Periodic_Bucket_Grid: the ") + what +
                                  " must be positive and finite");
    }
    return value;
  }
  static int Bucket_Count(double length, double bucket_size) {
    const double n = std::floor(length / bucket_size);
    return n < 1.0 ? 1 : n > 65536.0 ? 65536 : int(n);
  }
  static int Wrap(int i, int n) {
    const int m = i % n;
    return m < 0 ? m + n : m;
  }
  int Column_Of(double x) const { return std::min(_nx - 1, std::max(0, int(x / _bucket_width))); }
  int Row_Of(double y) const { return std::min(_ny - 1, std::max(0, int(y / _bucket_height))); }

  // The buckets (unwrapped indices) that overlap [p - radius, p + radius] along one axis,
  // widened by a hair so that rounding at a bucket border never drops one; all n buckets
  // once when the interval covers the axis.
  static Span Span_Of(double p, double radius, double bucket, int n) {
    const double margin = 1e-9;
    const double first = std::floor((p - radius) / bucket - margin);
    const double last = std::floor((p + radius) / bucket + margin);
    if (!(last - first + 1.0 < double(n))) return {0, n - 1};  // also a radius that is not a number
    return {int(first), int(last)};
  }

  template <class Visit>
  void Visit_Bucket(uint32_t bucket, double x, double y, Visit& visit) const {
    for (uint32_t i = _start[bucket], end = _start[bucket + 1]; i < end; ++i) {
      const Item& item = _items[i];
      const double dx = Wrapped_Difference(x, item.x, _width);
      const double dy = Wrapped_Difference(y, item.y, _height);
      visit(item, dx, dy, dx * dx + dy * dy);
    }
  }

  double _width, _height;
  int _nx = 1, _ny = 1;
  double _bucket_width = 0, _bucket_height = 0;
  std::vector<uint32_t> _start;      // bucket b holds _items[_start[b] .. _start[b + 1])
  std::vector<Item> _items;          // sorted by bucket
  std::vector<uint32_t> _bucket_of;  // Rebuild's scratch: the bucket of each input item
};

}  // namespace quarnel::modelkit
