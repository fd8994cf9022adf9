// Random orders: each is a permutation, each is reproducible, and over many steps every agent
// takes every place about equally often (the shuffle is not biased).
#include <quarnel/modelkit/Random_Order.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

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

// The indices are 32-bit: an order of more than 2^32 agents would repeat indices, so it is
// refused at once, before any memory is taken.
TEST(Random_Order_Test, More_Agents_Than_32_Bit_Indices_Hold_Is_Refused) {
  const size_t too_many = size_t(UINT32_MAX) + 2;
  try {
    Random_Order(too_many, 1, 2, 3);
    ADD_FAILURE() << "not refused";
  } catch (const std::length_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Random_Order: 4294967297 indices, more than 32-bit indices hold (2^32)");
  }
  EXPECT_THROW(Random_Order(SIZE_MAX, 1, 2, 3), std::length_error);
}

}  // namespace
}  // namespace quarnel::modelkit
