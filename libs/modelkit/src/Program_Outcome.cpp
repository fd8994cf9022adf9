#include <quarnel/modelkit/Program_Outcome.h>

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

}  // namespace quarnel::modelkit
