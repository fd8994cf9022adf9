// An execution block: one allocation holding a 128-byte header followed by equal cells,
// each holding one execution object. The block keeps its free cells, counts its objects,
// carries its own schedule and is stepped as a whole.
//
// Layout: cell i starts at block + _data_offset + i * _cell_size. The header is two cache
// lines and the stride whole cache lines, so with the cache-line-aligned allocation made by
// Create no cell shares a line with the header or another cell.
//
// Thread safety:
//  - Step: only the thread that claimed the block's chunk, once per due revision.
//  - Update_Schedule: any thread (under `_schedule_lock`).
//  - privAllocate: REQUIRES `_free_lock`, the calling thread's list has this block in front.
//  - privFree: any thread; takes `_free_lock` while the World runs (set-up is one thread).
//  Lock order: `_free_lock` -> manager `_schedule_lock`; `_free_lock` -> `_schedule_lock`.
//
// Invariants:
//  1. The free list holds exactly _num_cells - _num_allocated cells in strictly ascending
//     address order, linked through `_next_free` up to the unprepared tail (Block_Memory.h);
//     allocation takes the lowest.
//  2. Every prepared cell's `_execution_block` is this block; cells from `_cells_prepared`
//     on have never been handed out and are read by no one (Block_Memory.h).
//  3. _num_allocated == _num_cells exactly when no thread's list holds the block
//     (`_owner_thread` is then -1).
//  4. A cell released by a handler keeps the revision it has after the call (__revision_free,
//     or the revision of a new object that reused the cell); the handler's response is not
//     stored into it.
//  5. A handler's answer is never earlier than the revision being stepped (a fatal error
//     otherwise), so no cell's revision goes back.
//  6. `_next_revision` changes from the current revision only at the end of the block's
//     step, so a request made while the block is due always lands in `_pending_revision`.
//     A request for the revision being stepped made while the block is not due lands in both:
//     the block may then be stepped before the object's own revision is stored, and the
//     pending request keeps it due for the extra cycle at that revision.
//  7. `_free_bits` has the bit of cell i set exactly when cell i is in the free list.
//  8. Every allocated cell lies below `_cells_in_use`, which only grows while the block holds
//     an object and drops to 0 when it empties; Step walks the cells below it, so a block
//     that is mostly free costs what it holds (the lowest free cell is always taken first).
//
// Ownership: the manager creates and releases blocks (Create / Release); the header is
// constructed in place and owns only the storage of `_free_bits` beyond one word.
#pragma once

#include <atomic>
#include <boost/intrusive/list.hpp>
#include <cstdint>

#include <quarnel/Execution_Object.h>
#include <quarnel/Globals.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Free_Cell_Bits.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

class Execution_Component_Manager_Base;
struct Run_Digest;

class Execution_Block
    : public boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::normal_link>> {
 public:
  static uint32_t _data_offset;  // 128: the header's bytes before cell 0

  // A new block of `shape` with cells of `cell_size` bytes, initialised for `manager`.
  static Execution_Block* Create(Execution_Component_Manager_Base* manager, Block_Shape shape,
                                 uint32_t cell_size);
  static void Release(Execution_Block* block);

  // Prepares a block whose `_cell_size` and `_num_cells` are set: all cells free, none
  // prepared (the cells are not touched).
  void Initialize(Execution_Component_Manager_Base* manager);
  // Writes what a cell holds before it is first handed out: its block and no schedule.
  // REQUIRES: `_free_lock`.
  void privPrepare_Cell(Execution_Object* cell);
  // Takes the head of the free list (the caller has read it). An empty block joins its
  // manager's active set first: checked under `_free_lock`, so a concurrent release of the
  // block's last object cannot leave it non-empty and inactive. A full block leaves the
  // calling thread's list. REQUIRES: `_free_lock`.
  void privAllocate();
  // Returns `object`'s cell to the free list; an emptied block leaves the active set.
  void privFree(Execution_Object* object);
  // Ask for the lines a release of a cell of this block writes, ahead of the release: the
  // header's (Prefetch_Header), then, once the header has arrived, the free-cell bits' word of
  // `cell` (Prefetch_Free_Bits, which reads the bits' address from the header). They change
  // nothing; any thread, while the block is live.
  void Prefetch_Header() const {
    __builtin_prefetch(this, 1);
    __builtin_prefetch(reinterpret_cast<const char*>(this) + 64, 1);
  }
  void Prefetch_Free_Bits(const Execution_Object* cell) const {
    const size_t offset = size_t(reinterpret_cast<const char*>(cell) - reinterpret_cast<const char*>(this));
    _free_bits.Prefetch(uint32_t(offset - _data_offset) / _cell_size);
  }
  // Calls every object due now; `revision` receives the block's new next revision.
  void Step(Revision& revision);
  // Asks the block to be stepped no later than `revision`.
  void Update_Schedule(const Revision& revision);

  // The revision cell i holds now (free cells included); for inspection. REQUIRES: cell i
  // has been handed out at least once (i < `_cells_prepared`).
  Revision Cell_Revision(uint32_t i) const;

  Execution_Object* Cell(uint32_t i) const {
    return reinterpret_cast<Execution_Object*>(reinterpret_cast<char*>(const_cast<Execution_Block*>(this)) +
                                               _data_offset + size_t(i) * _cell_size);
  }

  Execution_Component_Manager_Base* _manager = nullptr;
  Revision _next_revision;                  // written under `_schedule_lock`, read with Load_Revision
  Revision _pending_revision;               // guarded by `_schedule_lock`
  Execution_Object* _first_free = nullptr;  // guarded by `_free_lock`
  std::atomic<int32_t> _claim_count{0};
  Spin_Lock _schedule_lock;
  std::atomic<int32_t> _stepping_thread{-1};  // for inspection only
  Spin_Lock _free_lock;
  uint32_t _block_bytes = 0;  // the whole allocation, header included
  uint32_t _cell_size = 0;
  uint32_t _num_cells = 0;
  uint32_t _num_allocated = 0;   // guarded by `_free_lock`
  uint32_t _cells_prepared = 0;  // guarded by `_free_lock`
  // Set membership, guarded by the manager's `_schedule_lock` (see Block_Pool).
  bool _active = false;
  bool _in_activation_queue = false;
  bool _in_deactivation_queue = false;
  std::atomic<int32_t> _owner_thread{-1};
  Free_Cell_Bits _free_bits;  // which cells are free; guarded by `_free_lock`
  // Invariant 8; written under `_free_lock`, read by Step without it: a cell allocated while
  // the block is stepped is not due before the next cycle (its schedule is pending).
  std::atomic<uint32_t> _cells_in_use{0};

  // Cells [0, end) may hold objects now; released, so that Step, which acquires the bound,
  // sees those cells prepared. REQUIRES: `_free_lock`.
  void privMark_In_Use(uint32_t end) {
    if (end > _cells_in_use.load(std::memory_order_relaxed))
      _cells_in_use.store(end, std::memory_order_release);
  }

 private:
  void privForget_Schedule();
  Revision privCall(Execution_Object* cell, Event_Response& response, Revision now);
  [[noreturn]] void privRefuse_Answer(Revision answer, Revision now) const;
  // The cell loop of Step; with Fingerprinted, each call is also added to `fingerprint`.
  template <bool Fingerprinted>
  Revision privStep_Cells(Revision now, Run_Digest* fingerprint);
};

}  // namespace quarnel
