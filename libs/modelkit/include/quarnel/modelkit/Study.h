// Studies: many runs of one model (a design of parameter values times replications with
// their own seeds) on every core of a machine, or over the ranks of an MPI job, into one
// SQLite file; resumable after a kill.
//
//   PROGRAM study --vary NAME=V1,V2,... [--vary ...] | --sample latin:N NAME=LO..HI ...
//                 [--size PRESET] [--set NAME=VALUE ...] [--replications R] [--seed S]
//                 [--jobs J] [--max-failures F] [--threads T] [--steps N] --sqlite FILE
//
// The design: the full grid of the --vary values (the first --vary varies slowest), or a Latin
// hypercube of N points over the ranges of --sample, each point times R replications; with
// neither, R replications of the fixed values. --size and --set fix what the design does not
// vary. Run i (0-based; the point i / R, the replication i % R) has the seed Study_Seed(S, i)
// and is row i + 1 of the runs table: the program run alone with that seed, those parameter
// values and --sqlite gives the same series.
//
// How runs are made: each run is a child process of its own (fork, no exec: the World is one
// per process), which records into a scratch SQLite file; the driver copies a finished run's
// runs and series rows into the study's file, in transactions of up to a second's runs, and
// only then removes the scratch file. So the study's file holds whole runs only, and a study
// started again with the same command after a kill runs only the runs its file does not
// hold. Under `mpirun -np K` (K > 1), rank 0 owns the file and hands out runs; ranks 1 .. K-1
// make them, one at a time, and send back their scratch files. The scratch files are in a
// folder of the driver's (of each rank's) under $TMPDIR, else /dev/shm, else /tmp; a folder
// that a killed driver of the same study file left is removed at the next start, with one line
// on standard error, and a folder whose driver still lives is never touched. A rank that cannot
// make its folder ends the study with one line naming it and status 1.
//
// Tables: `runs` and `series` as a single run's records have them (Recorder.h), `study` (one
// row: model, version, design, command, runs, created) and `failures` (run, error). Another
// design against an existing file (other values varied, or other --size, --steps,
// --record_every or --set), or a file that holds runs of no study, is refused; --threads,
// --block_size, --jobs and --max-failures may differ, as a run's series does not depend on them.
//
// Failures: a run that exits with an error (before it opens its records too) is recorded as
// failed, with the last line it wrote on standard error, and the study goes on; --max-failures F ends it
// after F failures. A run killed by a signal that the study did not send (an OOM kill, a SIGKILL) is made
// again, twice at most. SIGINT or SIGTERM to the driver stops handing out runs, lets the running ones end
// with their iteration, keeps every finished run and ends the program by the signal. The exit
// status is 0 when every run of the design is done, 1 when any failed.
//
// Thread safety: the main thread of the program, which must not have started a kernel run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <quarnel/modelkit/Model_Command_Line.h>
#include <quarnel/modelkit/Model_Parameters.h>

namespace quarnel::modelkit {

// The largest designs: a study's bookkeeping and a Latin hypercube's draws are held in memory.
inline constexpr uint64_t kMax_Study_Runs = 1000000000;
inline constexpr uint64_t kMax_Latin_Points = 1000000;

struct Latin_Range {
  std::string name;
  std::string low, high;  // as given; checked against the parameter's type and range
};

struct Study_Options {
  Model_Options base;  // --size, --set, --seed, --threads, --steps, --block_size, --record_every, --sqlite
  std::vector<std::pair<std::string, std::vector<std::string>>> vary;  // --vary NAME=V1,V2,...
  uint64_t latin_points = 0;                                           // --sample latin:N (0: none)
  std::vector<Latin_Range> latin;                                      // its NAME=LO..HI
  uint64_t replications = 1;
  int jobs = 0;               // runs at a time on this machine; 0: every core the process may use
  uint64_t max_failures = 0;  // 0: no limit
  std::string command;        // the command line, as the study table keeps it
};

// The options after "study" (argv[2..]); a Model_Option_Error naming the first bad one:
// an unknown option, a malformed --vary or --sample, --replications 0, more than
// kMax_Latin_Points points, --csv (a study's records are its SQLite file), --checkpoint,
// --checkpoint-every, --resume, --fork, --view, --port, --view-address, no --sqlite.
Study_Options Read_Study_Options(const std::vector<std::string>& args);

// The seed of run `index` of a study seeded `seed`: a Counter_Random draw keyed on both, below
// 2^63 so that the runs table keeps it as an integer.
uint64_t Study_Seed(uint64_t seed, uint64_t index);

// The runs of a study: which design point each is and what that point sets.
class Study_Design {
 public:
  // Checks every name and value against `parameters` (a Model_Option_Error naming the first
  // unknown parameter, a value out of its range or of the wrong type, an empty --vary, a
  // parameter varied twice, --vary with --sample, a Latin range on a flag or text, more than
  // kMax_Study_Runs runs, --steps with a design that varies the length parameter).
  Study_Design(const Study_Options& options, const Parameter_List& parameters);
  uint64_t points() const { return _points; }
  uint64_t runs() const { return _points * _replications; }
  // NAME=VALUE of every parameter the design sets for run `index`, in declaration order.
  std::vector<std::string> Assignments(uint64_t index) const;
  // The design as one line, with the options that fix the other values of every run
  // (--size, --steps, --record_every, --set); two studies with the same line make the same runs.
  const std::string& text() const { return _text; }

 private:
  struct Axis {
    std::string name;
    std::vector<std::string> values;  // grid: the values; Latin: one per point
  };
  std::vector<Axis> _axes;
  bool _latin = false;
  uint64_t _points = 1;
  uint64_t _replications = 1;
  std::string _text;
};

// One run as the driver asks a child process for it.
struct Study_Run {
  uint64_t index = 0;             // the run is row index + 1 of the runs table
  uint64_t seed = 0;              // Study_Seed(study seed, index)
  std::vector<std::string> sets;  // the study's --set, then the design's assignments
  std::string sqlite;             // the scratch file to record into
};

// What a study needs of its model.
struct Study_Model {
  std::string name;
  const Parameter_List* parameters = nullptr;
  // The parameter values of a run with `sets` applied (over --size and --steps); a
  // Model_Option_Error when one does not fit.
  std::function<std::vector<Parameter_Value>(const std::vector<std::string>& sets)> values;
  // Makes one run, in the child process, recording into run.sqlite; returns its exit status.
  std::function<int(const Model_Options& options, const Study_Run& run)> run;
};

// Runs the study: locally with `jobs` runs at a time, or over the ranks of an MPI job when
// launched by mpirun. Returns the exit status (see above); a Model_Option_Error or a
// Record_Error when the design or the file is refused, before any run.
int Run_Study(const Study_Options& options, const Study_Model& model);

namespace study_detail {
// Whether this process was started by an MPI launcher (its environment says so).
bool Launched_By_Mpi();
}  // namespace study_detail

}  // namespace quarnel::modelkit
