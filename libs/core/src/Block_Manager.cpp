#include <quarnel/detail/Block_Manager.h>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

namespace quarnel {

template <class Derived, class Block>
Block_Manager<Derived, Block>::Block_Manager(unsigned int component_id, std::string name)
    : Scheduled_Component_Manager_Base(component_id, std::move(name)) {}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::Initialize() {
  this->Release_All();  // blocks of an earlier run that was never terminated
  Scheduled_Component_Manager_Base::Initialize();
  this->Create_Thread_Lists(World::Instance().num_threads() + 1);
}

template <class Derived, class Block>
bool Block_Manager<Derived, Block>::Release_Blocks_And_Arrays() {
  const bool queued = this->Release_All();
  _empty_blocks.reset();
  privReset_Live_Counts();
  return queued;
}

template <class Derived, class Block>
bool Block_Manager<Derived, Block>::Is_Due() const {
  World& world = World::Instance();
  return world.running() && Load_Revision(_next_revision) == world.current_revision();
}

template <class Derived, class Block>
Block* Block_Manager<Derived, Block>::privAllocate() {
  const int t = __thread_id;
  if (!this->_thread_blocks) [[unlikely]] {
    // Before the first run, or after the last one ended (Terminate releases the lists).
    QUARNEL_FATAL(
        "Allocate of " << _display_name
                       << ": no run is set up; objects are created while a run is set up: construct "
                          "a quarnel::Simulation (or call World::Initialize_Simulation) first, and "
                          "create them while it lives");
  }
  if (t < 0 || uint32_t(t) >= this->_thread_slots) {
    QUARNEL_FATAL("Allocate of " << _display_name << " on thread " << t
                                 << ", which is not a thread of the initialised simulation");
  }
  std::deque<Block*>& list = this->_thread_blocks[t];
  return list.empty() ? privCreate_Block(t) : list.front();
}

template <class Derived, class Block>
Block* Block_Manager<Derived, Block>::privCreate_Block(int thread) {
  Derived* self = static_cast<Derived*>(this);
  if (!_activated.exchange(true)) World::simulation_engine().Activate_Type(self);
  const Block_Shape shape = Block_Size(uint32_t(_objects_per_block), _object_size, Block::_data_offset);
  Block* block = Block::Create(self, shape, _object_size);
  block->_owner_thread.exchange(thread);
  this->_thread_blocks[thread].push_back(block);
  _empty_blocks[thread].fetch_add(1);
  return block;
}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::privJoin_Active_Set(Block* block) {
  {
    Spin_Guard guard(_schedule_lock);
    this->Join(block, Is_Due());
  }
  _empty_blocks[block->_owner_thread.load()].fetch_sub(1);
}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::Deactivate_Block(Block* block) {
  Spin_Guard guard(_schedule_lock);
  this->Leave(block, Is_Due());
}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::Step(Revision& revision) {
  World& world = World::Instance();
  const uint32_t threads = world.num_threads();
  const uint32_t chunk =
      Chunk_Size(uint32_t(this->_active_blocks.size()), threads, world.execution_blocks_per_thread());
  const Revision low = this->Step_Chunks(world.current_revision(), threads, chunk, uint32_t(__thread_id));
  Clean_Up_Thread_Memory();
  Spin_Guard guard(_schedule_lock);
  _pending_revision = min(_pending_revision, low);
  if (uint32_t(_threads_finished.fetch_add(1) + 1) == threads) {
    Update();
    _threads_finished.exchange(0);
    revision = Load_Revision(_next_revision);
  } else {
    revision = _pending_revision;
  }
}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::Update() {
  this->Apply_Queues();
  Store_Revision(_next_revision, _pending_revision);
  _pending_revision = __revision_omega;
}

template <class Derived, class Block>
void Block_Manager<Derived, Block>::Clean_Up_Thread_Memory() {
  World& world = World::Instance();
  const int t = __thread_id;
  this->Clean_Up(t, _empty_blocks[t], world.max_free_blocks(), world.num_free_blocks_buffer(),
                 _schedule_lock);
}

template class Block_Manager<Execution_Component_Manager_Base, Execution_Block>;
template class Block_Manager<Event_Component_Manager_Base, Event_Block>;

}  // namespace quarnel
