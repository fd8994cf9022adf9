// Command-line handling and run metadata of the application layer.
//
// The argument list is argv[1..argc-1] as strings. Option lookups consume what they
// recognise by erasing it, so the list ends up holding only what nothing recognised. Every
// line of output is one stream taken from the caller's log stream source.
//
// Thread safety: main-thread only, before the simulation starts.
//
// Ends the process itself on user errors: exit(1) for a missing scenario file or left-over
// arguments, exit(0) after a version printout. Values that do not convert throw
// boost::bad_lexical_cast; an option name without a value throws std::out_of_range.
#pragma once

#include <boost/lexical_cast.hpp>

#include <algorithm>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include <quarnel/Logger.h>

// Logs "Exe: <argv[0]>" and the arguments, one per line, each with its control characters
// escaped (quarnel::modelkit::Printable), so that no argument can add a line of its own to the
// log; returns argv[1..argc-1] as they are.
std::vector<std::string> handle_args(const quarnel::Log_Stream_Source& log, int argc, char** argv);

// `text` converted to T, the whole text or nothing. Unlike a bare lexical_cast, a signed
// text never converts to an unsigned type ("-6" would otherwise wrap to 4294967290).
template <class T>
T convert_arg(const std::string& text) {
  if constexpr (std::is_unsigned_v<T>) {
    if (!text.empty() && text.front() == '-') throw boost::bad_lexical_cast(typeid(std::string), typeid(T));
  }
  return boost::lexical_cast<T>(text);
}

// The value after the first argument equal to `name`, or `default_value` when there is none.
// On success the name and its value are erased from `args`.
template <class T>
T get_arg_value(std::vector<std::string>& args, std::string name, T default_value) {
  auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end()) return default_value;
  std::size_t at = std::size_t(found - args.begin());
  T value = convert_arg<T>(args.at(at + 1));
  args.erase(args.begin() + std::ptrdiff_t(at), args.begin() + std::ptrdiff_t(at) + 2);
  return value;
}

// Five lines: host name, git branch, commit, UTC build time stamp and build configuration.
void log_metadata(const quarnel::Log_Stream_Source& log);

// With "-v" or "--version" among the arguments: logs the metadata on the console and exits 0.
void handle_version_check(int argc, char** argv);

// Takes the first argument as the scenario file; exits 1 when there is none or it does not exist.
std::string get_scenario_file(std::vector<std::string>& args, const quarnel::Log_Stream_Source& log);

// One left-over argument is a deprecated bare thread count and is stored in `num_threads`;
// two or more are an error (exit 1).
void log_residual_args(std::vector<std::string>& args, unsigned int& num_threads,
                       const quarnel::Log_Stream_Source& log);
