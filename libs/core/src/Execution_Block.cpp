#include <quarnel/detail/Execution_Block.h>

#include <quarnel/detail/Block_Memory.h>

#include <new>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Run_Fingerprint.h>
#include <quarnel/World.h>

// Free cells hold no live object, yet the block reads and writes their schedule and link
// through Execution_Object*; these functions are exempt from UBSan's dynamic-type check.
#define QUARNEL_CELL_ACCESS __attribute__((no_sanitize("vptr")))

namespace quarnel {
namespace {

// The cell whose handler this thread is running; privFree clears it when it releases that
// cell, which tells Step not to store the handler's answer into a released cell. A stale
// value left by a handler that threw is harmless: the next call overwrites it.
thread_local Execution_Object* __handler_cell = nullptr;

}  // namespace

uint32_t Execution_Block::_data_offset = 128;
static_assert(sizeof(Execution_Block) <= 128, "the block header must fit in its two cache lines");

Execution_Block* Execution_Block::Create(Execution_Component_Manager_Base* manager, Block_Shape shape,
                                         uint32_t cell_size) {
  return Create_Block<Execution_Block>(manager, shape, cell_size);
}

void Execution_Block::Release(Execution_Block* block) {
  Release_Block(block);
}

void Execution_Block::Initialize(Execution_Component_Manager_Base* manager) {
  Reset_Block_Header(this, manager);
  _cells_in_use.store(0, std::memory_order_relaxed);
}

QUARNEL_CELL_ACCESS void Execution_Block::privPrepare_Cell(Execution_Object* cell) {
  cell->_execution_block = this;
  Store_Revision(cell->_next_revision, __revision_omega);
}

QUARNEL_CELL_ACCESS Revision Execution_Block::Cell_Revision(uint32_t i) const {
  return Load_Revision(Cell(i)->_next_revision);
}

void Execution_Block::privAllocate() {
  // Counted in use only once taken, and so prepared: Step may read its revision from then on.
  const uint32_t index = Cell_Index_In(this, _first_free);
  Take_First_Free(this);
  privMark_In_Use(index + 1);
}

QUARNEL_CELL_ACCESS void Execution_Block::privFree(Execution_Object* object) {
  const bool running = World::Instance().running();
  if (running) _free_lock.Lock();
  if (object == __handler_cell) __handler_cell = nullptr;
  Store_Revision(object->_next_revision, __revision_free);
  Return_Free_Cell(this, object);
  if (--_num_allocated == 0) {
    _cells_in_use.store(0, std::memory_order_relaxed);
    _manager->_empty_blocks[_owner_thread.load()].fetch_add(1);
    _manager->Deactivate_Block(this);
    if (running) privForget_Schedule();
  }
  if (running) _free_lock.Unlock();
}

// An empty block has nothing to run: pending requests were for released objects. A block
// that is due keeps its next revision, because the thread stepping it (now, or in the extra
// cycle its due request caused) sets it from its cells at the end of the step; lowering it
// to __revision_omega meanwhile would send a new object's request to `_next_revision`,
// where the end of that step would overwrite it and lose the object.
void Execution_Block::privForget_Schedule() {
  Spin_Guard guard(_schedule_lock);
  _pending_revision = __revision_omega;
  if (Load_Revision(_next_revision) != World::Instance().current_revision()) {
    Store_Revision(_next_revision, __revision_omega);
  }
}

// Runs one handler and returns the cell's next revision (invariant 4 for released cells).
// An answer before the revision being stepped is refused: the clock never goes back.
QUARNEL_CELL_ACCESS inline Revision Execution_Block::privCall(Execution_Object* cell,
                                                              Event_Response& response, Revision now) {
  __handler_cell = cell;
  cell->_event_callback(cell, response);
  const Revision next = response._next_revision;
  response._next_revision = __revision_omega;
  if (__handler_cell != cell) return Load_Revision(cell->_next_revision);  // released by its handler
  if (next < now) [[unlikely]]
    privRefuse_Answer(next, now);
  Store_Revision(cell->_next_revision, next, std::memory_order_release);
  return next;
}

// The loop of the hot path: one load and compare per cell, and per due cell one handler call
// and one store. The cell address advances by the stride, read once with the bound. Each
// cell's first and last lines are prefetched (for writing: the handler and the answer write
// them) a few cells ahead: the hardware prefetcher stops at page boundaries, and without it a
// large population spends much of its step waiting for the revision loads. A cell of two
// lines may keep its agent's own fields in the second (wolf-sheep's animals keep theirs
// there); for a cell within one line both ask for it.
constexpr size_t kPrefetch_Cells = 16;

template <bool Fingerprinted>
QUARNEL_CELL_ACCESS Revision Execution_Block::privStep_Cells(Revision now, Run_Digest* fingerprint) {
  Revision low = __revision_omega;
  Event_Response response;
  const size_t stride = _cell_size;
  char* cell = reinterpret_cast<char*>(this) + _data_offset;
  char* const end = cell + size_t(_cells_in_use.load(std::memory_order_acquire)) * stride;
  const size_t ahead = kPrefetch_Cells * stride;
  const size_t last_byte = stride - 1;
  for (; cell != end; cell += stride) {
    // Past the block's end a prefetch loads nothing, and cannot fault.
    __builtin_prefetch(cell + ahead, 1);
    __builtin_prefetch(cell + ahead + last_byte, 1);
    auto* object = reinterpret_cast<Execution_Object*>(cell);
    Revision r = Load_Revision(object->_next_revision, std::memory_order_acquire);
    if (r == now) {
      if constexpr (Fingerprinted) fingerprint->Add(Fingerprint_Identity(object, _manager->_identified), now);
      r = privCall(object, response, now);
    }
    low = min(low, r);
  }
  return low;
}

[[gnu::cold, gnu::noinline]] void Execution_Block::privRefuse_Answer(Revision answer, Revision now) const {
  QUARNEL_FATAL("An agent handler of " << _manager->_display_name << " answered " << to_string(answer)
                                       << ", before the revision being stepped " << to_string(now));
}

QUARNEL_CELL_ACCESS void Execution_Block::Step(Revision& revision) {
  _stepping_thread.exchange(__thread_id);
  const Revision now = World::Instance().current_revision();
  // Decided once per step: while the run fingerprint is off the plain loop runs.
  Run_Digest* const fingerprint = Run_Fingerprint::Lane();
  Revision low =
      fingerprint == nullptr ? privStep_Cells<false>(now, nullptr) : privStep_Cells<true>(now, fingerprint);
  __handler_cell = nullptr;
  {
    Spin_Guard guard(_schedule_lock);
    low = min(low, _pending_revision);
    _pending_revision = __revision_omega;
    Store_Revision(_next_revision, low);
  }
  revision = low;
  _stepping_thread.exchange(-1);
}

// Without the lock when there is nothing to lower (Lowers_Nothing).
void Execution_Block::Update_Schedule(const Revision& revision) {
  const Revision now = World::Instance().current_revision();
  if (Lowers_Nothing(Load_Revision(_next_revision), revision, now)) return;
  Spin_Guard guard(_schedule_lock);
  Lower_Block_Schedule(this, revision, now);
}

}  // namespace quarnel
