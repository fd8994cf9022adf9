// The one lock type of the engine's stepping path.
//
// A signed 32-bit word, 0 = free. Acquire exchanges 1 in (sequentially consistent) and,
// while the previous value was not 0, yields with usleep(0) and tries again. Release stores
// 0 with release ordering: everything written under the lock is seen by the next holder,
// and, unlike an exchange, the store does not first wait for every earlier store to leave
// the processor (which doubled the cost of an uncontended allocation into fresh cells).
// Not re-entrant. Held for a few instructions only.
//
// Thread safety: safe from any thread. Reset() is for set-up only, while no thread can
// hold the lock.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace quarnel {

class Spin_Lock {
 public:
  Spin_Lock() = default;
  Spin_Lock(Spin_Lock const&) = delete;
  Spin_Lock& operator=(Spin_Lock const&) = delete;

  void Lock() {
    while (_word.exchange(1) != 0) usleep(0);
  }
  void Unlock() { _word.store(0, std::memory_order_release); }
  void Reset() { _word.exchange(0); }
  bool Is_Locked() const { return _word.load(std::memory_order_relaxed) != 0; }

 private:
  std::atomic<int32_t> _word{0};
};
static_assert(sizeof(Spin_Lock) == 4);

// RAII holder of a Spin_Lock for one scope.
class Spin_Guard {
 public:
  explicit Spin_Guard(Spin_Lock& lock) : _lock(lock) { _lock.Lock(); }
  ~Spin_Guard() { _lock.Unlock(); }
  Spin_Guard(Spin_Guard const&) = delete;
  Spin_Guard& operator=(Spin_Guard const&) = delete;

 private:
  Spin_Lock& _lock;
};

}  // namespace quarnel
