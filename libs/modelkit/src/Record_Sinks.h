// The Recorder's two sinks (Recorder.h says what each guarantees). Private to modelkit.
// Owned by one Recorder, on the controlling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <quarnel/modelkit/Recorder.h>

struct sqlite3;
struct sqlite3_stmt;

namespace quarnel::modelkit {

// "cannot write FILE: <reason>"-style one-line failures.
[[noreturn]] void Refuse_Record(const std::string& message);
// An SQL identifier in double quotes; the time now as the records write it (UTC, ISO 8601).
std::string Quoted(const std::string& name);
std::string Now_Utc();

class Recorder::Csv_Sink {
 public:
  // Writes the header at once (into the temporary file, or in place for a non-regular file).
  Csv_Sink(const std::string& path, const std::vector<Measure_Column>& columns, bool overwrite);
  // Continues an existing file: checks its header, and that its rows to `step` are the
  // `bytes` bytes of digest `digest` (the saved run's). Cut then drops what follows them, and
  // the rows are appended from there.
  Csv_Sink(const std::string& path, const std::vector<Measure_Column>& columns, uint64_t step, uint64_t bytes,
           uint64_t digest);
  void Cut();
  ~Csv_Sink();                        // removes an unpublished temporary file; closes
  void Row(const std::string& line);  // one write(2) of the whole line
  void Finish(bool keep);             // keep: publish (when not yet); otherwise discard an unpublished one
  uint64_t bytes() const { return uint64_t(_size); }
  uint64_t digest() const { return _digest; }

 private:
  void Write_Line(const std::string& line);
  void Publish();
  void Forget_Temporary();  // removes an unpublished temporary file
  void Release();           // the temporary file removed, the descriptors closed
  static int Lock_Destination(const std::string& path);
  std::string _path;
  std::string _temporary;  // empty: written in place, or published
  bool _overwrite;
  int _fd = -1;                          // holds the writer's lock of the file written
  int _held = -1;                        // the writer's lock of the file this run replaces, until it does
  int64_t _size = 0;                     // bytes of complete lines written
  uint64_t _digest = kCsv_Digest_Start;  // their Csv_Digest
  bool _regular = true;
};

class Recorder::Sqlite_Sink {
 public:
  // Opens or creates the file, checks or creates its tables, inserts the runs row as 'running'.
  // With `continue_run` (not 0): continues that run instead of inserting one (Continue_Run),
  // `length` naming the parameter in which it may differ from `run`.
  Sqlite_Sink(const std::string& path, const std::vector<Measure_Column>& columns, const Run_Description& run,
              bool durable, int64_t continue_run = 0, uint64_t step = 0, const std::string& length = "");
  ~Sqlite_Sink();
  void Row(uint64_t step, const std::vector<Measure_Value>& values);
  void Finish(Run_Status status);  // commits, sets the status; closes
  void Commit();                   // the open transaction, if any
  // Continues run `run` of the file, once it is known for `description`'s (model, seed and
  // parameters but `length`) with a row at `step` (when above 0): its series after `step`
  // deleted, its status 'running'.
  void Continue_Run(const Run_Description& description, int64_t run, uint64_t step,
                    const std::string& length);
  // Sets the continued run's parameter columns to `run`'s (a longer resume's length).
  void Describe_Run(const Run_Description& run);
  int64_t run_id() const { return _run; }

 private:
  void Exec(const std::string& sql);
  void Exec_When_Free(const std::string& sql);  // retried while the file is busy, within a limit
  void Check_Or_Create(const std::vector<Measure_Column>& columns, const Run_Description& run);
  void Insert_Run(const Run_Description& run);
  // Refuses run `run` unless it is `description`'s (see Continue_Run).
  void Check_Run(const Run_Description& description, int64_t run, uint64_t step, const std::string& length);
  [[noreturn]] void Fail(const std::string& what);
  std::string _path;
  sqlite3* _db = nullptr;
  sqlite3_stmt* _insert = nullptr;
  int64_t _run = 0;
  std::vector<std::pair<uint64_t, std::vector<Measure_Value>>> _pending;  // rows not yet written
  std::chrono::steady_clock::time_point _last_commit;
};

}  // namespace quarnel::modelkit
