#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <functional>
#include <limits>
#include <thread>
#include <utility>

#include "Record_Sinks.h"

namespace quarnel::modelkit {
namespace {

constexpr uint32_t kRows_Per_Commit = 256;
constexpr std::chrono::seconds kCommit_Interval{1};
// Another program adding runs to the same file holds its write lock for one short transaction
// at a time: each wait for it is bounded by the busy handler, and a write gives up only when
// the lock has not come within this limit.
constexpr int kBusy_Wait_Ms = 1000;
constexpr std::chrono::seconds kBusy_Limit{60};

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

// The seed as the runs table keeps it: one above the largest SQLite integer exactly, as its
// decimal text.
void Bind_Seed(sqlite3_stmt* statement, int slot, uint64_t seed) {
  if (seed <= uint64_t(std::numeric_limits<int64_t>::max())) {
    sqlite3_bind_int64(statement, slot, int64_t(seed));
  } else {
    sqlite3_bind_text(statement, slot, std::to_string(seed).c_str(), -1, SQLITE_TRANSIENT);
  }
}

// A parameter as the runs table keeps it (a column of Sql_Type(p.type)).
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

// `sql` again while another connection holds the lock it needs, until kBusy_Limit has passed.
void Recorder::Sqlite_Sink::Exec_When_Free(const std::string& sql) {
  const auto limit = std::chrono::steady_clock::now() + kBusy_Limit;
  for (uint32_t attempt = 0;; ++attempt) {
    const int done = sqlite3_exec(_db, sql.c_str(), nullptr, nullptr, nullptr);
    if (done == SQLITE_OK) return;
    if ((done & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= limit) Fail("cannot write");
    // Apart, so that writers that missed the lock together do not meet again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + (uint32_t(::getpid()) + attempt * 7) % 20));
  }
}

Recorder::Sqlite_Sink::Sqlite_Sink(const std::string& path, const std::vector<Measure_Column>& columns,
                                   const Run_Description& run, bool durable, int64_t continue_run,
                                   uint64_t step, const std::string& length)
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
    sqlite3_busy_timeout(_db, kBusy_Wait_Ms);  // another run adding to the same file
    if (!durable) Exec("PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY");
    Exec_When_Free("BEGIN IMMEDIATE");
    if (continue_run != 0) {
      struct stat existing;
      if (::stat(path.c_str(), &existing) != 0 || existing.st_size == 0)
        Refuse_Record("the SQLite file " + path + " of the checkpoint's run is missing or empty");
    }
    Check_Or_Create(columns, run);
    if (continue_run != 0) {
      Continue_Run(run, continue_run, step, length);
      Describe_Run(run);
    } else {
      Insert_Run(run);
    }
    Exec_When_Free("COMMIT");
    if (durable) {
      // Readers and the other runs' writers then wait for no commit but the one in progress. A
      // file system without shared memory, or a file that another program keeps busy, stays
      // with the rollback journal, where the short transactions below still take turns.
      sqlite3_exec(_db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    }
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
  // A study numbers its file's runs itself and counts every runs row as one of its own.
  if (!Columns_Of(_db, "study").empty()) {
    Refuse_Record("the SQLite file " + _path + " holds a study; a single run needs a file of its own");
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
  Bind_Seed(insert, 3, run.seed);
  sqlite3_bind_text(insert, 4, Now_Utc().c_str(), -1, SQLITE_TRANSIENT);
  for (size_t i = 0; i < run.parameters.size(); ++i) Bind_Parameter(insert, int(5 + i), run.parameters[i]);
  const int done = sqlite3_step(insert);
  sqlite3_finalize(insert);
  if (done != SQLITE_DONE) Fail("cannot write");
  _run = sqlite3_last_insert_rowid(_db);
}

// Rows wait in memory (256 at most) and go to the file in one short transaction, so that the
// write lock is held only while they are written.
void Recorder::Sqlite_Sink::Row(uint64_t step, const std::vector<Measure_Value>& values) {
  _pending.emplace_back(step, values);
  if (_pending.size() >= kRows_Per_Commit ||
      std::chrono::steady_clock::now() - _last_commit >= kCommit_Interval)
    Commit();
}

void Recorder::Sqlite_Sink::Commit() {
  if (_pending.empty()) return;
  // Rows that cannot be written are dropped with the failure: the run fails, and its end
  // marks its row without trying them again.
  std::vector<std::pair<uint64_t, std::vector<Measure_Value>>> rows = std::move(_pending);
  _pending.clear();
  Exec_When_Free("BEGIN IMMEDIATE");
  for (const auto& [step, values] : rows) {
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
    if (done != SQLITE_DONE) {
      const std::string reason = sqlite3_errmsg(_db);
      sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
      Refuse_Record("cannot write the SQLite file " + _path + ": " + reason);
    }
  }
  try {
    Exec_When_Free("COMMIT");
  } catch (const Record_Error&) {
    sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  _last_commit = std::chrono::steady_clock::now();
}

void Recorder::Sqlite_Sink::Check_Run(const Run_Description& description, int64_t run, uint64_t step,
                                      const std::string& length) {
  // Whether `sql` (run as ?1, the value bound by `bind` as ?2) counts one row.
  auto holds = [&](const std::string& sql, const std::function<void(sqlite3_stmt*)>& bind) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) Fail("cannot read");
    sqlite3_bind_int64(statement, 1, run);
    bind(statement);
    const int stepped = sqlite3_step(statement);
    const int64_t count = stepped == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    if (count < 0) Fail("cannot read");
    return count == 1;
  };
  const std::string of_run = "the SQLite file " + _path + " has no run " + std::to_string(run);
  if (!holds("SELECT count(*) FROM runs WHERE run = ?1", [](sqlite3_stmt*) {}))
    Refuse_Record(of_run + " to continue");
  const std::string its = "the SQLite file " + _path + " is not the checkpoint's run's records: its run " +
                          std::to_string(run) + " has ";
  if (!holds("SELECT count(*) FROM runs WHERE run = ?1 AND model IS ?2", [&](sqlite3_stmt* s) {
        sqlite3_bind_text(s, 2, description.model.c_str(), -1, SQLITE_TRANSIENT);
      }))
    Refuse_Record(its + "another model than " + description.model);
  if (!holds("SELECT count(*) FROM runs WHERE run = ?1 AND seed IS ?2",
             [&](sqlite3_stmt* s) { Bind_Seed(s, 2, description.seed); }))
    Refuse_Record(its + "another seed than " + std::to_string(description.seed));
  for (const Parameter_Value& p : description.parameters) {
    if (p.name == length) continue;
    if (!holds("SELECT count(*) FROM runs WHERE run = ?1 AND " + Quoted(p.name) + " IS ?2",
               [&](sqlite3_stmt* s) { Bind_Parameter(s, 2, p); }))
      Refuse_Record(its + p.name + " other than " + p.text);
  }
  if (step > 0 && !holds("SELECT count(*) FROM series WHERE run = ?1 AND step = ?2",
                         [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 2, int64_t(step)); }))
    Refuse_Record(its + "no row at step " + std::to_string(step));
}

void Recorder::Sqlite_Sink::Continue_Run(const Run_Description& description, int64_t run, uint64_t step,
                                         const std::string& length) {
  Check_Run(description, run, step, length);
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

// Rows that could not be written leave the run 'failed', and the failure is reported after.
void Recorder::Sqlite_Sink::Finish(Run_Status status) {
  std::exception_ptr lost;
  try {
    Commit();
  } catch (const Record_Error&) {
    lost = std::current_exception();
    status = Run_Status::failed;
  }
  sqlite3_stmt* update = nullptr;
  if (sqlite3_prepare_v2(_db, "UPDATE runs SET status = ?, finished = ? WHERE run = ?", -1, &update,
                         nullptr) != SQLITE_OK) {
    Fail("cannot write");
  }
  sqlite3_bind_text(update, 1, to_string(status).c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(update, 2, Now_Utc().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(update, 3, _run);
  const auto limit = std::chrono::steady_clock::now() + kBusy_Limit;
  int done = sqlite3_step(update);
  while ((done & 0xff) == SQLITE_BUSY && std::chrono::steady_clock::now() < limit) {
    sqlite3_reset(update);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    done = sqlite3_step(update);
  }
  sqlite3_finalize(update);
  if (done != SQLITE_DONE) Fail("cannot write");
  if (lost) std::rethrow_exception(lost);
}

}  // namespace quarnel::modelkit
