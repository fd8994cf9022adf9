// The many-occupant grid: lists gathered by concurrent pushes (shared heads, a lane per thread
// gathered by the cell's owner, or stages per thread and row linked by the row's owner) hold
// exactly the pushed items, whatever the order of the pushes; Clear empties a cell, all its
// lanes, and leaves the others.
#include <quarnel/modelkit/Multi_Occupancy_Grid.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace quarnel::modelkit {
namespace {

struct Item {
  int id = 0;
  int32_t cell = 0;
  Item* next = nullptr;
};
using Grid = Multi_Occupancy_Grid<Item, &Item::next>;

std::vector<int> Ids_In(const Grid& grid, int32_t cell) {
  std::vector<int> ids;
  grid.For_Each(cell, [&](Item& item) { ids.push_back(item.id); });
  std::sort(ids.begin(), ids.end());
  return ids;
}

// How the items reach their cells' lists.
enum class Pushes { shared_heads, lanes, staged_rows };

// Each list holds exactly its cell's items: nothing lost, nothing duplicated, nothing in the
// wrong cell. Run on one thread first (the harness itself), then on four at once, pushing to
// the shared heads, each thread to its own lane, and each thread staging by row; a row linked
// a second time gains nothing (its stages were emptied).
TEST(Multi_Occupancy_Grid_Test, Concurrent_Pushes_Gather_Every_Item_Once) {
  for (Pushes pushes : {Pushes::shared_heads, Pushes::lanes, Pushes::staged_rows}) {
    for (int threads : {1, 4}) {
      const int lanes = pushes == Pushes::lanes ? threads : 1;
      const int staging_lanes = pushes == Pushes::staged_rows ? threads : 0;
      Grid grid(Grid_Geometry(6, 5), lanes, staging_lanes);
      std::vector<Item> items(20000);
      for (int i = 0; i < int(items.size()); ++i) items[size_t(i)] = {i, int32_t((i * 7) % 30), nullptr};
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          for (size_t i = size_t(t); i < items.size(); i += size_t(threads)) {
            switch (pushes) {
              case Pushes::shared_heads:
                grid.Push(items[i].cell, &items[i]);
                break;
              case Pushes::lanes:
                grid.Push_To_Lane(items[i].cell, &items[i], t);
                break;
              case Pushes::staged_rows:
                grid.Stage(items[i].cell, &items[i], t);
                break;
            }
          }
        });
      }
      for (auto& worker : workers) worker.join();
      for (int32_t row = 0; row < 5 && pushes == Pushes::staged_rows; ++row) {
        grid.Link_Staged_Row(row);
        grid.Link_Staged_Row(row);
      }
      for (int32_t cell = 0; cell < 30; ++cell) {
        if (pushes == Pushes::lanes) grid.Gather(cell);
        std::vector<int> expected;
        for (const Item& item : items) {
          if (item.cell == cell) expected.push_back(item.id);
        }
        EXPECT_EQ(Ids_In(grid, cell), expected)
            << threads << " threads, pushes " << int(pushes) << ", cell " << cell;
        EXPECT_EQ(grid.Count(cell), int(expected.size()));
      }
    }
  }
}

// Staged items stay out of the lists until their row is linked, and linking one row leaves
// the others' stages alone; after a Clear the next step's staging starts from empty lists.
TEST(Multi_Occupancy_Grid_Test, Link_Staged_Row_Links_Only_That_Row) {
  Grid grid(Grid_Geometry(3, 2), 1, 2);
  Item a{1, 0}, b{2, 2}, c{3, 2}, d{4, 5};
  grid.Stage(a.cell, &a, 0);
  grid.Stage(b.cell, &b, 1);
  grid.Stage(c.cell, &c, 0);
  grid.Stage(d.cell, &d, 1);
  EXPECT_EQ(grid.First(0), nullptr);
  grid.Link_Staged_Row(0);
  EXPECT_EQ(Ids_In(grid, 0), (std::vector<int>{1}));
  EXPECT_EQ(Ids_In(grid, 2), (std::vector<int>{2, 3}));
  EXPECT_EQ(grid.First(5), nullptr);  // row 1 not linked yet
  grid.Link_Staged_Row(1);
  EXPECT_EQ(Ids_In(grid, 5), (std::vector<int>{4}));
  grid.Clear(2);
  grid.Stage(2, &a, 1);
  grid.Link_Staged_Row(0);
  EXPECT_EQ(Ids_In(grid, 2), (std::vector<int>{1}));
}

// A lane's members join the cell's list only when gathered, behind none of them lost; Clear
// empties the lanes that were never gathered too; Prefetch changes nothing.
TEST(Multi_Occupancy_Grid_Test, Gather_Joins_The_Lanes_And_Clear_Empties_Them) {
  Grid grid(Grid_Geometry(2, 1), 3);
  Item a{1, 0}, b{2, 0}, c{3, 0}, d{4, 1};
  grid.Push_To_Lane(0, &a, 0);
  grid.Push_To_Lane(0, &b, 2);
  grid.Push_To_Lane(0, &c, 2);
  grid.Push_To_Lane(1, &d, 1);
  // A prefetch reads only the cell's own heads (the last cell's last lane included, inside
  // the array under AddressSanitizer) and changes no list.
  grid.Prefetch(0);
  grid.Prefetch(1);
  EXPECT_EQ(Ids_In(grid, 0), (std::vector<int>{1}));
  grid.Gather(0);
  EXPECT_EQ(Ids_In(grid, 0), (std::vector<int>{1, 2, 3}));
  grid.Gather(0);  // nothing left in the other lanes: unchanged
  EXPECT_EQ(Ids_In(grid, 0), (std::vector<int>{1, 2, 3}));
  grid.Clear(1);  // d's lane, never gathered
  grid.Gather(1);
  EXPECT_EQ(grid.First(1), nullptr);
  EXPECT_EQ(Ids_In(grid, 0), (std::vector<int>{1, 2, 3}));
}

TEST(Multi_Occupancy_Grid_Test, Clear_Empties_One_Cell_And_Push_Alone_Starts_Again) {
  Grid grid(Grid_Geometry(3, 3));
  Item a{1, 4}, b{2, 4}, c{3, 8};
  grid.Push_Alone(4, &a);
  grid.Push_Alone(4, &b);
  grid.Push_Alone(8, &c);
  EXPECT_EQ(Ids_In(grid, 4), (std::vector<int>{1, 2}));
  grid.Clear(4);
  EXPECT_EQ(grid.First(4), nullptr);
  EXPECT_EQ(grid.Count(4), 0);
  EXPECT_EQ(Ids_In(grid, 8), (std::vector<int>{3}));
  grid.Push_Alone(4, &a);  // a's old link is overwritten: the list is a alone
  EXPECT_EQ(Ids_In(grid, 4), (std::vector<int>{1}));
  EXPECT_EQ(Grid::Next(&a), nullptr);
}

}  // namespace
}  // namespace quarnel::modelkit
