// The epidemic model: the kernel's series and infections equal the sequential reference's on
// any number of workers and block size; several infectors of one person are settled by the
// lowest identity; recovery events fire, move and free themselves; the daily checks name what
// failed; the program refuses bad input with one line, and records its declared parameters
// and its series.
#include "Epidemic_Reference.h"

#include <gtest/gtest.h>
#include <quarnel/Checkpoint.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace epidemic {
namespace {

using quarnel::modelkit::Model_Size;

struct Layout {
  int threads, block_size;
};
const std::vector<Layout> kEvery_Layout = {{1, 1},    {1, 7}, {1, 1000}, {2, 1},   {2, 7},
                                           {2, 1000}, {6, 1}, {6, 7},    {6, 1000}};
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// A million people, 5-20 times slower: the whole matrix at small size, and at large size one
// day on two layouts that split the people between workers and blocks unlike the reference's.
constexpr int kLargeDays = 1;
const std::vector<Layout> kLarge_Layouts = {{2, 7}, {6, 1000}};
#else
constexpr int kLargeDays = 4;
const std::vector<Layout> kLarge_Layouts = kEvery_Layout;
#endif

Run_Settings Settings(int threads, int block_size, uint64_t seed = 5) {
  Run_Settings s;
  s.threads = threads;
  s.block_size = block_size;
  s.seed = seed;
  s.record_infections = true;
  return s;
}

// Property: for a given seed the kernel's series, its infections (who infected whom, when) and
// its fingerprint are the same for 1, 2 and 6 workers and blocks of 1, 7 and 1000 objects, and
// equal the reference's. Small runs its 100 days (the epidemic rises and ends); large fewer.
TEST(Epidemic_Test, Kernel_Equals_Reference_On_Any_Workers_And_Block_Size) {
  for (Model_Size size : {Model_Size::small, Model_Size::large}) {
    const Epidemic_Parameters p = Parameters_For(size);
    Run_Settings base = Settings(1, 1000);
    base.steps = size == Model_Size::small ? 0 : kLargeDays;
    const Epidemic_Result reference = Run_Epidemic_Reference(p, base);
    quarnel::Run_Digest first{};
    for (const auto [threads, block_size] : size == Model_Size::small ? kEvery_Layout : kLarge_Layouts) {
      Run_Settings s = Settings(threads, block_size);
      s.steps = base.steps;
      const Epidemic_Result kernel = Run_Epidemic(p, s);
      EXPECT_EQ(kernel.series, reference.series)
          << to_string(size) << " threads " << threads << " blocks " << block_size;
      EXPECT_EQ(kernel.infections, reference.infections) << to_string(size) << " threads " << threads;
      if (first.calls == 0) first = kernel.fingerprint;
      EXPECT_EQ(kernel.fingerprint, first)
          << to_string(size) << " threads " << threads << " blocks " << block_size;
    }
    if (size == Model_Size::small) {  // the run is not trivial: an epidemic, births and deaths
      int64_t peak = 0, births = 0, deaths = 0;
      for (const Day_Row& r : reference.series) {
        peak = std::max(peak, r.infected);
        births += r.births;
        deaths += r.deaths;
      }
      EXPECT_GT(peak, 1000);
      EXPECT_GT(reference.series.back().recovered, 5000);
      EXPECT_GT(births, 0);
      EXPECT_GT(deaths, 0);
    }
  }
}

// Two infectious people and one susceptible, every contact infects: whoever of the two hits
// the susceptible person, the one with the lower identity infects it, once, on two workers in
// blocks of one. Over several seeds both hit it at least once.
TEST(Epidemic_Test, Lowest_Identity_Infects_When_Several_Hit_One_Person) {
  Epidemic_Parameters p;
  p.people = 3;
  p.initially_infected = 2;
  p.infection = 1.0;
  p.recovery = 0.0;
  p.treatment = 0.0;
  p.death = 0.0;
  p.birth = 0.0;
  int both_hit = 0;
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    Run_Settings s = Settings(2, 1, seed);
    s.steps = 1;
    const Epidemic_Result result = Run_Epidemic(p, s);
    const std::vector<uint32_t> sick = Initially_Infected(p, seed);
    const uint32_t healthy = 0 + 1 + 2 - sick[0] - sick[1];
    std::vector<uint64_t> hitters;
    for (uint32_t slot : sick) {
      const uint64_t identity = quarnel::Root_Identity(slot);
      const Day_Plan plan = Plan_Day(p, seed, identity, 0, infected, 3);
      for (int j = 0; j < p.contacts; ++j) {
        if (plan.contact[size_t(j)] == healthy) {
          hitters.push_back(identity);
          break;
        }
      }
    }
    both_hit += hitters.size() == 2;
    if (hitters.empty()) {
      EXPECT_TRUE(result.infections.empty()) << seed;
      EXPECT_EQ(result.series[0].infected, 2);
      continue;
    }
    ASSERT_EQ(result.infections.size(), 1u) << seed;
    EXPECT_EQ(result.infections[0].infected, quarnel::Root_Identity(healthy));
    EXPECT_EQ(result.infections[0].infector, *std::min_element(hitters.begin(), hitters.end())) << seed;
    EXPECT_EQ(result.series[0].infected, 3);
    EXPECT_EQ(result.series[0].susceptible, 0);
  }
  EXPECT_GT(both_hit, 0);
}

// The people infected at the start are distinct slots: all of them when as many or more are
// asked for, and for one seed the first n of any larger number asked for.
TEST(Epidemic_Test, Initially_Infected_Are_Distinct_And_All_When_Asked_For_All) {
  Epidemic_Parameters p;
  p.people = 5000;
  p.initially_infected = 5000;
  const std::vector<uint32_t> all = Initially_Infected(p, 9);
  std::vector<uint32_t> sorted = all, slots(5000);
  std::sort(sorted.begin(), sorted.end());
  std::iota(slots.begin(), slots.end(), 0u);
  EXPECT_EQ(sorted, slots);
  p.initially_infected = 7000;
  EXPECT_EQ(Initially_Infected(p, 9), all);
  p.initially_infected = 10;
  EXPECT_EQ(Initially_Infected(p, 9), std::vector<uint32_t>(all.begin(), all.begin() + 10));
  p.initially_infected = 0;
  EXPECT_TRUE(Initially_Infected(p, 9).empty());
}

Epidemic_Parameters Ten_Sick(double recovery, double treatment, double death, double birth) {
  Epidemic_Parameters p;
  p.people = 10;
  p.initially_infected = 10;
  p.infection = 0.0;
  p.recovery = recovery;
  p.treatment = treatment;
  p.death = death;
  p.birth = birth;
  return p;
}

// A recovery event first fires min_sick_days after the infection and frees itself when its
// person recovers; a treated person's event moves to the next day before it can fire; the
// recovered die and are freed; births join the population. Each on two workers, blocks of one,
// with the kernel's live counts checked every day by the run itself, and equal to the reference.
TEST(Epidemic_Test, Recovery_Events_Fire_Move_And_Free_Themselves) {
  Run_Settings s = Settings(2, 1);
  s.steps = 6;
  const auto infected_by_day = [&](const Epidemic_Parameters& p) {
    const Epidemic_Result kernel = Run_Epidemic(p, s);
    EXPECT_EQ(kernel.series, Run_Epidemic_Reference(p, s).series);
    std::vector<int64_t> infected;
    for (const Day_Row& r : kernel.series) infected.push_back(r.infected);
    return infected;
  };
  // Sure recovery: the events fire at day 3 (the fourth day) and all recover.
  EXPECT_EQ(infected_by_day(Ten_Sick(1.0, 0.0, 0.0, 0.0)), (std::vector<int64_t>{10, 10, 10, 0, 0, 0}));
  // Always treated: the events are moved every day before they fire.
  EXPECT_EQ(infected_by_day(Ten_Sick(1.0, 1.0, 0.0, 0.0)), (std::vector<int64_t>{10, 10, 10, 10, 10, 10}));
  // Sure death: recovered on day 3, dead on day 4; nobody is left, and the run goes on empty.
  const Epidemic_Result dying = Run_Epidemic(Ten_Sick(1.0, 0.0, 1.0, 0.0), s);
  EXPECT_EQ(dying.series[3].recovered, 10);
  EXPECT_EQ(dying.series[4].deaths, 10);
  EXPECT_EQ(dying.series[5].susceptible + dying.series[5].infected + dying.series[5].recovered, 0);
  // Sure births: the population doubles every day.
  const Epidemic_Result born = Run_Epidemic(Ten_Sick(0.0, 0.0, 0.0, 1.0), s);
  EXPECT_EQ(born.series[2].births, 40);
  EXPECT_EQ(born.series[5].susceptible, 640 - 10);
}

TEST(Epidemic_Test, Daily_Check_Names_The_Failed_Check_And_Its_Numbers) {
  Day_Check c{7, {}, 100, 101, 101, 3};
  c.counts.census[susceptible] = 90;
  c.counts.census[infected] = 5;
  c.counts.census[recovered] = 5;
  c.counts.infections = 2;
  c.counts.recoveries = 4;
  c.counts.births = 1;  // end of day: S 89, I 3, R 9
  EXPECT_EQ(Day_Check_Failure(c), "");
  Day_Check lost = c;
  lost.counts.census[recovered] = 4;
  EXPECT_EQ(Day_Check_Failure(lost),
            "epidemic check failed on day 7: census S + I + R = 99 but the living population before the day "
            "is 100");
  Day_Check kernel = c;
  kernel.live_people = 102;
  EXPECT_EQ(Day_Check_Failure(kernel),
            "epidemic check failed on day 7: S + I + R = 101, births - deaths + N = 101, live people "
            "(kernel) = 102");
  Day_Check events = c;
  events.live_events = 4;
  EXPECT_EQ(Day_Check_Failure(events),
            "epidemic check failed on day 7: live recovery events (kernel) = 4 but infected people = 3");
}

// Runs the program with `args`; its exit status and what it wrote on standard error.
quarnel::modelkit::Program_Outcome Run_Program(const std::string& args) {
  return quarnel::modelkit::Run_Program(EPIDEMIC_PROGRAM, args);
}

TEST(Epidemic_Test, Program_Refuses_Bad_Input_With_One_Line_And_Runs_Good_Input) {
  for (const char* bad :
       {"--size tiny", "--threads -1", "--steps 0", "--seed x", "--csv",
        "--steps 2 --csv /nonexistent-folder/series.csv",
        "--seed \"$(printf '1\\nepidemic small: 10000 people')\"", "--threads 2147483647"}) {
    const auto [status, err] = Run_Program(bad);
    EXPECT_EQ(status, 1) << bad;
    EXPECT_EQ(err.rfind("epidemic: ", 0), 0u) << bad << ": " << err;
    ASSERT_FALSE(err.empty()) << bad;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << bad << ": " << err;
  }
  const std::string csv = testing::TempDir() + "epidemic_series_" + std::to_string(getpid()) + ".csv";
  std::remove(csv.c_str());
  EXPECT_EQ(Run_Program("--steps 3 --threads 2 --csv " + csv).status, 0);
  std::ifstream in(csv);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  std::remove(csv.c_str());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "step,susceptible,infected,recovered,births,deaths");
  // step (the day),S,I,R,births,deaths: S + I + R = N + births - deaths.
  std::istringstream row(lines[1]);
  int64_t v[6];
  char comma;
  row >> v[0] >> comma >> v[1] >> comma >> v[2] >> comma >> v[3] >> comma >> v[4] >> comma >> v[5];
  ASSERT_TRUE(row) << lines[1];
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1] + v[2] + v[3], 10000 + v[4] - v[5]) << lines[1];
  EXPECT_GE(v[2], 10) << lines[1];
}

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "epidemic_" + std::to_string(getpid()) + "_" + name;
}

using quarnel::modelkit::Lines_Of;

using quarnel::modelkit::Background_Program;
using quarnel::modelkit::Program_Output;
using quarnel::modelkit::Read_Text_File;
using quarnel::modelkit::Run_To_End;
using quarnel::modelkit::Wait_Until;

// The CSV ends with a whole line, and its rows count up from `first` without a gap.
void Expect_Whole_Rows(const std::string& text, const std::string& header, int first) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << text;
  const std::vector<std::string> lines = Lines_Of(text);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], header);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].rfind(std::to_string(first + int(i) - 1) + ",", 0), 0u) << lines[i];
  }
}

const char* const kHeader = "step,susceptible,infected,recovered,births,deaths";

// SIGTERM: the run stops at the end of its day, status 143; the CSV and the SQLite file hold
// every finished day, and the runs row says the run was interrupted.
TEST(Epidemic_Program_Test, Sigterm_Stops_At_The_End_Of_A_Day_Keeping_Every_Finished_Row) {
  const std::string csv = Temp_File("interrupted.csv"), db = Temp_File("interrupted.db");
  std::remove(csv.c_str());
  std::remove(db.c_str());
  Background_Program run(EPIDEMIC_PROGRAM, "--threads 2 --steps 2000000000 --csv " + csv + " --sqlite " + db);
  ASSERT_TRUE(
      Wait_Until([&] { return Lines_Of(Read_Text_File(csv)).size() >= 4; }, std::chrono::milliseconds(60000)))
      << "the rows are written as the days end";
  run.Signal(SIGTERM);
  const Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 143) << output.err;
  const std::string text = Read_Text_File(csv);
  Expect_Whole_Rows(text, kHeader, 1);
  const std::string last = std::to_string(Lines_Of(text).size() - 1);
  EXPECT_NE(output.err.find("epidemic: interrupted by SIGTERM after day " + last +
                            " of 2000000000; the records hold every finished step\n"),
            std::string::npos)
      << output.err;
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT status, days FROM runs"),
            std::vector<std::string>{"interrupted|2000000000"});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT count(*), min(step), max(step) FROM series"),
            std::vector<std::string>{last + "|1|" + last});
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// The files in the folder of `path` whose names start with "." + its name + ".": the
// recorder's temporary files for it.
std::vector<std::string> Temporary_Files_Beside(const std::string& path) {
  const std::filesystem::path p(path);
  const std::string prefix = "." + p.filename().string() + ".";
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), error)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// An existing CSV is refused before the run unless --overwrite, and stays as it was. A signal
// before the first day has ended leaves records of no finished day: the old CSV as it was
// (replaced only once a row is written), the SQLite runs row 'interrupted' with no series,
// and no temporary file beside the CSV.
TEST(Epidemic_Program_Test, A_Run_Stopped_Before_Its_First_Row_Leaves_Records_Of_No_Day) {
  const std::string csv = Temp_File("kept.csv"), db = Temp_File("kept.db");
  std::remove(db.c_str());
  std::ofstream(csv) << "an old series\n";
  const quarnel::modelkit::Program_Outcome refused = Run_Program("--steps 2 --csv " + csv);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "epidemic: the CSV file " + csv + " exists (--overwrite replaces it)\n");
  EXPECT_EQ(Read_Text_File(csv), "an old series\n");

  Background_Program run(EPIDEMIC_PROGRAM, "--size large --overwrite --csv " + csv + " --sqlite " + db);
  // The temporary file appears once the records are open, before the run is set up.
  ASSERT_TRUE(
      Wait_Until([&] { return !Temporary_Files_Beside(csv).empty(); }, std::chrono::milliseconds(30000)));
  run.Signal(SIGINT);
  const Program_Output output = run.Wait();
  EXPECT_EQ(output.status, 130) << output.err;
  EXPECT_NE(output.err.find(
                "epidemic: interrupted by SIGINT after day 0 of 100; the records hold every finished step\n"),
            std::string::npos)
      << output.err;
  EXPECT_EQ(Read_Text_File(csv), "an old series\n");
  EXPECT_EQ(Temporary_Files_Beside(csv), std::vector<std::string>{});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT status, people FROM runs"),
            std::vector<std::string>{"interrupted|1000000"});
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db, "SELECT count(*) FROM series"),
            std::vector<std::string>{"0"});
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// The parameters are declared once: --params lists them, --set changes one (a value out of
// range is one line) and wins over --steps for the days, and the records carry them. The CSV
// and the SQLite series both equal the reference's for the same values.
TEST(Epidemic_Program_Test, Parameters_Are_Listed_Set_And_Recorded) {
  const Program_Output listing = Run_To_End(EPIDEMIC_PROGRAM, "--params");
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.out.find("min_sick_days"), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("preset large: people=1000000"), std::string::npos) << listing.out;
  const quarnel::modelkit::Program_Outcome refused = Run_Program("--set contacts=17");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("contacts"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << refused.err;

  const std::string csv = Temp_File("recorded.csv"), db = Temp_File("recorded.db");
  std::remove(csv.c_str());
  std::remove(db.c_str());
  const Program_Output run =
      Run_To_End(EPIDEMIC_PROGRAM,
                 "--seed 3 --threads 2 --steps 9 --set people=2000 --set infection=0.3 "
                 "--set days=6 --csv " +
                     csv + " --sqlite " + db);
  ASSERT_EQ(run.status, 0) << run.err;
  Epidemic_Parameters p = Parameters_For(Model_Size::small);
  p.people = 2000;
  p.infection = 0.3;
  p.days = 6;
  Run_Settings settings;
  settings.seed = 3;
  const std::vector<Day_Row> expected = Run_Epidemic_Reference(p, settings).series;
  ASSERT_EQ(expected.size(), 6u);
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(
                db, "SELECT model, seed, status, people, contacts, infection, min_sick_days, days FROM runs"),
            std::vector<std::string>{"epidemic|3|done|2000|4|0.3|3|6"});
  const std::vector<std::string> lines = Lines_Of(Read_Text_File(csv));
  const std::vector<std::string> rows = quarnel::modelkit::Query_Sqlite(
      db, "SELECT step, susceptible, infected, recovered, births, deaths FROM series ORDER BY step");
  ASSERT_EQ(lines.size(), expected.size() + 1);
  ASSERT_EQ(rows.size(), expected.size());
  EXPECT_EQ(lines[0], kHeader);
  for (size_t t = 0; t < expected.size(); ++t) {
    const Day_Row& r = expected[t];
    std::string row = std::to_string(r.day);
    for (int64_t v : {r.susceptible, r.infected, r.recovered, r.births, r.deaths})
      row += "," + std::to_string(v);
    EXPECT_EQ(lines[t + 1], row);
    std::replace(row.begin(), row.end(), ',', '|');
    EXPECT_EQ(rows[t], row);
  }
  EXPECT_NE(run.out.find("epidemic small: 2000 people, 6 days, 2 workers: S " +
                         std::to_string(expected.back().susceptible) + ", I " +
                         std::to_string(expected.back().infected) + ", "),
            std::string::npos)
      << run.out;
  std::remove(csv.c_str());
  std::remove(db.c_str());
}

// A study whose design sets the days (varies or samples them) takes no --steps, which would
// run every run as long while its runs rows say otherwise; without --steps the days vary.
TEST(Epidemic_Program_Test, A_Study_Varying_The_Days_Refuses_Steps) {
  const std::string db = Temp_File("days_study.db");
  std::remove(db.c_str());
  for (const std::string& design :
       std::vector<std::string>{"--vary days=2,3", "--sample latin:2 days=2..4"}) {
    const Program_Output refused =
        Run_To_End(EPIDEMIC_PROGRAM, "study " + design + " --steps 1 --set people=500 --sqlite " + db);
    EXPECT_EQ(refused.status, 1) << design;
    EXPECT_NE(refused.err.find("--steps"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("'days'"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << refused.err;
  }
  const Program_Output study =
      Run_To_End(EPIDEMIC_PROGRAM, "study --vary days=2,3 --set people=500 --jobs 1 --sqlite " + db);
  ASSERT_EQ(study.status, 0) << study.err;
  EXPECT_EQ(quarnel::modelkit::Query_Sqlite(db,
                                            "SELECT run, days, max(step) FROM runs JOIN series USING (run) "
                                            "GROUP BY run ORDER BY run"),
            (std::vector<std::string>{"1|2|2", "2|3|3"}));
  std::remove(db.c_str());
}

TEST(Epidemic_Program_Test, A_Result_That_Cannot_Reach_Standard_Output_Is_An_Error) {
  const Program_Output full = Run_To_End(EPIDEMIC_PROGRAM, "--steps 2", "", ">/dev/full");
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_NE(full.err.find("epidemic: could not write to standard output: No space left on device\n"),
            std::string::npos)
      << full.err;
  const Program_Output closed = Run_To_End(EPIDEMIC_PROGRAM, "--steps 2", "", ">&-");
  EXPECT_EQ(closed.status, 1) << closed.err;
  EXPECT_NE(closed.err.find("epidemic: could not write to standard output: "), std::string::npos)
      << closed.err;
}

// ---------------------------------------------------------------------------------------
// Checkpoints.

// The summary from the population on: the same for a run that never stopped and one resumed on
// other workers (the totals of births and deaths too, which cover the saved days).
std::string Summary_Of(const std::string& out) {
  const size_t at = out.find(": S ");
  return at == std::string::npos ? "(none in: " + out + ")" : out.substr(at);
}

// A run saved every k days and killed by SIGKILL a few days after a save, while recovery events
// wait in their heaps, then resumed on another number of workers and block size, writes the same
// CSV rows, SQLite series, totals and run fingerprint as a run that never stopped: each event
// fires on its saved day, and the rows the killed run wrote after its checkpoint are replaced.
void Expect_Identical_Continuations(const std::string& args, int days) {
  quarnel::modelkit::Resume_Trial trial(
      EPIDEMIC_PROGRAM, args, days, 10, 14,
      "SELECT step, susceptible, infected, recovered, births, deaths FROM series ORDER BY step",
      Temp_File("trial."));
  ASSERT_EQ(trial.whole().status, 0) << trial.whole().err;
  for (const quarnel::modelkit::Resume_Trial::Threads& c : quarnel::modelkit::Resume_Trial::Cases()) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    const quarnel::modelkit::Resume_Trial::Outcome r = trial.Resume(c);
    ASSERT_EQ(r.problem, "");
    // Day `saved_at`'s row: step,S,I,...; recovery events are pending when someone is infected.
    const std::string row = Lines_Of(r.killed_csv)[r.saved_at];
    ASSERT_EQ(row.rfind(std::to_string(r.saved_at) + ",", 0), 0u) << row;
    EXPECT_NE(std::stoll(row.substr(row.find(',', row.find(',') + 1) + 1)), 0) << "no event waits: " << row;
    EXPECT_EQ(Summary_Of(r.resumed.out), Summary_Of(trial.whole().out));
  }
}

TEST(Epidemic_Checkpoint_Test, Killed_And_Resumed_On_Other_Workers_Continues_Identically) {
  Expect_Identical_Continuations("", 300);
}

// The same at large size (a million people, whose births take random identities among the
// ordered ones), in the release build.
TEST(Epidemic_Checkpoint_Test, At_Large_Size_Killed_And_Resumed_Continues_Identically) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "at large size the trial's seven runs take minutes under a sanitizer";
#endif
  Expect_Identical_Continuations("--size large", 30);
}

// A finished run's checkpoint, saved at its last day while people are infected (their recovery
// events answering the day after it are parked there), continues into a run twice as long on
// another number of workers exactly as a run that never stopped: the same CSV rows, SQLite
// series and runs row (its days the longer run's), totals and run fingerprint.
TEST(Epidemic_Checkpoint_Test, Saved_At_The_Last_Day_A_Longer_Run_Continues_Identically) {
  const quarnel::modelkit::Longer_Resume r = quarnel::modelkit::Resume_Longer(
      EPIDEMIC_PROGRAM, "--seed 31", 10, 1, 3,
      "SELECT step, susceptible, infected, recovered, births, deaths FROM series ORDER BY step",
      Temp_File("longer."));
  ASSERT_EQ(r.problem, "");
  EXPECT_EQ(Summary_Of(r.resumed.out), Summary_Of(r.whole.out));
}

// Another model's checkpoint, and other parameters without --fork, are refused in one line
// with status 1; a longer run continues, and so does a fork with another set-up population (the
// saved directory is whole by itself).
TEST(Epidemic_Checkpoint_Test, Another_Models_Or_Other_Parameters_Are_Refused_A_Longer_Run_Continues) {
  const std::string good = Temp_File("good.ckpt"), other = Temp_File("other.ckpt");
  ASSERT_EQ(Run_To_End(EPIDEMIC_PROGRAM, "--steps 12 --checkpoint " + good + " --checkpoint-every 5").status,
            0);
  quarnel::modelkit::Write_Other_Models_Checkpoint(other, "flocking");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--resume " + other, "of the model 'flocking', not epidemic"},
      {"--resume " + good + " --set recovery=0.5", "has recovery=0.3, not 0.5"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program(args + " --steps 20"), expected), "") << args;
  }
  const Program_Output longer = Run_To_End(EPIDEMIC_PROGRAM, "--resume " + good + " --steps 20");
  EXPECT_EQ(longer.status, 0) << longer.err;
  EXPECT_NE(longer.out.find("20 days"), std::string::npos) << longer.out;
  const Program_Output fork = Run_To_End(EPIDEMIC_PROGRAM, "--resume " + good + " --fork --set people=5000");
  EXPECT_EQ(fork.status, 0) << fork.err;
  std::remove(good.c_str());
  std::remove(other.c_str());
}

// --resume FILE alone continues the saved run with its seed and values, its length (days)
// included; --steps, which sets the days, may make it longer. Given values must match the
// checkpoint's unless --fork, and --size is one of them: a resume without it keeps the saved
// population rather than the small preset's.
TEST(Epidemic_Checkpoint_Test, A_Resume_Takes_The_Seed_And_Values_Of_Its_Checkpoint) {
  const std::string ckpt = Temp_File("values.ckpt");
  const std::string run = "--seed 41 --set infection=0.2 --set people=3000";
  ASSERT_EQ(
      Run_To_End(EPIDEMIC_PROGRAM, run + " --set days=12 --checkpoint " + ckpt + " --checkpoint-every 5")
          .status,
      0);
  for (const std::string days : {"12", "20"}) {
    const Program_Output whole = Run_To_End(EPIDEMIC_PROGRAM, run + " --set days=" + days);
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::string longer = days == "12" ? "" : " --steps " + days;
    const Program_Output resumed = Run_To_End(EPIDEMIC_PROGRAM, "--resume " + ckpt + longer + " --threads 3");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.out.find("3000 people, " + days + " days"), std::string::npos) << resumed.out;
    EXPECT_EQ(Summary_Of(resumed.out), Summary_Of(whole.out)) << days << " days";
  }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--seed 1", "has seed 41, not 1"},
      {"--size small", "has people=3000, not 10000"},
      {"--set infection=0.1", "has infection=0.2, not 0.1"},
  };
  for (const auto& [args, expected] : cases) {
    EXPECT_EQ(quarnel::modelkit::Refusal_Problem(Run_Program("--resume " + ckpt + " " + args), expected), "")
        << args;
  }
  std::remove(ckpt.c_str());
}

}  // namespace
}  // namespace epidemic
