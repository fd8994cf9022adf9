// The engine's building blocks against their plain counterparts: cell allocation against
// new/delete, the intrusive event heap against std::priority_queue, and the cost of one
// barrier cycle with no work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <queue>
#include <random>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Logger.h>
#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include <quarnel/detail/Intrusive_Binary_Heap.h>

namespace {

// Benchmarks log the engine's NOTICE lines into a category without appenders.
const bool quiet_logging = quarnel::Quarnel_Logging_Interface::setup_test_logger();

constexpr int kObjects = 10000;

// An agent type of the test agent's size (48 bytes).
struct Bench_Agent
    : quarnel::Quarnel_Component<
          Bench_Agent,
          quarnel::TypeList<quarnel::NULLTYPE, quarnel::TypeList<Bench_Agent, quarnel::NULLTYPE>>,
          quarnel::Execution_Object> {};

// The order in which a benchmark releases its objects: the order of allocation (ascending
// addresses, the worst case of an ordered free list that is searched from its head), or a
// fixed shuffle.
enum Release_Order : int64_t { kAddressOrder = 0, kShuffled = 1 };

template <class T>
void Order_For_Release(std::vector<T*>& objects, int64_t order) {
  if (order == kShuffled) std::shuffle(objects.begin(), objects.end(), std::mt19937(7));
}

// kObjects agents allocated, then all released, on the controlling thread of an initialised
// run (one block of 1000 objects holds 1022 cells).
void BM_AllocateFree(benchmark::State& state) {
  quarnel::Simulation_Configuration config{1, 0, 100, 20, 1000, 1000, 10, 5, 0};
  quarnel::World::Initialize_Simulation(config);
  std::vector<Bench_Agent*> agents(kObjects);
  for (auto _ : state) {
    for (Bench_Agent*& a : agents) a = quarnel::Allocate<Bench_Agent>();
    state.PauseTiming();
    Order_For_Release(agents, state.range(0));
    state.ResumeTiming();
    for (Bench_Agent* a : agents) quarnel::Free<Bench_Agent>(a);
    benchmark::ClobberMemory();
  }
  quarnel::World::Terminate_Simulation();
  state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_AllocateFree)->ArgName("shuffled")->Arg(kAddressOrder)->Arg(kShuffled)->UseRealTime();

void BM_NewDelete(benchmark::State& state) {
  struct alignas(8) Object {
    char bytes[sizeof(Bench_Agent)];
  };
  std::vector<Object*> objects(kObjects);
  for (auto _ : state) {
    for (Object*& o : objects) {
      o = new Object;
      benchmark::DoNotOptimize(o);
    }
    state.PauseTiming();
    Order_For_Release(objects, state.range(0));
    state.ResumeTiming();
    for (Object* o : objects) delete o;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kObjects);
}
BENCHMARK(BM_NewDelete)->ArgName("shuffled")->Arg(kAddressOrder)->Arg(kShuffled)->UseRealTime();

struct Heap_Event : quarnel::ibh_node {
  quarnel::Revision _next_revision;
};

std::vector<uint64_t> Random_Keys(size_t n) {
  std::mt19937_64 random(7);
  std::vector<uint64_t> keys(n);
  for (uint64_t& k : keys) k = random() % 100000;
  return keys;
}

// Push n keys, then pop them all. The heap's storage is made once, for n events, as an
// event block makes it for its cells.
void BM_EventHeap(benchmark::State& state) {
  const std::vector<uint64_t> keys = Random_Keys(size_t(state.range(0)));
  std::vector<Heap_Event> events(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) events[i]._next_revision = quarnel::Revision::From_Key(keys[i]);
  quarnel::Intrusive_Binary_Heap<Heap_Event> heap(uint32_t(events.size()));
  for (auto _ : state) {
    for (Heap_Event& e : events) heap.push_node(&e);
    while (!heap.empty()) benchmark::DoNotOptimize(heap.pop_root());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EventHeap)->ArgName("events")->Arg(1000)->Arg(100000)->UseRealTime();

void BM_PriorityQueue(benchmark::State& state) {
  const std::vector<uint64_t> keys = Random_Keys(size_t(state.range(0)));
  std::vector<Heap_Event> events(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) events[i]._next_revision = quarnel::Revision::From_Key(keys[i]);
  auto later = [](const Heap_Event* a, const Heap_Event* b) { return b->_next_revision < a->_next_revision; };
  for (auto _ : state) {
    std::priority_queue<Heap_Event*, std::vector<Heap_Event*>, decltype(later)> queue(later);
    for (Heap_Event& e : events) queue.push(&e);
    while (!queue.empty()) {
      benchmark::DoNotOptimize(queue.top());
      queue.pop();
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_PriorityQueue)->ArgName("events")->Arg(1000)->Arg(100000)->UseRealTime();

// A manager with no objects that is due at every iteration: each cycle is the barrier and
// the engine's step and update, nothing else.
class Idle_Manager : public quarnel::Scheduled_Component_Manager_Base {
 public:
  Idle_Manager() : Scheduled_Component_Manager_Base(4000, "Idle") {}
  void Terminate() override {}
  void Step(quarnel::Revision& revision) override {
    quarnel::Spin_Guard guard(_schedule_lock);
    if (_threads_finished.fetch_add(1) + 1 == int32_t(quarnel::World::Instance().num_threads())) {
      _threads_finished.exchange(0);
      quarnel::Store_Revision(_next_revision,
                              quarnel::Revision(quarnel::World::Instance().iteration() + 1, 0));
    }
    revision = quarnel::Load_Revision(_next_revision);
  }
};

void BM_EmptyCycle(benchmark::State& state) {
  constexpr int kCycles = 2000;
  Idle_Manager idle;
  for (auto _ : state) {
    quarnel::Simulation_Configuration config{int(state.range(0)), 0, kCycles, 20, 100, 1000, 10, 5, 0};
    quarnel::World::Initialize_Simulation(config);
    idle.Initialize();
    quarnel::Store_Revision(idle._next_revision, quarnel::Revision(0, 0));
    quarnel::World::simulation_engine().Activate(quarnel::World::simulation_engine()._new_execution_types,
                                                 &idle);
    quarnel::World::Instance().Start_Turning(".");
    quarnel::World::Terminate_Simulation();
  }
  state.SetItemsProcessed(state.iterations() * kCycles);
  state.counters["ns_per_cycle"] = benchmark::Counter(
      double(state.iterations() * kCycles), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EmptyCycle)->ArgName("threads")->Arg(1)->Arg(2)->Arg(6)->UseRealTime();

}  // namespace
