// Revisions, time steps and the process-wide globals of the control subsystem.
//
// A Revision is the (iteration, sub-iteration) pair at which something next has work.
// Every comparison, equality test and minimum over revisions is made on the unsigned
// 64-bit key `_revision` (iteration in the high half), never on the halves.
//
// Thread safety: Revision is a plain value. A revision that one thread reads while another
// may write it (a manager's, block's or cell's schedule, the World's clock) is accessed
// through Load_Revision / Store_Revision, which are relaxed atomic accesses of the key;
// whoever owns the value (a spin lock, the World's barrier) provides the ordering.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

namespace quarnel {

// The fatal error of a signed value that is no iteration or sub-iteration: `call` got
// `value` as its `half` ("Revision: the iteration is -1; ...").
[[noreturn]] void Refuse_Revision_Half(const char* call, const char* half, int64_t value);

// A half of a revision from a value of any integer type. A signed value outside
// [0, 4294967295] is a fatal error (in a constant expression it does not compile); an
// unsigned one converts as it always did (modulo 2^32).
template <std::integral V>
constexpr uint32_t Revision_Half(V value, const char* call, const char* half) {
  if constexpr (std::is_signed_v<V>) {
    if (value < 0 || uint64_t(value) > UINT32_MAX) Refuse_Revision_Half(call, half, int64_t(value));
  }
  return uint32_t(value);
}

struct Revision {
  union {
    struct {
      uint32_t _sub_iteration;  // low half of the key (lower address on x86-64)
      uint32_t _iteration;      // high half of the key
    };
    uint64_t _revision;
  };

  constexpr Revision() : _revision(0) {}
  constexpr Revision(uint32_t iteration, uint32_t sub_iteration)
      : _revision((uint64_t(iteration) << 32) | sub_iteration) {}
  // Signed halves, as a model writes them (Revision(0, 0), Revision(day + 1, 0) with an int
  // day) are checked: Revision(-1, 0) would otherwise become a far future that never comes.
  // A negative half is a fatal error (Revision_Half). Unsigned halves take the constructor
  // above, unchecked and unchanged.
  template <std::integral I, std::integral S>
  requires(std::is_signed_v<I> || std::is_signed_v<S>) constexpr Revision(I iteration, S sub_iteration)
      : Revision(Revision_Half(iteration, "Revision", "iteration"),
                 Revision_Half(sub_iteration, "Revision", "sub-iteration")) {}
  static constexpr Revision From_Key(uint64_t key) {
    Revision r;
    r._revision = key;
    return r;
  }

  friend constexpr bool operator==(Revision const& a, Revision const& b) {
    return a._revision == b._revision;
  }
  friend constexpr bool operator!=(Revision const& a, Revision const& b) {
    return a._revision != b._revision;
  }
  friend constexpr bool operator<(Revision const& a, Revision const& b) { return a._revision < b._revision; }
  friend constexpr bool operator<=(Revision const& a, Revision const& b) {
    return a._revision <= b._revision;
  }
  friend constexpr bool operator>(Revision const& a, Revision const& b) { return a._revision > b._revision; }
  friend constexpr bool operator>=(Revision const& a, Revision const& b) {
    return a._revision >= b._revision;
  }
};
static_assert(sizeof(Revision) == 8);

// The smaller of two revisions by key; equal keys are equal values.
inline Revision min(Revision const& a, Revision const& b) {
  return b._revision < a._revision ? b : a;
}

// Relaxed atomic access to a revision shared between threads.
inline Revision Load_Revision(Revision const& r, std::memory_order order = std::memory_order_relaxed) {
  return Revision::From_Key(std::atomic_ref<uint64_t>(const_cast<uint64_t&>(r._revision)).load(order));
}
inline void Store_Revision(Revision& r, Revision value, std::memory_order order = std::memory_order_relaxed) {
  std::atomic_ref<uint64_t>(r._revision).store(value._revision, order);
}

// Whether a request to be stepped no later than `revision` can leave a schedule whose next
// revision is `next` untouched, without its lock, `now` being the revision stepped: a
// schedule that is not due (`next` later than `now`) is not stepped in this cycle, so its
// next revision only falls until the cycle ends (only the end of a due schedule's step
// raises it), and a value read at or below `revision` stays there. The many objects
// scheduled for one revision (a step's births) then take the lock once.
inline bool Lowers_Nothing(Revision next, Revision revision, Revision now) {
  return now < next && !(revision < next);
}

// "Rev(" iteration "," sub-iteration ")", both unsigned decimal.
std::string to_string(Revision const& r);

// Sentinels: never scheduled (Rev(4294967295,0)) and freed slot (all bits set).
extern Revision __revision_omega;
extern Revision __revision_free;

// One iteration number, ordered unsigned.
struct Time_Step {
  uint32_t _time_step = 0;
  friend constexpr bool operator<(Time_Step const& a, Time_Step const& b) {
    return a._time_step < b._time_step;
  }
  friend constexpr bool operator==(Time_Step const& a, Time_Step const& b) {
    return a._time_step == b._time_step;
  }
};

// Index of the calling thread: workers 0 .. num_threads-1, the controlling thread num_threads.
// constinit tells every translation unit that the variable has no dynamic initialiser, so
// it is read directly instead of through a TLS wrapper with a weak init-function check: in
// executables linked without --export-dynamic the linker rewrites that wrapper's address
// computation so that UndefinedBehaviorSanitizer's null check reads stale flags and reports
// a null load that is not there.
extern thread_local constinit int32_t __thread_id;

constexpr int32_t __page_size = 4096;
constexpr int32_t __cache_line_size = 64;

// A per-thread entry on cache lines of its own. Entries that their threads change often
// must not share a line: neighbours in one line pass it between the cores at every change
// (two workers whose generators sat side by side ran no faster than one).
template <class T>
struct alignas(__cache_line_size) Cache_Line_Own : T {
  using T::T;
};

// The same for a plain number.
template <class T>
struct alignas(__cache_line_size) Cache_Line_Value {
  T value{};
};

}  // namespace quarnel
