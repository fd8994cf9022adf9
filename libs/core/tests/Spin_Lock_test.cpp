// The stepping path's lock under contention: more threads than cores, each holding it for a
// few instructions at a time, as allocations and schedule changes of many workers do. Every
// increment of an unprotected counter made under the lock must survive (and ThreadSanitizer
// sees the lock's ordering: a hold that leaked would be reported as a race).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {
namespace {

TEST(Spin_Lock_Test, Contended_Holders_Exclude_Each_Other) {
  constexpr int kThreads = 6, kRounds = 20000;
  Spin_Lock lock;
  int64_t counter = 0;  // guarded by `lock`
  int64_t pairs = 0;    // changed twice per hold: odd only inside a hold
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        Spin_Guard guard(lock);
        ++pairs;
        ++counter;
        ++pairs;
        EXPECT_EQ(pairs % 2, 0) << "two holders at once";
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, int64_t(kThreads) * kRounds);
  EXPECT_FALSE(lock.Is_Locked());
}

}  // namespace
}  // namespace quarnel
