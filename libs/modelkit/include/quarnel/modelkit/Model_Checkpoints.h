// A model program's checkpoints: --checkpoint FILE, --checkpoint-every N, --resume FILE and
// --fork (Model_Command_Line.h) over the kernel's Checkpoint.h.
//
//   Model_Checkpoints checkpoints(options, "my_model", Declared(), values, values.steps);
//   Recorder records = Open_Records(measured.measures, "my_model", options, Declared(), values,
//                                   columns, checkpoints);
//   ... after the Simulation is set up and the measures attached:
//   if (checkpoints.resuming()) checkpoints.Restore(&measured.measures, contents); else { make objects }
//   ... in the iteration hook, after the step's row is recorded:
//   checkpoints.After_Iteration(i, records, &measured.measures, contents);
//
// `contents(io)` is the model's one description of its state (Checkpoint.h), the same for
// saving and loading.
//
// What it guarantees:
//  - The checkpoint is written at the end of every Nth iteration (i + 1 a multiple of N) and
//    at the end of the iteration at which a stop signal ends the run (World::stop_requested),
//    after that iteration's row: the records are flushed first, so the file's records position
//    is on disk.
//  - The hook returns once the state is copied into the checkpoint's body; the file is written,
//    synced and put in place by a thread of its own while the run goes on (Checkpoint_Writer).
//    The next checkpoint, the last iteration (`steps`) and a stop signal's iteration wait for
//    it: the run's last checkpoint is in place when its last hook returns, and a failure to
//    write one is thrown (Checkpoint_Error) by the hook that waits, never lost.
//  - A --checkpoint path that could not take the checkpoint (Check_Checkpoint_Path) is refused
//    by the constructor, with a one-line Checkpoint_Error, before the run.
//  - A resume refuses, with a one-line Checkpoint_Error (the program's status 1), a checkpoint
//    of another model, one whose seed or parameters differ from the run's (unless --fork; the
//    number of steps may differ), and one at or after the run's last step. The run's seed and
//    values are the checkpoint's unless the command line gives others (Model_Command_Line.h).
//  - Resumed without --fork, the records continue those of the saved run (Recorder.h), and
//    files that are not that run's records are refused before they change: the checkpoint
//    holds the SQLite run and the CSV file's length and digest; with --fork they are new, and
//    the run's rows start after the saved step.
//  - A checkpoint at the run's last step (N divides `steps`) is continued by a longer run as
//    one at any other step, for a model whose last step does what a run going on would do:
//    the kernel saves its parked events due (Checkpoint.h); a row or a count only a finished
//    run makes belongs after the last hook, where the checkpoint's records position omits it.
// Controlling thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <quarnel/Checkpoint.h>
#include <quarnel/Version.h>
#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>
#include <quarnel/modelkit/Recorder.h>

namespace quarnel::modelkit {

using Checkpoint_Contents = std::function<void(Checkpoint_Io&)>;

class Model_Checkpoints {
 public:
  // Reads and checks --resume's file when given. `steps`: the run's number of iterations;
  // `length`: the parameter that holds it (a longer run may resume), "steps" unless the model
  // names it otherwise.
  template <class P>
  Model_Checkpoints(const Model_Options& options, const std::string& model,
                    const Model_Parameters<P>& parameters, const P& values, uint32_t steps,
                    const std::string& length = "steps")
      : Model_Checkpoints(options, model, parameters.Values(values), steps, length) {}
  Model_Checkpoints(const Model_Options& options, const std::string& model,
                    const std::vector<Parameter_Value>& parameters, uint32_t steps,
                    const std::string& length = "steps");

  bool resuming() const { return _reader != nullptr; }
  // The saved run's header. REQUIRES: resuming().
  const Checkpoint_Header& resumed() const { return _reader->header(); }
  // The first iteration this run steps: the saved one, or 0.
  uint32_t first_iteration() const { return resuming() ? resumed().iteration : 0; }

  // `records` set to continue the saved run's (not with --fork).
  Record_Options Continue(Record_Options records) const;

  // Puts the saved state into the run that is set up (Checkpoint_Reader::Restore).
  void Restore(Measures* measures, const Checkpoint_Contents& contents) {
    _reader->Restore(measures, contents);
  }

  // In the iteration hook after iteration `iteration`'s row: writes the checkpoint when due,
  // and waits for the one on its way at the run's last iteration and when a stop signal ends
  // the run (a Checkpoint_Error if it failed).
  void After_Iteration(uint32_t iteration, Recorder& records, const Measures* measures,
                       const Checkpoint_Contents& contents);
  // Writes the checkpoint now, as the end of `iteration`, and waits until it is in place.
  void Save(uint32_t iteration, Recorder& records, const Measures* measures,
            const Checkpoint_Contents& contents);
  // Waits for the checkpoint on its way, if any (a Checkpoint_Error if it failed).
  void Finish();

 private:
  // Hands the state at the end of `iteration` to the writer's thread.
  void privWrite(uint32_t iteration, Recorder& records, const Measures* measures,
                 const Checkpoint_Contents& contents);

  Model_Options _options;
  uint32_t _steps;
  std::string _length;        // the parameter that holds the run's length
  Checkpoint_Header _header;  // this run's: model, version, parameters, seed
  std::shared_ptr<Checkpoint_Reader> _reader;
  std::unique_ptr<Checkpoint_Writer> _writer;  // with --checkpoint
};

// Open_Records (Model_Command_Line.h) for a run that may continue a checkpoint's records.
template <class P>
Recorder Open_Records(const Measures& measures, const std::string& name, const Model_Options& options,
                      const Model_Parameters<P>& parameters, const P& values,
                      std::vector<std::string> columns, const Model_Checkpoints& checkpoints) {
  return Recorder(
      measures, Run_Description{name, version_string, options.seed, parameters.Values(values)},
      checkpoints.Continue(command_line_detail::Checkpointed_Recording_Of(options, std::move(columns))));
}

}  // namespace quarnel::modelkit
