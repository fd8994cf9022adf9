#include <quarnel/modelkit/Program_Outcome.h>

#include <quarnel/Checkpoint.h>

#include <sqlite3.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace quarnel::modelkit {
namespace {

int Status_Of(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

Program_Outcome Run_Program(const std::string& program, const std::string& args) {
  const std::string command = program + " " + args + " 2>&1 >/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string err;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) err += buffer;
  const int raw = pclose(pipe);
  // The shell reports a program killed by signal n as status 128 + n.
  return {raw == -1 ? -1 : Status_Of(raw), err};
}

std::string Read_Text_File(const std::string& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines_Of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Background_Program::Background_Program(const std::string& program, const std::string& args,
                                       const std::string& shell_setup, const std::string& out_to,
                                       const std::string& err_to) {
  static std::atomic<int> count{0};
  const std::string stem =
      (std::filesystem::temp_directory_path() /
       ("background_program_" + std::to_string(getpid()) + "_" + std::to_string(count++)))
          .string();
  _out_file = stem + ".out";
  _err_file = stem + ".err";
  const std::string script = (shell_setup.empty() ? "" : shell_setup + " && ") + "exec " + program + " " +
                             args + " " + (out_to.empty() ? ">'" + _out_file + "'" : out_to) + " " +
                             (err_to.empty() ? "2>'" + _err_file + "'" : err_to);
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  // SIGINT and SIGTERM at their defaults, none blocked, whatever the test runner set: the
  // program sees the signals a user sends. posix_spawn runs no fork handlers, so the World of
  // a test process is not involved.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (posix_spawn(&_pid, "/bin/sh", nullptr, &attributes, const_cast<char**>(argv), environ) != 0) {
    _pid = -1;
    _ended = true;
  }
  posix_spawnattr_destroy(&attributes);
}

Background_Program::~Background_Program() {
  if (!_ended && _pid > 0) {
    kill(_pid, SIGKILL);
    waitpid(_pid, &_raw_status, 0);
  }
  std::remove(_out_file.c_str());
  std::remove(_err_file.c_str());
}

void Background_Program::Signal(int signal) const {
  if (!_ended && _pid > 0) kill(_pid, signal);
}

bool Background_Program::Running() {
  if (_ended) return false;
  if (waitpid(_pid, &_raw_status, WNOHANG) == _pid) _ended = true;
  return !_ended;
}

Program_Output Background_Program::Wait(std::chrono::seconds limit) {
  bool killed = false;
  if (!Wait_Until([this] { return !Running(); }, limit)) {
    kill(_pid, SIGKILL);
    waitpid(_pid, &_raw_status, 0);
    _ended = true;
    killed = true;
  }
  Program_Output output;
  output.status = killed || _pid <= 0 ? -1 : Status_Of(_raw_status);
  output.out = Read_Text_File(_out_file);
  output.err = Read_Text_File(_err_file);
  return output;
}

Program_Output Run_To_End(const std::string& program, const std::string& args, const std::string& shell_setup,
                          const std::string& out_to, const std::string& err_to) {
  Background_Program running(program, args, shell_setup, out_to, err_to);
  return running.Wait();
}

std::vector<std::string> Query_Sqlite(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"cannot open"};
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    rows.push_back(std::string("error: ") + sqlite3_errmsg(db));
  }
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      row +=
          (c > 0 ? "|" : "") + (text == nullptr ? std::string("NULL") : reinterpret_cast<const char*>(text));
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

Resume_Trial::Resume_Trial(std::string program, std::string args, int steps, int every, size_t kill_at_lines,
                           std::string series_sql, std::string scratch)
    : _program(std::move(program)),
      _args(std::move(args)),
      _series_sql(std::move(series_sql)),
      _scratch(std::move(scratch)),
      _steps(steps),
      _every(every),
      _kill_at_lines(kill_at_lines) {}

Resume_Trial::~Resume_Trial() {
  for (const char* suffix : {"whole.csv", "whole.db", "part.csv", "part.db", "part.ckpt", "part.ckpt.tmp"})
    std::remove((_scratch + suffix).c_str());
}

const Program_Output& Resume_Trial::whole() {
  if (!_whole_made) {
    std::remove((_scratch + "whole.db").c_str());
    _whole =
        Run_To_End(_program, _args + " --steps " + std::to_string(_steps) + " --overwrite --csv " + _scratch +
                                 "whole.csv --sqlite " + _scratch + "whole.db --threads 2 --block_size 7");
    _whole_made = true;
  }
  return _whole;
}

namespace {
const char* const kNo_Row_After = "the killed run wrote no row after its checkpoint, so none is replaced";
}  // namespace

Resume_Trial::Outcome Resume_Trial::Resume(const Threads& t) {
  Outcome o;
  if (whole().status != 0) {
    o.problem = "the run that never stopped failed: " + _whole.err;
    return o;
  }
  const std::string csv = _scratch + "part.csv", db = _scratch + "part.db", ckpt = _scratch + "part.ckpt";
  // A kill that lands after a checkpoint and before the next row leaves nothing to replace,
  // which this trial is about: the program is then killed again, a few times at most.
  for (int attempt = 0; attempt < 5; ++attempt) {
    o.problem.clear();
    for (const std::string& f : {csv, db, ckpt}) std::remove(f.c_str());
    {
      // Without an end of its own: it runs until killed.
      Background_Program dying(
          _program, _args + " --steps 2000000000 --csv " + csv + " --sqlite " + db + " --checkpoint " + ckpt +
                        " --checkpoint-every " + std::to_string(_every) + " --threads " +
                        std::to_string(t.save_threads) + " --block_size " + std::to_string(t.save_block));
      // A checkpoint is in place once its file exists: its writer renames it there when whole.
      if (!Wait_Until(
              [&] {
                return Lines_Of(Read_Text_File(csv)).size() >= _kill_at_lines &&
                       std::filesystem::exists(ckpt);
              },
              std::chrono::milliseconds(60000))) {
        o.problem = "the run to kill did not write " + std::to_string(_kill_at_lines) +
                    " lines and a checkpoint within 60 s";
        return o;
      }
      dying.Signal(SIGKILL);
      dying.Wait();
    }
    try {
      o.saved_at = Checkpoint_Reader(ckpt).header().iteration;
    } catch (const std::exception& e) {
      o.problem = std::string("the killed run left no checkpoint to read: ") + e.what();
      return o;
    }
    o.killed_csv = Read_Text_File(csv);
    const std::vector<std::string> lines = Lines_Of(o.killed_csv);
    const std::string last = lines.empty() ? "" : lines.back();
    if (o.saved_at < uint32_t(_every) || o.saved_at >= uint32_t(_steps)) {
      o.problem = "the checkpoint is at step " + std::to_string(o.saved_at) + ", not within the run";
    } else if (lines.size() < 2 || std::stoull("0" + last.substr(0, last.find(','))) <= o.saved_at) {
      o.problem = kNo_Row_After;
    }
    if (o.problem != kNo_Row_After) break;
  }
  if (!o.problem.empty()) return o;
  o.resumed =
      Run_To_End(_program, _args + " --steps " + std::to_string(_steps) + " --csv " + csv + " --sqlite " +
                               db + " --resume " + ckpt + " --threads " + std::to_string(t.resume_threads) +
                               " --block_size " + std::to_string(t.resume_block));
  if (o.resumed.status != 0) {
    o.problem = "the resumed run failed: " + o.resumed.err;
    return o;
  }
  if (Read_Text_File(csv) != Read_Text_File(_scratch + "whole.csv")) o.problem += "the CSV rows differ; ";
  if (Query_Sqlite(db, _series_sql) != Query_Sqlite(_scratch + "whole.db", _series_sql))
    o.problem += "the SQLite series differ; ";
  if (Query_Sqlite(db, "SELECT run, status FROM runs") != std::vector<std::string>{"1|done"})
    o.problem += "the SQLite runs row is not run 1, done";
  return o;
}

namespace {

// The runs table's rows without their start and finish times (the third and second cells
// after the seed): what two runs of the same model and values share.
std::vector<std::string> Runs_Without_Times(const std::string& db) {
  std::vector<std::string> rows = Query_Sqlite(db, "SELECT * FROM runs ORDER BY run");
  for (std::string& row : rows) {
    std::vector<std::string> cells;
    std::istringstream in(row);
    for (std::string cell; std::getline(in, cell, '|');) cells.push_back(cell);
    if (cells.size() < 7) continue;  // an error, kept as it is
    cells.erase(cells.begin() + 5, cells.begin() + 7);
    row.clear();
    for (const std::string& cell : cells) row += (row.empty() ? "" : "|") + cell;
  }
  return rows;
}

}  // namespace

Longer_Resume Resume_Longer(const std::string& program, const std::string& args, int steps, int save_threads,
                            int resume_threads, const std::string& series_sql, const std::string& scratch) {
  Longer_Resume r;
  const std::string whole_csv = scratch + "long.csv", whole_db = scratch + "long.db";
  const std::string csv = scratch + "part.csv", db = scratch + "part.db", ckpt = scratch + "part.ckpt";
  const std::vector<std::string> files = {whole_csv, whole_db, csv, db, ckpt};
  for (const std::string& f : files) std::remove(f.c_str());
  const std::string longer = " --steps " + std::to_string(2 * steps);
  r.whole =
      Run_To_End(program, args + longer + " --csv " + whole_csv + " --sqlite " + whole_db + " --threads 2");
  const Program_Output first =
      Run_To_End(program, args + " --steps " + std::to_string(steps) + " --csv " + csv + " --sqlite " + db +
                              " --checkpoint " + ckpt + " --checkpoint-every " + std::to_string(steps) +
                              " --threads " + std::to_string(save_threads));
  uint32_t saved_at = 0;
  try {
    saved_at = Checkpoint_Reader(ckpt).header().iteration;
  } catch (const std::exception& e) {
    r.problem = std::string("the first run left no checkpoint: ") + e.what() + "; ";
  }
  if (r.whole.status != 0) r.problem += "the run that never stopped failed: " + r.whole.err;
  if (first.status != 0) r.problem += "the first run failed: " + first.err;
  if (r.problem.empty() && saved_at != uint32_t(steps))
    r.problem = "the checkpoint is at step " + std::to_string(saved_at) + ", not the last";
  if (r.problem.empty()) {
    r.resumed = Run_To_End(program, args + longer + " --csv " + csv + " --sqlite " + db + " --resume " +
                                        ckpt + " --threads " + std::to_string(resume_threads));
    if (r.resumed.status != 0) {
      r.problem = "the resumed run failed: " + r.resumed.err;
    } else {
      if (Read_Text_File(csv) != Read_Text_File(whole_csv)) r.problem += "the CSV rows differ; ";
      if (Query_Sqlite(db, series_sql) != Query_Sqlite(whole_db, series_sql))
        r.problem += "the SQLite series differ; ";
      if (Runs_Without_Times(db) != Runs_Without_Times(whole_db)) r.problem += "the SQLite runs rows differ";
    }
  }
  for (const std::string& f : files) std::remove(f.c_str());
  return r;
}

const std::vector<Resume_Trial::Threads>& Resume_Trial::Cases() {
  static const std::vector<Threads> cases{{1, 1000, 6, 1}, {2, 7, 1, 1000}, {2, 1, 6, 7}};
  return cases;
}

std::string Refusal_Problem(const Program_Outcome& outcome, const std::string& expected) {
  const bool one_line = !outcome.err.empty() && outcome.err.find('\n') == outcome.err.size() - 1;
  if (outcome.status == 1 && one_line && outcome.err.find(expected) != std::string::npos) return "";
  return "status " + std::to_string(outcome.status) + ", standard error: " + outcome.err;
}

std::string Fingerprint_Of(const std::string& out) {
  const size_t at = out.find("run fingerprint ");
  return at == std::string::npos ? "(none in: " + out + ")" : out.substr(at);
}

void Write_Other_Models_Checkpoint(const std::string& path, const std::string& model) {
  Checkpoint_Header header;
  header.model = model;
  header.iteration = 3;
  Write_Checkpoint(path, header, nullptr, [](Checkpoint_Io&) {});
}

}  // namespace quarnel::modelkit
