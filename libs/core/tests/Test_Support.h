// Helpers shared by the engine's tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <utility>

#include <quarnel/Logger.h>
#include <quarnel/Simulation_Control.h>

namespace quarnel::testing {

// The engine's tests set no logging up and read the kernel's lines (the final line of a run,
// a fatal error's report) on standard error: they switch the kernel's console lines on, as a
// model program can (Logger.h). Logger_test checks the quiet default in a program of its own.
inline const bool __console_lines_on = (Quarnel_Logging_Interface::Set_Console_Lines(true), true);

// Runs `body` on another thread and waits at most `limit`. A run that does not finish in
// time is a deadlock: the process ends at once with a failure instead of hanging CI.
// Exceptions of `body` propagate to the caller.
inline void Run_Bounded(std::function<void()> body, std::chrono::seconds limit = std::chrono::seconds(120)) {
  auto done = std::async(std::launch::async, std::move(body));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FATAL: the run did not finish within %lld s (deadlock?)\n",
                 static_cast<long long>(limit.count()));
    std::_Exit(3);
  }
  done.get();
}

inline Simulation_Configuration Make_Configuration(int num_threads, int num_iterations,
                                                   int objects_per_block = 100) {
  Simulation_Configuration c;
  c.num_threads = num_threads;
  c.pre_allocation_amount = 0;
  c.num_iterations = num_iterations;
  c.execution_blocks_per_thread = 20;
  c.execution_objects_per_block = objects_per_block;
  c.max_execution_objects_per_block = 1000;
  c.max_free_blocks = 10;
  c.num_free_blocks_buffer = 5;
  c.core_diagnostics_interval = 0;
  return c;
}

// The text of the std::runtime_error that `f` throws, or "" if it throws none.
template <class F>
std::string Thrown_Text(F&& f) {
  try {
    f();
  } catch (std::exception const& e) {
    return e.what();
  }
  return "";
}

// The texts of the exception that `f` throws and of the one nested in it ("" for none).
template <class F>
std::pair<std::string, std::string> Thrown_And_Cause(F&& f) {
  try {
    f();
  } catch (std::exception const& e) {
    try {
      std::rethrow_if_nested(e);
    } catch (std::exception const& cause) {
      return {e.what(), cause.what()};
    }
    return {e.what(), ""};
  }
  return {"", ""};
}

}  // namespace quarnel::testing
