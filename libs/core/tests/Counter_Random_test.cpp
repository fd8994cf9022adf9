// The counter-based random stream: a draw is a function of (seed, key, counter, index) only.
#include <quarnel/Counter_Random.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "Test_Support.h"

namespace quarnel {
namespace {

// Published known-answer vectors of Philox4x64-10 (counter, key -> four output words). With
// index i the stream reads counter word 1 = i / 4 and output word i % 4, so draws 0..3 of
// (seed 0, key 0, counter 0) are the first vector's outputs.
TEST(Counter_Random_Test, The_Stream_Is_Philox4x64_10_As_Published) {
  const Counter_Random zeros(0, 0, uint64_t(0));
  EXPECT_EQ(zeros.U64(0), 0x16554d9eca36314cull);
  EXPECT_EQ(zeros.U64(1), 0xdb20fe9d672d0fdcull);
  EXPECT_EQ(zeros.U64(2), 0xd7e772cee186176bull);
  EXPECT_EQ(zeros.U64(3), 0x7e68b68aec7ba23bull);
  // Counter (c, i/4, 0, 0): the published vector with counter (~0, ~0, ~0, ~0) is out of the
  // stream's reach, so check the library directly against it, then the stream's mapping.
  Counter_Random::Philox philox;
  const Counter_Random::Philox::ctr_type ones = {{~0ull, ~0ull, ~0ull, ~0ull}};
  EXPECT_EQ(philox(ones, {{~0ull, ~0ull}})[0], 0x87b092c3013fe90bull);
  const Counter_Random::Philox::ctr_type at = {{7, 5, 0, 0}};
  EXPECT_EQ(Counter_Random(3, 4, uint64_t(7)).U64(5 * 4 + 2), philox(at, {{3, 4}})[2]);
}

TEST(Counter_Random_Test, Sequential_Draws_Are_The_Random_Access_Draws_On_Any_Thread) {
  const Counter_Random reference(42, 1001, Revision(17, 0));
  std::vector<uint64_t> expected(11);
  for (uint64_t i = 0; i < expected.size(); ++i) expected[i] = reference.U64(i);

  std::vector<std::vector<uint64_t>> seen(6);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&seen, t] {
      Counter_Random stream(42, 1001, Revision(17, 0));
      for (int i = 0; i < 11; ++i) seen[t].push_back(stream.Next_U64());
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& draws : seen) EXPECT_EQ(draws, expected);

  Counter_Random stream(42, 1001, Revision(17, 0));
  EXPECT_EQ(stream.Next_U64(), expected[0]);
  EXPECT_EQ(stream.Next_Uniform(), Counter_Random::To_Unit(expected[1]));
  EXPECT_EQ(stream.next_index(), 2u);
}

TEST(Counter_Random_Test, Every_Input_Changes_The_Draw) {
  std::set<uint64_t> draws;
  size_t made = 0;
  for (uint64_t seed : {uint64_t(0), uint64_t(1), uint64_t(2), ~uint64_t(0)})
    for (uint64_t key = 0; key < 12; ++key)
      for (uint64_t counter : {uint64_t(0), uint64_t(1), Revision(1, 0)._revision, Revision(2, 0)._revision})
        for (uint64_t index = 0; index < 9; ++index) {
          draws.insert(Counter_Random(seed, key, counter).U64(index));
          ++made;
        }
  EXPECT_EQ(draws.size(), made);
}

TEST(Counter_Random_Test, The_Unit_Conversion_Maps_The_Extremes_Into_The_Half_Open_Interval) {
  EXPECT_EQ(Counter_Random::To_Unit(0), 0.0);
  EXPECT_LT(Counter_Random::To_Unit(~0ull), 1.0);
  EXPECT_EQ(Counter_Random::To_Unit(~0ull), 1.0 - 0x1.0p-53);
}

TEST(Counter_Random_Test, Bounded_Draws_Cover_Their_Range_Without_Bias) {
  Counter_Random stream(5, 6, uint64_t(7));
  std::vector<int> counts(6, 0);
  for (int i = 0; i < 60000; ++i) {
    const uint64_t v = stream.Next_Below(6);
    ASSERT_LT(v, 6u);
    ++counts[v];
  }
  for (int c : counts) EXPECT_NEAR(c, 10000, 500);
  EXPECT_EQ(stream.Next_Below(1), 0u);
  // A bound just above 2^63 rejects about half the draws; the values still stay below it.
  const uint64_t big = (1ull << 63) + 12345;
  const uint64_t before = stream.next_index();
  for (int i = 0; i < 1000; ++i) ASSERT_LT(stream.Next_Below(big), big);
  EXPECT_GT(stream.next_index() - before, 1200u);

  ::testing::internal::CaptureStderr();
  const std::string text = testing::Thrown_Text([&] { stream.Next_Below(0); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(text, "An exception occurred, check your logs: Counter_Random::Next_Below needs a bound above 0");
}

}  // namespace
}  // namespace quarnel
