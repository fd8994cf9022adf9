#include <quarnel/detail/Scheduled_Component_Manager.h>

#include <string_view>

#include <quarnel/Fatal_Error.h>
#include <quarnel/World.h>

namespace quarnel {

Scheduled_Component_Manager_Base::Scheduled_Component_Manager_Base(unsigned int component_id,
                                                                   std::string name)
    : _type_name(std::move(name)),
      _display_name(Make_Display_Name(_type_name)),
      _component_id(component_id) {}

namespace {

// Every occurrence of `pattern` in `text` replaced by `replacement`, left to right.
std::string Replace_All(std::string text, std::string_view pattern, std::string_view replacement) {
  for (size_t at = text.find(pattern); at != std::string::npos;
       at = text.find(pattern, at + replacement.size())) {
    text.replace(at, pattern.size(), replacement);
  }
  return text;
}

}  // namespace

std::string Scheduled_Component_Manager_Base::Make_Display_Name(std::string const& type_name) {
  // Both patterns are plain text: no character in them is special to a regular expression.
  std::string shortened =
      Replace_All(type_name, ", quarnel::TypeList<quarnel::NULLTYPE, quarnel::NULLTYPE>, void", "");
  return Replace_All(std::move(shortened), "MasterType", "MT");
}

void Scheduled_Component_Manager_Base::Refuse_Double_Free(const char* kind) const {
  QUARNEL_FATAL("An " << kind << " of " << _display_name << " was freed twice");
}

void Scheduled_Component_Manager_Base::Refuse_Set_Up_Call(const char* call) const {
  QUARNEL_FATAL(call << " of " << _display_name
                     << " is for setting a run up; inside a run create objects one by one with Create");
}

void Scheduled_Component_Manager_Base::Set_Objects_Per_Block(int32_t objects_per_block) {
  if (objects_per_block < 1) {
    QUARNEL_FATAL("The block size of " << _display_name << " must be at least 1 object, not "
                                       << objects_per_block);
  }
  _requested_objects_per_block = objects_per_block;
  _objects_per_block = objects_per_block;
}

void Scheduled_Component_Manager_Base::Initialize() {
  World& world = World::Instance();
  _activated.exchange(false);
  _next_revision = __revision_omega;
  _pending_revision = __revision_omega;
  _threads_finished.exchange(0);
  _objects_per_block = _requested_objects_per_block > 0 ? _requested_objects_per_block
                                                        : int32_t(world.execution_objects_per_block());
  const uint32_t thread_slots = world.num_threads() + 1;
  _empty_blocks = std::make_unique<Cache_Line_Own<std::atomic<uint32_t>>[]>(thread_slots);
  for (uint32_t t = 0; t < thread_slots; ++t) _empty_blocks[t].store(0, std::memory_order_relaxed);
  _live_objects = std::make_unique<Cache_Line_Value<std::atomic<int64_t>>[]>(thread_slots);
  _live_slots = thread_slots;
  privReset_Live_Counts();
  Resize_Thread_Object_Tables(world.num_threads());
  _schedule_lock.Reset();
}

// Without the lock, shared by every worker, when there is nothing to lower (Lowers_Nothing).
void Scheduled_Component_Manager_Base::Update_Schedule(const Revision& revision) {
  const Revision now = World::Instance().current_revision();
  if (Lowers_Nothing(Load_Revision(_next_revision), revision, now)) return;
  Spin_Guard guard(_schedule_lock);
  if (Load_Revision(_next_revision) == now) {
    _pending_revision = min(_pending_revision, revision);
  } else {
    Store_Revision(_next_revision, min(_next_revision, revision));
  }
}

int64_t Scheduled_Component_Manager_Base::Live_Objects() const {
  int64_t sum = 0;
  for (uint32_t t = 0; t < _live_slots; ++t) sum += _live_objects[t].value.load(std::memory_order_relaxed);
  return sum;
}

void Scheduled_Component_Manager_Base::privReset_Live_Counts() {
  for (uint32_t t = 0; t < _live_slots; ++t) _live_objects[t].value.store(0, std::memory_order_relaxed);
}

void Scheduled_Component_Manager_Base::privCheck_Visit() const {
  if (World::Instance().Objects_At_Rest()) return;
  QUARNEL_FATAL(
      "For_Each_Live of " << _display_name << " called while the workers step (thread " << __thread_id
                          << "); visit objects during set-up, in the iteration hook or after the run");
}

void Scheduled_Component_Manager_Base::privRefuse_Count(int32_t thread) const {
  QUARNEL_FATAL("Free of " << _display_name << " on thread " << thread
                           << ", which is not a thread of the initialised simulation");
}

}  // namespace quarnel
