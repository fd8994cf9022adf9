// Recorder: measures streamed to CSV and SQLite as the run goes.
//
// Properties under test:
//  1. The files hold the header, one row per recorded step with the measures' values as the
//     hook saw them, and the runs row with its parameters and final status.
//  2. The series are the same, byte for byte, on 1, 2 and 6 workers and block sizes 1, 7
//     and 1000.
//  3. A program killed with SIGKILL mid-run leaves a CSV of complete lines and a SQLite file
//     that passes integrity_check and holds whole rows of consecutive steps only.
//  4. Unwritable destinations, existing files and bad parameters are one-line errors with a
//     non-zero exit, before the run; an existing CSV survives a run that fails before its
//     first row; a SQLite file gains a run, and refuses another model's records.
#include <quarnel/modelkit/Recorder.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Program_Outcome.h>

namespace quarnel::modelkit {
namespace {

namespace fs = std::filesystem;

// A fresh folder for one test.
fs::path Scratch(const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("quarnel_recorder_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string Read_File(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines_Of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Query(const fs::path& file, const std::string& sql) {
  return quarnel::modelkit::Query_Sqlite(file.string(), sql);
}

struct Shared {
  Measures measures;
  Count_Measure calls = measures.Count("calls");
  Sum_Measure total = measures.Sum("total");
  Min_Measure low = measures.Min("low");
  Histogram_Measure value = measures.Histogram("value", 0, 1, 2);
  Integer_Gauge_Measure live = measures.Integer_Gauge("live");
};

class Drawer : public Identified_Agent<Drawer> {
 public:
  void Act(Next& next) {
    const Shared& s = next.model<Shared>();
    Counter_Random draws = Random(3);
    const double x = draws.Next_Uniform() * std::ldexp(1.0, int(draws.Next_Below(60)) - 30);
    s.calls.Add();
    s.total.Add(x);
    s.low.Add(x);
    s.value.Add(x);
    next.In(1);
  }
};

const Run_Description kRun{"drawers", "0.4.0", 3, {{"drawers", Parameter_Type::integer, "300"}}};

// A run of 300 drawers for `steps` steps, recorded; the CSV lines the hook saw as Values().
std::vector<std::string> Recorded_Run(int workers, int block_size, const Record_Options& options,
                                      int steps = 8, Run_Status status = Run_Status::done,
                                      int stop_after = -1) {
  Shared s;
  std::vector<std::string> seen;
  Recorder recorder(s.measures, kRun, options);
  {
    Simulation_Configuration config;
    config.num_threads = workers;
    config.num_iterations = steps;
    Simulation run(config, s);
    run.Attach_Measures(s.measures);
    Set_Block_Size<Drawer>(block_size);
    for (uint64_t i = 0; i < 300; ++i)
      Create_Identified<Drawer>(Root_Identity(i))->Schedule_At(Revision(0, 0));
    s.live.Set(300);
    recorder.Record(0);
    run.On_Iteration_End(recorder.Hook([&](uint32_t i) {
      s.live.Set(Live_Count<Drawer>());
      std::string line = std::to_string(i + 1);
      for (const Measure_Value& v : s.measures.Values()) line += "," + To_Text(v);
      seen.push_back(line);
      if (int(i) == stop_after) World::Instance().Stop_After_This_Iteration();
    }));
    run.Run();
  }
  recorder.Finish(status);
  return seen;
}

TEST(Recorder_Test, Files_Hold_Every_Row_The_Hook_Saw_And_The_Run) {
  const fs::path dir = Scratch("contents");
  const std::vector<std::string> seen =
      Recorded_Run(2, 7, {(dir / "s.csv").string(), (dir / "s.db").string(), false, 1});
  const std::vector<std::string> lines = Lines_Of(Read_File(dir / "s.csv"));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "step,calls,total,low,value_under,value_0,value_1,value_over,live");
  EXPECT_EQ(lines[1], "0,0,0,,0,0,0,0,300");  // after set-up: nothing added, no minimum yet
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(lines[i + 2], seen[i]);
  EXPECT_EQ(lines[2].substr(0, 6), "1,300,");

  EXPECT_EQ(Query(dir / "s.db",
                  "SELECT run, model, version, seed, status, drawers, finished IS NOT NULL FROM runs"),
            std::vector<std::string>{"1|drawers|0.4.0|3|done|300|1"});
  const std::vector<std::string> rows = Query(
      dir / "s.db",
      "SELECT step, calls, value_under + value_0 + value_1 + value_over, live FROM series WHERE run = 1 "
      "ORDER BY step");
  ASSERT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows[0], "0|0|0|300");
  EXPECT_EQ(rows[8], "8|300|300|300");
  // The REAL column holds the very double the CSV wrote in its shortest form.
  const std::vector<std::string> totals =
      Query(dir / "s.db", "SELECT printf('%!.17g', total) FROM series WHERE step = 1");
  ASSERT_EQ(totals.size(), 1u);
  EXPECT_EQ(std::stod(totals[0]), std::stod(lines[2].substr(6, lines[2].find(',', 6) - 6)));
  EXPECT_TRUE(fs::directory_iterator(dir) != fs::directory_iterator());
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << "a temporary file was left: " << entry.path();
  }
}

TEST(Recorder_Test, Series_Are_Identical_On_Any_Workers_And_Block_Size) {
  const fs::path dir = Scratch("identical");
  std::string expected_csv;
  std::vector<std::string> expected_rows;
  for (int workers : {1, 2, 6}) {
    for (int block_size : {1, 7, 1000}) {
      const std::string name = std::to_string(workers) + "_" + std::to_string(block_size);
      Recorded_Run(workers, block_size,
                   {(dir / (name + ".csv")).string(), (dir / "all.db").string(), false, 1});
      const std::string csv = Read_File(dir / (name + ".csv"));
      const int run = int(Query(dir / "all.db", "SELECT max(run) FROM runs").at(0).front() - '0');
      std::vector<std::string> rows =
          Query(dir / "all.db", "SELECT * FROM series WHERE run = " + std::to_string(run) + " ORDER BY step");
      for (std::string& row : rows) row = row.substr(row.find('|'));  // without the run
      if (expected_csv.empty()) {
        expected_csv = csv;
        expected_rows = rows;
        ASSERT_EQ(rows.size(), 9u);
      }
      EXPECT_EQ(csv, expected_csv) << name;
      EXPECT_EQ(rows, expected_rows) << name;
    }
  }
  EXPECT_EQ(Query(dir / "all.db", "SELECT count(*), min(run), max(run) FROM runs"),
            std::vector<std::string>{"9|1|9"});
}

TEST(Recorder_Test, Every_Nth_Step_And_An_Interrupted_Run_Keep_Finished_Steps) {
  const fs::path dir = Scratch("every");
  Recorded_Run(1, 100, {(dir / "e.csv").string(), (dir / "e.db").string(), false, 3}, 8,
               Run_Status::interrupted, 6);
  const std::vector<std::string> lines = Lines_Of(Read_File(dir / "e.csv"));
  ASSERT_EQ(lines.size(), 4u);  // header, steps 0, 3, 6; the run stopped after step 7
  EXPECT_EQ(lines[1].substr(0, 2), "0,");
  EXPECT_EQ(lines[2].substr(0, 2), "3,");
  EXPECT_EQ(lines[3].substr(0, 2), "6,");
  EXPECT_EQ(Query(dir / "e.db", "SELECT status FROM runs"), std::vector<std::string>{"interrupted"});
  EXPECT_EQ(Query(dir / "e.db", "SELECT group_concat(step) FROM series"), std::vector<std::string>{"0,3,6"});
}

// Why a Recorder with `options` cannot open its sinks ("" when it can; it is then closed at once).
std::string Open_Error(const Record_Options& options) {
  try {
    Shared s;
    Recorder recorder(s.measures, kRun, options);
  } catch (const Record_Error& e) {
    return e.what();
  }
  return "";
}

TEST(Recorder_Test, Existing_Files_Are_Refused_Replaced_Or_Appended_To) {
  const fs::path dir = Scratch("existing");
  const fs::path csv = dir / "old.csv";
  std::ofstream(csv) << "precious\n";
  EXPECT_EQ(Open_Error({csv.string(), "", false, 1}),
            "the CSV file " + csv.string() + " exists (--overwrite replaces it)");
  // With overwrite, a run that fails or is interrupted before its first row leaves the old
  // file alone; a done run's file is its own, even without a row.
  for (const Run_Status status : {Run_Status::failed, Run_Status::interrupted}) {
    Shared s;
    Recorder recorder(s.measures, kRun, {csv.string(), "", true, 1});
    recorder.Finish(status);
    EXPECT_EQ(Read_File(csv), "precious\n") << to_string(status);
  }
  {
    const fs::path done = dir / "done.csv";
    std::ofstream(done) << "precious\n";
    Shared s;
    Recorder recorder(s.measures, kRun, {done.string(), "", true, 1});
    recorder.Finish(Run_Status::done);
    EXPECT_EQ(Lines_Of(Read_File(done)),
              std::vector<std::string>{"step,calls,total,low,value_under,value_0,value_1,value_over,live"});
  }
  Recorded_Run(1, 100, {csv.string(), "", true, 1}, 2);
  EXPECT_EQ(Lines_Of(Read_File(csv)).size(), 4u);

  // A replaced file keeps its permission bits, and a symbolic link keeps naming it.
  ASSERT_EQ(chmod(csv.c_str(), 0640), 0);
  const fs::path link = dir / "link.csv";
  fs::create_symlink(csv, link);
  Recorded_Run(1, 100, {link.string(), "", true, 1}, 3);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Lines_Of(Read_File(csv)).size(), 5u);
  struct stat status {};
  ASSERT_EQ(stat(csv.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);

  // Another model's file, and a file that is not a database.
  const fs::path db = dir / "other.db";
  Query(db, "");  // creates nothing: opening needs the file
  {
    sqlite3* handle = nullptr;
    sqlite3_open(db.c_str(), &handle);
    sqlite3_exec(handle,
                 "CREATE TABLE runs (run INTEGER PRIMARY KEY, model TEXT); CREATE TABLE series (run, step);"
                 "INSERT INTO runs (model) VALUES ('sir')",
                 nullptr, nullptr, nullptr);
    sqlite3_close(handle);
  }
  EXPECT_EQ(Open_Error({"", db.string(), false, 1}),
            "the SQLite file " + db.string() + " holds runs of the model 'sir', not of 'drawers'");
  const fs::path text = dir / "text.db";
  std::ofstream(text) << "this is no database, but it is long enough to have a header of its own......"
                      << std::string(200, 'x');
  EXPECT_EQ(Open_Error({"", text.string(), false, 1}),
            "cannot write the SQLite file " + text.string() + ": file is not a database");
}

// A CSV file is held by the run that writes it, and by the run that is about to replace it,
// from the start of the run to its end: another run that would replace it is refused before
// it starts; a file replaced anyway by something that takes no lock fails the run's end.
TEST(Recorder_Test, A_Csv_That_Another_Run_Writes_Is_Refused_And_A_Replaced_One_Reported) {
  const fs::path dir = Scratch("held");
  const std::string csv = (dir / "held.csv").string();
  const std::string refusal = "the CSV file " + csv + " is being written by another run";
  std::ofstream(csv) << "old\n";
  {
    Shared s;
    s.measures.Start(1);
    Recorder first(s.measures, kRun, {csv, "", true, 1});
    EXPECT_EQ(Open_Error({csv, "", true, 1}), refusal);  // the old file, which the first run replaces
    first.Record(0);
    EXPECT_EQ(Open_Error({csv, "", true, 1}), refusal);  // the first run's own file
    first.Record(1);
    first.Finish(Run_Status::done);
  }
  EXPECT_EQ(Lines_Of(Read_File(csv)).size(), 3u);
  EXPECT_EQ(Open_Error({csv, "", true, 1}), "");  // a finished run's file may be replaced
  {
    // Without a lock: the run's file taken away from under it is a failure, not a success.
    Shared s;
    s.measures.Start(1);
    Recorder run(s.measures, kRun, {csv, "", true, 1});
    run.Record(0);
    std::ofstream(dir / "other.csv") << "other\n";
    fs::rename(dir / "other.csv", csv);
    try {
      run.Finish(Run_Status::done);
      ADD_FAILURE() << "a replaced file was reported as written";
    } catch (const Record_Error& e) {
      EXPECT_EQ(std::string(e.what()),
                "the CSV file " + csv + " was replaced or removed during the run: its rows are not in it");
    }
  }
}

// Rows that cannot be written (here a trigger refuses one) fail the run and leave its row
// 'failed', never 'done' with a row missing.
TEST(Recorder_Test, Rows_That_Cannot_Be_Written_Leave_The_Run_Failed) {
  const fs::path dir = Scratch("unwritten");
  const fs::path db = dir / "u.db";
  Recorded_Run(1, 100, {"", db.string(), false, 1}, 2);
  Query(db,
        "CREATE TRIGGER refuse BEFORE INSERT ON series WHEN NEW.step = 2 BEGIN SELECT RAISE(ABORT, 'no step "
        "2'); END");
  Shared s;
  s.measures.Start(1);
  Recorder recorder(s.measures, kRun, {"", db.string(), false, 1});
  std::string what;
  try {
    for (uint64_t step = 0; step < 4; ++step) recorder.Record(step);
  } catch (const Record_Error& e) {
    what = e.what();
  }
  try {
    recorder.Finish(Run_Status::done);
  } catch (const Record_Error& e) {
    what = e.what();
  }
  EXPECT_EQ(what, "cannot write the SQLite file " + db.string() + ": no step 2");
  EXPECT_EQ(Query(db, "SELECT run, status, finished IS NOT NULL FROM runs ORDER BY run"),
            (std::vector<std::string>{"1|done|1", "2|failed|1"}));
}

// A file that takes only part of a line (here a file-size limit, as a full disk would): the
// partial line is cut off, and the failure is an error naming the file. In a child process,
// whose limit does not reach the test.
TEST(Recorder_Test, A_Partial_Write_Is_Cut_Back_To_The_Last_Complete_Line_And_Reported) {
  const fs::path dir = Scratch("partial");
  const std::string csv = (dir / "p.csv").string();
  const std::string message = (dir / "message").string();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {1000, 1000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::string what = "no error";
    try {
      Measures m;
      Gauge_Measure g = m.Gauge("value");
      m.Start(1);
      Recorder recorder(m, kRun, {csv, "", false, 1});
      for (uint64_t step = 0; step < 1000; ++step) {
        g.Set(0.1 * double(step) + 1e-7);
        recorder.Record(step);
      }
    } catch (const Record_Error& e) {
      what = e.what();
    }
    std::FILE* out = std::fopen(message.c_str(), "w");  // below the limit
    std::fputs(what.c_str(), out);
    std::fclose(out);
    ::_exit(0);
  }
  int raw = 0;
  ASSERT_EQ(::waitpid(child, &raw, 0), child);
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(Read_File(message), "writing the CSV file " + csv + " failed: File too large");
  const std::string text = Read_File(csv);
  ASSERT_GT(text.size(), 900u);
  ASSERT_LE(text.size(), 1000u);
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> lines = Lines_Of(text);
  for (size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].substr(0, lines[i].find(',')), std::to_string(i - 1));
}

// Folders that cannot be written. The tests run as root, for whom a folder without write
// permission is still writable: an unwritable place is a path under /proc, where no file can
// be created, or a path through a regular file.
TEST(Recorder_Program_Test, Unwritable_Destinations_Are_One_Line_Errors_Before_The_Run) {
  const fs::path dir = Scratch("unwritable");
  const std::string program = QUARNEL_WALKERS;
  const std::string file = (dir / "plain").string();
  std::ofstream(file) << "x\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--csv /dev/full", "walkers: writing the CSV file /dev/full failed: No space left on device\n"},
      {"--csv " + (dir / "missing/x.csv").string(), "walkers: cannot write the CSV file " +
                                                        (dir / "missing/x.csv").string() +
                                                        ": No such file or directory\n"},
      {"--csv " + file + "/x.csv",
       "walkers: cannot write the CSV file " + file + "/x.csv: Not a directory\n"},
      {"--csv /proc/x.csv", "walkers: cannot write the CSV file /proc/x.csv: No such file or directory\n"},
      {"--sqlite /dev/full", "walkers: cannot write the SQLite file /dev/full: it is not a regular file\n"},
      {"--sqlite " + (dir / "missing/x.db").string(), "walkers: cannot open the SQLite file " +
                                                          (dir / "missing/x.db").string() +
                                                          ": unable to open database file\n"},
      {"--sqlite /proc/x.db",
       "walkers: cannot open the SQLite file /proc/x.db: unable to open database file\n"},
      {"--csv " + file, "walkers: the CSV file " + file + " exists (--overwrite replaces it)\n"},
  };
  for (const auto& [args, message] : cases) {
    const Program_Outcome outcome = Run_Program(program, args);
    EXPECT_EQ(outcome.status, 1) << args;
    EXPECT_EQ(outcome.err, message) << args;
  }
  EXPECT_EQ(Read_File(file), "x\n");
  // A run that fails before its first row leaves an existing file, even with --overwrite.
  const Program_Outcome failed = Run_Program(program, "--csv " + file + " --overwrite --set fail_after=0");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err, "walkers: the run failed: the hook failed on purpose\n");
  EXPECT_EQ(Read_File(file), "x\n");
}

// A model whose run records without Model_Checkpoints cannot save or continue a run: it
// refuses the checkpoint options in one line before its records are opened, instead of
// running from scratch as if they were honoured.
TEST(Recorder_Program_Test, A_Run_Without_Checkpoints_Refuses_Their_Options_Before_Its_Records) {
  const fs::path dir = Scratch("no_checkpoints");
  const std::string csv = (dir / "x.csv").string(), ckpt = (dir / "x.ckpt").string();
  const std::string saved = (dir / "saved.ckpt").string();  // read before the run: a walkers' one
  Write_Other_Models_Checkpoint(saved, "walkers");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--checkpoint " + ckpt, "--checkpoint"},
      {"--checkpoint " + ckpt + " --checkpoint-every 2", "--checkpoint"},
      {"--resume " + saved, "--resume"},
      {"--resume " + saved + " --fork", "--resume"},
  };
  for (const auto& [args, option] : cases) {
    const Program_Outcome outcome = Run_Program(QUARNEL_WALKERS, args + " --csv " + csv);
    EXPECT_EQ(outcome.status, 1) << args;
    EXPECT_EQ(outcome.err, "walkers: option " + option + " is not supported by this model\n") << args;
  }
  EXPECT_FALSE(fs::exists(csv));
  EXPECT_FALSE(fs::exists(ckpt));
}

TEST(Recorder_Program_Test, Parameters_Are_Set_Listed_And_Checked) {
  const std::string program = QUARNEL_WALKERS;
  const fs::path dir = Scratch("parameters");
  const std::string db = (dir / "p.db").string();
  EXPECT_EQ(
      Run_Program(program, "--set walkers=17 --set spread=0.5 --set skip_odd=true --sqlite " + db).status, 0);
  EXPECT_EQ(Run_Program(program, "--size large --sqlite " + db).status, 0);  // a second run in the same file
  EXPECT_EQ(Query(db, "SELECT run, walkers, spread, skip_odd, delay_us, status FROM runs ORDER BY run"),
            (std::vector<std::string>{"1|17|0.5|1|0|done", "2|5000|1.0|0|0|done"}));
  EXPECT_EQ(Query(db, "SELECT run, count(*), max(step), min(calls) FROM series GROUP BY run"),
            (std::vector<std::string>{"1|20|20|8", "2|20|20|5000"}));  // identities 1, 3 .. 17 rest
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--set walkers=abc", "walkers: parameter walkers: 'abc' is not a whole number (see --help)\n"},
      {"--set walkers=0", "walkers: parameter walkers: '0' is outside its range 1 .. 1000000 (see --help)\n"},
      {"--set spread=nan", "walkers: parameter spread: 'nan' is not a finite number (see --help)\n"},
      {"--set skip_odd=maybe", "walkers: parameter skip_odd: 'maybe' is not true or false (see --help)\n"},
      {"--set speed=3", "walkers: unknown parameter 'speed' (--params lists them) (see --help)\n"},
      {"--set walkers", "walkers: option --set: 'walkers' is not NAME=VALUE (see --help)\n"},
      {"--size huge", "walkers: option --size: this model has no preset 'huge' (see --help)\n"},
      {"--record_every 0", "walkers: option --record_every: '0' is below 1 (see --help)\n"},
  };
  for (const auto& [args, message] : cases) {
    const Program_Outcome outcome = Run_Program(program, args);
    EXPECT_EQ(outcome.status, 1) << args;
    EXPECT_EQ(outcome.err, message) << args;
  }
  const std::string listing = (dir / "listing.txt").string();
  ASSERT_EQ(std::system((program + " --params > " + listing).c_str()), 0);
  const std::vector<std::string> lines = Lines_Of(Read_File(listing));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[1], "walkers     integer   200         1 .. 1000000      walkers on the line");
  EXPECT_EQ(lines[5],
            "skip_odd    flag      false       true or false     odd walkers rest every other step");
  EXPECT_EQ(lines[7], "preset large: walkers=5000");
}

// Property 3: the program records every step to both files; it is killed once a few hundred
// lines are in the CSV (bounded wait), in the middle of its stream.
TEST(Recorder_Program_Test, A_Killed_Run_Leaves_Complete_Lines_And_Whole_Committed_Rows) {
  const fs::path dir = Scratch("killed");
  const std::string csv = (dir / "k.csv").string();
  const std::string db = (dir / "k.db").string();
  const std::string program = QUARNEL_WALKERS;
  std::vector<std::string> args = {program, "--threads",    "2",         "--steps", "1000000",
                                   "--set", "delay_us=300", "--csv",     csv,       "--sqlite",
                                   db,      "--set",        "walkers=50"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  size_t seen = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    seen = fs::exists(csv) ? Lines_Of(Read_File(csv)).size() : 0;
    if (seen >= 700) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(child, SIGKILL);
  int raw = 0;
  ::waitpid(child, &raw, 0);
  ASSERT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL);
  ASSERT_GE(seen, 700u) << "the program did not write 700 lines within 60 s";

  const std::string text = Read_File(csv);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> lines = Lines_Of(text);
  const size_t fields = size_t(std::count(lines[0].begin(), lines[0].end(), ',')) + 1;
  for (size_t i = 1; i < lines.size(); ++i) {
    ASSERT_EQ(size_t(std::count(lines[i].begin(), lines[i].end(), ',')) + 1, fields) << "line " << i;
    ASSERT_EQ(lines[i].substr(0, lines[i].find(',')), std::to_string(i)) << "line " << i;
  }

  EXPECT_EQ(Query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(Query(db, "SELECT status, finished FROM runs"), std::vector<std::string>{"running|NULL"});
  // Whole rows of consecutive steps from 1, every one complete, no more than the CSV holds.
  const std::vector<std::string> summary =
      Query(db, "SELECT count(*), min(step), max(step), sum(calls = 50 AND live = 50) FROM series");
  ASSERT_EQ(summary.size(), 1u);
  int64_t count = 0, first = 0, last = 0, complete = 0;
  ASSERT_EQ(std::sscanf(summary[0].c_str(), "%ld|%ld|%ld|%ld", &count, &first, &last, &complete), 4)
      << summary[0];
  EXPECT_GE(count, 256);  // at least one commit
  EXPECT_EQ(first, 1);
  EXPECT_EQ(last, count);
  EXPECT_EQ(complete, count);
  EXPECT_LE(size_t(last), lines.size() - 1);
  std::printf("killed after %zu CSV lines; the SQLite file holds %ld rows\n", lines.size() - 1, long(count));
}

// Runs adding to one SQLite file take turns: four programs at once all finish, each with its
// runs row 'done' and its whole series, and the last to close leaves no journal beside it.
TEST(Recorder_Program_Test, Four_Programs_Add_Their_Runs_To_One_Sqlite_File) {
  const fs::path dir = Scratch("concurrent");
  const std::string db = (dir / "c.db").string();
  const std::string program = QUARNEL_WALKERS;
  std::vector<std::unique_ptr<Background_Program>> runs;
  for (int i = 0; i < 4; ++i) {
    runs.push_back(std::make_unique<Background_Program>(
        program, "--steps 3000 --set walkers=10 --set delay_us=1000 --seed " + std::to_string(i + 1) +
                     " --sqlite " + db));
  }
  for (auto& run : runs) {
    const Program_Output out = run->Wait(std::chrono::seconds(120));
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.err, "");
  }
  EXPECT_EQ(Query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(
      Query(db,
            "SELECT group_concat(seed || ':' || status || ':' || (SELECT count(*) || '-' || min(step) || '-' "
            "|| max(step) FROM series WHERE series.run = runs.run)) FROM (SELECT * FROM runs ORDER BY seed) "
            "AS runs"),
      std::vector<std::string>{
          "1:done:3000-1-3000,2:done:3000-1-3000,3:done:3000-1-3000,4:done:3000-1-3000"});
  EXPECT_FALSE(fs::exists(db + "-wal"));
  EXPECT_FALSE(fs::exists(db + "-journal"));
}

// `--overwrite` on a CSV that another live program writes is refused in one line before the
// run, and the writer keeps every row.
TEST(Recorder_Program_Test, Overwrite_Refuses_A_Csv_That_A_Running_Program_Writes) {
  const fs::path dir = Scratch("overwrite_live");
  const std::string csv = (dir / "live.csv").string();
  const std::string program = QUARNEL_WALKERS;
  Background_Program writer(program, "--steps 300 --set delay_us=3000 --csv " + csv);
  ASSERT_TRUE(Wait_Until([&] { return fs::exists(csv); }));
  const Program_Outcome second = Run_Program(program, "--steps 3 --csv " + csv + " --overwrite");
  EXPECT_EQ(Refusal_Problem(second, "walkers: the CSV file " + csv + " is being written by another run"), "");
  const Program_Output first = writer.Wait(std::chrono::seconds(120));
  EXPECT_EQ(first.status, 0) << first.err;
  const std::vector<std::string> lines = Lines_Of(Read_File(csv));
  ASSERT_EQ(lines.size(), 301u);
  EXPECT_EQ(lines.back().substr(0, 4), "300,");
}

// A reader of standard output that goes away (`| head -3`) fails the run as a write error
// would: one line, the SQLite row 'failed', status 1; never a silent death by SIGPIPE.
TEST(Recorder_Program_Test, A_Pipe_Reader_That_Goes_Away_Fails_The_Run_In_One_Line) {
  const fs::path dir = Scratch("pipe");
  const std::string db = (dir / "pipe.db").string();
  const std::string err = (dir / "err").string();
  const std::string status = (dir / "status").string();
  ::signal(SIGPIPE, SIG_DFL);  // as a shell starts the program, whatever the test runner set
  const std::string command = "{ " + std::string(QUARNEL_WALKERS) +
                              " --steps 1000000 --set walkers=10 --csv /dev/stdout --sqlite " + db + " 2>" +
                              err + "; echo $? >" + status + "; } | head -3 >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(Read_File(status), "1\n");
  EXPECT_EQ(Read_File(err), "walkers: writing the CSV file /dev/stdout failed: Broken pipe\n");
  EXPECT_EQ(Query(db, "SELECT status, finished IS NOT NULL FROM runs"), std::vector<std::string>{"failed|1"});
}

}  // namespace
}  // namespace quarnel::modelkit
