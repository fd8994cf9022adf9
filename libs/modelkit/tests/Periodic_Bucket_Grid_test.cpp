// The periodic bucket grid against brute force: a radius query visits exactly the items within
// the radius, each once, with the shortest wrapped offsets; the nearest item is the true
// nearest; across borders, for radii larger than a bucket or than the space, and for a space
// that is not a multiple of the bucket size.
#include <quarnel/modelkit/Periodic_Bucket_Grid.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quarnel::modelkit {
namespace {

struct Point {
  double x, y;
  int id;
};
using Grid = Periodic_Bucket_Grid<Point>;

double Brute_Wrapped(double a, double b, double length) {
  // The shortest of the three images' differences, independently of the grid's formula.
  double best = b - a;
  for (double shift : {-length, length}) {
    if (std::abs(b - a + shift) < std::abs(best)) best = b - a + shift;
  }
  return best;
}

struct Space {
  double width, height, bucket;
};

// Random points, with a share of them on or next to the borders and the bucket borders.
std::vector<Point> Points(const Space& s, int n, uint32_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> ux(0.0, s.width), uy(0.0, s.height);
  std::vector<Point> points;
  for (int i = 0; i < n; ++i) {
    double x = ux(random), y = uy(random);
    switch (i % 5) {
      case 1:
        x = std::nextafter(s.width, 0.0);
        break;
      case 2:
        y = 0.0;
        break;
      case 3:
        x = std::floor(x / s.bucket) * s.bucket;
        break;  // on a bucket border (if a multiple)
      default:
        break;
    }
    points.push_back({x, y, i});
  }
  return points;
}

// Every (space, radius) pair of this list is checked for every query point.
const std::vector<Space> kSpaces = {
    {100.0, 100.0, 5.0},  // a multiple of the bucket size
    {37.3, 11.9, 5.0},    // not a multiple: wider buckets
    {10.0, 10.0, 20.0},   // one bucket
    {30.0, 4.0, 1.5},     // many thin rows
};
const std::vector<double> kRadii = {0.5, 5.0, 12.5, 60.0};  // below, at, above a bucket; above half the space

TEST(Periodic_Bucket_Grid_Test, Within_Radius_Visits_Exactly_The_Brute_Force_Set_Once) {
  for (const Space& s : kSpaces) {
    const std::vector<Point> points = Points(s, 300, 7);
    Grid grid(s.width, s.height, s.bucket);
    grid.Rebuild(points);
    for (double radius : kRadii) {
      for (int q = 0; q < 300; q += 7) {
        const Point& p = points[q];
        std::map<int, int> visits;
        grid.For_Each_Within(p.x, p.y, radius, [&](const Point& o, double dx, double dy, double d2) {
          ++visits[o.id];
          EXPECT_DOUBLE_EQ(dx, Brute_Wrapped(p.x, o.x, s.width));
          EXPECT_DOUBLE_EQ(dy, Brute_Wrapped(p.y, o.y, s.height));
          EXPECT_LE(std::abs(dx), s.width / 2);
          EXPECT_LE(std::abs(dy), s.height / 2);
          EXPECT_EQ(d2, dx * dx + dy * dy);
        });
        int expected = 0;
        for (const Point& o : points) {
          const double dx = Brute_Wrapped(p.x, o.x, s.width), dy = Brute_Wrapped(p.y, o.y, s.height);
          if (dx * dx + dy * dy <= radius * radius) {
            ++expected;
            EXPECT_EQ(visits[o.id], 1) << "point " << o.id << " from " << q << " radius " << radius
                                       << " space " << s.width << "x" << s.height;
          }
        }
        EXPECT_EQ(int(visits.size()), expected);
      }
    }
  }
}

TEST(Periodic_Bucket_Grid_Test, Candidates_Never_Repeat_And_Cover_The_Space_For_A_Large_Radius) {
  const Space s{37.3, 11.9, 5.0};
  const std::vector<Point> points = Points(s, 200, 3);
  Grid grid(s.width, s.height, s.bucket);
  grid.Rebuild(points);
  EXPECT_EQ(grid.columns(), 7);  // 37.3 / 5 = 7.46: seven columns of width 5.33
  EXPECT_EQ(grid.rows(), 2);
  for (double radius : {4.0, 17.0, 1000.0}) {
    std::map<int, int> visits;
    grid.For_Each_Candidate(3.0, 1.0, radius,
                            [&](const Point& o, double, double, double) { ++visits[o.id]; });
    for (const auto& [id, n] : visits) EXPECT_EQ(n, 1) << id;
    if (radius >= 17.0) {
      EXPECT_EQ(visits.size(), points.size());
    }
  }
}

TEST(Periodic_Bucket_Grid_Test, Distances_Wrap_Across_Every_Border) {
  Grid grid(10.0, 8.0, 2.0);
  grid.Rebuild({{0.1, 0.1, 0}, {9.9, 7.9, 1}, {5.0, 4.0, 2}, {9.5, 0.2, 3}});
  std::map<int, double> d2_of;
  grid.For_Each_Within(0.1, 0.1, 1.0, [&](const Point& o, double, double, double d2) { d2_of[o.id] = d2; });
  ASSERT_EQ(d2_of.size(), 3u);  // itself, the opposite corner and the point across the left border
  EXPECT_NEAR(d2_of[1], 0.08, 1e-12);
  EXPECT_NEAR(d2_of[3], 0.36 + 0.01, 1e-12);
  const auto nearest = grid.Nearest(0.1, 0.1, [](const Point& o) { return o.id == 0; });
  ASSERT_NE(nearest.item, nullptr);
  EXPECT_EQ(nearest.item->id, 1);
  EXPECT_NEAR(nearest.d2, 0.08, 1e-12);
}

TEST(Periodic_Bucket_Grid_Test, Nearest_Is_The_Brute_Force_Nearest) {
  for (const Space& s : kSpaces) {
    for (int n : {2, 5, 300}) {  // sparse grids make the ring search go far
      const std::vector<Point> points = Points(s, n, uint32_t(n));
      Grid grid(s.width, s.height, s.bucket);
      grid.Rebuild(points);
      for (const Point& p : points) {
        double best = INFINITY;
        for (const Point& o : points) {
          if (o.id == p.id) continue;
          const double dx = Brute_Wrapped(p.x, o.x, s.width), dy = Brute_Wrapped(p.y, o.y, s.height);
          best = std::min(best, dx * dx + dy * dy);
        }
        const auto found = grid.Nearest(p.x, p.y, [&](const Point& o) { return o.id == p.id; });
        ASSERT_NE(found.item, nullptr);
        EXPECT_EQ(found.d2, best) << "point " << p.id << " of " << n << " in " << s.width << "x" << s.height;
      }
    }
  }
  Grid alone(10.0, 10.0, 1.0);
  alone.Rebuild({{1.0, 1.0, 0}});
  EXPECT_EQ(alone.Nearest(1.0, 1.0, [](const Point&) { return true; }).item, nullptr);
}

TEST(Periodic_Bucket_Grid_Test, Rebuild_Keeps_Input_Order_Within_A_Bucket_And_Replaces_The_Content) {
  Grid grid(4.0, 4.0, 2.0);
  grid.Rebuild({{3.0, 3.0, 0}, {0.5, 0.5, 1}, {1.5, 0.5, 2}, {3.5, 3.5, 3}, {0.1, 0.1, 4}});
  std::vector<int> order;
  for (const Point& p : grid.items()) order.push_back(p.id);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 4, 0, 3}));
  grid.Rebuild({{2.5, 0.5, 9}});
  ASSERT_EQ(grid.items().size(), 1u);
  int seen = 0;
  grid.For_Each_Candidate(0.0, 0.0, 100.0, [&](const Point& o, double, double, double) { seen += o.id; });
  EXPECT_EQ(seen, 9);
}

TEST(Periodic_Bucket_Grid_Test, Refuses_Bad_Sizes_And_Positions_Outside_The_Space) {
  EXPECT_THROW(Grid(0.0, 1.0, 1.0), std::invalid_argument);
  EXPECT_THROW(Grid(1.0, NAN, 1.0), std::invalid_argument);
  EXPECT_THROW(Grid(1.0, 1.0, -1.0), std::invalid_argument);
  Grid grid(10.0, 10.0, 1.0);
  EXPECT_THROW(grid.Rebuild({{10.0, 0.0, 0}}), std::out_of_range);
  EXPECT_THROW(grid.Rebuild({{0.0, -0.5, 0}}), std::out_of_range);
  EXPECT_THROW(grid.Rebuild({{NAN, 1.0, 0}}), std::out_of_range);
}

// The bucket count follows the items, not the space: a 1e6 x 1e6 space with buckets of 1
// (10^12 buckets of that size; 65536^2 = 2^32 before, 16 GiB) holds at most 4 buckets per
// item, and its queries still visit exactly the brute-force set. More items narrow the
// buckets again, down to the bucket size.
TEST(Periodic_Bucket_Grid_Test, The_Bucket_Count_Is_Bounded_By_The_Items) {
  const Space huge{1e6, 1e6, 1.0};
  const std::vector<Point> points = Points(huge, 10, 11);
  Grid grid(huge.width, huge.height, huge.bucket);
  EXPECT_EQ(int64_t(grid.columns()) * grid.rows(), 1) << "one bucket before the first Rebuild";
  grid.Rebuild(points);
  EXPECT_LE(int64_t(grid.columns()) * grid.rows(), 40);
  EXPECT_GE(int64_t(grid.columns()) * grid.rows(), 30) << "widened alike in both directions";
  for (const Point& p : points) {
    for (double radius : {1.0, 3e5, 2e6}) {
      std::map<int, int> visits;
      grid.For_Each_Within(p.x, p.y, radius, [&](const Point& o, double, double, double) { ++visits[o.id]; });
      int expected = 0;
      for (const Point& o : points) {
        const double dx = Brute_Wrapped(p.x, o.x, huge.width), dy = Brute_Wrapped(p.y, o.y, huge.height);
        if (dx * dx + dy * dy <= radius * radius) {
          ++expected;
          EXPECT_EQ(visits[o.id], 1);
        }
      }
      EXPECT_EQ(int(visits.size()), expected);
    }
  }
  Grid empty(huge.width, huge.height, huge.bucket);
  empty.Rebuild({});
  EXPECT_EQ(int64_t(empty.columns()) * empty.rows(), 1);
  int seen = 0;
  empty.For_Each_Candidate(5.0, 5.0, 1e9, [&](const Point&, double, double, double) { ++seen; });
  EXPECT_EQ(seen, 0);

  // The flocking model's small space keeps its buckets of the bucket size; fewer items widen
  // them, and more narrow them back.
  Grid flock(100.0, 100.0, 5.0);
  flock.Rebuild(Points({100.0, 100.0, 5.0}, 200, 1));
  EXPECT_EQ(flock.columns(), 20);
  EXPECT_EQ(flock.rows(), 20);
  flock.Rebuild(Points({100.0, 100.0, 5.0}, 10, 2));
  EXPECT_LE(flock.columns() * flock.rows(), 40);
  flock.Rebuild(Points({100.0, 100.0, 5.0}, 5000, 3));
  EXPECT_EQ(flock.columns(), 20);
  EXPECT_EQ(flock.rows(), 20);
}

// A negative radius, or one that is not a number, is refused (-1e300 converted a bucket index
// out of range); +infinity visits everything. A query point outside the space is refused as
// an item's position is.
TEST(Periodic_Bucket_Grid_Test, Bad_Radii_And_Query_Points_Outside_The_Space_Are_Refused) {
  Grid grid(10.0, 10.0, 1.0);
  const std::vector<Point> points = Points({10.0, 10.0, 1.0}, 50, 5);
  grid.Rebuild(points);
  auto count = [&](double x, double y, double radius) {
    int n = 0;
    grid.For_Each_Within(x, y, radius, [&](const Point&, double, double, double) { ++n; });
    return n;
  };
  for (double radius : {-1e300, -1.0, -1e-300, double(NAN), -double(INFINITY)}) {
    EXPECT_THROW(count(5.0, 5.0, radius), std::invalid_argument) << radius;
    EXPECT_THROW(grid.For_Each_Candidate(5.0, 5.0, radius, [](const Point&, double, double, double) {}),
                 std::invalid_argument)
        << radius;
  }
  try {
    count(5.0, 5.0, -1.5);
    ADD_FAILURE() << "not refused";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "Periodic_Bucket_Grid: the radius -1.500000 is negative or not a number");
  }
  EXPECT_EQ(count(5.0, 5.0, double(INFINITY)), 50);
  EXPECT_EQ(count(5.0, 5.0, 1e300), 50);
  for (auto [x, y] : {std::pair{-0.5, 1.0}, {10.0, 1.0}, {1.0, 1e300}, {double(NAN), 1.0}, {1.0, -1e300}}) {
    EXPECT_THROW(count(x, y, 1.0), std::out_of_range) << x << "," << y;
    EXPECT_THROW(grid.Nearest(x, y, [](const Point&) { return false; }), std::out_of_range) << x << "," << y;
  }
  EXPECT_EQ(grid.items().size(), 50u) << "a refused query changes nothing";
  // A refused Rebuild leaves the grid empty, never half built.
  EXPECT_THROW(grid.Rebuild({{1.0, 1.0, 0}, {11.0, 1.0, 1}}), std::out_of_range);
  EXPECT_EQ(grid.items().size(), 0u);
  EXPECT_EQ(count(5.0, 5.0, double(INFINITY)), 0);
}

}  // namespace
}  // namespace quarnel::modelkit
