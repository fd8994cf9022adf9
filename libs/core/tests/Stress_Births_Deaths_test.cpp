// Stress: a population of agents that are born, die and free one another on every worker,
// checked after every iteration while the run turns.
//
// The population. Adults act at even sub-iterations (0, 2), pups at odd ones (1, 3), a
// checker alone at sub-iteration 7. At each action an adult may die (freeing itself after it
// answered a next revision), free its pup, move its pup to another revision, give birth to a
// pup or to an adult (into whatever block its worker allocates from, which other workers may
// be stepping), and reschedules itself at a later sub-iteration or a later iteration. A pup
// may die by itself. Block sizes 1, 2, 3 and 1000 on 1, 2 and 6 workers; empty blocks are
// released as soon as a worker holds more than two.
//
// The rule that makes cross-thread frees legal: an object is scheduled or freed by at most
// one thread at a time, and never while it may be stepped. An adult is the only one that
// touches its pup (it created it), and does so at even sub-iterations, when no pup is due; a
// pup touches only its parent's link to it, at odd sub-iterations, when no adult is due. So
// a free always hits an object that is not due in the revision being stepped, though its
// block may be stepped by another worker at that moment.
//
// Fates are drawn from a hash of the agent, the revision and the census that the checker took
// at the end of the previous iteration, so the whole history is the same on any number of
// workers and any block size: every configuration must produce the same digest of calls.
//
// Checked after every iteration by the checker, while every other handler is idle:
//  1. live agents (start + births - deaths) = allocated cells summed over all blocks, and
//     every block's free list holds exactly its free cells;
//  2. every live agent acted exactly once at each revision it was scheduled for: no call at
//     a revision it was not scheduled for (which includes a second call), and no live agent
//     whose revision has passed; the cell's revision is the one the agent was given, and its
//     block and manager are scheduled no later;
//  3. no freed agent ever acted again, and no free cell holds a real revision;
//  4. no block is both active and released: every active block is non-empty, unique, not
//     queued, and held by its owner's list or full; every empty block is inactive; each
//     thread's count of empty blocks is right. (A released block still in the active set
//     would also be a use-after-free, which the AddressSanitizer build reports.)
//
// Soak: QUARNEL_STRESS_SCALE=<n> multiplies the iterations and the number of seeds (2).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

struct MT_Stress {};

class Stress_Agent : public Quarnel_Component<MT_Stress, TypeList<NULLTYPE, TypeList<Stress_Agent, NULLTYPE>>,
                                              Execution_Object> {
 public:
  uint64_t _serial;
  Revision _due;  // the revision it was last scheduled for, set by whoever scheduled it
  Stress_Agent* _pup;
  Stress_Agent* _parent;
  bool _is_pup;
};

class Stress_Checker
    : public Quarnel_Component<MT_Stress, TypeList<NULLTYPE, TypeList<Stress_Checker, NULLTYPE>>,
                               Execution_Object> {};

constexpr uint32_t kChecker_Sub = 7;
constexpr int kInitial_Adults = 150;
constexpr int kTarget_Adults = 300;

uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// ---- Shared state: ledgers per worker (touched only by that worker while it steps), the
// rest written only by the checker or the controlling thread; the barrier orders them.

struct alignas(64) Ledger {
  std::vector<std::pair<uint64_t, uint64_t>> calls;   // (serial, revision key)
  std::vector<std::pair<uint64_t, uint64_t>> deaths;  // (serial, revision key)
  int64_t births = 0;
  int64_t misfires = 0;  // calls at a revision the agent was not scheduled for
  int64_t neighbour_frees = 0;
  int64_t moves = 0;
};

struct Run_State {
  uint64_t seed = 0;
  std::vector<Ledger> ledgers;
  int64_t census_adults = kInitial_Adults;
  int64_t live = 0;                             // start + births - deaths, as of the last check
  std::unordered_map<uint64_t, uint64_t> dead;  // serial -> revision key of its death
  std::vector<std::string> failures;
  uint32_t checks = 0;
  // Totals for the digest and for the test's own sanity.
  uint64_t digest = 0;
  int64_t calls = 0, births = 0, deaths = 0, neighbour_frees = 0, moves = 0, max_live = 0;
  int64_t blocks_seen_empty = 0;
};
Run_State __run;

void Fail(std::string message) {
  if (__run.failures.size() < 20) __run.failures.push_back(std::move(message));
}

// One draw in [0, 1000) for `what` of agent `serial` at `now`.
uint32_t Draw(uint64_t serial, Revision now, uint64_t what) {
  return uint32_t(Mix(Mix(serial ^ __run.seed) ^ Mix(now._revision + what)) % 1000);
}

void Act(void* object, Event_Response& response);

Stress_Agent* Spawn(uint64_t serial, Revision first, bool pup, Stress_Agent* parent) {
  Stress_Agent* agent = Allocate<Stress_Agent>();
  agent->_serial = serial;
  agent->_due = first;
  agent->_pup = nullptr;
  agent->_parent = parent;
  agent->_is_pup = pup;
  agent->privLoad_Event(&Act, first, Stress_Agent::component_manager);
  return agent;
}

void Die(Stress_Agent* agent, Revision now, Ledger& ledger) {
  ledger.deaths.emplace_back(agent->_serial, now._revision);
  Free(agent);
}

// A later revision of the same parity: a pup's (odd) or an adult's (even) sub-iteration.
Revision Later(Revision now, uint32_t draw, bool pup) {
  const uint32_t base = pup ? 1 : 0;
  if (now._sub_iteration < base + 2 && draw % 3 == 0) return Revision(now._iteration, base + 2);
  const uint32_t skip = draw % 10 == 1 ? 1 + draw % 4 : 1;  // sometimes skip a few iterations
  return Revision(now._iteration + skip, base + 2 * ((draw / 7) % 2));
}

void Act_As_Pup(Stress_Agent* pup, Revision now, Ledger& ledger, Event_Response& response) {
  response._next_revision = Later(now, Draw(pup->_serial, now, 1), true);
  pup->_due = response._next_revision;
  if (Draw(pup->_serial, now, 2) < 40) {
    if (pup->_parent != nullptr) pup->_parent->_pup = nullptr;
    Die(pup, now, ledger);  // after answering: the released cell must ignore the answer
  }
}

void Act_On_Pup(Stress_Agent* adult, Revision now, Ledger& ledger) {
  const uint32_t d = Draw(adult->_serial, now, 3);
  if (adult->_pup == nullptr) {
    if (d < 150) {
      const uint64_t serial = Mix(adult->_serial ^ Mix(now._revision ^ 0x7075701));
      adult->_pup = Spawn(serial, Later(now, d, true), true, adult);
      ++ledger.births;
    }
  } else if (d < 100) {  // free the neighbour it owns: not due now, maybe stepped elsewhere
    ledger.deaths.emplace_back(adult->_pup->_serial, now._revision);
    Free(adult->_pup);
    adult->_pup = nullptr;
    ++ledger.neighbour_frees;
  } else if (d < 200) {  // move it to another revision, earlier or later than its own
    Stress_Agent* pup = adult->_pup;
    pup->_due = Later(now, Draw(adult->_serial, now, 4), true);
    pup->privReschedule(pup->_due, Stress_Agent::component_manager);
    ++ledger.moves;
  }
}

void Act_As_Adult(Stress_Agent* adult, Revision now, Ledger& ledger, Event_Response& response) {
  response._next_revision = Later(now, Draw(adult->_serial, now, 5), false);
  adult->_due = response._next_revision;
  const int64_t death_per_mille = 30 * __run.census_adults / kTarget_Adults;
  if (Draw(adult->_serial, now, 6) < uint32_t(death_per_mille)) {
    if (adult->_pup != nullptr) adult->_pup->_parent = nullptr;
    Die(adult, now, ledger);
    return;
  }
  Act_On_Pup(adult, now, ledger);
  if (Draw(adult->_serial, now, 7) < 30) {
    const uint64_t serial = Mix(adult->_serial ^ Mix(now._revision ^ 0xad0178));
    Spawn(serial, Later(now, Draw(adult->_serial, now, 8), false), false, nullptr);
    ++ledger.births;
  }
}

void Act(void* object, Event_Response& response) {
  auto* agent = static_cast<Stress_Agent*>(object);
  const Revision now = World::Instance().current_revision();
  Ledger& ledger = __run.ledgers[size_t(__thread_id)];
  if (agent->_due != now) ++ledger.misfires;
  ledger.calls.emplace_back(agent->_serial, now._revision);
  if (agent->_is_pup) {
    Act_As_Pup(agent, now, ledger, response);
  } else {
    Act_As_Adult(agent, now, ledger, response);
  }
}

// ---- The checks. They read the manager's blocks while no handler runs and the manager is
// not due, so its block sets do not change under them.

struct Census {
  int64_t allocated = 0;
  int64_t adults = 0;
  std::set<Execution_Block*> active;
};

std::string Where(Execution_Block* block) {
  std::ostringstream out;
  out << "iteration " << World::Instance().iteration() << ", block " << static_cast<void*>(block) << ": ";
  return out.str();
}

// Free cells hold no live object, yet the checks read their link and revision through
// Execution_Object*, as the engine does: exempt from UBSan's dynamic-type check.
#define STRESS_CELL_ACCESS __attribute__((no_sanitize("vptr")))

// The free cells of `block`, checked to be sorted and as many as the block says.
STRESS_CELL_ACCESS std::set<Execution_Object*> Free_Cells(Execution_Block* block) {
  std::set<Execution_Object*> free;
  Execution_Object* previous = nullptr;
  For_Each_Free_Cell(block, [&](Execution_Object* cell) {
    if (cell <= previous) Fail(Where(block) + "free list not in ascending address order");
    previous = cell;
    free.insert(cell);
  });
  if (free.size() != block->_num_cells - block->_num_allocated) Fail(Where(block) + "free list length wrong");
  return free;
}

STRESS_CELL_ACCESS void Check_Cells(Execution_Block* block, Revision now, Revision& lowest, Census& census) {
  const std::set<Execution_Object*> free = Free_Cells(block);
  const Revision block_next = Load_Revision(block->_next_revision);
  for (uint32_t i = 0; i < block->_num_cells; ++i) {
    if (free.count(block->Cell(i)) != 0) {
      // A cell never handed out holds nothing yet; it must be in the unprepared tail.
      if (i >= block->_cells_prepared) continue;
      const Revision r = block->Cell_Revision(i);
      if (r < __revision_omega) Fail(Where(block) + "a free cell holds " + to_string(r));
      continue;
    }
    if (i >= block->_cells_prepared) Fail(Where(block) + "an allocated cell was never prepared");
    const Revision r = block->Cell_Revision(i);
    auto* agent = static_cast<Stress_Agent*>(block->Cell(i));
    if (agent->_execution_block != block) Fail(Where(block) + "a cell names another block");
    if (r != agent->_due)
      Fail(Where(block) + "cell revision " + to_string(r) + " != " + to_string(agent->_due));
    if (r <= now) Fail(Where(block) + "a live agent's revision " + to_string(r) + " passed without a call");
    if (block_next > r) Fail(Where(block) + "block scheduled after one of its agents");
    if (__run.dead.count(agent->_serial) != 0) Fail(Where(block) + "a dead agent is allocated");
    if (!agent->_is_pup) ++census.adults;
    lowest = min(lowest, r);
  }
}

void Check_Active_Set(Execution_Component_Manager_Base& manager, Revision now, Census& census) {
  Revision lowest = __revision_omega;
  for (Execution_Block* block : manager._active_blocks) {
    if (!census.active.insert(block).second) Fail(Where(block) + "active twice");
    if (!block->_active || block->_in_activation_queue || block->_in_deactivation_queue)
      Fail(Where(block) + "active-set flags wrong");
    if (block->_num_allocated == 0) Fail(Where(block) + "empty but active");
    if (block->_claim_count.load() != 0) Fail(Where(block) + "claim counter not reset");
    const int32_t owner = block->_owner_thread.load();
    const bool full = block->_num_allocated == block->_num_cells;
    if (full != (owner == -1)) Fail(Where(block) + "owner does not match fullness");
    if (!full) {
      const auto& list = manager._thread_blocks[owner];
      if (std::find(list.begin(), list.end(), block) == list.end())
        Fail(Where(block) + "not in its owner's list");
    }
    census.allocated += block->_num_allocated;
    Check_Cells(block, now, lowest, census);
  }
  if (Load_Revision(manager._next_revision) > lowest) Fail("manager scheduled after its earliest agent");
}

void Check_Thread_Lists(Execution_Component_Manager_Base& manager, Census const& census) {
  const uint32_t slots = World::Instance().num_threads() + 1;
  for (uint32_t t = 0; t < slots; ++t) {
    uint32_t empty = 0;
    for (Execution_Block* block : manager._thread_blocks[t]) {
      if (block->_owner_thread.load() != int32_t(t))
        Fail(Where(block) + "listed by a thread that does not own it");
      if (block->_num_allocated == block->_num_cells) Fail(Where(block) + "full but listed");
      if (block->_num_allocated > 0) {
        if (census.active.count(block) == 0) Fail(Where(block) + "non-empty but not active");
        continue;
      }
      ++empty;
      if (block->_active || block->_in_activation_queue || block->_in_deactivation_queue)
        Fail(Where(block) + "empty but in the active set or a queue");
    }
    if (manager._empty_blocks[t].load() != empty)
      Fail("empty-block count of thread " + std::to_string(t) + " wrong");
    __run.blocks_seen_empty += empty;
  }
  if (!manager._activation_queue.empty() || !manager._deactivation_queue.empty()) Fail("queues not empty");
  if (manager._threads_finished.load() != 0) Fail("finished-thread counter not reset");
}

// Merges the ledgers of this iteration: deaths first, then the calls, which must not come
// after their agent's death.
void Merge_Ledgers() {
  int64_t births = 0, deaths = 0;
  for (Ledger& ledger : __run.ledgers) {
    for (auto [serial, key] : ledger.deaths) __run.dead.emplace(serial, key);
    births += ledger.births;
    deaths += int64_t(ledger.deaths.size());
  }
  for (Ledger& ledger : __run.ledgers) {
    for (auto [serial, key] : ledger.calls) {
      auto death = __run.dead.find(serial);
      if (death != __run.dead.end() && death->second < key)
        Fail("a freed agent acted at " + to_string(Revision::From_Key(key)));
      __run.digest += Mix(serial ^ Mix(key));
    }
    if (ledger.misfires != 0) Fail("an agent acted at a revision it was not scheduled for");
    __run.calls += int64_t(ledger.calls.size());
    __run.neighbour_frees += ledger.neighbour_frees;
    __run.moves += ledger.moves;
    ledger = Ledger{};
  }
  __run.births += births;
  __run.deaths += deaths;
  __run.live += births - deaths;
  __run.max_live = std::max(__run.max_live, __run.live);
}

void Check_Now() {
  const Revision now = World::Instance().current_revision();
  Merge_Ledgers();
  Execution_Component_Manager_Base& manager = *Stress_Agent::component_manager;
  Census census;
  Check_Active_Set(manager, now, census);
  Check_Thread_Lists(manager, census);
  if (census.allocated != __run.live) {
    Fail("iteration " + std::to_string(now._iteration) + ": " + std::to_string(__run.live) +
         " live agents but " + std::to_string(census.allocated) + " allocated cells");
  }
  __run.census_adults = census.adults;
  ++__run.checks;
}

void Check(void*, Event_Response& response) {
  Check_Now();
  response._next_revision = Revision(World::Instance().iteration() + 1, kChecker_Sub);
}

// ---- The driver.

int Scale() {
  const char* text = std::getenv("QUARNEL_STRESS_SCALE");
  const int scale = text == nullptr ? 1 : std::atoi(text);
  return std::max(scale, 1);
}

struct Outcome {
  uint64_t digest;
  int64_t calls, births, deaths, live;
};

Outcome Run_Population(int threads, int per_block, uint64_t seed, uint32_t iterations) {
  Simulation_Configuration config = testing::Make_Configuration(threads, int(iterations), per_block);
  config.max_free_blocks = 2;  // release empty blocks early and often
  config.num_free_blocks_buffer = 1;
  World::Initialize_Simulation(config);
  __run = Run_State{};
  __run.seed = seed;
  __run.ledgers.assign(size_t(threads), Ledger{});
  for (int i = 1; i <= kInitial_Adults; ++i) Spawn(Mix(seed + uint64_t(i)), Revision(0, 0), false, nullptr);
  __run.live = kInitial_Adults;
  Allocate<Stress_Checker>()->privLoad_Event(&Check, Revision(0, kChecker_Sub),
                                             Stress_Checker::component_manager);
  testing::Run_Bounded([] { World::Instance().Start_Turning("."); }, std::chrono::seconds(120 * Scale()));
  World::Terminate_Simulation();
  return {__run.digest, __run.calls, __run.births, __run.deaths, __run.live};
}

TEST(Stress_Test, Births_And_Deaths_Keep_Every_Invariant_After_Every_Iteration_On_Any_Workers) {
  const uint32_t iterations = 300 * uint32_t(Scale());
  for (uint64_t seed = 1; seed <= 2 * uint64_t(Scale()); ++seed) {
    bool first = true;
    Outcome gold{};
    for (int threads : {1, 2, 6}) {
      for (int per_block : {1, 2, 3, 1000}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(threads) + " workers, " +
                     std::to_string(per_block) + " per block");
        const Outcome seen = Run_Population(threads, per_block, seed, iterations);
        EXPECT_EQ(__run.checks, iterations);
        for (std::string const& failure : __run.failures) ADD_FAILURE() << failure;
        if (first) {
          gold = seen;
          first = false;
          // The history really exercises what the checks guard.
          EXPECT_GT(__run.neighbour_frees, 50);
          EXPECT_GT(__run.moves, 50);
          EXPECT_GT(seen.births, 500);
          EXPECT_GT(seen.deaths, 500);
          EXPECT_GT(__run.blocks_seen_empty, 0);
          EXPECT_GT(seen.live, kInitial_Adults / 2);
          EXPECT_LT(__run.max_live, 20 * kTarget_Adults);
        }
        EXPECT_EQ(seen.digest, gold.digest);
        EXPECT_EQ(seen.calls, gold.calls);
        EXPECT_EQ(seen.births, gold.births);
        EXPECT_EQ(seen.deaths, gold.deaths);
        EXPECT_EQ(seen.live, gold.live);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace quarnel
