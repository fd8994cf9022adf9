#include <quarnel/Component_Manager.h>

#include <quarnel/World.h>

namespace quarnel {

int32_t __component_counter = -1;
std::unordered_map<unsigned long, Component_Manager_Base*>* __all_components = nullptr;
std::unordered_map<unsigned long, std::string>* __component_names = nullptr;

Component_Manager_Base::Component_Manager_Base() {
  Resize_Thread_Object_Tables(World::Instance().num_threads());
}

void Component_Manager_Base::Resize_Thread_Object_Tables(uint32_t num_threads) {
  _thread_object_tables.clear();
  _thread_object_tables.resize(size_t(num_threads) + 1);
}

void Register_Component(unsigned long id, Component_Manager_Base* manager, std::string name) {
  if (__all_components == nullptr)
    __all_components = new std::unordered_map<unsigned long, Component_Manager_Base*>();
  if (__component_names == nullptr) __component_names = new std::unordered_map<unsigned long, std::string>();
  (*__all_components)[id] = manager;
  (*__component_names)[id] = std::move(name);
}

}  // namespace quarnel
