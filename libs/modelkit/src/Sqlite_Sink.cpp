#include <sqlite3.h>
#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "Record_Sinks.h"

namespace quarnel::modelkit {
namespace {

constexpr uint32_t kRows_Per_Commit = 256;
constexpr std::chrono::seconds kCommit_Interval{1};

// The columns the runs table has before the parameters'.
const std::vector<std::string> kRun_Columns = {"run",    "model",   "version", "seed",
                                               "status", "started", "finished"};

}  // namespace

std::string Quoted(const std::string& name) {
  return "\"" + name + "\"";
}

std::string Now_Utc() {
  const std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

namespace {

std::string Sql_Type(Parameter_Type type) {
  switch (type) {
    case Parameter_Type::integer:
    case Parameter_Type::flag:
      return "INTEGER";
    case Parameter_Type::floating:
      return "REAL";
    case Parameter_Type::text:
      return "TEXT";
  }
  return "TEXT";
}

bool Fits_Int64(const std::string& text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// Binds parameter `p`'s value to `slot` of `statement`, in its column's type.
void Bind_Parameter(sqlite3_stmt* statement, int slot, const Parameter_Value& p) {
  if (p.type == Parameter_Type::flag) {
    sqlite3_bind_int(statement, slot, p.text == "true" ? 1 : 0);
  } else if (p.type == Parameter_Type::integer && Fits_Int64(p.text)) {
    sqlite3_bind_int64(statement, slot, std::stoll(p.text));
  } else if (p.type == Parameter_Type::floating) {
    sqlite3_bind_double(statement, slot, std::strtod(p.text.c_str(), nullptr));
  } else {  // text, or an integer beyond SQLite's, kept exactly as its decimal text
    sqlite3_bind_text(statement, slot, p.text.c_str(), -1, SQLITE_TRANSIENT);
  }
}

}  // namespace

void Recorder::Sqlite_Sink::Fail(const std::string& what) {
  const std::string reason = _db != nullptr ? sqlite3_errmsg(_db) : "out of memory";
  Refuse_Record(what + " the SQLite file " + _path + ": " + reason);
}

void Recorder::Sqlite_Sink::Exec(const std::string& sql) {
  if (sqlite3_exec(_db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot write");
}

Recorder::Sqlite_Sink::Sqlite_Sink(const std::string& path, const std::vector<Measure_Column>& columns,
                                   const Run_Description& run, bool durable, int64_t continue_run,
                                   uint64_t step)
    : _path(path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    Refuse_Record("cannot write the SQLite file " + path + ": it is not a regular file");
  }
  for (const Parameter_Value& p : run.parameters) {
    for (const std::string& c : kRun_Columns) {
      if (p.name == c)
        Refuse_Record("the parameter '" + p.name + "' has the name of a column of the runs table");
    }
  }
  try {
    if (sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      Fail("cannot open");
    }
    sqlite3_busy_timeout(_db, 5000);  // another run adding to the same file
    if (!durable) Exec("PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY");
    Exec("BEGIN IMMEDIATE");
    if (continue_run != 0) {
      struct stat existing;
      if (::stat(path.c_str(), &existing) != 0 || existing.st_size == 0)
        Refuse_Record("the SQLite file " + path + " of the checkpoint's run is missing or empty");
    }
    Check_Or_Create(columns, run);
    if (continue_run != 0) {
      Continue_Run(continue_run, step);
      Describe_Run(run);
    } else {
      Insert_Run(run);
    }
    Exec("COMMIT");
    std::string sql = "INSERT INTO series VALUES (?, ?";
    for (size_t i = 0; i < columns.size(); ++i) sql += ", ?";
    sql += ")";
    if (sqlite3_prepare_v2(_db, sql.c_str(), -1, &_insert, nullptr) != SQLITE_OK) Fail("cannot write");
  } catch (...) {
    sqlite3_finalize(_insert);
    sqlite3_close(_db);  // rolls back what the set-up began
    throw;
  }
  _last_commit = std::chrono::steady_clock::now();
}

Recorder::Sqlite_Sink::~Sqlite_Sink() {
  sqlite3_finalize(_insert);
  sqlite3_close(_db);  // an open transaction is rolled back
}

namespace {

// The column names of `table`, in order (none when it does not exist).
std::vector<std::string> Columns_Of(sqlite3* db, const std::string& table) {
  std::vector<std::string> names;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, ("PRAGMA table_info(" + table + ")").c_str(), -1, &statement, nullptr) !=
      SQLITE_OK) {
    return names;
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    names.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
  }
  sqlite3_finalize(statement);
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

}  // namespace

// A new file gets both tables; a file with both must have exactly these columns and hold
// this model's runs only.
void Recorder::Sqlite_Sink::Check_Or_Create(const std::vector<Measure_Column>& columns,
                                            const Run_Description& run) {
  std::vector<std::string> run_columns = kRun_Columns;
  for (const Parameter_Value& p : run.parameters) run_columns.push_back(p.name);
  std::vector<std::string> series_columns = {"run", "step"};
  for (const Measure_Column& c : columns) series_columns.push_back(c.name);

  sqlite3_stmt* count = nullptr;
  if (sqlite3_prepare_v2(_db, "SELECT count(*) FROM sqlite_master", -1, &count, nullptr) != SQLITE_OK) {
    Fail("cannot read");
  }
  const int stepped = sqlite3_step(count);
  const int64_t objects = stepped == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -1;
  sqlite3_finalize(count);
  if (objects < 0) Fail("cannot read");
  if (objects == 0) {
    std::string sql =
        "CREATE TABLE runs (run INTEGER PRIMARY KEY, model TEXT NOT NULL, version TEXT NOT NULL, seed "
        "INTEGER NOT "
        "NULL, status TEXT NOT NULL CHECK (status IN ('running', 'done', 'failed', 'interrupted')), started "
        "TEXT NOT "
        "NULL, finished TEXT";
    for (const Parameter_Value& p : run.parameters) sql += ", " + Quoted(p.name) + " " + Sql_Type(p.type);
    sql += "); CREATE TABLE series (run INTEGER NOT NULL REFERENCES runs (run), step INTEGER NOT NULL";
    for (const Measure_Column& c : columns) {
      sql += ", " + Quoted(c.name) + (c.kind == Measure_Value::Kind::integer ? " INTEGER" : " REAL");
    }
    sql += ", PRIMARY KEY (run, step)) WITHOUT ROWID";
    Exec(sql);
    return;
  }
  const std::vector<std::string> found_runs = Columns_Of(_db, "runs");
  const std::vector<std::string> found_series = Columns_Of(_db, "series");
  if (found_runs.empty() || found_series.empty()) {
    Refuse_Record("the SQLite file " + _path + " holds other tables than a model's runs and series");
  }
  sqlite3_stmt* models = nullptr;
  if (sqlite3_prepare_v2(_db, "SELECT DISTINCT model FROM runs WHERE model <> ?", -1, &models, nullptr) !=
      SQLITE_OK) {
    Fail("cannot read");
  }
  sqlite3_bind_text(models, 1, run.model.c_str(), -1, SQLITE_TRANSIENT);
  std::string other;
  if (sqlite3_step(models) == SQLITE_ROW)
    other = reinterpret_cast<const char*>(sqlite3_column_text(models, 0));
  sqlite3_finalize(models);
  if (!other.empty()) {
    Refuse_Record("the SQLite file " + _path + " holds runs of the model '" + other + "', not of '" +
                  run.model + "'");
  }
  if (found_runs != run_columns) {
    Refuse_Record("the SQLite file " + _path + " has other runs columns (" + Joined(found_runs) +
                  ") than this run (" + Joined(run_columns) + ")");
  }
  if (found_series != series_columns) {
    Refuse_Record("the SQLite file " + _path + " has other series columns (" + Joined(found_series) +
                  ") than this run (" + Joined(series_columns) + ")");
  }
}

void Recorder::Sqlite_Sink::Insert_Run(const Run_Description& run) {
  std::string sql = "INSERT INTO runs (model, version, seed, status, started";
  for (const Parameter_Value& p : run.parameters) sql += ", " + Quoted(p.name);
  sql += ") VALUES (?, ?, ?, 'running', ?";
  for (size_t i = 0; i < run.parameters.size(); ++i) sql += ", ?";
  sql += ")";
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(_db, sql.c_str(), -1, &insert, nullptr) != SQLITE_OK) Fail("cannot write");
  sqlite3_bind_text(insert, 1, run.model.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(insert, 2, run.version.c_str(), -1, SQLITE_TRANSIENT);
  // A seed above the largest SQLite integer is kept exactly, as its decimal text.
  if (run.seed <= uint64_t(std::numeric_limits<int64_t>::max())) {
    sqlite3_bind_int64(insert, 3, int64_t(run.seed));
  } else {
    sqlite3_bind_text(insert, 3, std::to_string(run.seed).c_str(), -1, SQLITE_TRANSIENT);
  }
  sqlite3_bind_text(insert, 4, Now_Utc().c_str(), -1, SQLITE_TRANSIENT);
  for (size_t i = 0; i < run.parameters.size(); ++i) Bind_Parameter(insert, int(5 + i), run.parameters[i]);
  const int done = sqlite3_step(insert);
  sqlite3_finalize(insert);
  if (done != SQLITE_DONE) Fail("cannot write");
  _run = sqlite3_last_insert_rowid(_db);
}

void Recorder::Sqlite_Sink::Row(uint64_t step, const std::vector<Measure_Value>& values) {
  if (!_open) {
    Exec("BEGIN");
    _open = true;
  }
  sqlite3_bind_int64(_insert, 1, _run);
  sqlite3_bind_int64(_insert, 2, int64_t(step));
  for (size_t i = 0; i < values.size(); ++i) {
    const int slot = int(3 + i);
    const Measure_Value& v = values[i];
    if (v.kind == Measure_Value::Kind::integer) {
      sqlite3_bind_int64(_insert, slot, v.integer);
    } else if (v.kind == Measure_Value::Kind::real && !std::isnan(v.real)) {
      sqlite3_bind_double(_insert, slot, v.real);
    } else {
      sqlite3_bind_null(_insert, slot);
    }
  }
  const int done = sqlite3_step(_insert);
  sqlite3_reset(_insert);
  if (done != SQLITE_DONE) Fail("cannot write");
  ++_pending;
  if (_pending >= kRows_Per_Commit || std::chrono::steady_clock::now() - _last_commit >= kCommit_Interval)
    Commit();
}

void Recorder::Sqlite_Sink::Commit() {
  // Also a transaction whose only row failed: the status that Finish sets after it must be
  // committed, not rolled back when the file closes.
  if (!_open) return;
  Exec("COMMIT");
  _open = false;
  _pending = 0;
  _last_commit = std::chrono::steady_clock::now();
}

void Recorder::Sqlite_Sink::Continue_Run(int64_t run, uint64_t step) {
  sqlite3_stmt* find = nullptr;
  if (sqlite3_prepare_v2(_db, "SELECT count(*) FROM runs WHERE run = ?", -1, &find, nullptr) != SQLITE_OK)
    Fail("cannot read");
  sqlite3_bind_int64(find, 1, run);
  const bool found = sqlite3_step(find) == SQLITE_ROW && sqlite3_column_int64(find, 0) == 1;
  sqlite3_finalize(find);
  if (!found)
    Refuse_Record("the SQLite file " + _path + " has no run " + std::to_string(run) + " to continue");
  for (const char* sql : {"DELETE FROM series WHERE run = ?1 AND step > ?2",
                          "UPDATE runs SET status = 'running', finished = NULL WHERE run = ?1"}) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(_db, sql, -1, &statement, nullptr) != SQLITE_OK) Fail("cannot write");
    sqlite3_bind_int64(statement, 1, run);
    if (sqlite3_bind_parameter_count(statement) > 1) sqlite3_bind_int64(statement, 2, int64_t(step));
    const int done = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (done != SQLITE_DONE) Fail("cannot write");
  }
  _run = run;
}

// A resumed run may be longer than the saved one: its row then says the length it runs to.
void Recorder::Sqlite_Sink::Describe_Run(const Run_Description& run) {
  if (run.parameters.empty()) return;
  std::string sql = "UPDATE runs SET ";
  for (size_t i = 0; i < run.parameters.size(); ++i)
    sql += (i > 0 ? ", " : "") + Quoted(run.parameters[i].name) + " = ?" + std::to_string(i + 2);
  sql += " WHERE run = ?1";
  sqlite3_stmt* update = nullptr;
  if (sqlite3_prepare_v2(_db, sql.c_str(), -1, &update, nullptr) != SQLITE_OK) Fail("cannot write");
  sqlite3_bind_int64(update, 1, _run);
  for (size_t i = 0; i < run.parameters.size(); ++i) Bind_Parameter(update, int(i + 2), run.parameters[i]);
  const int done = sqlite3_step(update);
  sqlite3_finalize(update);
  if (done != SQLITE_DONE) Fail("cannot write");
}

void Recorder::Sqlite_Sink::Finish(Run_Status status) {
  Commit();
  sqlite3_stmt* update = nullptr;
  if (sqlite3_prepare_v2(_db, "UPDATE runs SET status = ?, finished = ? WHERE run = ?", -1, &update,
                         nullptr) != SQLITE_OK) {
    Fail("cannot write");
  }
  sqlite3_bind_text(update, 1, to_string(status).c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(update, 2, Now_Utc().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(update, 3, _run);
  const int done = sqlite3_step(update);
  sqlite3_finalize(update);
  if (done != SQLITE_DONE) Fail("cannot write");
}

}  // namespace quarnel::modelkit
