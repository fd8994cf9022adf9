// Recorder: a run's measures streamed to disk as it goes, one row of every measure each
// iteration (or every N), to a CSV file, a SQLite file, or both; memory stays bounded
// whatever the run's length.
//
//   quarnel::modelkit::Recorder recorder(shared.measures, {"my_model", quarnel::version_string, seed,
//                                        parameters.Values(values)}, {.csv = "out.csv", .sqlite =
//                                        "runs.db"});
//   run.On_Iteration_End(recorder.Hook([&](uint32_t) { shared.live.Set(quarnel::Live_Count<A>()); }));
//   run.Run();                                   // on an exception: recorder.Finish(failed), rethrow
//   recorder.Finish(quarnel::modelkit::Run_Status::done);
//
// A row is (step, the measures' Values() in column order), where step is the number of
// iterations finished: the hook writes step i + 1 after iteration i; Record(0) after set-up
// writes the state before the first step. With every = N only steps that are multiples of N
// are written; a measure reset each iteration then shows the recorded iteration alone.
//
// CSV: a header line "step,<columns>", then one line per row, each reaching the file as ONE
// write(2) of the whole line, so a process killed at any moment leaves complete lines only.
// A failed or partial write is a Record_Error; a partial line is cut off first, so the file
// still ends with a complete line. An existing
// regular file is refused unless `overwrite`; the lines go first to a temporary file in the
// same folder, which takes the file's name once the first row is written, or at the end of
// a run finished done without any row (its file, header only): an existing file is never
// lost to a run that fails or is interrupted before it writes a row. A destination that
// exists and is not a regular file (a pipe, /dev/stdout) is written in place.
// A regular file is locked (flock) by its writer from the start of the run to its end, and so
// is the file it replaces until it does: a run that would replace or continue a file that
// another live run holds is refused before the run. A file replaced or removed during the
// run by something that took no lock is a Record_Error at Finish: its rows are not in it.
//
// SQLite: tables `runs` (run INTEGER PRIMARY KEY, model, version, seed, status, started,
// finished, one column per parameter) and `series` (run, step, one column per measure). The
// runs row is inserted as 'running' at start and given its final status ('done', 'failed',
// 'interrupted') and finish time by Finish. Rows wait in memory and are written in one short
// transaction every 256 rows or every second, whichever comes first, and at the end: a killed
// process leaves a file that holds whole committed rows only. A durable file is in WAL mode
// (committed rows may be in FILE-wal until the last program using the file closes it), so
// that other programs adding runs to the same file take turns: a write waits up to a minute
// for another's transaction, then fails, and the run's row is left 'failed'. An existing file with
// the same model's tables gains a run; a file of another model, of other columns, of a study
// (Study.h), or not a SQLite database is refused. A NaN value is stored as NULL.
//
// Errors: every failure is a Record_Error whose what() is one line naming the file (or the
// unknown column of Record_Options::columns). A
// destination that cannot be written (a missing folder, a path through a file, /dev/full, an
// existing CSV without overwrite) is refused by the constructor, before the run.
//
// Thread safety: owned by the controlling thread; Record and Hook's function run in the
// iteration hook, while no worker steps. The Measures must outlive the Recorder.
// Invariants: 1. every row written is complete in each sink; 2. after Finish, or the
// destructor (which finishes a run not finished as failed), no temporary file is left.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <quarnel/Measures.h>
#include <quarnel/modelkit/Model_Parameters.h>

namespace quarnel::modelkit {

class Record_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Run_Status { running, done, failed, interrupted };

// "running", "done", "failed" or "interrupted".
std::string to_string(Run_Status status);

struct Record_Options {
  std::string csv;         // empty: no CSV
  std::string sqlite;      // empty: no SQLite
  bool overwrite = false;  // an existing CSV may be replaced
  uint32_t every = 1;      // a row every this many steps, at least 1
  // The measures' columns to record, in this order; empty: every column. A model keeps the
  // counts it needs only to compute its columns (in-step tallies) out of its records so.
  std::vector<std::string> columns = {};
  // false: a SQLite file that need not survive a crash of the machine (a study's scratch file,
  // copied into the study's own file): its commits skip fsync.
  bool durable = true;
  // Continue the records of a run resumed from a checkpoint instead of starting new ones: the
  // CSV file is kept and cut back after its last row of a step at or before `resume_step`; the
  // SQLite file's run `resume_run` keeps its row (status back to 'running', its parameter columns
  // the run's own, so a longer resume shows its length) and loses its series
  // rows after `resume_step`. Records that are not the saved run's are refused (a Record_Error)
  // before anything in them changes: a missing file or run; a CSV file whose header is not this
  // run's, or whose first `resume_csv_bytes` bytes do not give `resume_csv_digest` (Csv_Digest)
  // with its rows to `resume_step` ending there (0 bytes: the saved run wrote no CSV); a SQLite
  // run of another model, seed or parameters (except `resume_length`, the run's length, which a
  // resume may change), or with no row at `resume_step` (when above 0).
  bool resume = false;
  uint64_t resume_step = 0;
  int64_t resume_run = 0;
  uint64_t resume_csv_bytes = 0;
  uint64_t resume_csv_digest = 0;
  std::string resume_length = {};
  // Also given every row written, with the recorded columns' names (a live view's plots).
  std::function<void(uint64_t step, const std::vector<std::string>& columns,
                     const std::vector<Measure_Value>& row)>
      on_row = nullptr;
};

// What the runs table says about a run.
struct Run_Description {
  std::string model;
  std::string version;
  uint64_t seed = 0;
  std::vector<Parameter_Value> parameters;
};

// The digest by which a resumed run knows its CSV file: 64-bit FNV-1a of the bytes, continued
// from `digest` (Csv_Digest's start for none).
constexpr uint64_t kCsv_Digest_Start = 14695981039346656037ull;
uint64_t Csv_Digest(const char* data, size_t size, uint64_t digest = kCsv_Digest_Start);

class Recorder {
 public:
  // Opens the sinks (see above); a Record_Error when one cannot be written.
  Recorder(const Measures& measures, Run_Description run, Record_Options options);
  // Finishes a run not finished as failed, quietly.
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Writes the row of `step` when `step` is a multiple of `every`. REQUIRES: not finished.
  void Record(uint64_t step);
  // An iteration hook that calls `model_hook(i)` (when given), then Record(i + 1).
  std::function<void(uint32_t)> Hook(std::function<void(uint32_t)> model_hook = nullptr);
  // Writes what is pending, sets the runs row's status and finish time, and gives the CSV
  // its name (failed or interrupted before any row: the temporary file is removed instead,
  // and an existing file stays). A Record_Error
  // when that fails, except for `failed`, which does what it can and throws nothing.
  void Finish(Run_Status status);

  int64_t run_id() const;  // the SQLite runs row (0 without SQLite)
  // The CSV file's bytes of complete lines and their Csv_Digest (0 and 0 without a CSV).
  uint64_t csv_bytes() const;
  uint64_t csv_digest() const;
  uint64_t rows() const { return _rows; }
  // The step of the last row written (the resumed step before any; 0 before any row).
  uint64_t last_step() const { return _last_step; }
  // Makes every row written so far durable in each sink (SQLite: commits the open
  // transaction; CSV rows reach the file as they are written): a checkpoint's records
  // position is then on disk. REQUIRES: not finished.
  void Flush();

 private:
  class Csv_Sink;
  class Sqlite_Sink;
  const Measures& _measures;
  Record_Options _options;
  std::vector<size_t> _recorded;    // the measures' columns recorded, in the records' order
  std::vector<std::string> _names;  // their names
  std::vector<Measure_Value> _row;
  std::unique_ptr<Csv_Sink> _csv;
  std::unique_ptr<Sqlite_Sink> _sqlite;
  uint64_t _rows = 0;
  uint64_t _last_step = 0;
  bool _finished = false;
};

}  // namespace quarnel::modelkit
