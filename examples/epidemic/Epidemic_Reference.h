// The epidemic's sequential reference: the same formulation with plain loops over vectors,
// equal day by day, for the tests and the benchmarks.
#pragma once

#include "Epidemic.h"

namespace epidemic {

// The same formulation with plain loops over vectors: people by storage index (the dead stay
// as records), the directory of living storage indices, the recovery event as the person's
// (identity, due day).
inline Epidemic_Result Run_Epidemic_Reference(const Epidemic_Parameters& p, const Run_Settings& settings) {
  const int days = settings.steps > 0 ? settings.steps : p.days;
  detail::Check(p, days);
  struct Record {
    uint64_t identity;
    uint64_t claim = kNoClaim;
    uint64_t event = 0;      // identity of the recovery event while infected
    uint32_t event_day = 0;  // the day at whose sub-iteration 1 it fires next
    Status status = susceptible;
  };
  std::vector<Record> people(size_t(p.people));
  std::vector<uint32_t> directory(size_t(p.people));
  for (int64_t i = 0; i < p.people; ++i) {
    people[size_t(i)].identity = quarnel::Root_Identity(uint64_t(i));
    directory[size_t(i)] = uint32_t(i);
  }
  const std::vector<uint32_t> first = Initially_Infected(p, settings.seed);
  for (size_t j = 0; j < first.size(); ++j) {
    Record& r = people[first[j]];
    r.status = infected;
    r.event = quarnel::Root_Identity(j);
    r.event_day = uint32_t(p.min_sick_days);
  }
  Epidemic_Result result;
  std::vector<uint32_t> infectors, due, dead;
  std::vector<Record> born;
  for (uint32_t day = 0; day < uint32_t(days); ++day) {
    Day_Counts counts;
    infectors.clear();
    due.clear();
    dead.clear();
    born.clear();
    const uint32_t population = uint32_t(directory.size());
    // (d, 0)
    for (uint32_t slot = 0; slot < population; ++slot) {
      Record& r = people[directory[slot]];
      ++counts.census[r.status];
      const Day_Plan plan = Plan_Day(p, settings.seed, r.identity, day, r.status, population);
      if (plan.dies) {
        dead.push_back(slot);
        continue;
      }
      if (plan.gives_birth) {
        Record child;
        child.identity = quarnel::Child_Identity(r.identity, quarnel::Revision(day, 0), 0);
        born.push_back(child);
        ++counts.births;
      }
      if (r.status != infected) continue;
      if (plan.treated) r.event_day = day + 1;
      if (r.event_day == day) due.push_back(directory[slot]);
      for (int j = 0; j < p.contacts; ++j) {
        if (!(plan.hits >> j & 1u)) continue;
        Record& contact = people[directory[plan.contact[size_t(j)]]];
        if (contact.status == susceptible) contact.claim = std::min(contact.claim, r.identity);
      }
      if (plan.hits != 0) infectors.push_back(slot);
    }
    // (d, 1): recovery events of the infected, infections of the susceptible
    for (uint32_t index : due) {
      Record& r = people[index];
      if (Recovers(p, settings.seed, r.event, day)) {
        r.status = recovered;
        ++counts.recoveries;
      } else {
        r.event_day = day + 1;
      }
    }
    for (uint32_t slot : infectors) {
      const Record& r = people[directory[slot]];
      const Day_Plan plan = Plan_Day(p, settings.seed, r.identity, day, infected, population);
      for (int j = 0; j < p.contacts; ++j) {
        if (!(plan.hits >> j & 1u)) continue;
        Record& contact = people[directory[plan.contact[size_t(j)]]];
        if (contact.claim != r.identity || contact.status != susceptible) continue;
        contact.status = infected;
        contact.event = quarnel::Child_Identity(r.identity, quarnel::Revision(day, 1), uint64_t(j));
        contact.event_day = day + uint32_t(p.min_sick_days);
        ++counts.infections;
        if (settings.record_infections)
          result.infections.push_back({int(day) + 1, r.identity, contact.identity});
      }
    }
    // the end of the day: the dead leave, the newborns join
    counts.deaths = int64_t(dead.size());
    detail::Remove_Dead(
        dead, directory.size(), [&](uint32_t from, uint32_t to) { directory[to] = directory[from]; },
        [&] { directory.pop_back(); });
    std::sort(born.begin(), born.end(),
              [](const Record& a, const Record& b) { return a.identity < b.identity; });
    for (const Record& child : born) {
      directory.push_back(uint32_t(people.size()));
      people.push_back(child);
    }
    result.series.push_back(Row_Of(int(day) + 1, counts));
  }
  std::sort(result.infections.begin(), result.infections.end());
  return result;
}

}  // namespace epidemic
