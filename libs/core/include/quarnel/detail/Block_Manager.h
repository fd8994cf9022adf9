// What the execution and the event managers share beyond their block pool: creating a
// thread's block, blocks joining and leaving the active set, the chunked step with its
// end-of-revision update, and the per-thread clean-up. `Derived` is the manager kind
// (Execution_Component_Manager_Base or Event_Component_Manager_Base) and `Block` its block.
//
// Thread safety: as stated by the two manager headers, which this base serves unchanged.
//  - privAllocate: the thread whose list it reads (the calling thread).
//  - privJoin_Active_Set / Deactivate_Block: any thread; REQUIRES the block's `_free_lock`
//    while the World runs.
//  - Step: every worker of a due manager; the last one runs Update under `_schedule_lock`.
//  - Initialize / Release_Blocks_And_Arrays / privFor_Each_Allocated_Cell: controlling
//    thread, no worker stepping.
#pragma once

#include <cstdint>
#include <string>

#include <quarnel/detail/Block_Pool.h>
#include <quarnel/detail/Scheduled_Component_Manager.h>

namespace quarnel {

template <class Derived, class Block>
class Block_Manager : public Scheduled_Component_Manager_Base, public Block_Pool<Block> {
 public:
  Block_Manager(unsigned int component_id, std::string name);

  void Initialize() override;

  // Steps this thread's share of the active set; the last thread runs Update().
  void Step(Revision& revision) override;
  // End of the due revision. REQUIRES: `_schedule_lock`, every thread done walking.
  void Update();
  // Releases surplus empty blocks of the calling thread's list.
  void Clean_Up_Thread_Memory();

  // The front block of the calling thread's list, created if the list is empty.
  Block* privAllocate();
  // A block became empty. REQUIRES: the block's `_free_lock` while the World runs.
  void Deactivate_Block(Block* block);
  // A block receives its first object. REQUIRES: the block's `_free_lock`.
  void privJoin_Active_Set(Block* block);
  // The World runs and this manager is due in the revision being stepped.
  bool Is_Due() const;

  // Calls `visit(cell)` (a Block's cell pointer) for every allocated cell: the blocks of the
  // active set in the order in which they joined it, then the blocks waiting to join it,
  // each block by cell address. Free cells are known by the block's free-cell bits, read a
  // word at a time up to the block's prepared cells (a cell never handed out holds nothing).
  // REQUIRES: no worker stepping; `visit` neither allocates nor releases this type's objects.
  template <class F>
  void privFor_Each_Allocated_Cell(F&& visit) const {
    auto walk = [&visit](const Block* block) {
      if (block->_num_allocated == 0) return;
      block->_free_bits.For_Each_Clear(block->_cells_prepared, [&](uint32_t i) {
        // A walk reads every cell once, and waits on memory unless it asks ahead (a prefetch
        // past the block's end is dropped, never a fault).
        __builtin_prefetch(reinterpret_cast<const char*>(block->Cell(i)) + 16 * block->_cell_size);
        visit(block->Cell(i));
      });
    };
    for (const Block* block : this->_active_blocks) walk(block);
    for (const Block& block : this->_activation_queue) walk(&block);
  }

 protected:
  // Releases every block and the per-thread arrays; true if a block was still queued.
  bool Release_Blocks_And_Arrays();

 private:
  Block* privCreate_Block(int thread);
};

}  // namespace quarnel
