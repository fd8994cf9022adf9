// Stable 64-bit identities for the objects of deterministic models.
//
// An identity names an object independently of where it lives (block, cell, worker), so a
// model can key its random draws (Counter_Random) and the run fingerprint (Run_Fingerprint)
// on it. It is 64 bits because identities are derived by hashing, and 32 bits would collide
// within a few tens of thousands of objects; `Base_Object::_object_id` stays the engine's
// 32-bit identifier. Only types that opt in carry the field, so the cells of every other
// type keep their size: an agent type derives from Identified_Execution_Object, an event
// type from Identified_Event_Object (through Quarnel_Component, as usual).
//
// The rule (all identities of a run follow it, so they depend only on the model):
//  1. Objects created while the run is set up on the controlling thread get
//     Root_Identity(i) = i + 1 for the i-th of them (i = 0, 1, ...).
//  2. The k-th object that an object with identity p creates in its handler at revision r
//     gets Child_Identity(p, r, k): the Philox4x64 draw k of (identity domain, p, r). It
//     depends only on p, r and k, never on the worker or on the order of stepping.
//  3. 0 means "no identity" and is never given.
// Two objects of one type never share an identity in a run: each identified type's manager
// records every identity given in the run (living or released) and Allocate_Identified
// raises a fatal error on a repeat, whether it comes from a hash collision or from a model
// that gives the same (p, r, k) twice. A repeat is reported, never merged.
//
// Thread safety: Root_Identity and Child_Identity are pure. Allocate_Identified is called
// where Allocate<T> may be (set-up on the controlling thread, handlers on any worker); the
// record of identities takes one spin lock per call (one of 65). Initialize/Terminate of the
// manager (controlling thread, no worker stepping) forget the run's identities.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <quarnel/Counter_Random.h>
#include <quarnel/Event_Component_Manager.h>
#include <quarnel/Execution_Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Globals.h>
#include <quarnel/detail/Spin_Lock.h>

namespace quarnel {

constexpr uint64_t __identity_none = 0;
constexpr uint64_t __identity_domain = 0x4964656e74697479;  // "Identity": the seed of rule 2

inline uint64_t Root_Identity(uint64_t index) {
  return index + 1;
}

inline uint64_t Child_Identity(uint64_t parent, Revision revision, uint64_t ordinal = 0) {
  const Counter_Random stream(__identity_domain, parent, revision);
  const uint64_t identity = stream.U64(ordinal);
  return identity != __identity_none ? identity : stream.U64(ordinal | (uint64_t(1) << 63));
}

// An engine base class (Execution_Object or Event_Object) with an identity.
template <class Engine_Base>
class Identified : public Engine_Base {
 public:
  uint64_t _identity = __identity_none;
};
using Identified_Execution_Object = Identified<Execution_Object>;
using Identified_Event_Object = Identified<Event_Object>;

// The identity the run fingerprint records for `object`: its 64-bit identity when its type
// is identified (its manager's `_identified`), else its 32-bit identifier widened (-1: none).
template <class Engine_Base>
uint64_t Fingerprint_Identity(const Engine_Base* object, bool identified) {
  if (identified) return static_cast<const Identified<Engine_Base>*>(object)->_identity;
  return uint64_t(int64_t(object->_object_id));
}

// Every identity given in one run, for one type. Claim: any thread.
//
// Small identities (the set-up's roots are 1, 2, 3, ...) are bits of one dense bitmap, which
// grows by doubling up to kDense_Limit; every other identity (children's are 64-bit hashes)
// goes to one of 64 shards, each an open-addressing table of identities (0 marks a free slot,
// linear probing, at most half full). Each part has its own spin locks; no lock is held
// while another is taken. A claim costs about one cache miss; memory grows by 16 to 32 bytes per
// sparse identity and by one bit per dense one.
class Identity_Registry {
 public:
  // Records `identity`; a fatal error if it is 0 or was recorded before in this run.
  void Claim(uint64_t identity, const std::string& type_name) {
    if (identity == __identity_none) QUARNEL_FATAL("Identity 0 given to an object of " << type_name);
    const bool fresh = identity < kDense_Limit ? _dense.Insert(identity) : Insert_Sparse(identity);
    if (!fresh) {
      QUARNEL_FATAL("Identity collision: identity " << identity << " was given to two objects of "
                                                    << type_name << " in one run");
    }
  }
  // REQUIRES: no thread claims.
  void Clear() {
    _dense.Clear();
    for (Shard& shard : _shards) shard.Clear();
  }
  size_t size() const {
    size_t n = _dense.count;
    for (const Shard& shard : _shards) n += shard.count;
    return n;
  }

  static constexpr uint64_t kDense_Limit = uint64_t(1) << 27;  // a bitmap of at most 16 MiB

 private:
  static constexpr uint64_t kShards = 64;

  struct alignas(__cache_line_size) Dense_Bits {
    Spin_Lock lock;
    std::vector<uint64_t> words;
    size_t count = 0;
    void Clear() {
      std::vector<uint64_t>().swap(words);
      count = 0;
    }
    bool Insert(uint64_t identity) {
      const size_t word = size_t(identity >> 6);
      const uint64_t bit = uint64_t(1) << (identity & 63);
      Spin_Guard guard(lock);
      if (word >= words.size()) words.resize(std::max(word + 1, 2 * words.size()), 0);
      if (words[word] & bit) return false;
      words[word] |= bit;
      ++count;
      return true;
    }
  };

  struct alignas(__cache_line_size) Shard {
    Spin_Lock lock;
    std::vector<uint64_t> slots;  // a power of two in size, or empty
    size_t count = 0;
    void Clear() {
      std::vector<uint64_t>().swap(slots);
      count = 0;
    }
  };

  static uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    return x ^ (x >> 33);
  }
  // The shard comes from the mixed identity's low bits, the slot from the bits above them.
  static bool Insert_Slot(std::vector<uint64_t>& slots, uint64_t identity, uint64_t mixed) {
    const size_t mask = slots.size() - 1;
    for (size_t i = size_t(mixed / kShards) & mask;; i = (i + 1) & mask) {
      if (slots[i] == identity) return false;
      if (slots[i] == __identity_none) {
        slots[i] = identity;
        return true;
      }
    }
  }
  bool Insert_Sparse(uint64_t identity) {
    const uint64_t mixed = Mix(identity);
    Shard& shard = _shards[mixed % kShards];
    Spin_Guard guard(shard.lock);
    if (2 * (shard.count + 1) > shard.slots.size()) {
      std::vector<uint64_t> grown(std::max<size_t>(64, 2 * shard.slots.size()), __identity_none);
      for (uint64_t old : shard.slots)
        if (old != __identity_none) Insert_Slot(grown, old, Mix(old));
      shard.slots.swap(grown);
    }
    if (!Insert_Slot(shard.slots, identity, mixed)) return false;
    ++shard.count;
    return true;
  }

  Dense_Bits _dense;
  Shard _shards[kShards];
};

// The manager of an identified type: its Manager plus the record of the run's identities.
template <class Manager>
class Identified_Manager : public Manager {
 public:
  Identified_Manager() { this->_identified = true; }
  void Initialize() override {
    _identities.Clear();
    Manager::Initialize();
  }
  void Terminate() override {
    _identities.Clear();
    Manager::Terminate();
  }
  Identity_Registry _identities;
};

template <class T>
struct Manager_Of<Identified_Execution_Object, T> {
  using type = Identified_Manager<Execution_Component_Manager<T>>;
};
template <class T>
struct Manager_Of<Identified_Event_Object, T> {
  using type = Identified_Manager<Event_Component_Manager<T>>;
};

// A new object of identified type T with `identity` (rule of this header), unscheduled, as
// Allocate<T>() makes it. A fatal error, before anything is allocated, if the identity is 0
// or was given to another T in this run.
template <class T>
T* Allocate_Identified(uint64_t identity) {
  T::component_manager->_identities.Claim(identity, T::component_manager->_display_name);
  T* object = Allocate<T>();
  object->_identity = identity;
  return object;
}

}  // namespace quarnel
