#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include <quarnel/Version.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/Recorder.h>

#include "Record_Sinks.h"
#include "Study_Internals.h"

namespace quarnel::modelkit::study_detail {
namespace {

constexpr std::chrono::seconds kCommit_Interval{1};
constexpr size_t kRuns_Per_Commit = 256;

// One prepared statement, finalized however the scope ends.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &_s, nullptr); }
  ~Statement() { sqlite3_finalize(_s); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return _s; }
  explicit operator bool() const { return _s != nullptr; }

 private:
  sqlite3_stmt* _s = nullptr;
};

bool Has_Table(sqlite3* db, const std::string& table) {
  Statement s(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  if (!s) return false;
  sqlite3_bind_text(s.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  return sqlite3_step(s.get()) == SQLITE_ROW;
}

}  // namespace

Study_File::Study_File(const std::string& path, const Study_Model& model, const Study_Design& design,
                       const Study_Options& options)
    : _path(path), _model(model), _held(design.runs(), false) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Record_Error("cannot write the SQLite file " + path + ": it is not a regular file");
  if (sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    const std::string reason = _db != nullptr ? sqlite3_errmsg(_db) : "out of memory";
    sqlite3_close(_db);
    throw Record_Error("cannot open the SQLite file " + path + ": " + reason);
  }
  try {
    sqlite3_busy_timeout(_db, 5000);
    // The driver's memory stays flat however many runs the file gains: its page cache is bounded.
    Exec("PRAGMA cache_size = -1024");
    Exec("BEGIN IMMEDIATE");
    if (Has_Table(_db, "study")) {
      Statement s(_db, "SELECT model, design FROM study");
      if (!s || sqlite3_step(s.get()) != SQLITE_ROW) Fail("cannot read the study of");
      const std::string found_model = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
      const std::string found_design = reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 1));
      if (found_model != model.name || found_design != design.text()) {
        throw Record_Error("the SQLite file " + path + " holds another study (" + Printable(found_model) +
                           ": " + Printable(found_design) + "), not this one (" + model.name + ": " +
                           Printable(design.text()) + ")");
      }
    } else {
      if (Has_Table(_db, "runs"))
        throw Record_Error("the SQLite file " + path +
                           " holds runs of no study; a study needs a file of its own");
      Exec(
          "CREATE TABLE study (model TEXT NOT NULL, version TEXT NOT NULL, design TEXT NOT NULL, command "
          "TEXT "
          "NOT NULL, runs INTEGER NOT NULL, created TEXT NOT NULL); CREATE TABLE failures (run INTEGER "
          "PRIMARY "
          "KEY, error TEXT NOT NULL)");
      Statement insert(_db, "INSERT INTO study VALUES (?, ?, ?, ?, ?, ?)");
      if (!insert) Fail("cannot write");
      sqlite3_bind_text(insert.get(), 1, model.name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert.get(), 2, version_string, -1, SQLITE_STATIC);
      sqlite3_bind_text(insert.get(), 3, design.text().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert.get(), 4, options.command.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert.get(), 5, int64_t(design.runs()));
      sqlite3_bind_text(insert.get(), 6, Now_Utc().c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) Fail("cannot write");
    }
    // What the file holds already: the runs (done or failed) and the failures without a runs row.
    for (const char* sql : {"SELECT run, status = 'failed' FROM runs", "SELECT run, 1 FROM failures"}) {
      if (std::string(sql).find("runs") != std::string::npos && !Has_Table(_db, "runs")) continue;
      Statement s(_db, sql);
      if (!s) Fail("cannot read");
      while (sqlite3_step(s.get()) == SQLITE_ROW) {
        const int64_t run = sqlite3_column_int64(s.get(), 0);
        if (run < 1 || uint64_t(run) > _held.size() || _held[size_t(run - 1)]) continue;
        _held[size_t(run - 1)] = true;
        ++(sqlite3_column_int(s.get(), 1) ? _failed : _done);
      }
    }
    Exec("COMMIT");
  } catch (...) {
    sqlite3_close(_db);
    throw;
  }
  _last_commit = std::chrono::steady_clock::now();
}

Study_File::~Study_File() {
  try {
    Commit();
  } catch (const Record_Error&) {
  }
  sqlite3_finalize(_runs.insert);
  sqlite3_finalize(_series.insert);
  sqlite3_close(_db);
}

void Study_File::Fail(const std::string& what) {
  throw Record_Error(what + " the SQLite file " + _path + ": " + sqlite3_errmsg(_db));
}

void Study_File::Exec(const std::string& sql) {
  if (sqlite3_exec(_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot write");
}

std::vector<std::string> Study_File::Columns(sqlite3* db, const std::string& table) {
  std::vector<std::string> names;
  Statement s(db, "SELECT name FROM pragma_table_info(?)");
  if (!s) return names;
  sqlite3_bind_text(s.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(s.get()) == SQLITE_ROW)
    names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)));
  return names;
}

// Copies every row that `select` (a SELECT * of table `copier.table` in a run's scratch file)
// gives, as run index + 1. The study's file takes the table as the first run's scratch file
// made it; every later run's must have the same columns.
void Study_File::Copy_Rows(sqlite3* scratch, sqlite3_stmt* select, Copier& copier, uint64_t index,
                           const std::string& status) {
  std::vector<std::string> names;
  for (int c = 0; c < sqlite3_column_count(select); ++c) names.emplace_back(sqlite3_column_name(select, c));
  if (copier.insert == nullptr) {
    if (!Has_Table(_db, copier.table)) {
      Statement sql(scratch, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?");
      sqlite3_bind_text(sql.get(), 1, copier.table.c_str(), -1, SQLITE_TRANSIENT);
      if (!sql || sqlite3_step(sql.get()) != SQLITE_ROW) Fail("cannot read a run's " + copier.table + " for");
      Exec(reinterpret_cast<const char*>(sqlite3_column_text(sql.get(), 0)));
    }
    copier.columns = Columns(_db, copier.table);
    copier.status_at =
        int(std::find(copier.columns.begin(), copier.columns.end(), "status") - copier.columns.begin());
    std::string insert = "INSERT INTO " + copier.table + " VALUES (?";
    for (size_t c = 1; c < copier.columns.size(); ++c) insert += ", ?";
    if (sqlite3_prepare_v2(_db, (insert + ")").c_str(), -1, &copier.insert, nullptr) != SQLITE_OK)
      Fail("cannot copy a run into");
  }
  if (names != copier.columns)
    throw Record_Error("a run's " + copier.table + " columns differ from those of the SQLite file " + _path);
  while (sqlite3_step(select) == SQLITE_ROW) {
    sqlite3_bind_int64(copier.insert, 1, int64_t(index + 1));
    for (int c = 1; c < int(names.size()); ++c) {
      if (c == copier.status_at) {
        sqlite3_bind_text(copier.insert, c + 1, status.c_str(), -1, SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_value(copier.insert, c + 1, sqlite3_column_value(select, c));
      }
    }
    const int stepped = sqlite3_step(copier.insert);
    sqlite3_reset(copier.insert);
    if (stepped != SQLITE_DONE) Fail("cannot copy a run into");
  }
}

void Study_File::Add_Run(uint64_t index, const Outcome& outcome, const std::string& scratch,
                         const std::vector<std::string>& assignments, uint64_t seed) {
  if (!_open) {
    Exec("BEGIN IMMEDIATE");
    _open = true;
  }
  const bool failed = outcome.kind != Outcome::done;
  const std::string status = failed ? "failed" : "done";
  sqlite3* source = nullptr;
  if (std::filesystem::exists(scratch))
    sqlite3_open_v2(scratch.c_str(), &source, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* runs = nullptr;
  sqlite3_stmt* series = nullptr;
  const bool readable =
      source != nullptr &&
      sqlite3_prepare_v2(source, "SELECT * FROM runs", -1, &runs, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(source, "SELECT * FROM series ORDER BY step", -1, &series, nullptr) == SQLITE_OK;
  if (readable) {
    try {
      Copy_Rows(source, runs, _runs, index, status);
      Copy_Rows(source, series, _series, index, status);
    } catch (...) {
      sqlite3_finalize(runs);
      sqlite3_finalize(series);
      sqlite3_close(source);
      throw;
    }
  } else if (Has_Table(_db, "runs")) {
    // A run that failed before it opened its records (a value its model refused, no room for
    // its scratch file): its runs row from what the study knows, started as it ended.
    std::string names = "run, model, version, seed, status, started, finished", marks = "?, ?, ?, ?, ?, ?, ?";
    std::vector<Parameter_Value> values;
    try {
      values = _model.values(assignments);
    } catch (const Model_Option_Error&) {
      // The failures row says why; the parameters stay empty.
    }
    for (const Parameter_Value& v : values) {
      names += ", " + Quoted(v.name);
      marks += ", ?";
    }
    Statement insert(_db, "INSERT INTO runs (" + names + ") VALUES (" + marks + ")");
    if (!insert) Fail("cannot write");
    sqlite3_bind_int64(insert.get(), 1, int64_t(index + 1));
    sqlite3_bind_text(insert.get(), 2, _model.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.get(), 3, version_string, -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert.get(), 4, int64_t(seed));
    sqlite3_bind_text(insert.get(), 5, status.c_str(), -1, SQLITE_TRANSIENT);
    const std::string now = Now_Utc();
    sqlite3_bind_text(insert.get(), 6, now.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.get(), 7, now.c_str(), -1, SQLITE_TRANSIENT);
    for (size_t i = 0; i < values.size(); ++i)
      sqlite3_bind_text(insert.get(), int(i + 8), values[i].text.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) Fail("cannot write");
  }
  sqlite3_finalize(runs);
  sqlite3_finalize(series);
  sqlite3_close(source);
  if (failed) {
    Statement insert(_db, "INSERT INTO failures VALUES (?, ?)");
    if (!insert) Fail("cannot write");
    sqlite3_bind_int64(insert.get(), 1, int64_t(index + 1));
    sqlite3_bind_text(insert.get(), 2, outcome.error.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) Fail("cannot write");
  }
  _held[index] = true;
  ++(failed ? _failed : _done);
  _to_remove.push_back(scratch);
}

void Study_File::Commit_If_Due() {
  if (_open && (_to_remove.size() >= kRuns_Per_Commit ||
                std::chrono::steady_clock::now() - _last_commit >= kCommit_Interval)) {
    Commit();
  }
}

void Study_File::Commit() {
  if (_open) {
    Exec("COMMIT");
    _open = false;
  }
  _last_commit = std::chrono::steady_clock::now();
  for (const std::string& file : _to_remove) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
  }
  _to_remove.clear();
}

}  // namespace quarnel::modelkit::study_detail
