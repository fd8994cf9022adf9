// The engine's one way to fail.
//
// QUARNEL_FATAL(message-stream-expression) writes the ERROR line
// "\n\tRUNTIME_ERROR at <file>:<line>\n\tMessage: <message>\n\n", resets the signal handlers
// to their defaults, logs the call stack, flushes, and throws std::runtime_error with
// "An exception occurred, check your logs: " + message. Safe from any thread; works before
// and after logging is set up. Without a log, the lines go to standard error only when the
// kernel's console lines are on (Logger.h); otherwise nothing is written and the exception's
// text is "An exception occurred: " + message.
#pragma once

// QUARNEL_CHECKED is 1 in the builds that check what the hot path otherwise trusts (builds
// without NDEBUG, and the sanitizer builds) and 0 in optimised builds; a translation unit may
// set it before its first include.
#ifndef QUARNEL_CHECKED
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUARNEL_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUARNEL_CHECKED 1
#endif
#endif
#ifndef QUARNEL_CHECKED
#define QUARNEL_CHECKED 0
#endif
#endif

#include <exception>
#include <sstream>
#include <string>

namespace quarnel {

[[noreturn]] void Raise_Fatal_Error(const char* file, int line, const std::string& message);

// `e`'s message followed by those of the exceptions nested in it, joined by ": " (a failed
// run's exception carries the failing handler's own): the one line a program prints.
std::string Describe_Exception(const std::exception& e);

}  // namespace quarnel

#define QUARNEL_FATAL(message)                                                      \
  do {                                                                              \
    std::ostringstream quarnel_fatal_message_;                                      \
    quarnel_fatal_message_ << message;                                              \
    ::quarnel::Raise_Fatal_Error(__FILE__, __LINE__, quarnel_fatal_message_.str()); \
  } while (false)
