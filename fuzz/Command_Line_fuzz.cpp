// libFuzzer target: the command-line functions on random argument vectors.
//
// The input is split at newlines (and NULs) into arguments; an argument made of one byte 1 to 7 stands
// for one of the options the program knows, so that the fuzzer reaches them at once. Then:
//  - handle_args returns argv[1..] unchanged (and logs without failing);
//  - get_arg_value<T> for int, unsigned, double and string either throws the documented
//    exceptions (bad_lexical_cast for a value that does not convert, out_of_range for a name
//    without a value) and leaves the arguments as they were, or returns the value after the
//    first occurrence of the name and erases exactly that pair; an absent name gives the
//    default and changes nothing;
//  - read_population_options either refuses with an Option_Error or returns options that
//    the program can run (num_agents >= 0, agents_per_block >= 1, every argument consumed).
// Anything else (a crash, a sanitizer report, another exception) is a finding.
#include <log4cpp/Category.hh>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarnel/Execution_Component_Manager.h>
#include "Command_Line.h"
#include "Population_Options.h"

namespace {

const char* const kNames[] = {"--num_agents", "--agents_per_block", "--threads", "--deterministic", "--seed",
                              "-v",           "--version"};
constexpr char kName_Count = char(sizeof(kNames) / sizeof(kNames[0]));

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "command-line property broken: %s\n", what);
  std::abort();
}

std::vector<std::string> Arguments(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size && args.size() <= 24; ++i) {
    if (data[i] == '\n' || data[i] == '\0') {  // a real argument never holds a NUL
      args.emplace_back();
    } else {
      args.back().push_back(char(data[i]));
    }
  }
  for (std::string& a : args) {
    if (a.size() == 1 && a[0] >= 1 && a[0] <= kName_Count) a = kNames[a[0] - 1];
  }
  return args;
}

// A silent category: the log stream source must work, the text goes nowhere.
quarnel::Log_Stream_Source Silent_Log() {
  static log4cpp::Category& category = []() -> log4cpp::Category& {
    log4cpp::Category& c = log4cpp::Category::getInstance("fuzz");
    c.setAdditivity(false);
    c.setPriority(log4cpp::Priority::NOTICE);
    return c;
  }();
  return [] { return category.getStream(log4cpp::Priority::NOTICE); };
}

template <class T>
void Check_Get_Arg_Value(const std::vector<std::string>& original, const std::string& name, T fallback) {
  std::vector<std::string> args = original;
  const auto found = std::find(original.begin(), original.end(), name);
  try {
    get_arg_value<T>(args, name, fallback);
  } catch (const boost::bad_lexical_cast&) {
    Require(found != original.end() && found + 1 != original.end(), "bad_lexical_cast without a value");
    Require(args == original, "a refused value changed the arguments");
    return;
  } catch (const std::out_of_range&) {
    Require(found != original.end() && found + 1 == original.end(), "out_of_range with a value present");
    Require(args == original, "a missing value changed the arguments");
    return;
  }
  if (found == original.end()) {
    Require(args == original, "an absent name changed the arguments");
    return;
  }
  std::vector<std::string> expected = original;
  const auto at = expected.begin() + (found - original.begin());
  expected.erase(at, at + 2);
  Require(args == expected, "the name and its value were not erased exactly");
}

void Check_Population_Options(std::vector<std::string> args) {
  try {
    const Population_Options options = read_population_options(args, quarnel::Agent_Cell_Bytes(48));
    Require(options.num_agents >= 0 && options.agents_per_block >= 1,
            "accepted options the program cannot run");
    Require(args.empty(), "accepted options with arguments left over");
  } catch (const Option_Error& e) {
    Require(std::string(e.what()).find('\n') == std::string::npos, "an option error of more than one line");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> argv_text = Arguments(data, size);
  std::vector<char*> argv;
  for (const std::string& a : argv_text) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const std::vector<std::string> args = handle_args(Silent_Log(), int(argv_text.size()), argv.data());
  Require(args == std::vector<std::string>(argv_text.begin() + 1, argv_text.end()),
          "handle_args changed the arguments");

  for (const char* name : kNames) {
    Check_Get_Arg_Value<int>(args, name, -7);
    Check_Get_Arg_Value<unsigned int>(args, name, 7u);
    Check_Get_Arg_Value<double>(args, name, 0.5);
    Check_Get_Arg_Value<std::string>(args, name, "none");
  }
  Check_Population_Options(args);
  return 0;
}
