// Studies of the walkers program (Recorded_Walkers.cpp), run as a user runs them: bad designs
// are one line, failed runs are recorded and the study goes on, a study killed at any moment
// and started again ends with the same runs and series as one never killed, and an MPI study
// equals the local one.
#include <gtest/gtest.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <quarnel/modelkit/Study.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace quarnel::modelkit {
namespace {

std::string Temp_File(const std::string& name) {
  return testing::TempDir() + "study_" + std::to_string(getpid()) + "_" + name;
}

Program_Output Study(const std::string& args, const std::string& setup = "") {
  return Run_To_End(QUARNEL_WALKERS, "study " + args, setup);
}

// What a study's file holds, without the times the runs were made.
std::vector<std::string> Content(const std::string& db) {
  std::vector<std::string> rows = Query_Sqlite(db,
                                               "SELECT run, model, version, seed, status, walkers, spread, "
                                               "delay_us, fail_after FROM runs ORDER BY run");
  for (const std::string& row : Query_Sqlite(db, "SELECT * FROM series ORDER BY run, step"))
    rows.push_back(row);
  return rows;
}

// The runs a study's file holds, or -1 while it has none to count.
int Runs_Held(const std::string& db) {
  const std::vector<std::string> count = Query_Sqlite(db, "SELECT count(*) FROM runs");
  return count.size() == 1 && !count[0].empty() && std::isdigit(static_cast<unsigned char>(count[0][0]))
             ? std::stoi(count[0])
             : -1;
}

TEST(Study_Test, Bad_Designs_Are_One_Line_And_Status_1) {
  const std::string db = Temp_File("bad.db");
  std::remove(db.c_str());
  for (const std::string& args : std::vector<std::string>{
           "--vary nonsense=1,2 --sqlite " + db, "--vary walkers=0,5 --sqlite " + db,
           "--vary walkers= --sqlite " + db, "--vary walkers=5 --replications 0 --sqlite " + db,
           "--vary walkers=5", "--vary walkers=5,x --sqlite " + db,
           "--vary walkers=5 --vary walkers=6 --sqlite " + db, "--vary walkers=5 --csv x.csv --sqlite " + db,
           "--sample latin:3 skip_odd=0..1 --sqlite " + db, "--sample latin:3 spread=2..1 --sqlite " + db,
           "--vary walkers=5 --sample latin:3 spread=0..1 --sqlite " + db,
           // What a study cannot honour: checkpoints of its runs, a live view.
           "--vary walkers=5 --checkpoint " + db + ".ckpt --sqlite " + db,
           "--vary walkers=5 --checkpoint-every 2 --sqlite " + db,
           "--vary walkers=5 --resume x.ckpt --sqlite " + db, "--vary walkers=5 --fork --sqlite " + db,
           "--vary walkers=5 --view --sqlite " + db,
           // Designs too large to hold.
           "--sample latin:1000000000 spread=0..1 --sqlite " + db,
           "--vary walkers=5,6 --vary spread=1,2 --replications 1000000000 --sqlite " + db}) {
    const Program_Output out = Study(args);
    EXPECT_EQ(out.status, 1) << args;
    EXPECT_EQ(out.err.rfind("walkers: ", 0), 0u) << args << ": " << out.err;
    EXPECT_EQ(out.err.find('\n'), out.err.size() - 1) << args << ": " << out.err;
  }
  EXPECT_NE(Study("--vary nonsense=1 --sqlite " + db).err.find("'nonsense'"), std::string::npos);
  EXPECT_NE(Study("--vary walkers= --sqlite " + db).err.find("empty grid"), std::string::npos);
  EXPECT_NE(Study("--sample latin:1000000000 spread=0..1 --sqlite " + db).err.find("at most 1000000"),
            std::string::npos);
  EXPECT_NE(Study("--vary walkers=5 --resume x.ckpt --sqlite " + db).err.find("--resume"), std::string::npos);
  EXPECT_FALSE(std::ifstream(db).good()) << "no file for a design that was refused";

  // The file belongs to its design: another design against it is refused, and so is a file of
  // single runs.
  ASSERT_EQ(Study("--vary walkers=3,4 --steps 2 --set spread=2 --sqlite " + db).status, 0);
  // Every option that changes a run is part of the design; the workers and jobs are not.
  for (const std::string& args : std::vector<std::string>{
           "--vary walkers=3,5 --steps 2 --set spread=2", "--vary walkers=3,4 --steps 3 --set spread=2",
           "--vary walkers=3,4 --steps 2 --set spread=3", "--vary walkers=3,4 --steps 2",
           "--vary walkers=3,4 --steps 2 --set spread=2 --size large",
           "--vary walkers=3,4 --steps 2 --set spread=2 --record_every 2"}) {
    const Program_Output other = Study(args + " --sqlite " + db);
    EXPECT_EQ(other.status, 1) << args;
    EXPECT_NE(other.err.find("holds another study"), std::string::npos) << args << ": " << other.err;
    EXPECT_EQ(other.err.find('\n'), other.err.size() - 1) << args << ": " << other.err;
  }
  const Program_Output same =
      Study("--vary walkers=3,4 --steps 2 --set spread=2 --threads 2 --jobs 1 --sqlite " + db);
  EXPECT_EQ(same.status, 0) << same.err;
  EXPECT_NE(same.out.find("(0 made now"), std::string::npos) << same.out;
  // A single run into a study's file would take one of its run numbers.
  const Program_Output taken = Run_To_End(QUARNEL_WALKERS, "--steps 2 --seed 99 --sqlite " + db);
  EXPECT_EQ(taken.status, 1);
  EXPECT_NE(taken.err.find("holds a study; a single run needs a file of its own"), std::string::npos)
      << taken.err;
  EXPECT_EQ(taken.err.find('\n'), taken.err.size() - 1) << taken.err;
  EXPECT_EQ(Runs_Held(db), 2);
  const std::string single = Temp_File("single.db");
  std::remove(single.c_str());
  ASSERT_EQ(Run_To_End(QUARNEL_WALKERS, "--steps 2 --sqlite " + single).status, 0);
  EXPECT_NE(Study("--vary walkers=3 --sqlite " + single).err.find("holds runs of no study"),
            std::string::npos);
  std::remove(db.c_str());
  std::remove(single.c_str());
}

// A run that fails is recorded with its error line and the others go on; --max-failures ends
// the study early. Each run's seed is derived from the study's and stored with it.
TEST(Study_Test, Failed_Runs_Are_Recorded_And_The_Study_Goes_On) {
  const std::string db = Temp_File("failures.db");
  std::remove(db.c_str());
  const Program_Output out =
      Study("--vary fail_after=-1,2 --replications 3 --seed 9 --jobs 2 --steps 4 --sqlite " + db);
  EXPECT_EQ(out.status, 1) << out.err;
  EXPECT_NE(out.err.find("3 of 6 runs failed"), std::string::npos) << out.err;
  EXPECT_EQ(Query_Sqlite(db, "SELECT status, count(*) FROM runs GROUP BY status ORDER BY status"),
            (std::vector<std::string>{"done|3", "failed|3"}));
  const std::vector<std::string> failures = Query_Sqlite(db, "SELECT run, error FROM failures ORDER BY run");
  ASSERT_EQ(failures.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(failures[i].rfind(std::to_string(4 + i) + "|walkers: the run failed: ", 0), 0u) << failures[i];
    EXPECT_NE(failures[i].find("the hook failed on purpose"), std::string::npos) << failures[i];
  }
  std::set<std::string> seeds;
  for (const std::string& seed : Query_Sqlite(db, "SELECT seed FROM runs")) seeds.insert(seed);
  EXPECT_EQ(seeds.size(), 6u) << "every run its own seed";
  EXPECT_EQ(Query_Sqlite(db, "SELECT seed FROM runs WHERE run = 2"),
            std::vector<std::string>{std::to_string(Study_Seed(9, 1))});

  const std::string capped = Temp_File("capped.db");
  std::remove(capped.c_str());
  const Program_Output stopped =
      Study("--vary fail_after=2 --replications 20 --jobs 1 --max-failures 2 --steps 4 --sqlite " + capped);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.err.find("stopped after 2 failed runs"), std::string::npos) << stopped.err;
  EXPECT_EQ(Query_Sqlite(capped, "SELECT count(*) FROM runs"), std::vector<std::string>{"2"});
  std::remove(db.c_str());
  std::remove(capped.c_str());
}

// A run that fails before it opens its records (a value its model refuses, no room for its
// scratch file) is a failed run like any other: recorded with its reason, the study goes on,
// and the same command again finds it made.
TEST(Study_Test, A_Run_That_Fails_Before_Its_Records_Is_Recorded_As_Failed) {
  const std::string db = Temp_File("early.db");
  std::remove(db.c_str());
  const std::string args = "--vary fail_after=-1,-2 --replications 2 --jobs 1 --steps 2 --sqlite " + db;
  const Program_Output out = Study(args);
  EXPECT_EQ(out.status, 1) << out.err;
  EXPECT_NE(out.err.find("2 of 4 runs failed"), std::string::npos) << out.err;
  EXPECT_EQ(Query_Sqlite(db, "SELECT run, status, started IS NOT NULL, fail_after FROM runs ORDER BY run"),
            (std::vector<std::string>{"1|done|1|-1", "2|done|1|-1", "3|failed|1|-2", "4|failed|1|-2"}));
  EXPECT_EQ(
      Query_Sqlite(db, "SELECT run FROM failures WHERE error LIKE '%failed on purpose before its records%'"),
      (std::vector<std::string>{"3", "4"}));
  const Program_Output again = Study(args);
  EXPECT_EQ(again.status, 1) << again.err;
  EXPECT_NE(again.out.find("(0 made now"), std::string::npos) << again.out;

  // Failing from the first run on, before any run made the runs table: --max-failures counts them.
  const std::string capped = Temp_File("early_capped.db");
  std::remove(capped.c_str());
  const Program_Output stopped =
      Study("--vary fail_after=-2 --replications 6 --jobs 1 --max-failures 2 --steps 2 --sqlite " + capped);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.err.find("stopped after 2 failed runs"), std::string::npos) << stopped.err;
  EXPECT_EQ(Query_Sqlite(capped, "SELECT count(*) FROM failures"), std::vector<std::string>{"2"});
  std::remove(db.c_str());
  std::remove(capped.c_str());
}

// The folder of scratch files under $TMPDIR that a killed driver left is removed when the same
// study starts again, with one line; the folder of a driver that still lives is left alone.
TEST(Study_Test, A_Killed_Drivers_Scratch_Folder_Is_Removed_At_The_Next_Start) {
  const std::string tmp = Temp_File("tmp"), db = Temp_File("scratch.db");
  std::remove(db.c_str());
  ASSERT_EQ(std::system(("rm -rf " + tmp + " && mkdir -p " + tmp).c_str()), 0);
  const std::string setup = "export TMPDIR=" + tmp;
  const std::string design = "--vary walkers=20,40 --replications 3 --steps 6 --jobs 1 --sqlite " + db;
  auto folders = [&] { return Lines_Of(Run_To_End("ls", "-A " + tmp).out); };
  {
    Background_Program killed(QUARNEL_WALKERS, "study --set delay_us=100000 " + design, setup);
    ASSERT_TRUE(Wait_Until([&] { return Runs_Held(db) >= 1; }));
    // Another start of the same study's file while the driver lives: its folder stays.
    const Program_Output other = Run_To_End(QUARNEL_WALKERS, "study --set delay_us=1 " + design, setup);
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("holds another study"), std::string::npos) << other.err;
    EXPECT_EQ(other.err.find("removed"), std::string::npos) << other.err;
    EXPECT_EQ(folders().size(), 1u);
    killed.Signal(SIGKILL);
    killed.Wait();
  }
  const std::vector<std::string> left = folders();
  ASSERT_EQ(left.size(), 1u) << "the killed driver's folder";
  EXPECT_EQ(left[0].rfind("quarnel-study-", 0), 0u) << left[0];
  const Program_Output again = Run_To_End(QUARNEL_WALKERS, "study --set delay_us=100000 " + design, setup);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(Lines_Of(again.err), std::vector<std::string>{"walkers: removed the scratch folder " + tmp + "/" +
                                                          left[0] + " that a killed study left"});
  EXPECT_TRUE(folders().empty());
  std::remove(db.c_str());
  ASSERT_EQ(std::system(("rm -rf " + tmp).c_str()), 0);
}

// A Latin hypercube of N points puts exactly one point in each of the N strata of every range.
TEST(Study_Test, A_Latin_Hypercube_Fills_Every_Stratum_Once) {
  const std::string db = Temp_File("latin.db");
  std::remove(db.c_str());
  const Program_Output out =
      Study("--sample latin:8 spread=0..4 walkers=10..25 --seed 3 --steps 1 --sqlite " + db);
  ASSERT_EQ(out.status, 0) << out.err;
  std::set<int> spread_strata, walker_strata;
  for (const std::string& row : Query_Sqlite(db, "SELECT spread, walkers FROM runs")) {
    const double spread = std::stod(row.substr(0, row.find('|')));
    const int walkers = std::stoi(row.substr(row.find('|') + 1));
    spread_strata.insert(int(std::floor(spread / 4 * 8)));
    walker_strata.insert((walkers - 10) / 2);
  }
  EXPECT_EQ(spread_strata.size(), 8u);
  EXPECT_EQ(walker_strata.size(), 8u);
}

// The driver killed (SIGKILL) mid-study, or one of its runs: the same command again finishes
// the study, and the file equals that of a study never killed.
TEST(Study_Test, A_Killed_Study_Resumes_To_The_Same_Runs_And_Series) {
  const std::string design =
      "--vary walkers=20,40 --replications 6 --seed 4 --steps 6 --set delay_us=60000 --jobs 2";
  const std::string whole = Temp_File("whole.db"), resumed = Temp_File("resumed.db");
  std::remove(whole.c_str());
  std::remove(resumed.c_str());
  ASSERT_EQ(Study(design + " --sqlite " + whole).status, 0);
  const std::vector<std::string> expected = Content(whole);
  ASSERT_EQ(expected.size(), 12u + 12u * 6u);

  {
    Background_Program study(QUARNEL_WALKERS, "study " + design + " --sqlite " + resumed);
    ASSERT_TRUE(Wait_Until([&] { return Runs_Held(resumed) >= 2; }));
    study.Signal(SIGKILL);
    EXPECT_EQ(study.Wait().status, 128 + SIGKILL);
  }
  const int held = Runs_Held(resumed);
  EXPECT_GE(held, 2);
  EXPECT_LT(held, 12) << "killed before its end";
  EXPECT_EQ(Query_Sqlite(resumed, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  const Program_Output again = Study(design + " --sqlite " + resumed);
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("(" + std::to_string(12 - held) + " made now"), std::string::npos) << again.out;
  EXPECT_EQ(Content(resumed), expected);

  // One run killed from outside is made again; the study ends as if nothing happened.
  const std::string retried = Temp_File("retried.db");
  std::remove(retried.c_str());
  {
    Background_Program study(QUARNEL_WALKERS, "study " + design + " --sqlite " + retried);
    const std::string children =
        "/proc/" + std::to_string(study.pid()) + "/task/" + std::to_string(study.pid()) + "/children";
    std::string child;
    ASSERT_TRUE(Wait_Until([&] {
      child = Read_Text_File(children);
      return !child.empty() && child != "\n";
    }));
    ::kill(std::stoi(child), SIGKILL);
    const Program_Output out = study.Wait();
    EXPECT_EQ(out.status, 0) << out.err;
  }
  EXPECT_EQ(Content(retried), expected);
  for (const std::string& f : std::vector<std::string>{whole, resumed, retried}) std::remove(f.c_str());
}

// SIGINT stops the study: the runs being made end with their step and are not kept, the
// finished ones are, one line says how far it got, and the program ends by the signal; the
// same command then finishes it.
TEST(Study_Test, Sigint_Stops_The_Study_Keeping_Every_Finished_Run) {
  const std::string db = Temp_File("sigint.db");
  std::remove(db.c_str());
  const std::string args =
      "study --vary walkers=20,40 --replications 6 --steps 6 --set delay_us=60000 --sqlite " + db;
  {
    Background_Program study(QUARNEL_WALKERS, args);
    ASSERT_TRUE(Wait_Until([&] { return Runs_Held(db) >= 1; }));
    study.Signal(SIGINT);
    const Program_Output out = study.Wait();
    EXPECT_EQ(out.status, 130) << out.err;
    EXPECT_NE(out.err.find("walkers: interrupted by SIGINT after "), std::string::npos) << out.err;
    EXPECT_NE(out.err.find(" of 12 runs; the same command makes the rest"), std::string::npos) << out.err;
  }
  const int held = Runs_Held(db);
  EXPECT_GE(held, 1);
  EXPECT_LT(held, 12);
  EXPECT_EQ(Query_Sqlite(db, "SELECT count(*) FROM runs WHERE status != 'done'"),
            std::vector<std::string>{"0"});
  const Program_Output again = Run_To_End(QUARNEL_WALKERS, args);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(Runs_Held(db), 12);
  std::remove(db.c_str());
}

// mpirun -np 3: rank 0 writes the file, ranks 1 and 2 make the runs; the file equals the
// local study's.
TEST(Study_Test, An_Mpi_Study_Equals_The_Local_One) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "Open MPI's own threads and allocations are not sanitizer-clean";
#else
  if (std::system("command -v mpirun >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mpirun on this machine";
  const std::string design = "--vary walkers=5,9 --vary spread=1,2 --replications 3 --seed 11 --steps 5";
  const std::string local = Temp_File("local.db"), spread = Temp_File("mpi.db");
  std::remove(local.c_str());
  std::remove(spread.c_str());
  ASSERT_EQ(Study(design + " --jobs 2 --sqlite " + local).status, 0);
  const Program_Output out = Run_To_End("mpirun --oversubscribe -np 3 " + std::string(QUARNEL_WALKERS),
                                        "study " + design + " --sqlite " + spread,
                                        "export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1");
  if (out.err.find("built without MPI") != std::string::npos) GTEST_SKIP() << "built without MPI";
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(Content(spread), Content(local));
  EXPECT_EQ(Content(local).size(), 12u + 12u * 5u);
  std::remove(local.c_str());
  std::remove(spread.c_str());
#endif
}

// A rank that cannot make its scratch folder ends an MPI study, in a bounded time, with one line
// naming it and a non-zero status.
TEST(Study_Test, An_Mpi_Rank_Without_A_Scratch_Folder_Ends_The_Study) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "Open MPI's own threads and allocations are not sanitizer-clean";
#else
  if (std::system("command -v mpirun >/dev/null 2>&1") != 0) GTEST_SKIP() << "no mpirun on this machine";
  const std::string db = Temp_File("mpi_scratch.db");
  std::remove(db.c_str());
  const std::string study =
      std::string(QUARNEL_WALKERS) + " study --vary walkers=5,9 --steps 2 --sqlite " + db;
  Background_Program mpi("mpirun",
                         "--oversubscribe -np 1 " + study + " : -np 2 env TMPDIR=/nonexistent/dir " + study,
                         "export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1");
  const Program_Output out = mpi.Wait(std::chrono::seconds(60));
  if (out.err.find("built without MPI") != std::string::npos) GTEST_SKIP() << "built without MPI";
  EXPECT_NE(out.status, 0) << out.err;
  EXPECT_NE(out.status, 128 + SIGKILL) << "ended by the test's limit: " << out.err;
  std::vector<std::string> ours;
  for (const std::string& line : Lines_Of(out.err))
    if (line.rfind("walkers: ", 0) == 0) ours.push_back(line);
  ASSERT_EQ(ours.size(), 1u) << out.err;
  EXPECT_TRUE(ours[0].rfind("walkers: rank 1: cannot make a scratch folder in /nonexistent/dir", 0) == 0 ||
              ours[0].rfind("walkers: rank 2: cannot make a scratch folder in /nonexistent/dir", 0) == 0)
      << ours[0];
  std::remove(db.c_str());
#endif
}

}  // namespace
}  // namespace quarnel::modelkit
