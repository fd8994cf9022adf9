// The command line shared by the example models:
//   <model> [--size small|large|huge] [--threads T] [--seed S] [--steps N] [--block_size B]
//           [--csv FILE] [--sqlite FILE] [--overwrite] [--record_every N]
//           [--set NAME=VALUE ...] [--params] [--view [--port P] [--view-address A]] [--help]
//           [--checkpoint FILE [--checkpoint-every N]] [--resume FILE [--fork]]
//
// Every failure is a Model_Option_Error whose what() is one line naming the option (or the
// parameter) and the value; Run_Model_Program turns it into "<model>: <message> (see
// --help)" on standard error and exit status 1, so a model's main is one call. Nothing here
// ends the process by itself. Main-thread only.
//
// Two program forms:
//  - Run_Model_Program(argc, argv, name, about, run(options)): a model without declared
//    parameters. It refuses --set, --params, --sqlite, --overwrite and --record_every, which
//    it could not honour.
//  - Run_Model_Program(argc, argv, name, about, parameters, run(options, values)): a model
//    whose parameters are declared (Model_Parameters.h). --params prints them and exits 0;
//    the values are the defaults, then the preset that --size names (when the model declares
//    presets; the size must name one of them), then --steps N (as --set steps=N, for a model
//    that declares `steps`), then each --set in order. With --resume FILE the run continues
//    the saved one with its seed and values: the checkpoint's values come first, then only
//    what the command line gives (--seed, --size deciding every parameter a preset sets,
//    --steps, --set); a checkpoint of another model, or one that names a parameter the model
//    does not declare, is one line and status 1 before the run. Model_Checkpoints refuses
//    what then differs from the saved run unless --fork. `PROGRAM study ...` runs a study of
//    the model instead (Study.h).
//    --checkpoint and --resume are honoured by the run's Model_Checkpoints
//    (Model_Checkpoints.h); a run that records without one refuses them before it starts
//    (Recording_Of), and a run that made none ends with status 1 and that refusal instead of
//    reporting a success.
//    With --view it serves a live view of its runs (View.h): the URL, token included, is one
//    line on standard error; `run` gets the View in options.view and its kernel run calls
//    Between_Iterations and Record. When a run ends the program keeps serving: a restart from
//    the page calls `run` again with the page's NAME=VALUE after the command line's (the CSV
//    then replaced, as --overwrite), and a stop signal ends the program. A port that cannot
//    be had is one line and status 1 before any run. The first form refuses --view.
//
// A declared model's run records its measures with Open_Records and Recorded_Run:
//
//   int Run(const Model_Options& options, const Parameters& values) {
//     My_Measures measured;
//     Recorder records = Open_Records(measured.measures, "my_model", options, Declared(), values);
//     const Result result = Recorded_Run(records, [&] { return Run_My_Model(values, ..., records); });
//     if (Run_Interrupted()) return Interrupted_Status("my_model", "after step ...");
//     ...
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <quarnel/Version.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Recorder.h>

namespace quarnel {
class Checkpoint_Reader;  // Checkpoint.h
}

namespace quarnel::modelkit {

enum class Model_Size { small, large, huge };

class View;  // View.h

struct Model_Options {
  Model_Size size = Model_Size::small;
  int threads = 1;                         // worker threads, at least 1
  uint64_t seed = 1;                       // the seed of every random draw of the run
  int steps = 0;                           // 0: the model's own number of steps
  int block_size = 1000;                   // objects per memory block of every type, at least 1
  std::string csv;                         // where the per-step series goes; empty: nowhere
  std::string sqlite;                      // a SQLite file that gains this run; empty: none
  bool overwrite = false;                  // an existing CSV file may be replaced
  int record_every = 1;                    // a record every this many steps, at least 1
  std::vector<std::string> sets;           // each --set NAME=VALUE, in order
  bool params = false;                     // --params: list the parameters and stop
  bool durable_records = true;             // false: a study's scratch records, which skip fsync
  bool view = false;                       // --view: serve a live view of the run
  int view_port = 8080;                    // --port: 0 takes any free port
  std::string view_address = "127.0.0.1";  // --view-address
  // The program's live view while --view serves one, else null; the run passes it to its
  // kernel run. Set by Run_Model_Program, never read from the command line.
  View* live_view = nullptr;
  std::string checkpoint;    // where the run's checkpoints go (Model_Checkpoints.h); empty: none
  int checkpoint_every = 0;  // a checkpoint at the end of every this many steps; 0: on a stop only
  std::string resume;        // the checkpoint to continue from; empty: a new run
  bool fork = false;         // --resume with other parameters: a new branch with new records
  // The options given on the command line ("--seed", "--size", ...): a resumed run takes the
  // others' values from its checkpoint.
  std::set<std::string> given;
  // --resume's checkpoint, read and checked by Run_Model_Program before the run's values are
  // made from it, then handed to Model_Checkpoints; null: Model_Checkpoints reads the file.
  std::shared_ptr<Checkpoint_Reader> resumed;
};

// "small", "large" or "huge".
std::string to_string(Model_Size size);

// The options of `args` (argv[1..]); a Model_Option_Error for an unknown option, a missing or
// malformed value, threads, block size, steps, record_every or checkpoint-every below 1, a
// repeated option (--set may repeat), --checkpoint-every without --checkpoint, --fork
// without --resume, or two of --csv, --sqlite, --checkpoint and --resume that name one file
// (by name, through links, or as one device and inode) other than --checkpoint and --resume.
Model_Options Read_Model_Options(const std::vector<std::string>& args);

// What --csv, --sqlite, --overwrite and --record_every ask of a Recorder that records
// `columns` (empty: every column of the measures). A run that records so has no checkpoints
// (Model_Checkpoints.h's Open_Records is the one that continues their records): --checkpoint
// and --resume, which it could not honour, are a Model_Option_Error, before the run.
Record_Options Recording_Of(const Model_Options& options, std::vector<std::string> columns = {});

namespace command_line_detail {
// Recording_Of for a run whose Model_Checkpoints honours --checkpoint and --resume.
Record_Options Checkpointed_Recording_Of(const Model_Options& options, std::vector<std::string> columns);
// The Model_Checkpoints made so far in the process (each constructor counts itself): a run
// that made none did not honour --checkpoint or --resume.
uint64_t Checkpoints_Made();
void Count_Checkpoints_Made();
}  // namespace command_line_detail

// The records that `options` ask for, of model `name` run with `values`: its runs row carries
// the version, the seed and every parameter. A Record_Error when a destination cannot be
// written, before the run; --checkpoint and --resume are refused as Recording_Of says.
template <class P>
Recorder Open_Records(const Measures& measures, const std::string& name, const Model_Options& options,
                      const Model_Parameters<P>& parameters, const P& values,
                      std::vector<std::string> columns = {}) {
  return Recorder(measures, Run_Description{name, version_string, options.seed, parameters.Values(values)},
                  Recording_Of(options, std::move(columns)));
}

// `run()`, then the records finished by how it ended: interrupted when a stop signal or the
// view's restart ended the run before its last iteration (Run_Stopped_Early), done otherwise; failed when it
// throws, and the exception goes on.
template <class Body>
std::invoke_result_t<Body&> Recorded_Run(Recorder& records, Body&& run) {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
      run();
      records.Finish(Run_Stopped_Early() ? Run_Status::interrupted : Run_Status::done);
    } else {
      auto result = run();
      records.Finish(Run_Stopped_Early() ? Run_Status::interrupted : Run_Status::done);
      return result;
    }
  } catch (...) {
    records.Finish(Run_Status::failed);
    throw;
  }
}

// The usage text of model `name`; `about` describes the model in a few lines.
std::string Model_Usage(const std::string& name, const std::string& about);

// A model program's main. Prepares the process first (Program_Process.h: standard
// descriptors, SIGXFSZ, SIGINT and SIGTERM); prints the usage for -h/--help (status 0);
// refuses bad options and a thread count that the system cannot start (System_Limits.h) with
// one line (status 1); otherwise returns run(options). A Model_Option_Error escaping `run` (an
// option that the run found too large, before allocating for it) is printed as
// "<name>: <what>", a Record_Error (Recorder.h) likewise, any other std::exception as "<name>: the run
// failed: <what>" (with the causes nested in it), both with status 1; every such line has its control
// characters escaped (Printable), so a name, value or path given with them cannot forge a second line.
// Ends with Finish_Process: a standard output that failed turns status 0 into 1, and a run that
// `run` reports as interrupted (its Interrupted_Status) ends the process by the signal.
int Run_Model_Program(int argc, char** argv, const std::string& name, const std::string& about,
                      const std::function<int(const Model_Options&)>& run);

namespace command_line_detail {
// The whole of `text` as a number in [0, max], or a Model_Option_Error naming `option`.
uint64_t Unsigned_Value(const std::string& option, const std::string& text, uint64_t max);
// The values of a declared model's run: the defaults, the preset `options.size` names, --steps
// (as steps=N), --set, then `extra`, each NAME=VALUE. Resuming (options.resumed): the
// checkpoint's values instead of the defaults, and the preset only when --size is given.
template <class P>
P Values_Of(const Model_Parameters<P>& parameters, const Model_Options& options,
            const std::vector<std::string>& extra = {});
// `PROGRAM study ...` (Study.h): the study's options read from args[1..], the study run; the
// exit status. `values` and `run` make a run with the design's NAME=VALUE over `options`.
int Study(const std::vector<std::string>& args, const std::string& name, const Parameter_List& parameters,
          const std::function<std::vector<Parameter_Value>(const Model_Options&,
                                                           const std::vector<std::string>&)>& values,
          const std::function<int(const Model_Options&, const std::vector<std::string>&)>& run);
// The common start of both forms: -1 to go on with `options` read, or the exit status.
int Start(const std::vector<std::string>& args, const std::string& name, const std::string& about,
          const Parameter_List* parameters, Model_Options& options);
// The preset that `options.size` names for `parameters` ("" when the model has no presets).
std::string Preset_For(const Model_Options& options, const Parameter_List& parameters);
// With --resume: reads the checkpoint into options.resumed, refuses another model's or one
// with parameters that `parameters` does not declare, and takes its seed unless --seed is
// given. -1 to go on, or the exit status after one line on standard error.
int Read_Resumed(const std::string& name, const Parameter_List& parameters, Model_Options& options);
// The saved run's values as NAME=VALUE. REQUIRES: options.resumed.
std::vector<std::string> Resumed_Assignments(const Model_Options& options);
// The size whose preset is nearest the saved run's values (fewest parameters apart), for the
// messages of a run resumed without --size; options.size when none is known.
template <class P>
Model_Size Resumed_Size(const Model_Parameters<P>& parameters, const Model_Options& options);
// `body()`, with its exceptions turned into a message on standard error and status 1.
int Guard(const std::string& name, const std::function<int()>& body);
// The runs of a program with --view (see above); `values` and `run` as for Study, `check`
// returns why NAME=VALUE assignments cannot run ("" when they can). Returns the exit status.
int Serve_View(const std::string& name, const Parameter_List& parameters, const Model_Options& options,
               const std::function<std::vector<Parameter_Value>(const Model_Options&,
                                                                const std::vector<std::string>&)>& values,
               const std::function<std::string(const std::vector<std::string>&)>& check,
               const std::function<int(const Model_Options&, const std::vector<std::string>&)>& run);
}  // namespace command_line_detail

template <class P>
P command_line_detail::Values_Of(const Model_Parameters<P>& parameters, const Model_Options& options,
                                 const std::vector<std::string>& extra) {
  std::vector<std::string> sets;
  if (options.steps > 0 && parameters.list().Has("steps"))
    sets.push_back("steps=" + std::to_string(options.steps));
  sets.insert(sets.end(), options.sets.begin(), options.sets.end());
  sets.insert(sets.end(), extra.begin(), extra.end());
  if (options.resumed == nullptr) return parameters.Values_For(Preset_For(options, parameters.list()), sets);
  P values = parameters.Values_For("", Resumed_Assignments(options));
  if (options.given.count("--size") != 0) {
    // The size decides every parameter that a preset sets, not only those its own preset names.
    const std::vector<Parameter_Value> sized =
        parameters.Values(parameters.Values_For(Preset_For(options, parameters.list()), {}));
    for (const std::string& name : parameters.list().Preset_Parameters()) {
      for (const Parameter_Value& v : sized)
        if (v.name == name) parameters.Set(values, name, v.text);
    }
  }
  for (const std::string& assignment : sets) parameters.list().Set_Assignment(&values, assignment);
  return values;
}

template <class P>
Model_Size command_line_detail::Resumed_Size(const Model_Parameters<P>& parameters,
                                             const Model_Options& options) {
  Model_Size nearest = options.size;
  try {
    const std::vector<Parameter_Value> saved =
        parameters.Values(parameters.Values_For("", Resumed_Assignments(options)));
    size_t fewest = SIZE_MAX;
    for (const Model_Size size : {Model_Size::small, Model_Size::large, Model_Size::huge}) {
      if (!parameters.list().Has_Preset(to_string(size))) continue;
      const std::vector<Parameter_Value> sized =
          parameters.Values(parameters.Values_For(to_string(size), {}));
      size_t apart = 0;
      for (size_t i = 0; i < saved.size(); ++i) {
        for (const std::string& name : parameters.list().Preset_Parameters())
          if (saved[i].name == name && saved[i].text != sized[i].text) ++apart;
      }
      if (apart < fewest) {
        fewest = apart;
        nearest = size;
      }
    }
  } catch (const Model_Option_Error&) {  // a saved value this model does not take: refused later
  }
  return nearest;
}

template <class P>
int Run_Model_Program(int argc, char** argv, const std::string& name, const std::string& about,
                      const Model_Parameters<P>& parameters,
                      const std::function<int(const Model_Options&, const P&)>& run) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "study") {
    return command_line_detail::Study(
        args, name, parameters.list(),
        [&](const Model_Options& o, const std::vector<std::string>& sets) {
          return parameters.Values(command_line_detail::Values_Of(parameters, o, sets));
        },
        [&](const Model_Options& o, const std::vector<std::string>& sets) {
          return command_line_detail::Guard(
              name, [&] { return run(o, command_line_detail::Values_Of(parameters, o, sets)); });
        });
  }
  Model_Options options;
  int status = command_line_detail::Start(args, name, about, &parameters.list(), options);
  if (status >= 0) return status;
  status = command_line_detail::Read_Resumed(name, parameters.list(), options);
  if (status >= 0) return status;
  if (options.resumed != nullptr && options.given.count("--size") == 0)
    options.size = command_line_detail::Resumed_Size(parameters, options);
  if (options.view) {
    return command_line_detail::Serve_View(
        name, parameters.list(), options,
        [&](const Model_Options& o, const std::vector<std::string>& sets) {
          return parameters.Values(command_line_detail::Values_Of(parameters, o, sets));
        },
        [&](const std::vector<std::string>& sets) -> std::string {
          try {
            command_line_detail::Values_Of(parameters, options, sets);
            return "";
          } catch (const Model_Option_Error& e) {
            return e.what();
          }
        },
        [&](const Model_Options& o, const std::vector<std::string>& sets) {
          return run(o, command_line_detail::Values_Of(parameters, o, sets));
        });
  }
  P values;
  try {
    values = command_line_detail::Values_Of(parameters, options);
  } catch (const Model_Option_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << " (see --help)" << std::endl;
    return Finish_Process(name, 1);
  }
  return command_line_detail::Guard(name, [&] {
    const uint64_t made = command_line_detail::Checkpoints_Made();
    const int status = run(options, values);
    // A run that neither recorded (Recording_Of refuses them first) nor made a Model_Checkpoints
    // ignored them: not reported as a success.
    if (status == 0 && command_line_detail::Checkpoints_Made() == made) {
      if (!options.checkpoint.empty())
        throw Model_Option_Error("option --checkpoint is not supported by this model");
      if (!options.resume.empty()) throw Model_Option_Error("option --resume is not supported by this model");
    }
    return status;
  });
}

}  // namespace quarnel::modelkit
