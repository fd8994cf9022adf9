// The bits that place a released cell in its block's address-ordered free list, alone and
// inside blocks under long random sequences of allocations and releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <type_traits>
#include <vector>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/detail/Event_Block.h>
#include <quarnel/detail/Execution_Block.h>
#include <quarnel/detail/Free_Cell_Bits.h>
#include "Execution_Run.h"

namespace quarnel {
namespace {

// Highest_Below, Lowest_From (up to the cell count itself) and For_Each_Clear against a plain
// scan, for sizes on both sides of the inline word and of word boundaries, with sparse and
// dense random patterns.
TEST(Free_Cell_Bits_Test, The_Searches_Agree_With_A_Plain_Scan) {
  std::mt19937 random(11);
  for (uint32_t cells : {1u, 2u, 63u, 64u, 65u, 128u, 1022u}) {
    for (int density : {2, 50, 98}) {
      Free_Cell_Bits bits;
      bits.Create(cells);
      bits.Fill(cells);
      std::vector<bool> model(cells, true);
      for (uint32_t i = 0; i < cells; ++i) {
        if (int(random() % 100) >= density) {
          bits.Clear(i);
          model[i] = false;
        }
      }
      for (uint32_t i = 0; i < cells; ++i) {
        uint32_t expected = Free_Cell_Bits::kNone;
        for (uint32_t j = 0; j < i; ++j) {
          if (model[j]) expected = j;
        }
        ASSERT_EQ(bits.Highest_Below(i), expected) << cells << " cells, index " << i;
        ASSERT_EQ(bits.Test(i), bool(model[i]));
      }
      for (uint32_t i = 0; i <= cells; ++i) {
        uint32_t expected = Free_Cell_Bits::kNone;
        for (uint32_t j = cells; j > i; --j) {
          if (model[j - 1]) expected = j - 1;
        }
        ASSERT_EQ(bits.Lowest_From(i), expected) << cells << " cells, from " << i;
      }
      for (uint32_t end : {0u, cells / 2, cells - 1, cells}) {
        std::vector<uint32_t> expected, visited;
        for (uint32_t i = 0; i < end; ++i) {
          if (!model[i]) expected.push_back(i);
        }
        bits.For_Each_Clear(end, [&](uint32_t i) { visited.push_back(i); });
        ASSERT_EQ(visited, expected) << cells << " cells, end " << end;
      }
      bits.Release();
    }
  }
}

struct MT_Free {};
class Free_Agent : public Quarnel_Component<MT_Free, TypeList<NULLTYPE, TypeList<Free_Agent, NULLTYPE>>,
                                            Execution_Object> {};
class Free_Event
    : public Quarnel_Component<MT_Free, TypeList<NULLTYPE, TypeList<Free_Event, NULLTYPE>>, Event_Object> {};

Execution_Block* Block_Of(Free_Agent* agent) {
  return agent->_execution_block;
}
Event_Block* Block_Of(Free_Event* event) {
  return event->_event_block;
}

template <class Block, class Cell>
uint32_t Index_Of(Block* block, Cell* cell) {
  return uint32_t((reinterpret_cast<char*>(cell) - reinterpret_cast<char*>(block->Cell(0))) /
                  block->_cell_size);
}

// The block's free list must be the model's set in ascending order, and the bits must agree.
// Free cells hold no live object: the walk is exempt from UBSan's dynamic-type check, as the
// blocks' own code is.
template <class Block>
__attribute__((no_sanitize("vptr"))) void Expect_Free_List(Block* block, const std::set<uint32_t>& free) {
  std::vector<uint32_t> listed;
  For_Each_Free_Cell(block, [&](auto* cell) { listed.push_back(Index_Of(block, cell)); });
  ASSERT_EQ(listed, std::vector<uint32_t>(free.begin(), free.end()));
  for (uint32_t i = 0; i < block->_num_cells; ++i) ASSERT_EQ(block->_free_bits.Test(i), free.count(i) == 1);
  ASSERT_EQ(block->_num_allocated, block->_num_cells - free.size());
}

// Random allocations and releases of T (in bursts, so blocks fill, empty and refill): every
// allocation takes the lowest free cell of its block, and after every operation each block's
// free list holds exactly its free cells in ascending address order.
template <class T>
void Check_Random_Releases(uint32_t seed) {
  using Block = std::remove_pointer_t<decltype(Block_Of(static_cast<T*>(nullptr)))>;
  std::mt19937 random(seed);
  std::vector<T*> live;
  std::map<Block*, std::set<uint32_t>> model;  // the free cells of every block
  for (int round = 0; round < 40; ++round) {
    const int allocations = int(random() % 300);
    for (int k = 0; k < allocations; ++k) {
      T* object = Allocate<T>();
      Block* block = Block_Of(object);
      if (!model.count(block)) {
        for (uint32_t i = 0; i < block->_num_cells; ++i) model[block].insert(i);
      }
      std::set<uint32_t>& free = model[block];
      ASSERT_FALSE(free.empty());
      ASSERT_EQ(Index_Of(block, object), *free.begin()) << "not the lowest free cell";
      free.erase(free.begin());
      live.push_back(object);
      ASSERT_NO_FATAL_FAILURE(Expect_Free_List(block, free));
    }
    std::shuffle(live.begin(), live.end(), random);
    const size_t releases = live.empty() ? 0 : random() % (live.size() + 1);
    for (size_t k = 0; k < releases; ++k) {
      T* object = live.back();
      live.pop_back();
      Block* block = Block_Of(object);
      model[block].insert(Index_Of(block, object));
      Free(object);
      ASSERT_NO_FATAL_FAILURE(Expect_Free_List(block, model[block]));
    }
  }
  for (T* object : live) Free(object);
}

class Free_List_Test : public testing::Execution_Run_Test, public ::testing::WithParamInterface<int> {};

TEST_P(Free_List_Test, Random_Releases_Keep_Agent_Free_Lists_Sorted_And_Allocation_Lowest_First) {
  Start(1, GetParam());
  Check_Random_Releases<Free_Agent>(static_cast<uint32_t>(GetParam()));
}

TEST_P(Free_List_Test, Random_Releases_Keep_Event_Free_Lists_Sorted_And_Allocation_Lowest_First) {
  Start(1, GetParam());
  Check_Random_Releases<Free_Event>(static_cast<uint32_t>(GetParam()) + 1);
}

// Objects per block 3, 200 and 1000: agent blocks of 6, 254 and 1022 cells (one inline word,
// several words), event blocks of 5, 253 and 1021.
INSTANTIATE_TEST_SUITE_P(Block_Sizes, Free_List_Test, ::testing::Values(3, 200, 1000));

}  // namespace
}  // namespace quarnel
