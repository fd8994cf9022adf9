#include <quarnel/modelkit/Model_Command_Line.h>

#include <cctype>
#include <charconv>
#include <iostream>
#include <set>

#include <quarnel/Fatal_Error.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/System_Limits.h>

namespace quarnel::modelkit {
namespace {

// The whole of `text` as an unsigned number, or a Model_Option_Error naming `option`.
uint64_t Unsigned_Value(const std::string& option, const std::string& text, uint64_t max) {
  uint64_t value = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())) || error != std::errc() ||
      end != last || value > max) {
    throw Model_Option_Error("option " + option + ": '" + Printable(text) +
                             "' is not a whole number between 0 and " + std::to_string(max));
  }
  return value;
}

int At_Least_One(const std::string& option, const std::string& text) {
  const uint64_t value = Unsigned_Value(option, text, 2147483647);
  if (value < 1) throw Model_Option_Error("option " + option + ": '" + Printable(text) + "' is below 1");
  return int(value);
}

Model_Size Size_Value(const std::string& text) {
  if (text == "small") return Model_Size::small;
  if (text == "large") return Model_Size::large;
  if (text == "huge") return Model_Size::huge;
  throw Model_Option_Error("option --size: '" + Printable(text) + "' is not one of small, large, huge");
}

}  // namespace

std::string to_string(Model_Size size) {
  switch (size) {
    case Model_Size::small:
      return "small";
    case Model_Size::large:
      return "large";
    case Model_Size::huge:
      return "huge";
  }
  return "unknown";
}

Model_Options Read_Model_Options(const std::vector<std::string>& args) {
  Model_Options options;
  std::set<std::string> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option != "--size" && option != "--threads" && option != "--seed" && option != "--steps" &&
        option != "--block_size" && option != "--csv") {
      throw Model_Option_Error("unrecognised argument '" + Printable(option) + "'");
    }
    if (!seen.insert(option).second) throw Model_Option_Error("option " + option + " is given twice");
    if (i + 1 == args.size()) throw Model_Option_Error("option " + option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--size") options.size = Size_Value(value);
    if (option == "--threads") options.threads = At_Least_One(option, value);
    if (option == "--seed") options.seed = Unsigned_Value(option, value, UINT64_MAX);
    if (option == "--steps") options.steps = At_Least_One(option, value);
    if (option == "--block_size") options.block_size = At_Least_One(option, value);
    if (option == "--csv") {
      if (value.empty()) throw Model_Option_Error("option --csv: the file name is empty");
      options.csv = value;
    }
  }
  return options;
}

std::string Model_Usage(const std::string& name, const std::string& about) {
  return "Usage: " + name +
         " [--size small|large|huge] [--threads T] [--seed S] [--steps N] [--block_size B] [--csv FILE]\n" +
         about +
         "  --size S        the model's size (default small)\n"
         "  --threads T     worker threads (default 1, at least 1)\n"
         "  --seed S        seed of every random draw (default 1, 0 to 18446744073709551615); the same\n"
         "                  seed gives the same series on any number of workers and block size\n"
         "  --steps N       steps to run (default: the model's own, at least 1)\n"
         "  --block_size B  objects per memory block of each type (default 1000, at least 1)\n"
         "  --csv FILE      write the series of every step to FILE\n"
         "  -h, --help      this text\n"
         "Exit status 0 after a run, 1 when an option is wrong or the run fails; SIGINT or SIGTERM stops\n"
         "the run at the end of its step (a second one at once) and the program ends by that signal\n"
         "(status 130 or 143 to a shell), the CSV holding every finished step.\n";
}

int Run_Model_Program(int argc, char** argv, const std::string& name, const std::string& about,
                      const std::function<int(const Model_Options&)>& run) {
  Prepare_Process(name);
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << Model_Usage(name, about);
      return Finish_Process(name, 0);
    }
  }
  Model_Options options;
  try {
    options = Read_Model_Options(args);
    // Before anything is allocated for the workers: a count the system cannot start.
    if (const std::string problem = Thread_Count_Problem(options.threads); !problem.empty())
      throw Model_Option_Error(problem);
  } catch (const Model_Option_Error& e) {
    std::cerr << name << ": " << e.what() << " (see --help)" << std::endl;
    return Finish_Process(name, 1);
  }
  int status = 1;
  try {
    status = run(options);
  } catch (const Model_Option_Error& e) {  // an option the run found too large for the machine
    std::cerr << name << ": " << e.what() << std::endl;
  } catch (const std::exception& e) {
    std::cerr << name << ": the run failed: " << Printable(Describe_Exception(e)) << std::endl;
  }
  return Finish_Process(name, status);
}

}  // namespace quarnel::modelkit
