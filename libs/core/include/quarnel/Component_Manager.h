// The roots of the object and manager hierarchies, and the process-wide type registry.
//
// Every component type T registers once, during static initialisation, when its
// Quarnel_Component<...>::component_manager is initialised: T gets the next dense
// component id (0, 1, ...), one manager is created for it with `new`, and both the manager
// and T's demangled name are recorded under that id. Managers and registry maps live until
// process exit and are never freed.
//
// Thread safety: registration runs before main on one thread; afterwards the registry is
// only read. Initialize()/Terminate() of managers run on the controlling thread while no
// worker steps (the World drives them).
#pragma once

#include <cxxabi.h>

#include <boost/intrusive/list.hpp>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <vector>

namespace quarnel {

// Root of every object a manager allocates. Both fields are written by the allocation path.
class Base_Object {
 public:
  virtual ~Base_Object() = default;
  uint64_t _component_id = 0;
  int32_t _object_id = -1;  // -1: the object has no identifier
};

struct NULLTYPE {};
template <class Head, class Tail>
struct TypeList {};

// The demangled name of T (the raw mangled name if demangling fails).
template <class T>
std::string type_name() {
  const char* mangled = typeid(T).name();
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, nullptr);
  if (demangled == nullptr) return mangled;
  std::string name(demangled);
  free(demangled);
  return name;
}

// Root of all managers. Linked intrusively into the engine's manager lists (no allocation).
class Component_Manager_Base
    : public boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::normal_link>> {
 public:
  Component_Manager_Base();
  virtual ~Component_Manager_Base() = default;
  virtual void Initialize() = 0;
  virtual void Terminate() = 0;
  virtual int Component_Manager_Type() { return 3; }

  // Sizes the per-thread identifier tables for thread indices 0 .. num_threads.
  void Resize_Thread_Object_Tables(uint32_t num_threads);

  std::unordered_map<uint64_t, std::pair<uint64_t, void*>> _keyed_table;  // kept for hosts; unused here
  // Per thread index: identifier -> object allocated on that thread with an identifier != -1.
  // Each table is touched only by its own thread.
  std::vector<std::unordered_map<int, void*>> _thread_object_tables;
};

// Manager of data-only types, which have no schedule.
class Data_Component_Manager_Base : public Component_Manager_Base {
 public:
  void Initialize() override {}
  void Terminate() override {}
};

// The registry.
extern int32_t __component_counter;
extern std::unordered_map<unsigned long, Component_Manager_Base*>* __all_components;
extern std::unordered_map<unsigned long, std::string>* __component_names;

// Records `manager` and `name` under `id` (creating the maps on first use).
void Register_Component(unsigned long id, Component_Manager_Base* manager, std::string name);

// The manager class that serves component type T with engine base class Base; specialised
// by each manager header (Execution_Object -> Execution_Component_Manager<T>, ...).
template <class Base, class T>
struct Manager_Of;

template <class List>
struct Last_Type;
template <class Head>
struct Last_Type<TypeList<Head, NULLTYPE>> {
  using type = Head;
};
template <class Head, class Tail>
struct Last_Type<TypeList<Head, Tail>> {
  using type = typename Last_Type<Tail>::type;
};

// Ties an application component type to its manager. ComponentList's last element is the
// component type itself; Base is the engine base class (Execution_Object, Event_Object).
template <class MasterType, class ComponentList, class Base>
class Quarnel_Component : public Base {
 public:
  using Component_Type = typename Last_Type<ComponentList>::type;
  using Manager_Type = typename Manager_Of<Base, Component_Type>::type;

  static Manager_Type* Register() {
    uint64_t id = static_cast<uint64_t>(++__component_counter);
    component_id = id;
    auto* manager = new Manager_Type();
    Register_Component(id, manager, type_name<Component_Type>());
    return manager;
  }

  static inline uint64_t component_id = 0;
  static inline Manager_Type* component_manager = Register();
};

}  // namespace quarnel
