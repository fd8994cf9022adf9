// The one lock type of the engine's stepping path.
//
// A signed 32-bit word, 0 = free. Acquire exchanges 1 in (sequentially consistent); while
// the previous value was not 0 it waits for the word to read 0, first with pause
// instructions (the holder is usually running on another core and done within a few
// instructions), then yielding the processor (the holder may be queued behind the waiter on
// its core), and exchanges again. It never sleeps: usleep(0) would sleep for the thread's
// timer slack, 50-80 microseconds, a thousand times the usual hold. Release stores
// 0 with release ordering: everything written under the lock is seen by the next holder,
// and, unlike an exchange, the store does not first wait for every earlier store to leave
// the processor (which doubled the cost of an uncontended allocation into fresh cells).
// Not re-entrant. Held for a few instructions only.
//
// Thread safety: safe from any thread. Reset() is for set-up only, while no thread can
// hold the lock.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstdint>

namespace quarnel {

class Spin_Lock {
 public:
  Spin_Lock() = default;
  Spin_Lock(Spin_Lock const&) = delete;
  Spin_Lock& operator=(Spin_Lock const&) = delete;

  void Lock() {
    if (_word.exchange(1) != 0) [[unlikely]]
      privWait_And_Lock();
  }
  void Unlock() { _word.store(0, std::memory_order_release); }
  void Reset() { _word.exchange(0); }
  bool Is_Locked() const { return _word.load(std::memory_order_relaxed) != 0; }

 private:
  [[gnu::noinline]] void privWait_And_Lock() {
    int spins = 0;
    do {
      while (_word.load(std::memory_order_relaxed) != 0) {
        if (spins < kPause_Spins) {
          ++spins;
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        } else {
          sched_yield();
        }
      }
    } while (_word.exchange(1) != 0);
  }

  // About a microsecond of pauses before the first yield.
  static constexpr int kPause_Spins = 64;
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
