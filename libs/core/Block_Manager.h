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
//  - Initialize / Release_Blocks_And_Arrays: controlling thread, no worker stepping.
#pragma once

#include <cstdint>
#include <string>

#include "Block_Pool.h"
#include "Scheduled_Component_Manager.h"

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

 protected:
  // Releases every block and the per-thread arrays; true if a block was still queued.
  bool Release_Blocks_And_Arrays();

 private:
  Block* privCreate_Block(int thread);
};

}  // namespace quarnel
