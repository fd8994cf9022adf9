// The block arena: block memory that does not overlap, is reused only for its own size while
// blocks live, survives a region boundary, and is carved again from the start once no block
// lives.
#include <quarnel/detail/Block_Arena.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace quarnel {
namespace {

bool Aligned(void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % 64 == 0;
}

// Blocks across several regions, each filled with its own byte: none overlaps another. Once
// the last is freed, blocks of another size are carved from the same regions, from the first.
TEST(Block_Arena_Test, Blocks_Across_Regions_Keep_Their_Contents_And_The_Regions_Serve_The_Next_Run) {
  Block_Arena arena;
  constexpr std::size_t kBytes = 65536 + 64;  // 31 to a region: the remainders are skipped
  std::vector<unsigned char*> blocks;
  for (int i = 0; i < 100; ++i) {
    blocks.push_back(static_cast<unsigned char*>(arena.Allocate(kBytes)));
    ASSERT_TRUE(Aligned(blocks.back()));
    std::memset(blocks.back(), i, kBytes);
  }
  EXPECT_EQ(arena.mappings(), 4u);  // ceil(100 / 31)
  for (int i = 0; i < 100; ++i) {
    const unsigned char* b = blocks[size_t(i)];
    ASSERT_TRUE(std::all_of(b, b + kBytes, [i](unsigned char c) { return c == i; })) << "block " << i;
  }
  for (unsigned char* b : blocks) arena.Release(b, kBytes);
  EXPECT_EQ(arena.mappings(), 4u);
  std::vector<unsigned char*> next;
  for (int i = 0; i < 120; ++i) {
    next.push_back(static_cast<unsigned char*>(arena.Allocate(32768)));  // 64 to a region
    std::memset(next.back(), i, 32768);
  }
  EXPECT_EQ(next.front(), blocks.front());
  EXPECT_EQ(arena.mappings(), 4u);
  for (int i = 0; i < 120; ++i) {
    const unsigned char* b = next[size_t(i)];
    ASSERT_TRUE(std::all_of(b, b + 32768, [i](unsigned char c) { return c == i; })) << "block " << i;
  }
  for (unsigned char* b : next) arena.Release(b, 32768);
}

TEST(Block_Arena_Test, Released_Memory_Is_Reused_For_Its_Own_Size_Only) {
  Block_Arena arena;
  void* keep = arena.Allocate(512);  // keeps the region mapped
  void* a = arena.Allocate(4096);
  arena.Release(a, 4096);
  void* b = arena.Allocate(8192);
  EXPECT_NE(b, a);
  EXPECT_EQ(arena.Allocate(4096), a);
  // Sizes are rounded to cache lines: 4000 bytes is the same size as 4032.
  void* c = arena.Allocate(4000);
  arena.Release(c, 4000);
  EXPECT_EQ(arena.Allocate(4032), c);
  arena.Release(keep, 512);
  arena.Release(a, 4096);
  arena.Release(b, 8192);
  arena.Release(c, 4032);
  EXPECT_EQ(arena.mappings(), 1u);
}

TEST(Block_Arena_Test, A_Block_Larger_Than_Half_A_Region_Has_A_Mapping_Of_Its_Own) {
  Block_Arena arena;
  void* small = arena.Allocate(1024);
  const std::size_t big_bytes = Block_Arena::kRegion_Bytes + 4096;
  auto* big = static_cast<unsigned char*>(arena.Allocate(big_bytes));
  EXPECT_EQ(arena.mappings(), 2u);
  std::memset(big, 7, big_bytes);  // every byte is mapped
  EXPECT_EQ(big[big_bytes - 1], 7);
  arena.Release(big, big_bytes);
  EXPECT_EQ(arena.mappings(), 1u);
  arena.Release(small, 1024);
  EXPECT_EQ(arena.mappings(), 1u);  // the region stays for the next run
}

// Two threads make and free blocks at once: no address is handed to both.
TEST(Block_Arena_Test, Threads_Get_Distinct_Blocks) {
  Block_Arena arena;
  void* keep = arena.Allocate(256);
  std::vector<std::pair<unsigned char*, int>> made[2];
  auto work = [&](int t) {
    for (int i = 0; i < 2000; ++i) {
      auto* p = static_cast<unsigned char*>(arena.Allocate(1024));
      std::memset(p, t + 1, 1024);
      made[t].push_back({p, t + 1});
      if (i % 3 == 2) {  // free every third, so the lists are reused
        arena.Release(made[t].front().first, 1024);
        made[t].erase(made[t].begin());
      }
    }
  };
  std::thread other(work, 1);
  work(0);
  other.join();
  std::vector<unsigned char*> all;
  for (auto& list : made) {
    for (auto& [p, value] : list) {
      EXPECT_TRUE(std::all_of(p, p + 1024, [value](unsigned char c) { return c == value; }));
      all.push_back(p);
    }
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  for (auto& list : made)
    for (auto& [p, value] : list) arena.Release(p, 1024);
  arena.Release(keep, 256);
}

}  // namespace
}  // namespace quarnel
