// The parts of a study that the local driver and the MPI driver share (Study.h says what a
// study guarantees). Private to modelkit; everything here runs on the driver's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <quarnel/modelkit/Study.h>

struct sqlite3;
struct sqlite3_stmt;

namespace quarnel::modelkit::study_detail {

// How a child run ended, as the study records it.
struct Outcome {
  enum Kind { done, failed, killed, unfinished } kind;
  std::string error;  // failed: the run's last line on standard error; otherwise how it ended
};

// `raw_status` (waitpid's) of a run whose standard error went to `err_file`. A run ended by
// SIGINT, SIGTERM, SIGKILL or SIGHUP is unfinished while the study stops, killed otherwise.
Outcome Outcome_Of(int raw_status, const std::string& err_file, bool stopping);

// A folder of its own under $TMPDIR (or /dev/shm, or /tmp) for the runs' scratch files,
// removed with everything in it by the destructor (a Record_Error when it cannot be made).
// Its name holds a key of the study's file, and this process holds a lock on it (a POSIX
// record lock, which its children do not share) for its life: first the folders of the same
// study whose lock is free, left by a driver that was killed, are removed, each with one line
// on standard error that starts with `program`.
class Scratch_Folder {
 public:
  Scratch_Folder(const std::string& study_file, const std::string& program);
  ~Scratch_Folder();
  Scratch_Folder(const Scratch_Folder&) = delete;
  Scratch_Folder& operator=(const Scratch_Folder&) = delete;
  std::string File(uint64_t index, const char* suffix) const;  // ".db", ".err"

 private:
  std::string _path;
  int _lock = -1;  // the folder's lock file, locked while this process lives
};

// Child processes that make one run each. Wait sleeps until a child ends, a signal comes or
// the time passes; the caller reaps with waitpid(WNOHANG).
class Child_Runs {
 public:
  Child_Runs();
  // Forks a child that runs body() with standard output on /dev/null and standard error in
  // `err_file`, on the processors `cpus` (empty: those of the driver), and exits with its
  // status; the child dies with the driver.
  pid_t Start(const std::function<int()>& body, const std::string& err_file,
              const std::vector<int>& cpus = {});
  void Wait(std::chrono::milliseconds limit);
};

// The study's SQLite file: checked or made at construction (a Record_Error or a
// Model_Option_Error for a file of another study or of runs of no study), then the finished
// runs added in transactions of up to a second's runs.
class Study_File {
 public:
  Study_File(const std::string& path, const Study_Model& model, const Study_Design& design,
             const Study_Options& options);
  ~Study_File();  // commits what is pending, quietly
  Study_File(const Study_File&) = delete;
  Study_File& operator=(const Study_File&) = delete;

  bool Holds(uint64_t index) const { return _held[index]; }
  uint64_t done() const { return _done; }
  uint64_t failed() const { return _failed; }
  // Copies run `index`'s rows from its scratch file `scratch` (as row index + 1, with the
  // outcome's status), and for a failed run its failures row; the scratch file is removed
  // once the rows are committed. REQUIRES: outcome done or failed, !Holds(index).
  void Add_Run(uint64_t index, const Outcome& outcome, const std::string& scratch,
               const std::vector<std::string>& assignments, uint64_t seed);
  void Commit_If_Due();  // after a second of added runs, or 256 of them
  void Commit();

 private:
  void Exec(const std::string& sql);
  [[noreturn]] void Fail(const std::string& what);
  // A table of the study's file that runs are copied into, with its insert prepared once.
  struct Copier {
    std::string table;
    std::vector<std::string> columns;
    sqlite3_stmt* insert = nullptr;
    int status_at = -1;
  };
  std::vector<std::string> Columns(sqlite3* db, const std::string& table);
  void Copy_Rows(sqlite3* scratch, sqlite3_stmt* select, Copier& copier, uint64_t index,
                 const std::string& status);

  std::string _path;
  const Study_Model& _model;
  sqlite3* _db = nullptr;
  std::vector<bool> _held;  // [index]: the file holds run index + 1
  uint64_t _done = 0, _failed = 0;
  bool _open = false;  // a transaction is open
  std::vector<std::string> _to_remove;
  Copier _runs{"runs", {}, nullptr, -1}, _series{"series", {}, nullptr, -1};
  std::chrono::steady_clock::time_point _last_commit;
};

// What a study ends with: the summary line on standard output, and the exit status.
int Study_Ending(const std::string& name, const Study_Options& options, const Study_Design& design,
                 const Study_File& file, uint64_t before, std::chrono::steady_clock::time_point start,
                 int stop);

// The study on this machine, --jobs runs at a time (Study.cpp).
int Run_Local_Study(const Study_Options& options, const Study_Model& model, const Study_Design& design);

// The study over the ranks of an MPI job (Study_Mpi.cpp); one rank makes it a local study.
int Run_Over_Mpi(const Study_Options& options, const Study_Model& model, const Study_Design& design);

}  // namespace quarnel::modelkit::study_detail
