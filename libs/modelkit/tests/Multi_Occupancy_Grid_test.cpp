// The many-occupant grid: lists gathered by concurrent pushes hold exactly the pushed items,
// whatever the order of the pushes; Clear empties a cell and leaves the others.
#include "Multi_Occupancy_Grid.h"

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

// Each list holds exactly its cell's items: nothing lost, nothing duplicated, nothing in the
// wrong cell. Run on one thread first (the harness itself), then on four at once.
TEST(Multi_Occupancy_Grid_Test, Concurrent_Pushes_Gather_Every_Item_Once) {
  for (int threads : {1, 4}) {
    Grid grid(Grid_Geometry(6, 5));
    std::vector<Item> items(20000);
    for (int i = 0; i < int(items.size()); ++i) items[size_t(i)] = {i, int32_t((i * 7) % 30), nullptr};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (size_t i = size_t(t); i < items.size(); i += size_t(threads))
          grid.Push(items[i].cell, &items[i]);
      });
    }
    for (auto& worker : workers) worker.join();
    for (int32_t cell = 0; cell < 30; ++cell) {
      std::vector<int> expected;
      for (const Item& item : items) {
        if (item.cell == cell) expected.push_back(item.id);
      }
      EXPECT_EQ(Ids_In(grid, cell), expected) << threads << " threads, cell " << cell;
      EXPECT_EQ(grid.Count(cell), int(expected.size()));
    }
  }
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
