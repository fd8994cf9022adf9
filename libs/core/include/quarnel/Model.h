// Writing models: agents and events as ordinary classes with one member handler.
//
//   class Person : public quarnel::Agent<Person> {
//    public:
//     explicit Person(int age) : _age(age) {}
//     void Act(quarnel::Next& next) {   // called at each revision the person is scheduled at
//       ++_age;
//       next.In(1);                      // act again in one iteration
//     }
//     int _age;
//   };
//
//   quarnel::Create<Person>(30)->Schedule_At(quarnel::Revision(0, 0));
//
// An agent derives from Agent<Self>, an event from Event<Self> (Identified_Agent<Self> and
// Identified_Event<Self> add a stable 64-bit identity for deterministic models). The type's
// `void Act(Next&)` is bound at compile time: stepping an object is one indirect call to a
// function that calls Act directly, exactly as with a hand-written handler. A type that lacks
// what it needs fails to compile with a message that says what is missing.
//
// A run is one Simulation object: its constructor sets the run up, Run() turns it, and its
// destructor ends it (the workers are joined even when set-up fails half-way).
//
// The model's shared state (its parameters, grids, directories, measure handles) is one
// object of the model's own type, given to the run (`Simulation run(config, shared)` or
// run.Attach(shared)); handlers reach it as next.model<Shared>() and the hook, or any code
// while the run lives, as quarnel::Model_State<Shared>(): one load of a pointer, no global
// of the model's own. The run does not own the state, which must outlive it. In checked
// builds (QUARNEL_CHECKED, Fatal_Error.h) asking for another type than the attached one, or
// when none is attached, is a fatal error naming both types.
//
// Everything here is a thin layer over the engine's own names (Quarnel_Component,
// Allocate<T>, Free<T>, privLoad_Event, privReschedule), which stay available beneath it.
//
// Thread safety: as for the engine's objects. Create, Schedule_At, Release and Release_All
// run on the controlling thread during set-up and on any worker inside a handler while the
// World runs; an object is scheduled or released by at most one thread at a time.
// Set_Block_Size runs on the controlling thread while no worker steps.
#pragma once

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ranges>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Globals.h>
#include <quarnel/Live_Objects.h>
#include <quarnel/Measures.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>

namespace quarnel {

namespace model_detail {
// One address per type: the key that tells attached states apart without RTTI on the hot path.
template <class T>
inline constexpr char Type_Key = 0;
}  // namespace model_detail

// The run's model state, attached as a `Shared` (Simulation::Attach). REQUIRES: a state of
// type Shared is attached (checked in checked builds); any thread while the run lives.
template <class Shared>
Shared& Model_State() {
  using Plain = std::remove_cv_t<Shared>;
#if QUARNEL_CHECKED
  World::Instance().Check_Model_State(&model_detail::Type_Key<Plain>, typeid(Plain).name());
#endif
  return *static_cast<Plain*>(World::Instance().model_state());
}

// What a handler answers: when its object acts next. Left alone, the object is not called
// again until it is scheduled anew. An answer before the revision being stepped is refused
// with a fatal error: the clock never goes back. So is a negative count of iterations or
// sub-iteration (In(-1)), as Revision refuses negative halves.
class Next {
 public:
  explicit Next(Event_Response& response) : _response(response) {}

  // The revision being stepped, and its iteration.
  Revision now() const { return World::Instance().current_revision(); }
  uint32_t iteration() const { return now()._iteration; }

  // Act again at `revision`.
  void At(Revision revision) { _response._next_revision = revision; }
  // Act again `iterations` iterations from now, at `sub_iteration` (In(0, 2): sub-iteration 2
  // of this iteration).
  void In(uint32_t iterations, uint32_t sub_iteration = 0) {
    At(Revision(iteration() + iterations, sub_iteration));
  }
  // The same for signed counts, checked: a negative one is a fatal error.
  template <std::integral I, std::integral S = uint32_t>
  requires(std::is_signed_v<I> || std::is_signed_v<S>) void In(I iterations, S sub_iteration = 0) {
    In(Revision_Half(iterations, "Next::In", "number of iterations"),
       Revision_Half(sub_iteration, "Next::In", "sub-iteration"));
  }
  // Do not act again unless scheduled anew (the answer when nothing is said).
  void Never() { At(__revision_omega); }

  // The run's model state (Model_State<Shared>()).
  template <class Shared>
  Shared& model() const {
    return Model_State<Shared>();
  }

 private:
  Event_Response& _response;
};

namespace model_detail {

struct Model_Types {};  // the MasterType of every model type; it carries nothing

template <class T>
concept Has_Act = requires(T& object, Next& next) {
  { object.Act(next) } -> std::same_as<void>;
};

// The engine's handler for T: one call of T::Act, inlined here.
template <class T, class Engine_Base>
void Call_Act(void* cell, Event_Response& response) {
  Next next(response);
  static_cast<T*>(static_cast<Engine_Base*>(cell))->Act(next);
}

template <class T, class Engine_Base>
using Component = Quarnel_Component<Model_Types, TypeList<NULLTYPE, TypeList<T, NULLTYPE>>, Engine_Base>;

// The operations every model type has; Engine_Base is the engine class it derives from.
template <class T, class Engine_Base>
class Model_Object : public Component<T, Engine_Base> {
 public:
  // Schedules this object at `revision` (again, if it was scheduled: the latest request wins).
  void Schedule_At(Revision revision) { this->privReschedule(revision, T::component_manager); }
  // The revision at which this object acts next (__revision_omega: not scheduled).
  Revision next_revision() const { return Load_Revision(this->_next_revision); }
};

template <class T>
constexpr bool Is_Event = std::is_base_of_v<Event_Object, T>;

template <class T>
using Engine_Base_Of = std::conditional_t<
    std::is_base_of_v<Identified_Event_Object, T>, Identified_Event_Object,
    std::conditional_t<Is_Event<T>, Event_Object,
                       std::conditional_t<std::is_base_of_v<Identified_Execution_Object, T>,
                                          Identified_Execution_Object, Execution_Object>>>;

template <class T>
constexpr bool Is_Model_Type = std::is_base_of_v<Model_Object<T, Engine_Base_Of<T>>, T>;

// The compile-time checks of a type made by Create, with the messages a model author reads.
template <class T>
constexpr void Check_Model_Type() {
  static_assert(Is_Model_Type<T>,
                "quarnel::Create<T>: T must derive from quarnel::Agent<T> or quarnel::Event<T> (or their "
                "Identified_ forms), with T itself as the argument");
  static_assert(Has_Act<T>,
                "quarnel::Create<T>: T needs a public member function `void Act(quarnel::Next&)`");
  static_assert(!std::is_abstract_v<T>, "quarnel::Create<T>: T is abstract");
  static_assert(alignof(T) <= __cache_line_size, "quarnel::Create<T>: T may not be aligned beyond 64 bytes");
}

template <class T, class... Args>
constexpr void Check_Constructible() {
  static_assert(std::is_constructible_v<T, Args...>,
                "quarnel::Create<T>(args...): T has no public constructor taking these arguments");
}

// Binds T's handler to a freshly constructed object.
template <class T>
void Bind_Act(T* object) {
  object->_event_callback = &Call_Act<T, Engine_Base_Of<T>>;
}

// One object made by make(i) through the ordinary creation path.
template <class T, class Make>
T* Create_From(Make& make, uint64_t i) {
  T* object = Allocate_Constructed<T>(-1, make(i));
  Bind_Act(object);
  return object;
}

// Create_Many's set-up path: whole blocks filled on the controlling thread (the engine's
// Allocate_Many_In_Set_Up), each object constructed from make(i) with T's handler bound.
template <class T, class Make>
void Create_Agents_In_Set_Up(uint64_t count, Revision at, Make& make) {
  Allocate_Many_In_Set_Up<T>(count, at, &Call_Act<T, Engine_Base_Of<T>>,
                             [&](Execution_Object* cell, uint64_t i) { return new (cell) T(make(i)); });
}

}  // namespace model_detail

// Base of an agent type T: objects stepped cell by cell, every revision they are due.
template <class T>
class Agent : public model_detail::Model_Object<T, Execution_Object> {};

// Base of an event type T: objects kept in their block's heap and popped when due.
template <class T>
class Event : public model_detail::Model_Object<T, Event_Object> {};

// The same with a stable identity (Object_Identity.h), for models whose results must not
// depend on the workers: key random draws and the run fingerprint on identity().
template <class Engine_Base, class T>
class Identified_Model_Object : public model_detail::Model_Object<T, Engine_Base> {
 public:
  uint64_t identity() const { return this->_identity; }
  // The random stream of this object at the revision being stepped (Counter_Random.h).
  Counter_Random Random(uint64_t seed) const {
    return Counter_Random(seed, this->_identity, World::Instance().current_revision());
  }
};
template <class T>
class Identified_Agent : public Identified_Model_Object<Identified_Execution_Object, T> {};
template <class T>
class Identified_Event : public Identified_Model_Object<Identified_Event_Object, T> {};

// A new T constructed from `args`, with its handler bound, not yet scheduled.
template <class T, class... Args>
T* Create(Args&&... args) {
  model_detail::Check_Model_Type<T>();
  model_detail::Check_Constructible<T, Args...>();
  T* object = Allocate_Constructed<T>(-1, std::forward<Args>(args)...);
  model_detail::Bind_Act(object);
  return object;
}

// A new T of an identified type with `identity` (Root_Identity / Child_Identity); a fatal
// error, before anything is created, if another T of this run has it.
template <class T, class... Args>
T* Create_Identified(uint64_t identity, Args&&... args) {
  model_detail::Check_Model_Type<T>();
  model_detail::Check_Constructible<T, Args...>();
  static_assert(
      std::is_base_of_v<Identified_Execution_Object, T> || std::is_base_of_v<Identified_Event_Object, T>,
      "quarnel::Create_Identified<T>: T must derive from quarnel::Identified_Agent<T> or "
      "quarnel::Identified_Event<T>");
  T::component_manager->_identities.Claim(identity, T::component_manager->_display_name);
  T* object = Allocate_Constructed<T>(-1, std::forward<Args>(args)...);
  object->_identity = identity;
  model_detail::Bind_Act(object);
  return object;
}

// Creates `count` objects of T, the i-th (i = 0 .. count - 1) constructed from make(i),
// which returns a T (constructed in its cell, never moved), and schedules every one at `at`.
// The bulk form of Create + Schedule_At for setting a run up: agents fill whole blocks at a
// time and the schedules are lowered once; events are created one by one. Objects are
// created in the order of i, so they take the cells in that order. A set-up call: inside a
// run (from a handler) it is a fatal error; create objects one by one with Create there.
template <class T, class Make>
void Create_Many(uint64_t count, Revision at, Make&& make) {
  using Made = std::invoke_result_t<Make&, uint64_t>;
  static_assert(std::is_same_v<std::remove_cvref_t<Made>, T> && !std::is_reference_v<Made>,
                "quarnel::Create_Many<T>(count, at, make): make(i) must return a T by value");
  model_detail::Check_Model_Type<T>();
  static_assert(
      !std::is_base_of_v<Identified_Execution_Object, T> && !std::is_base_of_v<Identified_Event_Object, T>,
      "quarnel::Create_Many<T>: T has identities; create each with Create_Identified");
  if (World::Instance().running()) T::component_manager->Refuse_Set_Up_Call("Create_Many");
  if constexpr (model_detail::Is_Event<T>) {
    for (uint64_t i = 0; i < count; ++i) model_detail::Create_From<T>(make, i)->Schedule_At(at);
  } else {
    model_detail::Create_Agents_In_Set_Up<T>(count, at, make);
  }
}

// Destroys `object` and frees its cell (an event also leaves its heap). An object may release
// itself in its own Act, and must not touch its members afterwards. A second release is a
// fatal error.
template <class T>
void Release(T* object) {
  static_assert(model_detail::Is_Model_Type<T>, "quarnel::Release: T is not a model type");
  Free(object);
}

// Releases every object of `objects` (a random-access range of T*), as Release one by one
// does; for agents the engine's Free_All, which overlaps the releases' block misses.
template <std::ranges::random_access_range Range>
void Release_All(const Range& objects) {
  using T = std::remove_pointer_t<std::ranges::range_value_t<Range>>;
  static_assert(model_detail::Is_Model_Type<T>,
                "quarnel::Release_All: the range's T* are not of a model type");
  const auto first = std::ranges::begin(objects);
  const size_t n = size_t(std::ranges::size(objects));
  if constexpr (model_detail::Is_Event<T>) {
    for (size_t i = 0; i < n; ++i) Free(first[i]);
  } else {
    Free_All<T>(first, n);
  }
}

// Cells per memory block of T's type (the configuration's execution_objects_per_block
// unless set): blocks made from now on, in this run and the next. A count below 1 is a
// fatal error. REQUIRES: controlling thread, no worker stepping.
template <class T>
void Set_Block_Size(int32_t objects_per_block) {
  static_assert(model_detail::Is_Model_Type<T>, "quarnel::Set_Block_Size: T is not a model type");
  T::component_manager->Set_Objects_Per_Block(objects_per_block);
}

// The kernel's console lines: the run's final "Stop_Turning finished at iteration ..." line
// and a fatal error's report, stack trace and "Removing signal handlers". A model program
// that sets no logging up is quiet by default (nothing of the kernel's on standard output or
// standard error; a fatal error reaches it only as its exception, "An exception occurred:
// ..."); Set_Console_Lines(true) sends those lines to standard error, none to standard
// output. Call it before the run (any thread). The same switch as
// Quarnel_Logging_Interface::Set_Console_Lines (Logger.h), which gives the details (a program
// that sets the kernel's logging up has the lines on, where its log sends them).
void Set_Console_Lines(bool on);

// One run of a model: set-up in the constructor, Run(), and the end of the run (workers
// joined, managers terminated) in the destructor. One Simulation at a time, on the
// controlling thread: a Simulation made while another one is alive (also from a handler or
// the iteration hook of its run) is refused with a fatal error, "... a run is already in
// progress ...", and the live one goes on unharmed. Objects are created while a Simulation
// is alive; Create before it or after its end is refused ("no run is set up").
// Its console lines: Set_Console_Lines above.
class Simulation {
 public:
  // Validates `config` and starts its workers (World::Initialize_Simulation).
  explicit Simulation(Simulation_Configuration config);
  // The same, with `shared` attached as the model's state (Attach).
  template <class Shared>
  Simulation(Simulation_Configuration config, Shared& shared) : Simulation(config) {
    Attach(shared);
  }
  // Ends the run (World::Terminate_Simulation); a failure there is logged, not thrown.
  ~Simulation();
  Simulation(Simulation const&) = delete;
  Simulation& operator=(Simulation const&) = delete;

  // `hook(i)` on this thread after each finished iteration i, while the workers are parked
  // (World::Set_Iteration_Hook): statistics, checks, output; World::Instance()
  // .Stop_After_This_Iteration() ends the run there. Call before Run().
  void On_Iteration_End(std::function<void(uint32_t iteration)> hook) {
    World::Instance().Set_Iteration_Hook(std::move(hook));
  }
  // Attaches `shared` as the model's state for this run: handlers reach it as
  // next.model<Shared>(), the hook as Model_State<Shared>(). Call before Run().
  template <class Shared>
  void Attach(Shared& shared) {
    using Plain = std::remove_cv_t<Shared>;
    World::Instance().Attach_Model_State(const_cast<Plain*>(&shared), &model_detail::Type_Key<Plain>,
                                         typeid(Plain).name());
  }
  // Attaches `measures` (Measures.h): their parts are made for this run's workers and they
  // are combined after each iteration, before the hook. Declare every measure first; call
  // before Run(). The measures must outlive the run.
  void Attach_Measures(Measures& measures) { World::Instance().Attach_Measures(&measures); }
  // The model state, as Model_State<Shared>().
  template <class Shared>
  Shared& model() const {
    return Model_State<Shared>();
  }

  // Turns the run to its end (World::Start_Turning); a worker's failure or the hook's
  // exception comes out of here.
  void Run(std::filesystem::path output_directory = ".") {
    World::Instance().Start_Turning(std::move(output_directory));
  }
};

}  // namespace quarnel
