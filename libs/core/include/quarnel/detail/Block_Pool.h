// The block sets of a scheduled manager, shared by the execution and the event side: the
// active set that is stepped, the two queues that defer changes to it while the manager is
// due, the per-thread lists of blocks with free cells, the chunk-claim walk of a step, the
// clean-up of surplus empty blocks and the release of every block at the end of a run.
//
// Block must provide: a boost::intrusive list_base_hook (normal_link); `bool _active,
// _in_activation_queue, _in_deactivation_queue`; `std::atomic<int32_t> _claim_count`;
// `Revision _next_revision` and `void Step(Revision&)`; `uint32_t _num_allocated` and
// `Spin_Lock _free_lock`; `static void Release(Block*)`.
//
// Thread safety:
//  - Join / Leave / Apply_Queues: REQUIRES the manager's `_schedule_lock`. While the manager
//    is due ("due" = the World runs and the manager's next revision is the one being
//    stepped) other threads may be walking `_active_blocks`, so Join and Leave only queue;
//    Apply_Queues runs when no thread walks (the last thread of the manager's step).
//  - Step_Chunks: every worker of a due manager, concurrently; reads `_active_blocks`
//    without a lock (it does not change while the manager is due).
//  - `_thread_blocks[t]` and Clean_Up(t, ...): thread t only.
//  - Create_Thread_Lists / Release_All: controlling thread, no worker stepping.
//
// Invariants:
//  1. A block is in `_activation_queue` exactly when `_in_activation_queue`, and in
//     `_deactivation_queue` exactly when `_in_deactivation_queue`; each at most once.
//  2. `_active` is true exactly when the block is in `_active_blocks`, which holds no block
//     twice.
//  3. A block in a queue or in the active set is never released by Clean_Up.
//  4. Between two due steps every claim counter is 0.
#pragma once

#include <algorithm>
#include <atomic>
#include <boost/intrusive/list.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include <quarnel/Globals.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

template <class Block>
class Block_Pool {
 public:
  using Activation_Queue = boost::intrusive::list<Block, boost::intrusive::constant_time_size<true>>;

  // The block has become non-empty. REQUIRES: manager `_schedule_lock`.
  void Join(Block* block, bool due) {
    if (block->_in_deactivation_queue) {  // it emptied earlier in this due revision: it stays
      Remove(_deactivation_queue, block);
      block->_in_deactivation_queue = false;
      return;
    }
    if (block->_active || block->_in_activation_queue) return;
    if (due) {
      _activation_queue.push_back(*block);
      block->_in_activation_queue = true;
    } else {
      _active_blocks.push_back(block);
      block->_active = true;
    }
  }

  // The block has become empty. REQUIRES: manager `_schedule_lock`.
  void Leave(Block* block, bool due) {
    if (due) {
      if (block->_in_deactivation_queue) return;
      _deactivation_queue.push_back(block);
      block->_in_deactivation_queue = true;
      return;
    }
    Leave_Now(block);
  }

  // End-of-revision bookkeeping. REQUIRES: manager `_schedule_lock`, no thread walking.
  void Apply_Queues() {
    for (Block* block : _deactivation_queue) {
      block->_in_deactivation_queue = false;
      Leave_Now(block);
    }
    _deactivation_queue.clear();
    while (!_activation_queue.empty()) {
      Block& block = _activation_queue.front();
      _activation_queue.pop_front();
      block._in_activation_queue = false;
      _active_blocks.push_back(&block);
      block._active = true;
    }
  }

  // The chunk-claim walk: every caller passes every chunk once; the first to claim a chunk
  // steps its due blocks. Returns the smallest next revision of the blocks this caller
  // claimed (stepped or not). Worker t starts its walk at the t-th of num_threads equal
  // parts of the chunks and wraps around, so in a steady run each worker mostly steps the
  // blocks it stepped the cycle before, still in its cache, and takes others' only once its
  // own part is done.
  Revision Step_Chunks(Revision now, uint32_t num_threads, uint32_t chunk, uint32_t thread) {
    Revision low = __revision_omega;
    const size_t n = _active_blocks.size();
    const size_t chunks = (n + chunk - 1) / chunk;
    const size_t start = thread < num_threads ? chunks * thread / num_threads : 0;
    for (size_t k = 0, c = start; k < chunks; ++k, c = c + 1 == chunks ? 0 : c + 1) {
      const size_t first = c * chunk;
      Block* head = _active_blocks[first];
      const int32_t claim = head->_claim_count.fetch_add(1) + 1;
      if (claim == 1) low = min(low, Step_Range(first, std::min(n, first + chunk), now));
      if (uint32_t(claim) == num_threads) head->_claim_count.exchange(0);  // last to pass
    }
    return low;
  }

  // Releases empty, inactive, unqueued blocks of thread t's list once it holds more than
  // `max` empty blocks, until it holds `keep`. REQUIRES: thread t.
  void Clean_Up(int t, std::atomic<uint32_t>& empty_blocks, uint32_t max, uint32_t keep,
                Spin_Lock& schedule_lock) {
    if (empty_blocks.load(std::memory_order_relaxed) <= max) return;
    std::deque<Block*>& list = _thread_blocks[t];
    for (auto it = list.begin(); it != list.end();) {
      if (!Releasable(*it, schedule_lock)) {
        ++it;
        continue;
      }
      Block* block = *it;
      it = list.erase(it);
      Block::Release(block);
      if (empty_blocks.fetch_sub(1) - 1 <= keep) return;
    }
  }

  // One empty list per thread index 0 .. slots - 1.
  void Create_Thread_Lists(uint32_t slots) {
    _thread_blocks = std::make_unique<std::deque<Block*>[]>(slots);
    _thread_slots = slots;
  }

  // Releases every block the pool knows (active, queued, or only in a thread list) and
  // empties every set. Returns whether a queue still held blocks.
  bool Release_All() {
    const bool queued = !_activation_queue.empty() || !_deactivation_queue.empty();
    std::vector<Block*> all(_active_blocks.begin(), _active_blocks.end());
    for (Block& block : _activation_queue) all.push_back(&block);
    all.insert(all.end(), _deactivation_queue.begin(), _deactivation_queue.end());
    for (uint32_t t = 0; _thread_blocks && t < _thread_slots; ++t) {
      all.insert(all.end(), _thread_blocks[t].begin(), _thread_blocks[t].end());
    }
    _activation_queue.clear();
    _deactivation_queue.clear();
    _active_blocks.clear();
    _thread_blocks.reset();
    _thread_slots = 0;
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (Block* block : all) Block::Release(block);
    return queued;
  }

  std::deque<Block*> _active_blocks;
  Activation_Queue _activation_queue;
  std::deque<Block*> _deactivation_queue;
  std::unique_ptr<std::deque<Block*>[]> _thread_blocks;  // index = __thread_id
  uint32_t _thread_slots = 0;

 private:
  Revision Step_Range(size_t first, size_t end, Revision now) {
    Revision low = __revision_omega;
    for (size_t i = first; i < end; ++i) {
      Block* block = _active_blocks[i];
      Revision r = Load_Revision(block->_next_revision);
      if (r == now) block->Step(r);
      low = min(low, r);
    }
    return low;
  }

  void Leave_Now(Block* block) {
    if (block->_in_activation_queue) {
      _activation_queue.erase(_activation_queue.iterator_to(*block));
      block->_in_activation_queue = false;
    }
    if (block->_active) {
      Remove(_active_blocks, block);
      block->_active = false;
    }
  }

  // The free lock waits out a release that is still finishing in the block.
  static bool Releasable(Block* block, Spin_Lock& schedule_lock) {
    Spin_Guard free_guard(block->_free_lock);
    if (block->_num_allocated != 0) return false;
    Spin_Guard schedule_guard(schedule_lock);
    return !block->_active && !block->_in_activation_queue && !block->_in_deactivation_queue;
  }

  static void Remove(std::deque<Block*>& blocks, Block* block) {
    auto it = std::find(blocks.begin(), blocks.end(), block);
    if (it != blocks.end()) blocks.erase(it);
  }
};

}  // namespace quarnel
