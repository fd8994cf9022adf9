#include "Event_Component_Manager.h"

#include "Fatal_Error.h"
#include "Simulation_Engine.h"
#include "World.h"

namespace quarnel {

void Simulation_Engine::Activate_Type(Event_Component_Manager_Base* manager) {
  Activate(_new_event_types, manager);
}

Event_Component_Manager_Base::Event_Component_Manager_Base(unsigned int component_id, std::string name)
    : Scheduled_Component_Manager_Base(component_id, std::move(name)) {}

void Event_Component_Manager_Base::Initialize() {
  Release_All();  // blocks of an earlier run that was never terminated
  Scheduled_Component_Manager_Base::Initialize();
  Create_Thread_Lists(World::Instance().num_threads() + 1);
}

void Event_Component_Manager_Base::Terminate() {
  const bool queued = Release_All();
  _empty_blocks.reset();
  if (queued) {
    QUARNEL_FATAL(
        "Event_Component_Manager_Base::Terminate: There are still blocks in the activation or deactivation "
        "queues. This indicates that some blocks were not properly deactivated before termination.");
  }
}

bool Event_Component_Manager_Base::Is_Due() const {
  World& world = World::Instance();
  return world.running() && Load_Revision(_next_revision) == world.current_revision();
}

Event_Block* Event_Component_Manager_Base::privAllocate() {
  const int t = __thread_id;
  if (!_thread_blocks || t < 0 || uint32_t(t) >= _thread_slots) {
    QUARNEL_FATAL("Allocate of " << _display_name << " on thread " << t
                                 << ", which is not a thread of the initialised simulation");
  }
  std::deque<Event_Block*>& list = _thread_blocks[t];
  return list.empty() ? privCreate_Block(t) : list.front();
}

Event_Block* Event_Component_Manager_Base::privCreate_Block(int thread) {
  if (!_activated.exchange(true)) World::simulation_engine().Activate_Type(this);
  const Block_Shape shape = Block_Size(uint32_t(_objects_per_block), _object_size, Event_Block::_data_offset);
  Event_Block* block = Event_Block::Create(this, shape, _object_size);
  block->_owner_thread.exchange(thread);
  _thread_blocks[thread].push_back(block);
  _empty_blocks[thread].fetch_add(1);
  return block;
}

void Event_Component_Manager_Base::privJoin_Active_Set(Event_Block* block) {
  {
    Spin_Guard guard(_schedule_lock);
    Join(block, Is_Due());
  }
  _empty_blocks[block->_owner_thread.load()].fetch_sub(1);
}

void Event_Component_Manager_Base::Deactivate_Block(Event_Block* block) {
  Spin_Guard guard(_schedule_lock);
  Leave(block, Is_Due());
}

void Event_Component_Manager_Base::Step(Revision& revision) {
  World& world = World::Instance();
  const uint32_t threads = world.num_threads();
  const uint32_t chunk =
      Chunk_Size(uint32_t(_active_blocks.size()), threads, world.execution_blocks_per_thread());
  const Revision low = Step_Chunks(world.current_revision(), threads, chunk);
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

void Event_Component_Manager_Base::Update() {
  Apply_Queues();
  Store_Revision(_next_revision, _pending_revision);
  _pending_revision = __revision_omega;
}

void Event_Component_Manager_Base::Clean_Up_Thread_Memory() {
  World& world = World::Instance();
  const int t = __thread_id;
  Clean_Up(t, _empty_blocks[t], world.max_free_blocks(), world.num_free_blocks_buffer(), _schedule_lock);
}

}  // namespace quarnel
