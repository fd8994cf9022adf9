// The last steps of every fatal error: put 15 signals back to their default handling and
// log the calling thread's symbolised call stack.
//
// Internal linkage by design: each source file that includes this header gets its own
// identical copy. Safe from any thread; signal dispositions are process-wide.
#pragma once

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include <quarnel/Logger.h>

namespace quarnel {
namespace {

// "Removing signal handlers" is one of the kernel's console lines (Logger.h): written only
// when they are on, and never to standard output unless the program set its logging up.
[[maybe_unused]] void remove_signal_handlers() {
  Quarnel_Logging_Interface::console_line("Removing signal handlers");
  for (int sig : {SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGBUS, SIGFPE, SIGKILL, SIGSEGV, SIGALRM, SIGTERM,
                  SIGSTOP, SIGTSTP, SIGXCPU, SIGXFSZ, SIGPWR}) {
    signal(sig, SIG_DFL);
  }
  Quarnel_Logging_Interface::info("Turned off signal handler");
}

// Never inlined: frame 0 must be Backtrace itself (it is left out), so that frame 1 is
// always the caller, whatever the optimiser does with the caller.
[[maybe_unused]] __attribute__((noinline)) std::string Backtrace() {
  constexpr int kMaxFrames = 128;
  void* callstack[kMaxFrames];
  const int frames = backtrace(callstack, kMaxFrames);
  std::ostringstream trace;
  char buf[1024];
  for (int i = 1; i < frames; ++i) {
    Dl_info info;
    if (dladdr(callstack[i], &info) && info.dli_sname) {
      int status = -1;
      char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
      snprintf(buf, sizeof(buf), "%-3d %p + %#zx : %s\n", i, callstack[i],
               static_cast<size_t>(static_cast<char*>(callstack[i]) - static_cast<char*>(info.dli_saddr)),
               status == 0 ? demangled : info.dli_sname);
      free(demangled);
    } else {
      snprintf(buf, sizeof(buf), "%-3d %p\n", i, callstack[i]);
    }
    trace << buf;
  }
  if (frames == kMaxFrames) trace << "  [truncated]\n";
  return trace.str();
}

[[maybe_unused]] void PrintStack() {
  Quarnel_Logging_Interface::error("Stack trace:");
  Quarnel_Logging_Interface::error(Backtrace());
}

}  // namespace
}  // namespace quarnel
