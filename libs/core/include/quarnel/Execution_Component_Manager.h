// The execution component manager: owns the memory blocks of one agent type, hands out
// cells to Allocate<T>, keeps the set of active blocks (those holding at least one object)
// and steps that set in parallel, chunk by chunk, on every worker.
//
// A due manager (the World runs and `_next_revision` is the revision being stepped) may be
// walked by other threads, so blocks that become non-empty or empty while it is due are
// queued and join or leave the active set at the end-of-revision Update, which the last
// worker to finish the step runs. When the manager is not due, changes apply at once.
// Requests for the revision being stepped are honoured in an extra cycle at that revision.
//
// Thread safety:
//  - Allocate<T> / Free<T>: the controlling thread during set-up, any worker inside a
//    handler while the World runs. Each thread allocates from its own list of blocks.
//  - Step: every worker, concurrently, when the engine finds the manager due.
//  - Initialize / Terminate / the diagnostics record: controlling thread, no worker
//    stepping.
//  Lock order: engine -> manager `_schedule_lock` -> block `_schedule_lock` for scheduling
//  (one at a time); block `_free_lock` -> manager `_schedule_lock`.
//
// Invariants (with those of Block_Pool):
//  1. A block is counted in `_empty_blocks[t]` exactly when it is empty and in thread t's
//     list.
//  2. A non-empty block is active or in the activation queue (once the due revision ends:
//     active).
//  3. `_threads_finished` is 0 between two due steps.
//  4. After Terminate the manager owns no block.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include <quarnel/Component_Manager.h>
#include <quarnel/Execution_Object.h>
#include <quarnel/Memory_Allocation.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include <quarnel/detail/Block_Manager.h>
#include <quarnel/detail/Block_Memory.h>
#include <quarnel/detail/Block_Sizing.h>
#include <quarnel/detail/Execution_Block.h>
#include <quarnel/detail/Scheduled_Component_Manager.h>

namespace quarnel {

class Execution_Component_Manager_Base
    : public Block_Manager<Execution_Component_Manager_Base, Execution_Block> {
 public:
  Execution_Component_Manager_Base(unsigned int component_id, std::string name);

  // Releases every block. Raises a fatal error (after releasing) if a block was still queued.
  void Terminate() override;
  int Component_Manager_Type() override { return 0; }
  void Write_Diagnostics(std::ostream& out) const override;
};

template <class T>
class Execution_Component_Manager : public Execution_Component_Manager_Base {
 public:
  Execution_Component_Manager()
      : Execution_Component_Manager_Base(unsigned(T::component_id), type_name<T>()) {}

  void Initialize() override {
    Execution_Component_Manager_Base::Initialize();
    _object_size = Cell_Stride(sizeof(T));
  }
};

// The engine's layout of agent memory, for a program that checks a run's memory before it
// starts: the bytes of one agent's cell, and the cells and bytes of one block of
// `objects_per_block` such cells (std::nullopt when the block would not fit the engine's
// 32-bit block size). Pure functions.
uint32_t Agent_Cell_Bytes(size_t object_size);
std::optional<Block_Shape> Agent_Block_Shape(uint64_t objects_per_block, uint32_t cell_bytes);

template <class T>
struct Manager_Of<Execution_Object, T> {
  using type = Execution_Component_Manager<T>;
};

// A new T constructed from `args` in a cell of T's manager, unscheduled and without a
// handler. An identifier other than -1 is recorded in the calling thread's identifier table.
template <class T, class... Args>
T* Allocate_Constructed(int32_t object_id, Args&&... args) {
  IncrementMemory(unsigned(T::component_id), sizeof(T));
  auto* manager = T::component_manager;
  Execution_Block* block = manager->privAllocate();
  Execution_Object* cell = Take_Cell(block);
  T* object = Construct_In_Cell<T>(cell, std::forward<Args>(args)...);
  object->_component_id = T::component_id;
  object->_execution_block = block;
  Store_Revision(object->_next_revision, __revision_omega);
  object->_object_id = object_id;
  if (object_id != -1) manager->_thread_object_tables[__thread_id][object_id] = object;
  manager->privCount_Live(1);
  return object;
}

// A new default-constructed T, as Allocate_Constructed makes it.
template <class T>
T* Allocate(int32_t object_id = -1) {
  return Allocate_Constructed<T>(object_id);
}

// Destroys `object` and returns its cell to its block. Releasing an object that is already
// free is refused with a fatal error (a released cell holds __revision_free until it is
// allocated again).
template <class T>
void Free(T* object) {
  if (Load_Revision(object->_next_revision) == __revision_free)
    T::component_manager->Refuse_Double_Free("agent");
  T::component_manager->privCount_Live(-1);
  DecrementMemory(unsigned(T::component_id), sizeof(T));
  Execution_Block* block = object->_execution_block;
  Execution_Object* cell = object;
  object->~T();
  block->privFree(cell);
}

// Frees first[0] .. first[n - 1] as Free does, one by one. Where the objects lie in many
// blocks, it asks for each one's block a few releases ahead: a release writes its block's
// header and free-cell bits, whose misses would otherwise hold up each release in turn.
template <class T, class Iterator>
void Free_All(Iterator first, size_t n) {
  constexpr size_t kHeader_Ahead = 8, kBits_Ahead = 4;
  for (size_t i = 0; i < n; ++i) {
    if (i + kHeader_Ahead < n) first[i + kHeader_Ahead]->_execution_block->Prefetch_Header();
    if (i + kBits_Ahead < n) {
      const Execution_Object* cell = first[i + kBits_Ahead];
      cell->_execution_block->Prefetch_Free_Bits(cell);
    }
    Free(first[i]);
  }
}

// `count` new T scheduled at `at` with `handler`, made during set-up: the calling
// (controlling) thread alone, so no lock is taken but the block's own. Whole blocks are
// filled, and the block's, the manager's and the engine's schedules are lowered once each.
// `construct(cell, i)` constructs the i-th object in `cell` and returns it.
// REQUIRES: the World is not running.
template <class T, class Construct>
void Allocate_Many_In_Set_Up(uint64_t count, Revision at, Event_Handler handler, Construct construct) {
  auto* manager = T::component_manager;
  uint64_t i = 0;
  while (i < count) {
    Execution_Block* block = manager->privAllocate();
    Spin_Guard guard(block->_free_lock);
    const uint32_t taken = Take_Free_Cells(block, count - i, [&](Execution_Object* cell) {
      IncrementMemory(unsigned(T::component_id), sizeof(T));
      T* object = construct(cell, i++);
      object->_component_id = T::component_id;
      object->_execution_block = block;
      object->_object_id = -1;
      object->_event_callback = handler;
      Store_Revision(object->_next_revision, at);
    });
    manager->privCount_Live(taken);
    Store_Revision(block->_next_revision, min(Load_Revision(block->_next_revision), at));
  }
  if (count == 0) return;
  Store_Revision(manager->_next_revision, min(Load_Revision(manager->_next_revision), at));
  World::simulation_engine().Lower_Next_Revision(at, false);
}

// The manager's record of the core diagnostics report: a quoted display name, component
// id, active blocks and cell size, then per active block its owner thread, objects, cells
// and free bytes.
template <class CharT, class Traits>
std::basic_ostream<CharT, Traits>& operator<<(std::basic_ostream<CharT, Traits>& out,
                                              const Execution_Component_Manager_Base& manager) {
  const auto& blocks = manager._active_blocks;
  const uint32_t cell_size = blocks.empty() ? 0 : blocks.front()->_cell_size;
  out << '"' << manager._display_name << '"' << ',' << manager._component_id << ',' << blocks.size() << ','
      << cell_size << '\n';
  for (const Execution_Block* block : blocks) {
    const int32_t free_bytes = int32_t(block->_cell_size * (block->_num_cells - block->_num_allocated));
    out << block->_owner_thread.load(std::memory_order_relaxed) << ',' << block->_num_allocated << ','
        << block->_num_cells << ',' << free_bytes << '\n';
  }
  return out;
}

}  // namespace quarnel
