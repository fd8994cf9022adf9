// The World's barrier and the engine's stepping, driven by a minimal scheduled manager.
//
// Property under test: in every cycle each worker steps every due manager exactly once,
// the clock jumps to the smallest pending revision, and the run ends at the iteration
// limit, when no work is left, on Stop_Mid_Simulation, or on a worker's failure — never
// hanging, and always leaving the World ready for the next run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <quarnel/Simulation_Engine.h>
#include <quarnel/World.h>
#include "Test_Support.h"

namespace quarnel {
namespace {

using testing::Make_Configuration;
using testing::Run_Bounded;
using testing::Thrown_Text;

// A manager with no blocks: every worker that finds it due records its visit and runs
// `on_step`; the last worker to finish schedules the next revision chosen by `next`.
class Probe_Manager : public Scheduled_Component_Manager_Base {
 public:
  Probe_Manager() : Scheduled_Component_Manager_Base(999, "Probe<MasterType>") {}

  void Terminate() override {}

  void Step(Revision& revision) override {
    const Revision now = World::Instance().current_revision();
    {
      std::lock_guard lock(_visits_mutex);
      _visits[now._revision].push_back(__thread_id);
    }
    if (on_step) on_step(now);
    Spin_Guard guard(_schedule_lock);
    if (_threads_finished.fetch_add(1) + 1 == int32_t(World::Instance().num_threads())) {
      _threads_finished.exchange(0);
      Revision next = next_revision ? next_revision(now) : __revision_omega;
      Store_Revision(_next_revision, min(_pending_revision, next));
      _pending_revision = __revision_omega;
      revision = _next_revision;
    } else {
      revision = _pending_revision;
    }
  }

  // Schedules the first visit during set-up and links the manager into the engine.
  void Start_At(Revision first) {
    Store_Revision(_next_revision, first);
    World::simulation_engine().Lower_Next_Revision(first, false);
    World::simulation_engine().Activate(World::simulation_engine()._new_execution_types, this);
  }

  std::function<Revision(Revision)> next_revision;
  std::function<void(Revision)> on_step;
  std::mutex _visits_mutex;
  std::map<uint64_t, std::vector<int>> _visits;  // revision key -> worker of each visit
};

Revision Next_Iteration(Revision now) {
  return Revision(now._iteration + 1, 0);
}

// Initialises a run with `threads` workers and a fresh, linked probe manager.
void Start_Run(Probe_Manager& probe, int threads, int iterations, Revision first = Revision(0, 0)) {
  Simulation_Configuration config = Make_Configuration(threads, iterations);
  World::Initialize_Simulation(config);
  probe.Initialize();
  probe.Start_At(first);
}

std::string Run_Capturing_Log(Probe_Manager& probe) {
  ::testing::internal::CaptureStderr();
  std::string thrown = Thrown_Text([] { Run_Bounded([] { World::Instance().Start_Turning("."); }); });
  std::string log = ::testing::internal::GetCapturedStderr();
  (void)probe;
  return thrown.empty() ? log : "THROWN: " + thrown + "\n" + log;
}

TEST(World_Test, A_Run_Without_Managers_Ends_At_Once_With_The_Clock_At_Omega) {
  Simulation_Configuration config = Make_Configuration(2, 100);
  World::Initialize_Simulation(config);
  ::testing::internal::CaptureStderr();
  Run_Bounded([] { World::Instance().Start_Turning("."); });
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(World::Instance().current_revision(), __revision_omega);
  EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(4294967295,0)/100"), std::string::npos) << log;
  World::Terminate_Simulation();
}

TEST(World_Test, Every_Worker_Steps_Exactly_Once_Per_Cycle_Over_Thousands_Of_Cycles) {
  for (int threads : {1, 2, 6}) {
    Probe_Manager probe;
    probe.next_revision = Next_Iteration;
    const int iterations = threads == 6 ? 1000 : 3000;
    Start_Run(probe, threads, iterations);
    ::testing::internal::CaptureStderr();
    Run_Bounded([] { World::Instance().Start_Turning("."); });
    std::string log = ::testing::internal::GetCapturedStderr();
    World::Terminate_Simulation();

    ASSERT_EQ(probe._visits.size(), size_t(iterations)) << threads << " workers";
    for (auto& [key, workers] : probe._visits) {
      std::sort(workers.begin(), workers.end());
      std::vector<int> expected(threads);
      for (int t = 0; t < threads; ++t) expected[t] = t;
      ASSERT_EQ(workers, expected) << "at " << to_string(Revision::From_Key(key));
    }
    EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(" + std::to_string(iterations) + ",0)/" +
                       std::to_string(iterations)),
              std::string::npos)
        << log;
  }
}

TEST(World_Test, Workers_That_Wait_Longer_Than_They_Poll_Are_Woken_At_Every_Gate) {
  // Workers poll a gate for a moment, then sleep on its condition variable. Here they are
  // parked well past that before the run turns, and in every other cycle one worker is
  // late, so the others fall asleep at the finish gate and must be woken, not lost.
  for (int threads : {2, 6}) {
    Probe_Manager probe;
    probe.next_revision = Next_Iteration;
    probe.on_step = [](Revision now) {
      if (now._iteration % 2 == 1 &&
          uint32_t(__thread_id) == (now._iteration / 2) % World::Instance().num_threads())
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    };
    const int iterations = 20;
    Start_Run(probe, threads, iterations);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Run_Capturing_Log(probe);
    World::Terminate_Simulation();

    ASSERT_EQ(probe._visits.size(), size_t(iterations)) << threads << " workers";
    for (auto& [key, workers] : probe._visits) {
      ASSERT_EQ(workers.size(), size_t(threads)) << "at " << to_string(Revision::From_Key(key));
    }
  }
}

TEST(World_Test, Clock_Jumps_To_The_Smallest_Pending_Revision) {
  // Work at (0,0), then (0,3), then (5,1), then nothing: the clock visits exactly those.
  Probe_Manager probe;
  probe.next_revision = [](Revision now) {
    if (now == Revision(0, 0)) return Revision(0, 3);
    if (now == Revision(0, 3)) return Revision(5, 1);
    return __revision_omega;
  };
  Start_Run(probe, 2, 100);
  std::string log = Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  std::vector<uint64_t> visited;
  for (auto& [key, workers] : probe._visits) visited.push_back(key);
  EXPECT_EQ(visited, (std::vector<uint64_t>{Revision(0, 0)._revision, Revision(0, 3)._revision,
                                            Revision(5, 1)._revision}));
  EXPECT_NE(log.find("Rev(4294967295,0)/100"), std::string::npos) << log;
}

TEST(World_Test, A_Request_For_The_Revision_Being_Stepped_Gets_An_Extra_Cycle) {
  // While due, a request for the current revision lands in the pending revision; the end of
  // the step makes it the next revision, so the same revision is stepped once more.
  Probe_Manager probe;
  std::atomic<int> requests{0};
  probe.on_step = [&](Revision now) {
    if (now == Revision(2, 0) && requests.fetch_add(1) == 0) probe.Update_Schedule(now);
  };
  probe.next_revision = Next_Iteration;
  Start_Run(probe, 2, 4);
  Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  EXPECT_EQ(probe._visits[Revision(2, 0)._revision].size(), 4u);  // two cycles of two workers
  EXPECT_EQ(probe._visits[Revision(1, 0)._revision].size(), 2u);
  EXPECT_EQ(probe._visits[Revision(3, 0)._revision].size(), 2u);
}

TEST(Engine_Test, A_Manager_Made_Due_Mid_Cycle_Is_Stepped_By_Every_Worker_In_An_Extra_Cycle) {
  // Manager `idle` is not due; a handler of `busy` asks for it at the revision being
  // stepped. Every worker must step it in the same cycle (never some workers only), and
  // that cycle is an extra one at the same revision.
  for (int threads : {1, 2, 6}) {
    Probe_Manager busy;
    Probe_Manager idle;
    busy.next_revision = Next_Iteration;
    busy.on_step = [&](Revision now) {
      if (now == Revision(3, 0) && __thread_id == 0) {
        // Give the other workers time to pass `idle` in this cycle before it becomes due.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        idle.Update_Schedule(now);
      }
    };
    Start_Run(busy, threads, 6);
    idle.Initialize();
    World::simulation_engine().Activate(World::simulation_engine()._new_execution_types, &idle);
    Run_Capturing_Log(busy);
    World::Terminate_Simulation();
    ASSERT_EQ(idle._visits.size(), 1u) << threads;
    EXPECT_EQ(idle._visits.begin()->first, Revision(3, 0)._revision);
    std::vector<int> workers = idle._visits.begin()->second;
    std::sort(workers.begin(), workers.end());
    std::vector<int> each_once(threads);
    for (int t = 0; t < threads; ++t) each_once[t] = t;
    EXPECT_EQ(workers, each_once) << threads << " workers";
    EXPECT_EQ(busy._visits.size(), 6u);
    for (auto& [key, workers] : busy._visits) EXPECT_EQ(workers.size(), size_t(threads));
  }
}

TEST(World_Test, Update_Num_Iterations_Before_The_Run_Sets_The_Limit) {
  Probe_Manager probe;
  probe.next_revision = Next_Iteration;
  Start_Run(probe, 2, 100);
  World::Instance().Update_Num_Iterations(50);
  std::string log = Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  EXPECT_EQ(probe._visits.size(), 50u);
  EXPECT_NE(log.find("Stop_Turning finished at iteration Rev(50,0)/50"), std::string::npos) << log;
}

TEST(World_Test, Stop_Mid_Simulation_From_A_Worker_Ends_The_Run_At_The_Next_Boundary) {
  for (uint32_t stop_at : {0u, 7u}) {
    Probe_Manager probe;
    probe.next_revision = Next_Iteration;
    probe.on_step = [stop_at](Revision now) {
      if (now._iteration == stop_at && __thread_id == 0) World::Instance().Stop_Mid_Simulation();
    };
    Start_Run(probe, 2, 100);
    std::string log = Run_Capturing_Log(probe);
    World::Terminate_Simulation();
    EXPECT_EQ(probe._visits.size(), size_t(stop_at) + 1) << log;
    EXPECT_NE(log.find("Stop Mid Simulation called at iteration Rev(" + std::to_string(stop_at) + ",0)"),
              std::string::npos)
        << log;
  }
}

TEST(World_Test, Misuse_Raises_Fatal_Errors_With_Exact_Messages) {
  Probe_Manager probe;
  Start_Run(probe, 1, 10);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Thrown_Text([] { World::Instance().Stop_Mid_Simulation(); }),
            "An exception occurred, check your logs: Can't stop, simulation is not running");
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Stop Mid Simulation called at iteration Rev(0,0)"), std::string::npos) << log;

  // The same misuse from inside a handler, while the run turns.
  std::vector<std::string> inside;
  std::mutex inside_mutex;
  probe.on_step = [&](Revision) {
    std::string a = Thrown_Text([] { World::Instance().Update_Num_Iterations(50); });
    std::string b = Thrown_Text([] { World::Instance().Start_Turning("."); });
    std::lock_guard lock(inside_mutex);
    inside = {a, b};
  };
  std::string run = Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  ASSERT_EQ(inside.size(), 2u);
  EXPECT_EQ(inside[0],
            "An exception occurred, check your logs: Don't try to change the number of iterations while "
            "simulation is running");
  EXPECT_EQ(inside[1], "An exception occurred, check your logs: Simulation Has Already Started!");

  Simulation_Configuration no_workers = Make_Configuration(0, 10);
  ::testing::internal::CaptureStderr();
  std::string refused = Thrown_Text([&] { World::Initialize_Simulation(no_workers); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_NE(refused.find("needs at least one worker thread"), std::string::npos) << refused;
  World::Terminate_Simulation();
}

TEST(World_Test, A_Failing_Worker_Aborts_The_Run_And_The_Next_Run_Is_Correct) {
  for (int threads : {1, 2, 6}) {
    Probe_Manager failing;
    failing.next_revision = Next_Iteration;
    failing.on_step = [](Revision now) {
      if (now._iteration == 3 && __thread_id == 0) throw std::logic_error("handler broke");
    };
    Start_Run(failing, threads, 100);
    std::string log = Run_Capturing_Log(failing);
    World::Terminate_Simulation();
    EXPECT_NE(log.find("THROWN: There was an exception on a worker thread - aborting simulation"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("handler broke"), std::string::npos) << log;
    EXPECT_EQ(failing._visits.size(), 4u);

    // A fresh run with another thread count runs all its cycles.
    Probe_Manager healthy;
    healthy.next_revision = Next_Iteration;
    const int next_threads = threads == 6 ? 2 : threads + 1;
    Start_Run(healthy, next_threads, 20);
    std::string second = Run_Capturing_Log(healthy);
    World::Terminate_Simulation();
    EXPECT_EQ(healthy._visits.size(), 20u) << second;
    for (auto& [key, workers] : healthy._visits) EXPECT_EQ(workers.size(), size_t(next_threads));
  }
}

TEST(World_Test, Terminating_A_Run_That_Never_Turned_Releases_Its_Workers) {
  for (int threads : {1, 6}) {
    Simulation_Configuration config = Make_Configuration(threads, 10);
    Run_Bounded([&] {
      World::Initialize_Simulation(config);
      World::Terminate_Simulation();
    });
  }
  Probe_Manager probe;
  probe.next_revision = Next_Iteration;
  Start_Run(probe, 2, 5);
  Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  EXPECT_EQ(probe._visits.size(), 5u);
}

// Each worker's kernel thread id, as seen by the probe during a run of `threads` workers.
std::map<int, pid_t> Worker_Threads_Of_A_Run(int threads) {
  Probe_Manager probe;
  probe.next_revision = Next_Iteration;
  std::mutex mutex;
  std::map<int, pid_t> seen;
  probe.on_step = [&](Revision) {
    std::lock_guard lock(mutex);
    seen[__thread_id] = gettid();
  };
  Start_Run(probe, threads, 5);
  Run_Capturing_Log(probe);
  World::Terminate_Simulation();
  EXPECT_EQ(probe._visits.size(), 5u) << threads << " workers";
  return seen;
}

std::atomic<int> __starts{0};
std::thread Count_Starts(int thread_id) {
  ++__starts;
  return World::Start_Worker(thread_id);
}

// By default every run starts workers of its own and joins them.
TEST(World_Test, Each_Run_Has_Workers_Of_Its_Own_Unless_Asked_To_Keep_Them) {
  const std::map<int, pid_t> one = Worker_Threads_Of_A_Run(2);
  const std::map<int, pid_t> two = Worker_Threads_Of_A_Run(2);
  ASSERT_EQ(one.size(), 2u);
  ASSERT_EQ(two.size(), 2u);
  for (int worker : {0, 1}) EXPECT_NE(one.at(worker), two.at(worker));
}

// Asked to keep them, worker i is the same thread in every run: a run with more workers starts
// only the missing ones, one with fewer leaves the others parked. A replaced starter is asked
// for every worker of every run, and its threads do not outlive the run; keeping switched off
// joins the kept ones at the next run.
TEST(World_Test, Workers_Are_Kept_From_One_Run_To_The_Next_On_Request) {
  World::Instance().Set_Keep_Workers(true);
  std::map<int, pid_t> first;
  // A one-worker run steps on the controlling thread; its worker is still the kept one after it.
  for (int threads : {2, 3, 1, 3}) {
    const std::map<int, pid_t> seen = Worker_Threads_Of_A_Run(threads);
    ASSERT_EQ(seen.size(), size_t(threads));
    if (threads == 1) continue;
    for (auto [worker, tid] : seen) {
      const auto [kept, is_new] = first.emplace(worker, tid);
      EXPECT_EQ(kept->second, tid) << "worker " << worker << " in a run of " << threads;
    }
  }
  EXPECT_EQ(first.size(), 3u);

  __starts = 0;
  World::_worker_starter = &Count_Starts;
  const std::map<int, pid_t> one = Worker_Threads_Of_A_Run(2);
  const std::map<int, pid_t> two = Worker_Threads_Of_A_Run(2);
  World::_worker_starter = &World::Start_Worker;
  EXPECT_EQ(__starts.load(), 4);
  ASSERT_EQ(one.size(), 2u);
  ASSERT_EQ(two.size(), 2u);
  for (int worker : {0, 1}) {
    EXPECT_NE(one.at(worker), first.at(worker));
    EXPECT_NE(one.at(worker), two.at(worker));
  }
  // Back to kept workers: the next run works with threads of its own again.
  const std::map<int, pid_t> kept = Worker_Threads_Of_A_Run(3);
  EXPECT_EQ(kept.size(), 3u);
  World::Instance().Set_Keep_Workers(false);
  const std::map<int, pid_t> fresh = Worker_Threads_Of_A_Run(3);
  ASSERT_EQ(fresh.size(), 3u);
  for (int worker : {0, 1, 2}) EXPECT_NE(fresh.at(worker), kept.at(worker));
}

// A one-worker run hands nothing over: the controlling thread steps as worker 0, and is the
// controlling thread again for the hook and after the run.
TEST(World_Test, A_Run_Of_One_Worker_Steps_On_The_Controlling_Thread_As_Worker_0) {
  Probe_Manager probe;
  probe.next_revision = Next_Iteration;
  std::vector<std::pair<pid_t, int>> steps, hooks;
  probe.on_step = [&](Revision) { steps.emplace_back(gettid(), __thread_id); };
  World::Instance().Set_Iteration_Hook([&](uint32_t) { hooks.emplace_back(gettid(), __thread_id); });
  Start_Run(probe, 1, 3);
  pid_t controller = 0;
  int after = -1;
  Run_Bounded([&] {
    controller = gettid();
    __thread_id = 1;  // as Initialize leaves it on the controlling thread
    World::Instance().Start_Turning(".");
    after = __thread_id;
  });
  World::Terminate_Simulation();
  ASSERT_EQ(steps.size(), 3u);
  for (auto [tid, index] : steps) EXPECT_EQ(std::pair(tid, index), std::pair(controller, 0));
  ASSERT_EQ(hooks.size(), 3u);
  for (auto [tid, index] : hooks) EXPECT_EQ(std::pair(tid, index), std::pair(controller, 1));
  EXPECT_EQ(after, 1);
}

// A child forked after a run has none of the parent's kept workers; its own run must start
// workers of its own instead of waiting for threads that do not exist there.
TEST(World_Test, A_Child_Forked_After_A_Run_Runs_With_Workers_Of_Its_Own) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support starting threads after a multi-threaded fork";
#endif
  World::Instance().Set_Keep_Workers(true);
  ASSERT_EQ(Worker_Threads_Of_A_Run(2).size(), 2u);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    Probe_Manager probe;
    probe.next_revision = Next_Iteration;
    Start_Run(probe, 2, 3);
    World::Instance().Start_Turning(".");
    World::Terminate_Simulation();
    _exit(probe._visits.size() == 3 ? 0 : 1);
  }
  World::Instance().Set_Keep_Workers(false);
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 600 && done == 0; ++i) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the forked child's run did not finish within a minute";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// The system refuses a thread after `__allowed_starts` workers have started, as it does when
// it runs out of threads or of address space for their stacks.
std::atomic<int> __allowed_starts{0};
std::thread Start_Some_Workers(int thread_id) {
  if (__allowed_starts.fetch_sub(1) <= 0)
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  return World::Start_Worker(thread_id);
}

// Initialize releases and joins the workers it started before it reports the failure, so
// that nothing waits on them later and the next Initialize starts a full, working run.
TEST(World_Test, A_Worker_That_Cannot_Start_Fails_Initialize_Without_Leaving_Workers_Behind) {
  for (int started : {0, 1, 4}) {
    __allowed_starts = started;
    World::_worker_starter = &Start_Some_Workers;
    Simulation_Configuration config = Make_Configuration(6, 10);
    std::string text;
    ::testing::internal::CaptureStderr();
    Run_Bounded([&] { text = Thrown_Text([&] { World::Initialize_Simulation(config); }); });
    const std::string log = ::testing::internal::GetCapturedStderr();
    World::_worker_starter = &World::Start_Worker;
    EXPECT_EQ(text, "An exception occurred, check your logs: Could not start the worker threads: " +
                        std::to_string(started) + " of 6 started: Resource temporarily unavailable");
    EXPECT_NE(log.find("RUNTIME_ERROR at libs/core/World.cpp"), std::string::npos) << log;
    // Terminating again has nothing to wait for.
    Run_Bounded([] { World::Terminate_Simulation(); }, std::chrono::seconds(10));

    Probe_Manager probe;
    probe.next_revision = Next_Iteration;
    Run_Bounded([&] { Start_Run(probe, 3, 5); });
    Run_Capturing_Log(probe);
    Run_Bounded([] { World::Terminate_Simulation(); });
    ASSERT_EQ(probe._visits.size(), 5u);
    for (auto& [key, workers] : probe._visits) EXPECT_EQ(workers.size(), 3u);
  }
}

TEST(Engine_Test, A_Manager_Activated_During_A_Cycle_Is_Stepped_From_The_Next_Cycle) {
  Probe_Manager first;
  Probe_Manager late;
  late.next_revision = Next_Iteration;
  first.next_revision = Next_Iteration;
  first.on_step = [&](Revision now) {
    if (now == Revision(3, 0) && __thread_id == 0) {
      Store_Revision(late._next_revision, Revision(3, 0));  // due now, but not yet linked
      World::simulation_engine().Lower_Next_Revision(Revision(3, 0), true);
      World::simulation_engine().Activate(World::simulation_engine()._new_execution_types, &late);
    }
  };
  Start_Run(first, 2, 6);
  late.Initialize();
  Run_Capturing_Log(first);
  World::Terminate_Simulation();
  // The late manager was due at (3,0) when it joined; it is stepped at (3,0) in an extra
  // cycle (its revision lowered the engine's) and then every iteration.
  EXPECT_EQ(late._visits.count(Revision(3, 0)._revision), 1u);
  EXPECT_EQ(late._visits.count(Revision(2, 0)._revision), 0u);
  EXPECT_EQ(late._visits.count(Revision(5, 0)._revision), 1u);
  EXPECT_TRUE(World::simulation_engine().execution_types().empty());
}

}  // namespace
}  // namespace quarnel
