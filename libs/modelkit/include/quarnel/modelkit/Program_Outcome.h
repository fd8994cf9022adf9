// Running a model program the way a user does, for tests of its command line: its exit status
// and what it wrote. Main-thread only; the program and the arguments are shell words (run by
// /bin/sh).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quarnel::modelkit {

struct Program_Outcome {
  int status;       // the exit status, or 128 + the signal that ended it, or -1 (not run)
  std::string err;  // its standard error
};

// Runs the program with standard output discarded.
Program_Outcome Run_Program(const std::string& program, const std::string& args);

// The text of `out` from its "run fingerprint " on (the fingerprint and what follows it), or a
// note that there is none.
std::string Fingerprint_Of(const std::string& out);

// Writes a valid checkpoint of model `model` at iteration 3 that holds nothing: another
// model's checkpoint, for the refusals of a program that resumes.
void Write_Other_Models_Checkpoint(const std::string& path, const std::string& model);

// "" when `outcome` is a refusal: status 1 and one line on standard error that holds
// `expected`; otherwise what it was instead.
std::string Refusal_Problem(const Program_Outcome& outcome, const std::string& expected);

// The text of `file`, "" when it cannot be read.
std::string Read_Text_File(const std::string& file);

// The lines of `text`, without their newlines (a last line without one counts too).
std::vector<std::string> Lines_Of(const std::string& text);

// Every row of `sql` run on the SQLite file `file`, its cells as text joined by '|' (NULL as
// "NULL"); {"cannot open"} or a row "error: <message>" when that fails.
std::vector<std::string> Query_Sqlite(const std::string& file, const std::string& sql);

struct Program_Output {
  int status = -1;  // the exit status, or 128 + the signal that ended it, or -1 (timed out, killed)
  std::string out;  // standard output
  std::string err;  // standard error
};

// `program args` started at once with its standard output and error in files, to be signalled
// while it runs: `shell_setup` (e.g. "ulimit -v 400000", "cd /tmp/x") runs before it in its
// shell, whose process it then replaces, so that the signals reach the program itself, with
// SIGINT and SIGTERM at their defaults. `out_to` and `err_to`, when given, are the shell's
// redirections instead of the files (">/dev/full", ">&-", "2>&-"). The destructor kills a
// program not waited for.
class Background_Program {
 public:
  Background_Program(const std::string& program, const std::string& args, const std::string& shell_setup = "",
                     const std::string& out_to = "", const std::string& err_to = "");
  ~Background_Program();
  Background_Program(const Background_Program&) = delete;
  Background_Program& operator=(const Background_Program&) = delete;

  pid_t pid() const { return _pid; }
  void Signal(int signal) const;
  // What it has written so far on standard error (when captured).
  std::string Err_So_Far() const { return Read_Text_File(_err_file); }
  // Whether the program still runs (not yet waited for and not ended).
  bool Running();
  // Waits for the end (killing the program with SIGKILL after `limit`) and collects it.
  Program_Output Wait(std::chrono::seconds limit = std::chrono::seconds(300));

 private:
  pid_t _pid = -1;
  int _raw_status = 0;
  bool _ended = false;
  std::string _out_file, _err_file;
};

// Runs `program args` as Background_Program does and waits for its end.
Program_Output Run_To_End(const std::string& program, const std::string& args,
                          const std::string& shell_setup = "", const std::string& out_to = "",
                          const std::string& err_to = "");

// A checkpoint test of a model program: a run of `steps` steps that never stopped against runs
// saved every `every` steps, killed by SIGKILL once their CSV has `kill_at_lines` lines and a
// checkpoint is in place, and resumed (--resume) with other threads and block sizes; the caller
// compares what it needs.
// `args` are the options of every run (a size, parameters); the files are `scratch` + suffixes.
class Resume_Trial {
 public:
  struct Threads {
    int save_threads, save_block, resume_threads, resume_block;
  };
  // 1 to 6 workers, 2 to 1 and 2 to 6, with block sizes 1000, 7 and 1 on either side.
  static const std::vector<Threads>& Cases();
  struct Outcome {
    // Empty when the resumed run's CSV, SQLite series (series_sql) and runs row equal the
    // whole run's; otherwise what went wrong or what differs.
    std::string problem;
    uint32_t saved_at = 0;   // the checkpoint's iteration
    std::string killed_csv;  // the killed run's CSV, as the kill left it
    Program_Output resumed;
  };

  Resume_Trial(std::string program, std::string args, int steps, int every, size_t kill_at_lines,
               std::string series_sql, std::string scratch);
  ~Resume_Trial();  // removes the files
  Resume_Trial(const Resume_Trial&) = delete;
  Resume_Trial& operator=(const Resume_Trial&) = delete;

  // The run that never stopped, made at the first call (--threads 2 --block_size 7).
  const Program_Output& whole();
  Outcome Resume(const Threads& threads);

 private:
  std::string _program, _args, _series_sql, _scratch;
  int _steps, _every;
  size_t _kill_at_lines;
  bool _whole_made = false;
  Program_Output _whole;
};

// A checkpoint test of a model program at the end of a run: a run of `steps` steps on
// `save_threads` workers, saved at its last step (--checkpoint-every `steps`), then resumed in
// the same records to 2 x `steps` on `resume_threads` workers, against a run of 2 x `steps`
// (2 workers) that never stopped. `args` are the options of every run; the files are `scratch`
// + suffixes, removed at the end.
struct Longer_Resume {
  // Empty when the resumed run's CSV, SQLite series (`series_sql`) and runs row (but its start
  // and finish times) equal those of the run that never stopped; otherwise what differs.
  std::string problem;
  Program_Output whole, resumed;
};
Longer_Resume Resume_Longer(const std::string& program, const std::string& args, int steps, int save_threads,
                            int resume_threads, const std::string& series_sql, const std::string& scratch);

// Polls `condition` every millisecond until it holds (true) or `limit` has passed (false).
template <class Condition>
bool Wait_Until(Condition&& condition, std::chrono::milliseconds limit = std::chrono::milliseconds(60000));

}  // namespace quarnel::modelkit

#include <thread>

template <class Condition>
bool quarnel::modelkit::Wait_Until(Condition&& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
