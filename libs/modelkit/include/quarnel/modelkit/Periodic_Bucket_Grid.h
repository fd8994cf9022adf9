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
// for the ny rows (at most 65536 of each). The bucket count is bounded by the items: when
// nx * ny exceeds 4 buckets per item (at least 1) at a Rebuild, the buckets are widened in
// both directions alike until it does not, so the grid's memory follows its items whatever
// the space (a 1e6 x 1e6 space with buckets of 1 and 10 items holds 40 buckets, not 10^12);
// a Rebuild with more items narrows them again, down to bucket_size. Before the first
// Rebuild the grid is one bucket. A radius may be larger than a bucket, and even larger than
// the space (+infinity: every item).
//
// Refused: a width, height or bucket size that is not positive and finite
// (std::invalid_argument); an item or a query point outside [0, W) x [0, H), or not a number
// (std::out_of_range); a negative radius or one that is not a number (std::invalid_argument);
// more than 2^32 - 1 items (std::length_error).
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
  static constexpr uint64_t kBuckets_Per_Item = 4;

  // std::invalid_argument unless width, height and bucket_size are finite and positive.
  Periodic_Bucket_Grid(double width, double height, double bucket_size)
      : _width(Checked(width, "width")),
        _height(Checked(height, "height")),
        _full_nx(Bucket_Count(width, Checked(bucket_size, "bucket size"))),
        _full_ny(Bucket_Count(height, bucket_size)) {
    Lay_Out(1, 1);
  }

  double width() const { return _width; }
  double height() const { return _height; }
  // The buckets of the last Rebuild (see Buckets).
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

  // Replaces the grid's content by `items` (a stable counting sort by bucket), with buckets
  // for that many items (see Buckets). std::out_of_range if a position lies outside
  // [0, W) x [0, H) or is not a number; std::length_error for 2^32 items or more. A refused
  // Rebuild leaves the grid empty. REQUIRES: no query running.
  void Rebuild(const std::vector<Item>& items) {
    if (items.size() > uint64_t(UINT32_MAX)) {
      Empty_Out();
      throw std::length_error("Periodic_Bucket_Grid: " + std::to_string(items.size()) +
                              " items, more than 2^32 - 1");
    }
    Lay_Out_For(items.size());
    _bucket_of.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const Item& item = items[i];
      if (!Inside(item.x, item.y)) {
        Empty_Out();
        Refuse_Point("position", item.x, item.y);
      }
      _bucket_of[i] = uint32_t(Row_Of(item.y)) * uint32_t(_nx) + uint32_t(Column_Of(item.x));
      ++_start[size_t(_bucket_of[i]) + 1];
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
    Check_Query(x, y, radius);
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
    if (!Inside(x, y)) Refuse_Point("query point", x, y);
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

  // nx x ny buckets, all empty.
  void Lay_Out(int nx, int ny) {
    if (nx != _nx || ny != _ny || _start.empty()) {
      _nx = nx;
      _ny = ny;
      _bucket_width = _width / nx;
      _bucket_height = _height / ny;
      _start.assign(size_t(nx) * size_t(ny) + 1, 0);
    } else {
      std::fill(_start.begin(), _start.end(), 0);
    }
  }

  // No items, one bucket.
  void Empty_Out() {
    _items.clear();
    Lay_Out(1, 1);
  }

  // The buckets of bucket_size, widened alike in both directions to at most
  // kBuckets_Per_Item per item (at least one bucket).
  void Lay_Out_For(uint64_t items) {
    const uint64_t limit = std::max<uint64_t>(1, kBuckets_Per_Item * items);
    int nx = _full_nx, ny = _full_ny;
    if (uint64_t(nx) * uint64_t(ny) > limit) {
      const double shrink = std::sqrt(double(nx) * double(ny) / double(limit));
      ny = std::clamp(int(ny / shrink), 1, int(std::min<uint64_t>(limit, uint64_t(ny))));
      nx = int(std::clamp<uint64_t>(limit / uint64_t(ny), 1, uint64_t(nx)));
    }
    Lay_Out(nx, ny);
  }

  bool Inside(double x, double y) const { return x >= 0.0 && x < _width && y >= 0.0 && y < _height; }

  void Check_Query(double x, double y, double radius) const {
    if (!Inside(x, y)) Refuse_Point("query point", x, y);
    if (!(radius >= 0.0)) {
      throw std::invalid_argument("Periodic_Bucket_Grid: the radius " + std::to_string(radius) +
                                  " is negative or not a number");
    }
  }

  [[noreturn]] static void Refuse_Point(const char* what, double x, double y) {
    throw std::out_of_range(std::string("Periodic_Bucket_Grid: ") + what + " (" + std::to_string(x) + ", " +
                            std::to_string(y) + ") lies outside the space");
  }
  static int Wrap(int i, int n) {
    const int m = i % n;
    return m < 0 ? m + n : m;
  }
  int Column_Of(double x) const { return std::min(_nx - 1, std::max(0, int(x / _bucket_width))); }
  int Row_Of(double y) const { return std::min(_ny - 1, std::max(0, int(y / _bucket_height))); }

  // The buckets (unwrapped indices) that overlap [p - radius, p + radius] along one axis,
  // widened by a hair so that rounding at a bucket border never drops one; all n buckets
  // once when the interval covers the axis. REQUIRES: p in the space, radius >= 0 (so a
  // span of fewer than n buckets lies within [-n - 1, 2n] and converts to int exactly).
  static Span Span_Of(double p, double radius, double bucket, int n) {
    const double margin = 1e-9;
    const double first = std::floor((p - radius) / bucket - margin);
    const double last = std::floor((p + radius) / bucket + margin);
    if (!(last - first + 1.0 < double(n))) return {0, n - 1};
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
  int _full_nx, _full_ny;  // the buckets of bucket_size, before any widening
  int _nx = 0, _ny = 0;
  double _bucket_width = 0, _bucket_height = 0;
  std::vector<uint32_t> _start;      // bucket b holds _items[_start[b] .. _start[b + 1])
  std::vector<Item> _items;          // sorted by bucket
  std::vector<uint32_t> _bucket_of;  // Rebuild's scratch: the bucket of each input item
};

}  // namespace quarnel::modelkit
