// The one allocation of a memory block: a cache-line aligned byte array whose header is
// constructed in place, with the cells behind it and the block's free-cell bits beside it.
// Shared by execution and event blocks; the manager that creates a block releases it.
//
// Thread safety: Create on the thread that needs the block; Release only for a block that
// no thread steps, allocates from or releases into.
#pragma once

#include <cstdint>
#include <new>

#include "Block_Sizing.h"
#include "Globals.h"

namespace quarnel {

// A block of `shape` with cells of `cell_size` bytes, initialised for `manager`.
template <class Block, class Manager>
Block* Create_Block(Manager* manager, Block_Shape shape, uint32_t cell_size) {
  char* memory = new (std::align_val_t(__cache_line_size)) char[shape.bytes];
  auto* block = new (memory) Block();
  block->_cell_size = cell_size;
  block->_num_cells = shape.cells;
  try {
    block->_free_bits.Create(shape.cells);
  } catch (...) {
    Release_Block(block);
    throw;
  }
  block->Initialize(manager);
  return block;
}

template <class Block>
void Release_Block(Block* block) {
  block->_free_bits.Release();
  block->~Block();
  ::operator delete[](reinterpret_cast<char*>(block), std::align_val_t(__cache_line_size));
}

}  // namespace quarnel
