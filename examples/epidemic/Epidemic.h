// Epidemic with recovery events: people are susceptible, infected or recovered; infections
// allocate recovery events that fire, move and free themselves; people are born and die.
//
// Phase formulation (two sub-iterations per day d, then the iteration hook):
//  - (d, 0) every person: counts itself in the day's census, draws its day (Plan_Day); an
//    infected person moves its own recovery event to (d + 1, 1) when treated and claims each
//    susceptible contact it infects (atomic minimum of identities on the contact's claim), and
//    if it hit anyone it sends its day's infections to (d, 1) as an agent of their own
//    (Infections); births. A person who draws death records itself for the hook and frees
//    itself.
//  - (d, 1) recovery events fire (recover and free themselves, or answer (d + 1, 1)); each
//    Infections agent, for each contact on which its infector holds the lowest claim, infects
//    it and allocates its recovery event, due at (d + min_sick_days, 1), then frees itself.
//    No person acts here: the kernel steps only the day's few Infections agents and the due
//    events instead of walking every block of people.
//  - the iteration hook removes the dead from the directory (swap with the last, in
//    descending slot order), appends the newborns in identity order, and checks the day's
//    counts against the kernel's live counts.
// Run_Epidemic runs it on the kernel; Run_Epidemic_Reference (Epidemic_Reference.h) runs the
// same formulation with plain loops over vectors and the same draws (Plan_Day, Recovers):
// equal series, on any number of workers and for any block size.
//
// Thread rules inside a day: at (d, 0) statuses and recovery links are read by anyone and
// written by no one, claims are written only by atomic minimum; at (d, 1) a claim is read by
// every Infections agent whose infector hit its person and cleared by its winner alone, who
// alone then reads and writes that (susceptible) person's status, and an infected person's
// status is written only by its own event. Every claim is thus cleared within its day: no
// infector can match a stale one and read the status of a person whose event is changing it.
// A dead person's directory entries stay until the hook removes them; no one reads them (its
// status is recovered, so no contact check goes past it to its memory).
//
// The run's shared state (the directory, the settings, the measures) is attached to the run;
// handlers reach it as next.model<detail::Shared>(). The day's counts are measures
// (Measured), which the iteration hook reads to make the day's row.
//
// Thread safety: Run_Epidemic and Run_Epidemic_Reference run on the calling thread; one kernel
// run per process at a time.
#pragma once

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Fingerprint_Scope.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/View.h>

#include <cereal/types/common.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace epidemic {

struct Epidemic_Parameters {
  int64_t people = 10000;   // N, living at the start
  int contacts = 4;         // k, people met per infectious day
  double infection = 0.1;   // p, per contact with a susceptible person
  int min_sick_days = 3;    // the recovery event first fires this many days after the infection
  double recovery = 0.3;    // q, each time the recovery event fires
  double treatment = 0.02;  // t, per infectious day: the recovery event moves to the next day
  double death = 0.001;     // d, per day of a recovered person
  double birth = 0.0001;    // b, per day of a living person
  int initially_infected = 10;
  int days = 100;
};

constexpr int kMaxContacts = 16;

// The parameters, declared once: the command line, the records and the presets read them here.
inline const quarnel::modelkit::Model_Parameters<Epidemic_Parameters>& Declared_Parameters() {
  using P = Epidemic_Parameters;
  static const auto declared = [] {
    quarnel::modelkit::Model_Parameters<P> p;
    p.Integer("people", &P::people, 10000, 1, 2147483647, "people living at the start (N)");
    p.Integer("contacts", &P::contacts, 4, 0, kMaxContacts, "people an infectious person meets each day (k)");
    p.Floating("infection", &P::infection, 0.1, 0, 1,
               "chance that a contact infects a susceptible person it meets (p)");
    p.Integer("min_sick_days", &P::min_sick_days, 3, 1, 2147483647,
              "days from an infection to the first firing of its recovery event");
    p.Floating("recovery", &P::recovery, 0.3, 0, 1,
               "chance that the recovery event recovers its person each time it fires (q)");
    p.Floating("treatment", &P::treatment, 0.02, 0, 1,
               "chance per infectious day that the recovery event moves to the next day (t)");
    p.Floating("death", &P::death, 0.001, 0, 1, "chance per day that a recovered person dies (d)");
    p.Floating("birth", &P::birth, 0.0001, 0, 1, "chance per day that a living person gives birth (b)");
    p.Integer("initially_infected", &P::initially_infected, 10, 0, 2147483647,
              "people infected at the start (all of them when there are fewer)");
    p.Integer("days", &P::days, 100, 1, 2147483647, "days to run (--steps N sets them too)");
    p.Length("days");
    p.Preset("small", {});
    p.Preset("large", {{"people", "1000000"}});
    p.Preset("huge", {{"people", "10000000"}});
    return p;
  }();
  return declared;
}

inline Epidemic_Parameters Parameters_For(quarnel::modelkit::Model_Size size) {
  return Declared_Parameters().Values_For(quarnel::modelkit::to_string(size), {});
}

// One line of the series: the population at the end of `day` (1 = after the first day).
struct Day_Row {
  int day;
  int64_t susceptible, infected, recovered, births, deaths;
  friend bool operator==(const Day_Row&, const Day_Row&) = default;
};

// A run's checkpoints (Model_Checkpoints.h): the run resumes from theirs when they resume, and
// saves into them at the end of each day, after its row, which `records` holds.
struct Checkpointing {
  quarnel::modelkit::Model_Checkpoints& checkpoints;
  quarnel::modelkit::Recorder& records;
};

struct Run_Settings {
  int threads = 1;
  uint64_t seed = 1;
  int steps = 0;  // days; 0: the parameters' days
  int block_size = 1000;
  bool fingerprint = true;         // record the run fingerprint (kernel only)
  bool record_infections = false;  // keep every infection in the result (tests)
  // Kernel only: receives each day's row at the end of its day, with the measures of
  // Measured::Recorded() set to it, and the result then keeps the last row only, so that
  // memory does not grow with the days.
  std::function<void(const Day_Row&)> on_row;
  // Kernel only: the live view that watches the run (View.h), or null. The epidemic has no
  // space: its compartments' plots are its view.
  quarnel::modelkit::View* view = nullptr;
  // Kernel only: the run's checkpoints, or null.
  const Checkpointing* checkpointing = nullptr;
};

// Who infected whom, on which day (recorded when asked for).
struct Infection {
  int day;
  uint64_t infector, infected;
  friend bool operator==(const Infection&, const Infection&) = default;
  friend bool operator<(const Infection& a, const Infection& b) {
    return a.day != b.day ? a.day < b.day : a.infected < b.infected;
  }
};

struct Epidemic_Result {
  std::vector<Day_Row> series;
  std::vector<Infection> infections;  // sorted by day, then infected person
  quarnel::Run_Digest fingerprint;    // empty for the reference
  int64_t births = 0, deaths = 0;     // over the whole run, a resumed one's saved days too (kernel only)
};

enum Status : uint8_t { susceptible = 0, infected = 1, recovered = 2 };

// What one person does on day d, from its stream (seed, identity, (d, 0)); every draw of the
// person's day, in this order: a recovered person's death, the birth (not when dying), then
// for an infected person the treatment and, per contact, its index and whether it infects.
struct Day_Plan {
  bool dies = false;
  bool gives_birth = false;
  bool treated = false;
  uint32_t hits = 0;  // bit j: contact j is infected if susceptible
  std::array<uint32_t, kMaxContacts> contact{};
};

inline Day_Plan Plan_Day(const Epidemic_Parameters& p, uint64_t seed, uint64_t identity, uint32_t day,
                         Status status, uint32_t population) {
  quarnel::Counter_Random draws(seed, identity, quarnel::Revision(day, 0));
  Day_Plan plan;
  if (status == recovered && draws.Next_Uniform() < p.death) {
    plan.dies = true;
    return plan;
  }
  plan.gives_birth = draws.Next_Uniform() < p.birth;
  if (status == infected) {
    plan.treated = draws.Next_Uniform() < p.treatment;
    for (int j = 0; j < p.contacts; ++j) {
      plan.contact[size_t(j)] = uint32_t(draws.Next_Below(population));
      if (draws.Next_Uniform() < p.infection) plan.hits |= 1u << j;
    }
  }
  return plan;
}

// Whether the recovery event `event_identity` lets its person recover when it fires on `day`.
inline bool Recovers(const Epidemic_Parameters& p, uint64_t seed, uint64_t event_identity, uint32_t day) {
  return quarnel::Counter_Random(seed, event_identity, quarnel::Revision(day, 1)).Next_Uniform() < p.recovery;
}

// The directory slots of the people infected at the start: distinct, drawn from the set-up
// stream (seed, 0, 0), a slot drawn again skipped. A bit per person marks the slots taken, so
// that infecting most of a large population at the start costs its draws, not a search of
// the slots so far per draw.
inline std::vector<uint32_t> Initially_Infected(const Epidemic_Parameters& p, uint64_t seed) {
  quarnel::Counter_Random draws(seed, 0, uint64_t(0));
  std::vector<uint32_t> slots;
  const int64_t n = std::min<int64_t>(p.initially_infected, p.people);
  if (n <= 0) return slots;
  slots.reserve(size_t(n));
  std::vector<bool> taken(size_t(p.people));
  while (int64_t(slots.size()) < n) {
    const uint32_t s = uint32_t(draws.Next_Below(uint64_t(p.people)));
    if (taken[s]) continue;
    taken[s] = true;
    slots.push_back(s);
  }
  return slots;
}

constexpr uint64_t kNoClaim = std::numeric_limits<uint64_t>::max();

// One day's counts, as the handlers report them.
struct Day_Counts {
  int64_t census[3] = {0, 0, 0};  // statuses of the living at (d, 0)
  int64_t infections = 0, recoveries = 0, births = 0, deaths = 0;
};

// The model's measures. The records hold the five columns of Recorded(): births and deaths are
// the day's counts themselves; the hook sets S, I and R at the day's end (Row_Of) from the
// census and the transitions that the handlers count in the day.
struct Measured {
  static const std::vector<std::string>& Recorded() {
    static const std::vector<std::string> columns{"susceptible", "infected", "recovered", "births", "deaths"};
    return columns;
  }
  quarnel::Measures measures;
  quarnel::Integer_Gauge_Measure susceptible = measures.Integer_Gauge("susceptible");
  quarnel::Integer_Gauge_Measure infected = measures.Integer_Gauge("infected");
  quarnel::Integer_Gauge_Measure recovered = measures.Integer_Gauge("recovered");
  quarnel::Count_Measure births = measures.Count("births");  // at (d, 0)
  quarnel::Count_Measure deaths = measures.Count("deaths");  // at (d, 0)
  // [status]: the living at (d, 0) by status
  std::array<quarnel::Count_Measure, 3> census{measures.Count("census_susceptible"),
                                               measures.Count("census_infected"),
                                               measures.Count("census_recovered")};
  quarnel::Count_Measure infections = measures.Count("infections");  // at (d, 1)
  quarnel::Count_Measure recoveries = measures.Count("recoveries");  // at (d, 1)

  // The day's counts, as the last finished day left them. REQUIRES: no worker steps.
  Day_Counts Counts() const {
    Day_Counts c;
    for (int s = 0; s < 3; ++s) c.census[s] = census[size_t(s)].Value();
    c.infections = infections.Value();
    c.recoveries = recoveries.Value();
    c.births = births.Value();
    c.deaths = deaths.Value();
    return c;
  }
};

// The end-of-day row from the census at the day's start and the day's transitions.
inline Day_Row Row_Of(int day, const Day_Counts& c) {
  return {day,
          c.census[susceptible] - c.infections + c.births,
          c.census[infected] + c.infections - c.recoveries,
          c.census[recovered] + c.recoveries - c.deaths,
          c.births,
          c.deaths};
}

// The daily checks: "" when they hold, else one line naming the failed check and its numbers.
//  1. the census counts every person living at the day's start: S + I + R = living before;
//  2. S + I + R at the day's end = births - deaths + N = the kernel's live people;
//  3. live recovery events = infected people.
struct Day_Check {
  int day;
  Day_Counts counts;
  int64_t living_before, living_after;  // N + births - deaths, before and after the day
  int64_t live_people, live_events;     // the kernel's live counts after the day
};
inline std::string Day_Check_Failure(const Day_Check& c) {
  const Day_Row row = Row_Of(c.day, c.counts);
  const int64_t census = c.counts.census[0] + c.counts.census[1] + c.counts.census[2];
  const int64_t sir = row.susceptible + row.infected + row.recovered;
  std::ostringstream out;
  out << "epidemic check failed on day " << c.day << ": ";
  if (census != c.living_before) {
    out << "census S + I + R = " << census << " but the living population before the day is "
        << c.living_before;
  } else if (sir != c.living_after || sir != c.live_people) {
    out << "S + I + R = " << sir << ", births - deaths + N = " << c.living_after
        << ", live people (kernel) = " << c.live_people;
  } else if (c.live_events != row.infected) {
    out << "live recovery events (kernel) = " << c.live_events << " but infected people = " << row.infected;
  } else {
    return "";
  }
  return out.str();
}

namespace detail {

inline void Check(const Epidemic_Parameters& p, int days) {
  if (p.people < 1 || p.people > int64_t(std::numeric_limits<uint32_t>::max() / 2))
    throw std::invalid_argument("epidemic: the population must be between 1 and 2^31 - 1");
  if (p.contacts < 0 || p.contacts > kMaxContacts)
    throw std::invalid_argument("epidemic: contacts must be between 0 and 16");
  if (p.min_sick_days < 1) throw std::invalid_argument("epidemic: min_sick_days must be at least 1");
  if (days < 1) throw std::invalid_argument("epidemic: at least one day");
}

class Person;
class Recovery;

// One worker's lists of the day; the hook gathers them and empties them.
struct Worker_Day {
  std::vector<uint32_t> dead_slots;
  std::vector<Person*> newborns;
  std::vector<Infection> infections;
};

// The directory of the living: by slot, each person with its status, the day's lowest claim
// on it and its pending recovery event. Contacts are drawn by slot, and checking one reads
// these dense arrays instead of a random person's cell (at ten million people, a cache hit
// instead of a memory access); a recovery finds its person's entries by slot as well. Slots
// are added, moved and removed only by the hook, which keeps each person's and event's
// `_slot` equal to its index.
struct Slot_Table {
  std::vector<Person*> person;
  std::vector<Status> status;
  std::vector<uint64_t> claim;  // kNoClaim between days; changed through std::atomic_ref
  std::vector<Recovery*> recovery;

  size_t size() const { return person.size(); }
  inline void Append(Person* p, Status st, Recovery* event);
  inline void Move(uint32_t from, uint32_t to);
  void Pop_Back() {
    person.pop_back();
    status.pop_back();
    claim.pop_back();
    recovery.pop_back();
  }
};

// The run's model state, which every handler reaches as next.model<Shared>(): the settings,
// the directory (written at (d, 1) only as the thread rules above allow, rebuilt by the hook),
// the workers' lists of the day and the measures the handlers add to.
struct Shared {
  Shared(const Epidemic_Parameters& p, uint64_t run_seed, bool record, const Measured& m)
      : params(p), seed(run_seed), record_infections(record), measured(m) {}
  Epidemic_Parameters params;
  uint64_t seed;
  bool record_infections;
  Slot_Table slots;
  uint32_t population = 0;  // slots.size() during the day
  quarnel::Per_Worker<Worker_Day> workers;
  const Measured& measured;
  Worker_Day& Mine() { return workers.Mine(); }
};

class Person : public quarnel::Identified_Agent<Person> {
 public:
  // Every day at (d, 0).
  inline void Act(quarnel::Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_slot);
  }

  uint32_t _slot = UINT32_MAX;  // index in the directory; given and changed by the hook
};

// The infections an infected person's contacts of day d may receive from it, settled at
// (d, 1) once every claim of the day is in; then it frees itself.
class Infections : public quarnel::Agent<Infections> {
 public:
  Infections() = default;  // a checkpoint's load fills it
  explicit Infections(uint64_t infector) : _infector(infector) {}
  inline void Act(quarnel::Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_infector);
  }

  uint64_t _infector = 0;  // the identity of the person whose hits these are
};

class Recovery : public quarnel::Identified_Event<Recovery> {
 public:
  Recovery() = default;  // a checkpoint's load fills it
  explicit Recovery(uint32_t slot) : _slot(slot) {}
  // Its due day is the kernel's to save (the event goes back into a heap at it).
  template <class Archive>
  void serialize(Archive& a) {
    a(_slot);
  }

  // Fires at (day, 1): recover and free itself, or answer the next day.
  void Act(quarnel::Next& next) {
    Shared& s = next.model<Shared>();
    if (Recovers(s.params, s.seed, identity(), next.iteration())) {
      s.slots.status[_slot] = recovered;
      s.slots.recovery[_slot] = nullptr;
      s.measured.recoveries.Add();
      quarnel::Release(this);
      return;
    }
    next.In(1, 1);
  }

  uint32_t _slot = UINT32_MAX;  // its person's slot; written by the hook
};

void Slot_Table::Append(Person* p, Status st, Recovery* event) {
  p->_slot = uint32_t(size());
  person.push_back(p);
  status.push_back(st);
  claim.push_back(kNoClaim);
  recovery.push_back(event);
}

// The person at `from` takes slot `to` (whose occupant has left), with its entries.
void Slot_Table::Move(uint32_t from, uint32_t to) {
  person[to] = person[from];
  person[to]->_slot = to;
  status[to] = status[from];
  claim[to] = claim[from];
  recovery[to] = recovery[from];
  if (recovery[to] != nullptr) recovery[to]->_slot = to;
}

void Person::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  const Status status = s.slots.status[_slot];
  s.measured.census[status].Add();
  const uint32_t day = next.iteration();
  const Day_Plan plan = Plan_Day(s.params, s.seed, identity(), day, status, s.population);
  if (plan.dies) {  // only the recovered die, and they hold no recovery event
    s.measured.deaths.Add();
    s.Mine().dead_slots.push_back(_slot);
    quarnel::Release(this);
    return;
  }
  if (plan.gives_birth) {
    Person* child = quarnel::Create_Identified<Person>(quarnel::Child_Identity(identity(), next.now(), 0));
    child->Schedule_At(quarnel::Revision(day + 1, 0));
    s.Mine().newborns.push_back(child);
    s.measured.births.Add();
  }
  if (status == infected) {
    if (plan.treated) s.slots.recovery[_slot]->Schedule_At(quarnel::Revision(day + 1, 1));
    for (int j = 0; j < s.params.contacts; ++j) {
      const uint32_t contact = plan.contact[size_t(j)];
      if (!(plan.hits >> j & 1u) || s.slots.status[contact] != susceptible) continue;
      std::atomic_ref<uint64_t> claim(s.slots.claim[contact]);  // the lowest identity wins
      uint64_t seen = claim.load(std::memory_order_relaxed);
      while (identity() < seen && !claim.compare_exchange_weak(seen, identity(), std::memory_order_relaxed)) {
      }
    }
    if (plan.hits != 0) quarnel::Create<Infections>(identity())->Schedule_At(quarnel::Revision(day, 1));
  }
  next.In(1);
}

// It does not read its infector's status: the infector's own recovery event may be changing it
// in this sub-iteration.
void Infections::Act(quarnel::Next& next) {
  Shared& s = next.model<Shared>();
  const uint32_t day = next.iteration();
  const Day_Plan plan = Plan_Day(s.params, s.seed, _infector, day, infected, s.population);
  for (int j = 0; j < s.params.contacts; ++j) {
    if (!(plan.hits >> j & 1u)) continue;
    const uint32_t slot = plan.contact[size_t(j)];
    // The winner clears its claim and alone reads and writes the contact's status; a contact
    // hit twice by one infector is infected at the first hit.
    std::atomic_ref<uint64_t> claim(s.slots.claim[slot]);
    if (claim.load(std::memory_order_relaxed) != _infector) continue;
    claim.store(kNoClaim, std::memory_order_relaxed);
    Recovery* event = quarnel::Create_Identified<Recovery>(
        quarnel::Child_Identity(_infector, next.now(), uint64_t(j)), slot);
    event->Schedule_At(quarnel::Revision(day + uint32_t(s.params.min_sick_days), 1));
    s.slots.status[slot] = infected;
    s.slots.recovery[slot] = event;
    s.measured.infections.Add();
    if (s.record_infections)
      s.Mine().infections.push_back({int(day) + 1, _infector, s.slots.person[slot]->identity()});
  }
  quarnel::Release(this);
}

// The dead leave the directory, the same way in the kernel and the reference: in descending
// slot order, each is replaced by the last entry (move(from, to)), then the last entry goes
// (pop()). `size` is the directory's size.
template <class Move, class Pop>
void Remove_Dead(std::vector<uint32_t>& dead_slots, size_t size, Move&& move, Pop&& pop) {
  std::sort(dead_slots.begin(), dead_slots.end(), std::greater<>());
  for (uint32_t slot : dead_slots) {
    if (slot != size - 1) move(uint32_t(size - 1), slot);
    pop();
    --size;
  }
}

}  // namespace detail

// The model on the kernel: `settings.threads` workers, blocks of `settings.block_size` people
// and recovery events, its measures in `measured` (a set of its own when null). Each day's row
// is final at the end of its day, with the measures of Measured::Recorded() set to it.
// With settings.checkpointing, a run saved in a checkpoint goes on from its day, and
// checkpoints are written as they ask. Between days no Infections agent lives, every claim is
// clear and the workers' lists are empty, so a checkpoint holds the people and their pending
// recovery events (each with its slot, an event with its due revision), the directory's
// statuses in slot order (the contacts are drawn by slot), the living count and the run's
// births and deaths; the directory is rebuilt from the slots.
// REQUIRES: controlling thread, no other run. Exceptions of the kernel and a failed daily check
// pass through.
inline Epidemic_Result Run_Epidemic(const Epidemic_Parameters& p, const Run_Settings& settings,
                                    Measured* measured = nullptr) {
  using detail::Person;
  using detail::Recovery;
  const int days = settings.steps > 0 ? settings.steps : p.days;
  detail::Check(p, days);
  std::unique_ptr<Measured> own = measured ? nullptr : std::make_unique<Measured>();
  Measured& m = measured ? *measured : *own;
  detail::Shared state(p, settings.seed, settings.record_infections, m);
  Epidemic_Result result;

  const quarnel::modelkit::Fingerprint_Scope fingerprint_scope(settings.fingerprint);
  quarnel::Simulation_Configuration config;
  config.num_threads = settings.threads;
  config.num_iterations = days;
  int days_done = 0;
  {
    quarnel::Simulation run(config, state);
    state.workers.Start();
    quarnel::Set_Block_Size<Person>(settings.block_size);
    quarnel::Set_Block_Size<Recovery>(settings.block_size);
    quarnel::Set_Block_Size<detail::Infections>(settings.block_size);
    detail::Slot_Table& slots = state.slots;
    int64_t living = p.people;
    run.Attach_Measures(m.measures);
    auto contents = [&](quarnel::Checkpoint_Io& io) {
      io.Objects<Person>();
      io.Objects<Recovery>();
      io.Objects<detail::Infections>();
      io.State(slots.status, living, days_done, result.births, result.deaths);
      if (io.saving()) return;
      // The directory again, each entry where its person's and event's slots say.
      const size_t n = slots.status.size();
      slots.person.assign(n, nullptr);
      slots.claim.assign(n, kNoClaim);
      slots.recovery.assign(n, nullptr);
      bool fits = int64_t(n) == living && quarnel::Live_Count<Person>() == living &&
                  quarnel::Live_Count<detail::Infections>() == 0;
      quarnel::For_Each_Live<Person>([&](Person& person) {
        if (person._slot >= n || slots.person[person._slot] != nullptr) fits = false;
        if (fits) slots.person[person._slot] = &person;
      });
      int64_t infected_people = 0;
      for (const Status status : slots.status) {
        if (status > recovered) fits = false;
        infected_people += status == infected;
      }
      quarnel::For_Each_Live<Recovery>([&](Recovery& event) {
        if (event._slot >= n || slots.recovery[event._slot] != nullptr ||
            slots.status[event._slot] != infected)
          fits = false;
        if (fits) slots.recovery[event._slot] = &event;
      });
      if (!fits || quarnel::Live_Count<Recovery>() != infected_people)
        io.Refuse("its people, their slots and their recovery events do not make one directory");
    };
    if (settings.checkpointing != nullptr && settings.checkpointing->checkpoints.resuming()) {
      settings.checkpointing->checkpoints.Restore(&m.measures, contents);
    } else {
      for (int64_t i = 0; i < p.people; ++i) {
        Person* person = quarnel::Create_Identified<Person>(quarnel::Root_Identity(uint64_t(i)));
        person->Schedule_At(quarnel::Revision(0, 0));
        slots.Append(person, susceptible, nullptr);
      }
      const std::vector<uint32_t> first = Initially_Infected(p, settings.seed);
      for (size_t j = 0; j < first.size(); ++j) {
        Recovery* event = quarnel::Create_Identified<Recovery>(quarnel::Root_Identity(j), first[j]);
        event->Schedule_At(quarnel::Revision(uint32_t(p.min_sick_days), 1));
        slots.status[first[j]] = infected;
        slots.recovery[first[j]] = event;
      }
    }
    state.population = uint32_t(slots.size());

    run.On_Iteration_End([&](uint32_t day) {
      const Day_Counts counts = m.Counts();
      std::vector<uint32_t> dead;
      std::vector<Person*> born;
      state.workers.For_Each([&](detail::Worker_Day& w) {
        dead.insert(dead.end(), w.dead_slots.begin(), w.dead_slots.end());
        w.dead_slots.clear();
        born.insert(born.end(), w.newborns.begin(), w.newborns.end());
        w.newborns.clear();
        result.infections.insert(result.infections.end(), w.infections.begin(), w.infections.end());
        w.infections.clear();
      });
      detail::Remove_Dead(
          dead, slots.size(), [&](uint32_t from, uint32_t to) { slots.Move(from, to); },
          [&] { slots.Pop_Back(); });
      std::sort(born.begin(), born.end(), [](Person* a, Person* b) { return a->identity() < b->identity(); });
      for (Person* child : born) slots.Append(child, susceptible, nullptr);
      const Day_Check check{int(day) + 1,
                            counts,
                            living,
                            living + counts.births - counts.deaths,
                            quarnel::Live_Count<Person>(),
                            quarnel::Live_Count<Recovery>()};
      living = check.living_after;
      std::string failure = Day_Check_Failure(check);
      if (failure.empty() && int64_t(slots.size()) != living) {
        failure = "epidemic check failed on day " + std::to_string(day + 1) + ": the directory holds " +
                  std::to_string(slots.size()) + " people but " + std::to_string(living) + " live";
      }
      if (!failure.empty()) throw std::runtime_error(failure);
      const Day_Row row = Row_Of(int(day) + 1, counts);
      m.susceptible.Set(row.susceptible);
      m.infected.Set(row.infected);
      m.recovered.Set(row.recovered);
      result.births += row.births;
      result.deaths += row.deaths;
      if (settings.on_row) {
        settings.on_row(row);
        result.series.assign(1, row);
      } else {
        result.series.push_back(row);
      }
      ++days_done;
      state.population = uint32_t(slots.size());
      if (settings.view) settings.view->Between_Iterations(uint64_t(day) + 1, uint64_t(days), nullptr);
      if (settings.checkpointing != nullptr) {
        settings.checkpointing->checkpoints.After_Iteration(day, settings.checkpointing->records, &m.measures,
                                                            contents);
      }
    });
    run.Run();
  }
  // A run stopped on request (World::Request_Stop) ends early with its finished days.
  if (days_done != days && !quarnel::World::Instance().stopped_on_request())
    throw std::runtime_error("epidemic: the run ended before its last day");
  std::sort(result.infections.begin(), result.infections.end());
  result.fingerprint = quarnel::Run_Fingerprint::Instance().Result();
  return result;
}

}  // namespace epidemic
