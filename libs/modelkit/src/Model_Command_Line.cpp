#include <quarnel/modelkit/Model_Command_Line.h>

#include <sys/stat.h>
#include <cctype>

#include <charconv>
#include <filesystem>
#include <iostream>
#include <set>
#include <utility>

#include <quarnel/Checkpoint.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/World.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Recorder.h>
#include <quarnel/modelkit/System_Limits.h>
#include <quarnel/modelkit/View.h>

namespace quarnel::modelkit {
namespace command_line_detail {

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

namespace {
uint64_t checkpoints_made = 0;  // controlling thread only
}  // namespace

uint64_t Checkpoints_Made() {
  return checkpoints_made;
}

void Count_Checkpoints_Made() {
  ++checkpoints_made;
}

Record_Options Checkpointed_Recording_Of(const Model_Options& options, std::vector<std::string> columns) {
  Record_Options records{options.csv,        options.sqlite,
                         options.overwrite,  uint32_t(options.record_every),
                         std::move(columns), options.durable_records};
  if (View* view = options.live_view) {
    records.on_row = [view](uint64_t step, const std::vector<std::string>& names,
                            const std::vector<Measure_Value>& row) { view->Record(step, names, row); };
  }
  return records;
}

}  // namespace command_line_detail

namespace {

using command_line_detail::Unsigned_Value;

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

const std::set<std::string> kWith_Value = {"--size",
                                           "--threads",
                                           "--seed",
                                           "--steps",
                                           "--block_size",
                                           "--csv",
                                           "--sqlite",
                                           "--set",
                                           "--record_every",
                                           "--port",
                                           "--view-address",
                                           "--checkpoint",
                                           "--checkpoint-every",
                                           "--resume"};
const std::set<std::string> kFlags = {"--params", "--overwrite", "--view", "--fork"};

std::string File_Name(const std::string& option, const std::string& value) {
  if (value.empty()) throw Model_Option_Error("option " + option + ": the file name is empty");
  return value;
}

// Whether two file names name one file: the same path once made absolute and normal, the
// same path with its existing links resolved, or, for files that exist, the same device and
// inode (a hard link, /dev/stdout and the terminal it is).
bool Same_File(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path absolute_a = fs::absolute(a, error).lexically_normal();
  const fs::path absolute_b = fs::absolute(b, error).lexically_normal();
  if (!error && absolute_a == absolute_b) return true;
  const fs::path resolved_a = fs::weakly_canonical(a, error);
  if (!error) {
    const fs::path resolved_b = fs::weakly_canonical(b, error);
    if (!error && resolved_a == resolved_b) return true;
  }
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Two outputs of one run in one file would overwrite each other. Resuming from the file that
// the run keeps checkpointing to is the usual way to go on, and stays allowed.
void Refuse_Shared_Files(const Model_Options& options) {
  const std::vector<std::pair<const char*, const std::string*>> files = {
      {"--csv", &options.csv},
      {"--sqlite", &options.sqlite},
      {"--checkpoint", &options.checkpoint},
      {"--resume", &options.resume}};
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = i + 1; j < files.size(); ++j) {
      const auto& [first, a] = files[i];
      const auto& [second, b] = files[j];
      if (a->empty() || b->empty() ||
          (first == std::string("--checkpoint") && second == std::string("--resume")))
        continue;
      if (!Same_File(*a, *b)) continue;
      if (*a == *b)
        throw Model_Option_Error("options " + std::string(first) + " and " + second + " name the same file " +
                                 Printable(*a));
      throw Model_Option_Error("options " + std::string(first) + " " + Printable(*a) + " and " + second +
                               " " + Printable(*b) + " name the same file");
    }
  }
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
    if (kWith_Value.count(option) == 0 && kFlags.count(option) == 0) {
      throw Model_Option_Error("unrecognised argument '" + Printable(option) + "'");
    }
    if (option != "--set" && !seen.insert(option).second) {
      throw Model_Option_Error("option " + option + " is given twice");
    }
    if (option == "--params") options.params = true;
    if (option == "--overwrite") options.overwrite = true;
    if (option == "--view") options.view = true;
    if (option == "--fork") options.fork = true;
    if (kFlags.count(option) != 0) continue;
    if (i + 1 == args.size()) throw Model_Option_Error("option " + option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--size") options.size = Size_Value(value);
    if (option == "--threads") options.threads = At_Least_One(option, value);
    if (option == "--seed") options.seed = Unsigned_Value(option, value, UINT64_MAX);
    if (option == "--steps") options.steps = At_Least_One(option, value);
    if (option == "--block_size") options.block_size = At_Least_One(option, value);
    if (option == "--record_every") options.record_every = At_Least_One(option, value);
    if (option == "--csv") options.csv = File_Name(option, value);
    if (option == "--sqlite") options.sqlite = File_Name(option, value);
    if (option == "--set") options.sets.push_back(value);
    if (option == "--port") options.view_port = int(Unsigned_Value(option, value, 65535));
    if (option == "--view-address") {
      if (value.empty()) throw Model_Option_Error("option --view-address: the address is empty");
      options.view_address = value;
    }
    if (option == "--checkpoint") options.checkpoint = File_Name(option, value);
    if (option == "--checkpoint-every") options.checkpoint_every = At_Least_One(option, value);
    if (option == "--resume") options.resume = File_Name(option, value);
  }
  if (!options.view && (seen.count("--port") != 0 || seen.count("--view-address") != 0))
    throw Model_Option_Error("options --port and --view-address need --view");
  if (options.checkpoint_every > 0 && options.checkpoint.empty())
    throw Model_Option_Error("option --checkpoint-every needs --checkpoint FILE");
  if (options.fork && options.resume.empty()) throw Model_Option_Error("option --fork needs --resume FILE");
  Refuse_Shared_Files(options);
  options.given = seen;
  return options;
}

Record_Options Recording_Of(const Model_Options& options, std::vector<std::string> columns) {
  // --checkpoint-every and --fork come only with these two (Read_Model_Options).
  if (!options.checkpoint.empty())
    throw Model_Option_Error("option --checkpoint is not supported by this model");
  if (!options.resume.empty()) throw Model_Option_Error("option --resume is not supported by this model");
  return command_line_detail::Checkpointed_Recording_Of(options, std::move(columns));
}

std::string Model_Usage(const std::string& name, const std::string& about) {
  return "Usage: " + name +
         " [--size small|large|huge] [--threads T] [--seed S] [--steps N] [--block_size B] [--csv FILE]\n" +
         std::string(name.size() + 7, ' ') +
         " [--sqlite FILE] [--overwrite] [--record_every N] [--set NAME=VALUE ...] [--params]\n" +
         std::string(name.size() + 7, ' ') + " [--view [--port P] [--view-address A]]\n" +
         std::string(name.size() + 7, ' ') +
         " [--checkpoint FILE [--checkpoint-every N]] [--resume FILE [--fork]]\n" + about +
         "  --size S          the model's size (default small)\n"
         "  --threads T       worker threads (default 1, at least 1)\n"
         "  --seed S          seed of every random draw (default 1, 0 to 18446744073709551615); the same\n"
         "                    seed gives the same series on any number of workers and block size\n"
         "  --steps N         steps to run (default: the model's own, at least 1)\n"
         "  --block_size B    objects per memory block of each type (default 1000, at least 1)\n"
         "  --csv FILE        write the series of every step to FILE\n"
         "  --sqlite FILE     add this run and its series to the SQLite file FILE\n"
         "  --overwrite       replace an existing CSV file, once the first row is written (models with\n"
         "                    declared parameters refuse one without it)\n"
         "  --record_every N  a record every N steps (default 1)\n"
         "  --set NAME=VALUE  set a parameter (repeatable; models with declared parameters)\n"
         "  --params          list the parameters: type, default, range, help; and the presets\n"
         "  --view            serve a live view of the run in the browser (models with declared\n"
         "                    parameters); the URL to open, with its token, goes to standard error.\n"
         "                    The run starts paused; after it the program serves on until a restart\n"
         "                    from the page or SIGINT/SIGTERM\n"
         "  --port P          the view's port (default 8080; 0: any free port)\n"
         "  --view-address A  the address the view binds (default 127.0.0.1)\n"
         "  --checkpoint FILE save the run's whole state to FILE when a stop signal ends it, and with\n"
         "                    --checkpoint-every N also at the end of every Nth step (written to\n"
         "                    FILE.tmp, synced, then renamed: a kill during a write keeps the last one)\n"
         "  --resume FILE     continue the run saved in FILE from its step, with its seed and parameters\n"
         "                    (--threads, --block_size and a longer --steps may differ; --size, --seed\n"
         "                    and --set, when given, must match it); the records go on in the same\n"
         "                    --csv/--sqlite file, which must be that run's, rows after the step replaced.\n"
         "                    The series and the run fingerprint are those of a run that never stopped\n"
         "  --fork            with --resume: other parameters are allowed; the records start anew\n"
         "  -h, --help        this text\n"
         "Exit status 0 after a run, 1 when an option is wrong, a checkpoint is refused or the run fails;\n"
         "SIGINT or SIGTERM stops the run at the end of its step (a second one at once), writes the\n"
         "checkpoint when --checkpoint is given, and the program ends by that signal (status 130 or 143\n"
         "to a shell), the records holding every finished step.\n";
}

namespace command_line_detail {

int Start(const std::vector<std::string>& args, const std::string& name, const std::string& about,
          const Parameter_List* parameters, Model_Options& options) {
  Prepare_Process(name);
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << Model_Usage(name, about);
      return Finish_Process(name, 0);
    }
  }
  try {
    options = Read_Model_Options(args);
    // Before anything is allocated for the workers: a count the system cannot start.
    if (const std::string problem = Thread_Count_Problem(options.threads); !problem.empty())
      throw Model_Option_Error(problem);
    if (parameters == nullptr) {
      for (const char* option : {"--set", "--params", "--sqlite", "--overwrite", "--record_every", "--view",
                                 "--checkpoint", "--checkpoint-every", "--resume", "--fork"}) {
        for (const std::string& a : args) {
          if (a == option) throw Model_Option_Error("option " + a + " is not supported by this model");
        }
      }
    }
  } catch (const Model_Option_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << " (see --help)" << std::endl;
    return Finish_Process(name, 1);
  }
  if (options.params && parameters != nullptr) {
    std::cout << parameters->Listing();
    return Finish_Process(name, 0);
  }
  return -1;
}

std::string Preset_For(const Model_Options& options, const Parameter_List& parameters) {
  if (!parameters.Has_Any_Preset()) return "";
  const std::string size = to_string(options.size);
  if (!parameters.Has_Preset(size))
    throw Model_Option_Error("option --size: this model has no preset '" + size + "'");
  return size;
}

int Read_Resumed(const std::string& name, const Parameter_List& parameters, Model_Options& options) {
  if (options.resume.empty()) return -1;
  try {
    options.resumed = std::make_shared<Checkpoint_Reader>(options.resume);
    const Checkpoint_Header& saved = options.resumed->header();
    const std::string refused = "the checkpoint " + options.resume + " ";
    if (saved.model != name)
      throw Checkpoint_Error(refused + "is of the model '" + saved.model + "', not " + name);
    for (const auto& [parameter, text] : saved.parameters) {
      if (!parameters.Has(parameter))
        throw Checkpoint_Error(refused + "has the parameter '" + parameter + "', which " + name +
                               " does not declare");
    }
    if (options.given.count("--seed") == 0) options.seed = saved.seed;
  } catch (const Checkpoint_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << std::endl;
    return Finish_Process(name, 1);
  }
  return -1;
}

std::vector<std::string> Resumed_Assignments(const Model_Options& options) {
  std::vector<std::string> assignments;
  for (const auto& [parameter, text] : options.resumed->header().parameters)
    assignments.push_back(parameter + "=" + text);
  return assignments;
}

namespace {

// `body()`'s status, or 1 after its exception's line on standard error; `message` gets the line.
int Report(const std::string& name, const std::function<int()>& body, std::string* message = nullptr) {
  std::string line;
  try {
    return body();
  } catch (const Model_Option_Error& e) {  // an option the run found too large for the machine
    line = e.what();
  } catch (const Record_Error& e) {
    line = e.what();
  } catch (const Checkpoint_Error& e) {
    line = e.what();
  } catch (const std::exception& e) {
    line = "the run failed: " + Printable(Describe_Exception(e));
  }
  line = Printable(line);  // a message may name a file or a value as the user gave it
  std::cerr << name << ": " << line << std::endl;
  if (message) *message = line;
  return 1;
}

}  // namespace

int Guard(const std::string& name, const std::function<int()>& body) {
  return Finish_Process(name, Report(name, body));
}

int Serve_View(const std::string& name, const Parameter_List& parameters, const Model_Options& options,
               const std::function<std::vector<Parameter_Value>(const Model_Options&,
                                                                const std::vector<std::string>&)>& values,
               const std::function<std::string(const std::vector<std::string>&)>& check,
               const std::function<int(const Model_Options&, const std::vector<std::string>&)>& run) {
  std::vector<Parameter_Value> first;
  try {
    first = values(options, {});
  } catch (const Model_Option_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << " (see --help)" << std::endl;
    return Finish_Process(name, 1);
  }
  View view(name, parameters, check);
  try {
    const std::string url = view.Start(View_Settings{options.view_address, options.view_port});
    std::cerr << name << ": view at " << Printable(url) << std::endl;
    if (!Loopback_Address(options.view_address)) {
      std::cerr << name << ": warning: the view listens on " << Printable(options.view_address)
                << ", which other machines may reach; the token in its URL is its only protection"
                << std::endl;
    }
  } catch (const View_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << std::endl;
    return Finish_Process(name, 1);
  }
  Model_Options each = options;
  each.live_view = &view;
  std::vector<std::string> sets;  // the page's, after a restart
  int status = 0;
  for (bool restarted = false;; restarted = true) {
    view.Run_Starts(restarted ? values(each, sets) : first);
    std::string message;
    status = Report(
        name, [&] { return run(each, sets); }, &message);
    // The first run fails as it would without the view; a restarted one that fails says so on
    // the page, which may restart it again.
    if (status != 0 && !restarted) return Finish_Process(name, status);
    view.Run_Ended(status == 0 ? "" : message);
    if (Stop_Signal() != 0) break;
    if (!view.restart_asked() && !view.Wait_For_Restart()) {
      status = 0;  // a signal after the run had ended: the program ends, the run was whole
      break;
    }
    sets = view.Restart_Sets();
    each.overwrite = true;  // the restarted run's series replaces the one before
    World::Clear_Stop_Request();
  }
  return Finish_Process(name, status);
}

}  // namespace command_line_detail

int Run_Model_Program(int argc, char** argv, const std::string& name, const std::string& about,
                      const std::function<int(const Model_Options&)>& run) {
  Model_Options options;
  const int status = command_line_detail::Start(std::vector<std::string>(argv + 1, argv + argc), name, about,
                                                nullptr, options);
  if (status >= 0) return status;
  return command_line_detail::Guard(name, [&] { return run(options); });
}

}  // namespace quarnel::modelkit
