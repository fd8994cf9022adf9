// Kept_Workers: for the life of one model benchmark, the World keeps its workers between runs
// (World::Set_Keep_Workers), as a program that makes many short runs would: a benchmark makes
// hundreds in one process. With QUARNEL_BENCH_FRESH_WORKERS set in the environment every run
// starts and joins its own, the World's default, so both costs can be compared.
//
// Thread safety: the benchmark's own thread (the runs' controlling thread).
#pragma once

#include <quarnel/World.h>

#include <cstdlib>

namespace quarnel::bench {

class Kept_Workers {
 public:
  Kept_Workers() {
    World::Instance().Set_Keep_Workers(std::getenv("QUARNEL_BENCH_FRESH_WORKERS") == nullptr);
  }
  ~Kept_Workers() { World::Instance().Set_Keep_Workers(false); }
  Kept_Workers(const Kept_Workers&) = delete;
  Kept_Workers& operator=(const Kept_Workers&) = delete;
};

}  // namespace quarnel::bench
