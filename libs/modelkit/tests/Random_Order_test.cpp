// Random orders: each is a permutation, each is reproducible, and over many steps every agent
// takes every place about equally often (the shuffle is not biased).
#include <quarnel/modelkit/Random_Order.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace quarnel::modelkit {
namespace {

TEST(Random_Order_Test, Is_A_Reproducible_Unbiased_Permutation) {
  EXPECT_TRUE(Random_Order(0, 1, 2, 3).empty());
  EXPECT_EQ(Random_Order(1, 1, 2, 3), std::vector<uint32_t>{0});
  EXPECT_EQ(Random_Order(50, 1, 2, 3), Random_Order(50, 1, 2, 3));
  EXPECT_NE(Random_Order(50, 1, 2, 3), Random_Order(50, 1, 2, 4));
  EXPECT_NE(Random_Order(50, 1, 2, 3), Random_Order(50, 9, 2, 3));
  constexpr int kSteps = 40000;
  int first_place[4][4] = {};
  for (uint64_t step = 0; step < kSteps; ++step) {
    std::vector<uint32_t> order = Random_Order(4, 7, 1, step);
    for (int place = 0; place < 4; ++place) ++first_place[order[size_t(place)]][place];
    std::sort(order.begin(), order.end());
    ASSERT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 3}));
  }
  for (auto& agent : first_place) {
    for (int n : agent) EXPECT_NEAR(n, kSteps / 4, kSteps / 40);
  }
}

}  // namespace
}  // namespace quarnel::modelkit
