// What execution and event blocks share: the one allocation of a block (cache-line aligned
// memory from the block arena, whose header is constructed in place, with the cells behind
// it and the free-cell bits beside it), the reset of its header, and its free list of cells,
// kept in address order with the bits beside it (bit i set exactly when cell i is in the
// list), and the lowering of its schedule. The manager that creates a block releases it.
//
// Cells are prepared (block pointer, link, revision written) when the free list first hands
// them out, not when the block is made: cells [_cells_prepared, _num_cells) have never held
// an object, are all free and form the tail of the free list, and nothing reads them. A
// block that holds a few objects touches only their memory, and a bulk fill writes each
// cell once.
//
// Thread safety: Create on the thread that needs the block; Release only for a block that
// no thread steps, allocates from or releases into. The free-list functions other than
// Take_Cell REQUIRE the block's `_free_lock` (or set-up on the controlling thread);
// Lower_Block_Schedule REQUIRES its `_schedule_lock`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include <quarnel/Globals.h>
#include <quarnel/detail/Block_Arena.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Free_Cell_Bits.h>
#include <quarnel/detail/Spin_Lock.h>

// Free cells hold no live object, yet the free list reads and writes their links through
// the object type; these functions are exempt from UBSan's dynamic-type check.
#define QUARNEL_FREE_CELL_ACCESS __attribute__((no_sanitize("vptr")))

namespace quarnel {

// A block of `shape` with cells of `cell_size` bytes, initialised for `manager`.
template <class Block, class Manager>
Block* Create_Block(Manager* manager, Block_Shape shape, uint32_t cell_size) {
  void* memory = Allocate_Block_Memory(shape.bytes);
  auto* block = new (memory) Block();
  block->_block_bytes = shape.bytes;
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

// A fresh header for `manager`: inactive, unscheduled, unclaimed, unowned, unlocked, no cell
// allocated, every cell free and none prepared (the free list is the unprepared tail whole).
template <class Block, class Manager>
void Reset_Block_Header(Block* block, Manager* manager) {
  block->_manager = manager;
  block->_active = block->_in_activation_queue = block->_in_deactivation_queue = false;
  Store_Revision(block->_next_revision, __revision_omega);
  block->_pending_revision = __revision_omega;
  block->_claim_count.exchange(0);
  block->_schedule_lock.Reset();
  block->_stepping_thread.exchange(-1);
  block->_owner_thread.exchange(-1);
  block->_num_allocated = 0;
  block->_free_lock.Reset();
  block->_first_free = block->_num_cells == 0 ? nullptr : block->Cell(0);
  block->_cells_prepared = 0;
  block->_free_bits.Fill(block->_num_cells);
}

// Prepares `cell`, a cell of the free list, if it has never been handed out: it is then the
// first unprepared cell, and its link points at the next one. REQUIRES: `_free_lock`.
template <class Block, class Object>
QUARNEL_FREE_CELL_ACCESS void Prepare_If_New(Block* block, Object* cell) {
  const uint32_t index = block->_cells_prepared;
  if (cell != block->Cell(index)) return;  // below the unprepared tail: prepared already
  block->privPrepare_Cell(cell);
  cell->_next_free = index + 1 < block->_num_cells ? block->Cell(index + 1) : nullptr;
  block->_cells_prepared = index + 1;
}

// Calls `visit(cell)` on every cell of the free list, in its (address) order: the linked
// cells, whose last link leads into the unprepared tail, then that tail. For inspection.
// REQUIRES: `_free_lock`, or no thread changing the block.
template <class Block, class Visit>
QUARNEL_FREE_CELL_ACCESS void For_Each_Free_Cell(Block* block, Visit&& visit) {
  const uint32_t prepared = block->_cells_prepared;
  auto* const tail = prepared < block->_num_cells ? block->Cell(prepared) : nullptr;
  uint32_t listed = 0;  // bounds the walk of a list that would loop
  for (auto* cell = block->_first_free; cell != nullptr && listed <= block->_num_cells; ++listed) {
    visit(cell);
    if (cell == tail) {
      for (uint32_t i = prepared + 1; i < block->_num_cells; ++i) visit(block->Cell(i));
      return;
    }
    cell = cell->_next_free;
  }
}

template <class Block, class Object>
uint32_t Cell_Index_In(const Block* block, const Object* cell) {
  const size_t offset = size_t(reinterpret_cast<const char*>(cell) - reinterpret_cast<const char*>(block));
  return uint32_t(offset - Block::_data_offset) / block->_cell_size;  // a block is below 4 GiB
}

// The free cell that follows cell `index` in the free list: the lowest free cell above it
// (the list is sorted by address), or null. Found in the bits, not read from the cell, which
// lies anywhere in the block and is often out of the cache.
template <class Block>
auto Next_Free_After(const Block* block, uint32_t index) -> decltype(block->_first_free) {
  const uint32_t next = block->_free_bits.Lowest_From(index + 1);
  return next == Free_Cell_Bits::kNone ? nullptr : block->Cell(next);
}

// Blocks that step their cells one by one keep a bound on the cells in use.
template <class Block>
void Mark_In_Use(Block* block, uint32_t end) {
  if constexpr (requires { block->privMark_In_Use(end); }) block->privMark_In_Use(end);
}

// Takes the head of the free list (the caller has read it). An empty block joins its
// manager's active set first; a full block leaves the calling thread's list.
template <class Block>
QUARNEL_FREE_CELL_ACCESS void Take_First_Free(Block* block) {
  Prepare_If_New(block, block->_first_free);
  if (block->_num_allocated == 0) block->_manager->privJoin_Active_Set(block);
  // The taken cell's line is the caller's constructor's to write; nothing here waits for it.
  const uint32_t index = Cell_Index_In(block, block->_first_free);
  block->_free_bits.Clear(index);
  block->_first_free = Next_Free_After(block, index);
  // The next allocation's cell, asked for now (its first and last lines): a free cell left
  // by a release lies anywhere in the block, and the constructor writing it would otherwise
  // wait for its line.
  if (char* next = reinterpret_cast<char*>(block->_first_free)) {
    __builtin_prefetch(next, 1);
    __builtin_prefetch(next + block->_cell_size - 1, 1);
  }
  if (++block->_num_allocated == block->_num_cells) {
    block->_manager->_thread_blocks[__thread_id].pop_front();
    block->_owner_thread.exchange(-1);
  }
}

// Takes up to `wanted` cells from the head of the free list at once, in address order, and
// calls `fill(cell)` on each, which must set the cell's block pointer and revision as
// preparing it would; returns how many it took. The bulk form of Take_First_Free for
// set-up: the block joins its manager's active set once, counts once and leaves the calling
// thread's list once when full. REQUIRES: the block's `_free_lock`, the calling thread's list
// has this block in front.
template <class Block, class Fill>
QUARNEL_FREE_CELL_ACCESS uint32_t Take_Free_Cells(Block* block, uint64_t wanted, Fill&& fill) {
  const uint64_t free_cells = block->_num_cells - block->_num_allocated;
  const uint32_t taken = uint32_t(wanted < free_cells ? wanted : free_cells);
  if (block->_num_allocated == 0) {
    // An empty block's free list is every cell in address order (invariant of the free
    // list): walk the cells by stride and clear their bits a word at a time.
    block->_manager->privJoin_Active_Set(block);
    block->_free_bits.Clear_First(taken);
    char* cell = reinterpret_cast<char*>(block->Cell(0));
    const size_t stride = block->_cell_size;
    for (uint32_t k = 0; k < taken; ++k, cell += stride)
      fill(reinterpret_cast<decltype(block->_first_free)>(cell));
    block->_first_free = taken < block->_num_cells ? block->Cell(taken) : nullptr;
    // The filled cells count as prepared: `fill` writes their block pointer and revision.
    if (taken > block->_cells_prepared) block->_cells_prepared = taken;
    Mark_In_Use(block, taken);
  } else {
    auto* cell = block->_first_free;
    uint32_t index = 0;
    for (uint32_t k = 0; k < taken; ++k) {
      Prepare_If_New(block, cell);
      auto* next = cell->_next_free;
      index = Cell_Index_In(block, cell);
      block->_free_bits.Clear(index);
      fill(cell);
      cell = next;
    }
    block->_first_free = cell;
    if (taken > 0) Mark_In_Use(block, index + 1);
  }
  block->_num_allocated += taken;
  if (block->_num_allocated == block->_num_cells) {
    block->_manager->_thread_blocks[__thread_id].pop_front();
    block->_owner_thread.exchange(-1);
  }
  return taken;
}

// Constructs a T from `args` in `cell`. Without arguments T is default-initialised:
// value-initialisation (T()) would zero the whole cell first, the schedule that a stepping
// thread may be reading included.
template <class T, class... Args>
T* Construct_In_Cell(void* cell, Args&&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return new (cell) T;
  } else {
    return new (cell) T(std::forward<Args>(args)...);
  }
}

// The cell an allocation gets: the head of the free list, taken under the block's
// `_free_lock` (always taken here, also during set-up).
template <class Block>
auto Take_Cell(Block* block) {
  Spin_Guard guard(block->_free_lock);
  auto* cell = block->_first_free;
  block->privAllocate();
  return cell;
}

// Gives `cell` back to the free list, in address order: a full block becomes the calling
// thread's again; otherwise the cell is linked in after the free cell just below it, which
// the bits find 64 cells at a time. `_num_allocated` is left to the caller.
template <class Block, class Object>
QUARNEL_FREE_CELL_ACCESS void Return_Free_Cell(Block* block, Object* cell) {
  const uint32_t index = Cell_Index_In(block, cell);
  if (block->_num_allocated == block->_num_cells) {
    block->_first_free = cell;
    cell->_next_free = nullptr;
    block->_free_bits.Set(index);
    block->_manager->_thread_blocks[__thread_id].push_back(block);
    block->_owner_thread.exchange(__thread_id);
    return;
  }
  const uint32_t below = block->_free_bits.Highest_Below(index);
  block->_free_bits.Set(index);
  if (below == Free_Cell_Bits::kNone) {
    cell->_next_free = block->_first_free;
    block->_first_free = cell;
    return;
  }
  // The cell below is written, never read, so its miss does not hold the release up.
  cell->_next_free = Next_Free_After(block, index);
  block->Cell(below)->_next_free = cell;
}

// Asks `block` to be stepped no later than `revision` while the World runs, `now` being the
// revision stepped. A block that is due keeps the request as pending until the end of its
// step. A request for `now` makes a block that was not due due at once, and a worker may step
// it before the requester has stored the object's own schedule (that comes after this call):
// kept as pending too, it survives such a step, which then leaves the block due for the
// extra cycle its manager runs at this revision.
template <class Block>
void Lower_Block_Schedule(Block* block, Revision revision, Revision now) {
  if (Load_Revision(block->_next_revision) == now) {
    block->_pending_revision = min(block->_pending_revision, revision);
    return;
  }
  Store_Revision(block->_next_revision, min(Load_Revision(block->_next_revision), revision));
  if (revision == now) block->_pending_revision = now;
}

template <class Block>
void Release_Block(Block* block) {
  const uint32_t bytes = block->_block_bytes;
  block->_free_bits.Release();
  block->~Block();
  Release_Block_Memory(block, bytes);
}

}  // namespace quarnel
