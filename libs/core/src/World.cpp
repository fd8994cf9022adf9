#include <quarnel/World.h>

#include <cxxabi.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <quarnel/Component_Manager.h>
#include <quarnel/Fatal_Error.h>
#include <quarnel/Logger.h>
#include <quarnel/Measures.h>
#include <quarnel/Run_Fingerprint.h>
#include <quarnel/Simulation_Engine.h>

namespace quarnel {
namespace {

// How long a thread polls for a hand-off before it sleeps. At the gate: a little more than the
// chunk of blocks a worker may still be stepping when another has finished (the usual wait),
// far less than a step. A kept worker after its run, and the controller while the workers
// check in or leave: longer than a small model's set-up or tear-down between two runs, so
// that runs one after another hand over without a sleep (a wake-up costs tens of
// microseconds on a virtual machine).
constexpr std::chrono::microseconds kSpin_Budget{500};

// How long a waiting thread spins before it polls by yielding, when the workers leave a core
// free: a worker at the gate waits for the controller's duties between two cycles (well
// under a microsecond without a hook), the controller for a short step. Longer spins made
// cycles erratic on a virtual machine (docs/performance-log.md).
constexpr std::chrono::nanoseconds kGate_Spin{3000};
constexpr std::chrono::nanoseconds kController_Spin{10000};

inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Sleeping on the very word the other side changes: the kernel re-reads it, so no lock is needed.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);
void Futex_Wait(std::atomic<uint32_t>& word, uint32_t value, const timespec* timeout = nullptr) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
}
void Futex_Wake(std::atomic<uint32_t>& word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// The processors this process may run on (its affinity mask); 0 when unknown.
unsigned Allowed_Cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  return unsigned(CPU_COUNT(&set));
}

// Polls until `ready()` or until `budget` has passed; returns whether `ready()` held.
// With `spin` > 0 it first spins on pause instructions for up to `spin`: when the workers
// leave a core free the awaited thread runs on another core, and a hand-off then costs the
// transfer of one cache line instead of a system call (a yield costs about half a
// microsecond on a virtual machine, and an empty one-worker cycle takes two hand-offs).
// The spin never outlasts `budget`. Otherwise, and after the spin, a few pause
// instructions, then yielding the processor between polls: with more threads than cores the
// thread being waited for may be queued behind the poller on its core, and every pause spent
// before the yield delays it.
template <class Ready>
bool Poll_Until(Ready ready, std::chrono::microseconds budget, std::chrono::nanoseconds spin = {}) {
  if (spin.count() > 0) {
    const auto spin_end = std::chrono::steady_clock::now() + std::min<std::chrono::nanoseconds>(spin, budget);
    do {
      for (int i = 0; i < 8; ++i) {
        if (ready()) return true;
        Pause();
      }
    } while (std::chrono::steady_clock::now() < spin_end);
  }
  for (int i = 0; i < 4; ++i) {
    if (ready()) return true;
    Pause();
  }
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// `name` (a type_info name) as the source spells it, when the runtime can say.
std::string Demangled(const char* name) {
  if (name == nullptr) return "(none)";
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && text ? std::string(text.get()) : std::string(name);
}

// The last cycle this worker passed the gate into.
thread_local constinit uint32_t __cycle_passed = 0;

// Whether this worker was the last to count down the step it has just finished.
thread_local bool __counted_last = false;

// Whether this worker's last run had every thread on one core: read when it parks, while
// the controller may already be setting up the next run.
thread_local bool __one_core = false;

// Set on the controlling thread while it runs the iteration hook.
thread_local bool __in_iteration_hook = false;

// Workers on every core: the longest step after which the controller still polls for the next.
constexpr std::chrono::microseconds kController_Poll_Limit{100};
// A free core: the controller polls through steps this short. A timed sleep wakes late by tens
// of microseconds on a virtual machine, which slowed one-worker runs of mid-length steps
// (docs/performance.md), so only steps long enough to hide that lateness are slept through.
constexpr std::chrono::nanoseconds kPoll_Through{2000000};
// A free core: the controller's timer fires this much before the step should end, past its lateness.
constexpr std::chrono::nanoseconds kWake_Guard{5000};
// A longer lateness is a preempted thread, not the timer: it must not make every sleep short.
constexpr std::chrono::nanoseconds kLateness_Cap{100000};

}  // namespace

// Every worker reaches the engine at every cycle; the reference cached beside it keeps the
// common path to a guard test and one load, without the stack frame that the construction
// path needs.
Simulation_Engine& World::simulation_engine() {
  static Simulation_Engine& engine = []() __attribute__((noinline))->Simulation_Engine& {
    static Simulation_Engine instance;
    return instance;
  }
  ();
  return engine;
}

World::World() {
  // A child forked while workers are kept has none of their threads: it forgets them, and
  // its first run starts its own.
  pthread_atfork(nullptr, nullptr, [] { Instance().privForget_Workers_After_Fork(); });
}

World::~World() {
  Terminate();
  privRetire_Workers();
}

void World::Initialize_Simulation(Simulation_Configuration& config) {
  Instance().Initialize(config);
  if (__all_components == nullptr) return;
  for (auto& [id, manager] : *__all_components) manager->Initialize();
}

void World::Terminate_Simulation() {
  Instance()._iteration_hook = nullptr;
  Instance()._measures = nullptr;
  Instance()._model_state = nullptr;
  Instance()._model_state_type = nullptr;
  Instance().Terminate();
  simulation_engine().Terminate();
  if (__all_components == nullptr) return;
  // Every manager is terminated even when one of them raises its fatal error (for example
  // blocks still queued after a run aborted mid-step); the first error is rethrown after.
  std::exception_ptr first_error;
  for (auto& [id, manager] : *__all_components) {
    try {
      manager->Terminate();
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

void World::Initialize(Simulation_Configuration& config) {
  // From a handler or the iteration hook: ending the run that turns would join the very
  // workers that wait for this call (or the calling worker itself).
  if (_running.load()) {
    QUARNEL_FATAL(
        "Initialize_Simulation: a run is already in progress (the World is turning); set the "
        "next run up after Start_Turning has returned and the run has been ended");
  }
  if (_workers_out) Terminate();  // an earlier run that was never terminated
  config.Check_Configuration();
  if (config.num_threads == 0) {
    QUARNEL_FATAL("A simulation run needs at least one worker thread; num_threads is 0");
  }
  _num_iterations.store(uint32_t(config.num_iterations), std::memory_order_relaxed);
  _num_threads = uint32_t(config.num_threads);
  // The affinity mask, not the machine: under taskset a poll waits for a thread it keeps off the core.
  const unsigned cores = Allowed_Cores();
  _waiting = cores == 1             ? Waiting::one_core
             : _num_threads < cores ? Waiting::free_core
                                    : Waiting::shared_cores;
  _step_on_controller = _num_threads == 1;
  _pre_allocation_amount = config.pre_allocation_amount;
  _execution_blocks_per_thread = uint32_t(config.execution_blocks_per_thread);
  _execution_objects_per_block = uint32_t(config.execution_objects_per_block);
  _max_execution_objects_per_block = uint32_t(config.max_execution_objects_per_block);
  _max_free_blocks = uint32_t(config.max_free_blocks);
  _num_free_blocks_buffer = uint32_t(config.num_free_blocks_buffer);

  Simulation_Engine& engine = simulation_engine();
  engine.Initialize();
  if (config.core_diagnostics_interval > 0) engine.Enable_Diagnostics(config.core_diagnostics_interval);

  _running.exchange(false);
  _exception_thrown.exchange(false);
  __thread_id = int32_t(_num_threads);
  Set_Current_Revision(Revision(0, 0));

  _threads_stepping.exchange(_num_threads);
  // A run that ended by a worker's failure may have left the wake-up flag set.
  _threads_done.store(0, std::memory_order_relaxed);
  privStart_Workers();
}

// Calls the kept workers into the run, starts the missing ones and waits until every one has
// checked in. When the system refuses a thread (too many threads, no memory for a stack),
// the workers already in the run are released, so that the World is ready for another
// Initialize, and the failure is raised with the numbers started and requested.
void World::privStart_Workers() {
  const uint32_t requested = _num_threads;
  // A replaced starter is asked for every worker of every run.
  const bool keep = keep_workers() && _worker_starter == &Start_Worker;
  if (!keep) privRetire_Workers();
  _workers_kept = keep;
  uint32_t started = 0;  // workers [0, started) are in the run
  std::string failure;
  try {
    _threads.reserve(requested);
    // Every home exists before a new worker starts: a worker reads the list only then.
    while (keep && _homes.size() < requested) _homes.push_back(std::make_unique<Worker_Home>());
    for (; started < std::min(uint32_t(_threads.size()), requested); ++started) _homes[started]->Call();
    for (; started < requested; ++started) _threads.push_back(_worker_starter(int(started)));
  } catch (std::exception const& e) {
    failure = e.what();
  }
  _workers_out = true;
  if (started == requested) {
    Wait_For_Workers(kSpin_Budget);
    return;
  }
  // The workers that never started will not check in: count them in here. The last of the
  // started ones to check in (or this thread, if they all have) wakes the controller.
  if (_threads_stepping.fetch_sub(requested - started) != requested - started) Wait_For_Workers();
  // Every started worker now waits at the gate and reads the thread count only after passing
  // it, so the count can shrink to the workers in the run before they are released.
  _num_threads = started;
  Terminate();
  QUARNEL_FATAL("Could not start the worker threads: " << started << " of " << requested
                                                       << " started: " << failure);
}

std::thread World::Start_Worker(int thread_id) {
  return std::thread(Simulation_Loop, thread_id);
}

void World::Start_Turning(std::filesystem::path output_directory) {
  if (_running.load()) QUARNEL_FATAL("Simulation Has Already Started!");
  _running.exchange(true);
  _output_directory = std::move(output_directory);
  privStart_Hooks();
  Simulation_Engine& engine = simulation_engine();
  engine.Update();
  _threads_done.store(0, std::memory_order_relaxed);
  // The first steps poll as after steps of half the limit.
  _recent_steps.fill(kController_Poll_Limit / 2);
  _controller_poll = kController_Poll_Limit;
  for (auto& kind : _steps_by_kind) kind.fill(kPoll_Through / 2);
  // The timer slack would make the controller's timed sleeps late by far more than a hand-off.
  const int slack = _waiting == Waiting::free_core ? prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0) : -1;
  if (slack > 1000) prctl(PR_SET_TIMERSLACK, 1000, 0, 0, 0);
  struct Restore_Slack {
    int slack;
    ~Restore_Slack() {
      if (slack > 1000) prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
    }
  } restore_slack{slack};
  _stopped_on_request = false;
  if (stop_requested()) {  // asked before the run turned: no step at all
    _stopped_on_request = true;
    Stop_Turning();
  } else {
    privOpen_Cycle();
  }
  while (_running.load()) {
    privWait_For_Step();
    if (_exception_thrown.load()) {
      // Release the workers so that they see the run is over and leave their loops.
      _running.exchange(false);
      Move_Threads_From_Finished_To_Ready();
      Wait_For_Workers(kSpin_Budget);
      break;
    }
    const uint32_t previous_iteration = iteration();
    engine.Update();
    if (_hooks_this_run && privRun_Iteration_Hooks(previous_iteration)) {
      Stop_Turning();
      break;
    }
    if (iteration() >= num_iterations()) {
      Stop_Turning();
      break;
    }
    if (iteration() > previous_iteration && stop_requested()) {  // at the end of an iteration
      _stopped_on_request = true;
      Stop_Turning();
      break;
    }
    privOpen_Cycle();
  }
  _progress.Finish();
  if (_exception_thrown.load()) privThrow_Worker_Failure();
}

void World::privThrow_Worker_Failure() {
  const std::runtime_error failure("There was an exception on a worker thread - aborting simulation");
  std::exception_ptr cause;
  {
    std::lock_guard lock(_failure_mutex);
    cause = std::exchange(_first_failure, nullptr);
  }
  if (!cause) throw failure;
  try {
    std::rethrow_exception(cause);
  } catch (...) {
    std::throw_with_nested(failure);
  }
}

void World::Stop_Turning() {
  _progress.Finish();  // before the final line
  _running.exchange(false);
  Move_Threads_From_Finished_To_Ready();
  Wait_For_Workers(kSpin_Budget);
  Quarnel_Logging_Interface::notice("Stop_Turning finished at iteration " + to_string(current_revision()) +
                                    "/" + std::to_string(num_iterations()));
  Run_Fingerprint::Instance().Log_Result();
}

void World::Stop_Mid_Simulation() {
  Quarnel_Logging_Interface::notice("Stop Mid Simulation called at iteration " +
                                    to_string(current_revision()));
  if (!_running.load()) QUARNEL_FATAL("Can't stop, simulation is not running");
  // The run ends at the next boundary. At iteration 0 the limit would wrap around to
  // 4294967295 and the stop would be ignored, so it becomes 0 there.
  const uint32_t now = iteration();
  _num_iterations.store(now == 0 ? 0 : now - 1u, std::memory_order_relaxed);
}

void World::Resume_At(uint32_t iteration) {
  if (_running.load()) QUARNEL_FATAL("Resume_At: the run is already turning");
  if (!_workers_out) QUARNEL_FATAL("Resume_At: no run is set up");
  const Revision start(iteration, 0);
  Set_Current_Revision(start);
  // Set-up requests only lower the engine's next revision, which Initialize left at (0, 0).
  Store_Revision(simulation_engine()._next_revision, start);
}

void World::Update_Num_Iterations(int num_iterations) {
  if (_running.load())
    QUARNEL_FATAL("Don't try to change the number of iterations while simulation is running");
  _num_iterations.store(uint32_t(num_iterations), std::memory_order_relaxed);
}

void World::Terminate() {
  // Workers of a run that was initialised but never turned (set-up failed, or the
  // application gave up) still wait at the finish gate: let them leave their loops.
  if (_workers_out && _threads_exited.load() < _num_threads && !_running.load()) {
    Move_Threads_From_Finished_To_Ready();
    Wait_For_Workers(kSpin_Budget);
  }
  _workers_out = false;
  // Kept workers are parked now (invariant 7); the others leave after their run.
  if (!_workers_kept) privRetire_Workers();
  _threads_stepping.exchange(0);
  _threads_exited.exchange(0);
  _running.exchange(false);
  _exception_thrown.exchange(false);
  std::lock_guard lock(_failure_mutex);
  _first_failure = nullptr;
}

void World::Set_Iteration_Hook(std::function<void(uint32_t)> hook) {
  if (_running.load()) QUARNEL_FATAL("Don't change the iteration hook while simulation is running");
  _iteration_hook = std::move(hook);
}

void World::Attach_Model_State(void* state, const void* type_key, const char* type_name) {
  if (_running.load()) QUARNEL_FATAL("Don't attach the model state while the simulation is running");
  _model_state = state;
  _model_state_type = state == nullptr ? nullptr : type_key;
  _model_state_name = type_name;
}

void World::Check_Model_State(const void* type_key, const char* type_name) const {
  if (_model_state == nullptr) {
    QUARNEL_FATAL("The model state of type " << Demangled(type_name)
                                             << " was asked for, but no model state is attached to the run");
  }
  if (type_key != _model_state_type) {
    QUARNEL_FATAL("The model state of type " << Demangled(type_name)
                                             << " was asked for, but the run's is of type "
                                             << Demangled(_model_state_name));
  }
}

void World::Attach_Measures(Measures* measures) {
  if (_running.load()) QUARNEL_FATAL("Don't attach measures while the simulation is running");
  if (!_workers_out && measures != nullptr) {
    QUARNEL_FATAL("Measures are attached to a run after it is set up (Initialize_Simulation)");
  }
  _measures = measures;
  if (_measures != nullptr) _measures->Start(_num_threads);
}

void World::Stop_After_This_Iteration() {
  if (!__in_iteration_hook) {
    QUARNEL_FATAL(
        "Stop_After_This_Iteration called outside the iteration hook; a handler ends the run with "
        "Stop_Mid_Simulation");
  }
  _stop_after_iteration = true;
}

bool World::Objects_At_Rest() const {
  return __in_iteration_hook || !running();
}

void World::privStart_Hooks() {
  _stop_after_iteration = false;
  _progress.Start(progress_line(), iteration(), num_iterations(), Progress_Line::Clock::now());
  _hooks_this_run = _iteration_hook != nullptr || _measures != nullptr || _progress.Active();
}

// Calls the hook for every iteration that finished in the last cycle, then updates the
// progress line. Returns whether the hook asked to stop. A hook that throws ends the run
// before its exception leaves.
bool World::privRun_Iteration_Hooks(uint32_t previous_iteration) {
  uint32_t finished = previous_iteration;
  if (_iteration_hook || _measures != nullptr) {
    __in_iteration_hook = true;
    try {
      // The limit is read again after each call: Stop_Mid_Simulation from the hook lowers it.
      for (uint32_t i = previous_iteration;
           i < std::min(iteration(), num_iterations()) && !_stop_after_iteration; ++i) {
        if (_measures != nullptr) _measures->End_Iteration();
        if (_iteration_hook) _iteration_hook(i);
        finished = i + 1;
      }
    } catch (...) {
      __in_iteration_hook = false;
      privEnd_Run_After_Hook_Failure();
      throw;
    }
    __in_iteration_hook = false;
  } else {
    finished = std::max(previous_iteration, std::min(iteration(), num_iterations()));
  }
  // Every live object counts as stepped once in each finished iteration.
  if (_progress.Active() && finished > previous_iteration) {
    _progress.Finished(finished, uint64_t(finished - previous_iteration) * privLive_Objects(),
                       Progress_Line::Clock::now());
  }
  return _stop_after_iteration;
}

// The workers are parked at the finish gate: release them so that they see the run is over
// and leave their loops, as after a failed worker step.
void World::privEnd_Run_After_Hook_Failure() {
  _progress.Finish();
  _running.exchange(false);
  Move_Threads_From_Finished_To_Ready();
  Wait_For_Workers(kSpin_Budget);
}

uint64_t World::privLive_Objects() const {
  Simulation_Engine& engine = simulation_engine();
  int64_t sum = 0;
  for (Scheduled_Component_Manager_Base const& manager : engine.execution_types())
    sum += manager.Live_Objects();
  for (Scheduled_Component_Manager_Base const& manager : engine.event_types()) sum += manager.Live_Objects();
  return sum > 0 ? uint64_t(sum) : 0;
}

void World::Check_In() {
  __cycle_passed = _cycle.load(std::memory_order_acquire);
  Count_Down_Step();
}

// The controller opens the next cycle only after every worker has counted the last one
// down, so the number read here is exactly one past the cycle this worker passed before.
void World::Wait_At_Finish_Gate() {
  const uint32_t passed = __cycle_passed;
  auto opened = [&] { return _cycle.load() != passed; };
  // On one core the controller runs only once this worker gives the core up: sleep at once.
  const bool spin = privSpins_At_Gate();
  __one_core = _waiting == Waiting::one_core;
  if (__one_core ? !opened()
                 : !Poll_Until(opened, kSpin_Budget, spin ? kGate_Spin : std::chrono::nanoseconds{})) {
    _gate_sleepers.fetch_add(1);
    while (!opened()) Futex_Wait(_cycle, passed);
    _gate_sleepers.fetch_sub(1, std::memory_order_relaxed);
  }
  __cycle_passed = passed + 1;
}

// Spinning at the gate takes nothing from a worker when the workers leave a core free. With
// more threads than cores, the last worker of a step may spin too, unless it runs on the
// controller's core: every other worker waits at the gate, and the controller, which
// alone has work left, runs elsewhere. Yielding there instead hands the core back and forth
// between waiting workers.
// On one core nothing the worker waits for runs while it spins.
bool World::privSpins_At_Gate() const {
  const bool last = std::exchange(__counted_last, false);
  if (_waiting == Waiting::free_core) return true;
  if (!last || _waiting == Waiting::one_core) return false;
  const int cpu = sched_getcpu();
  return cpu >= 0 && cpu != _controller_cpu.load(std::memory_order_relaxed);
}

void World::Count_Down_Step() {
  const bool last = _threads_stepping.fetch_sub(1) == 1;
  __counted_last = last;
  if (last) Wake_Controller();
}

// The count is read before the increment: once the last worker has counted itself out the
// controller may end the run and set up the next one.
void World::Count_Exit() {
  const uint32_t workers = _num_threads;
  if (_threads_exited.fetch_add(1) + 1 == workers) Wake_Controller();
}

World::Worker_Home* World::Home_Of(int thread_id) {
  return _workers_kept ? _homes[size_t(thread_id)].get() : nullptr;
}

bool World::Park(Worker_Home& home, uint32_t& answered) {
  const uint32_t seen = answered;
  if (__one_core ||
      !Poll_Until([&] { return home.call.load(std::memory_order_acquire) != seen; }, kSpin_Budget)) {
    home.call.wait(seen, std::memory_order_acquire);
  }
  answered = home.call.load(std::memory_order_acquire);
  return !home.retire.load(std::memory_order_relaxed);
}

// REQUIRES: no worker in a run (every kept one is parked).
void World::privRetire_Workers() {
  for (size_t i = 0; i < _homes.size() && i < _threads.size(); ++i) {
    _homes[i]->retire.store(true, std::memory_order_relaxed);
    _homes[i]->Call();
  }
  for (std::thread& t : _threads) {
    if (t.joinable()) t.join();
  }
  _threads.clear();
  _homes.clear();
}

// In a forked child: the threads were the parent's. Detaching touches only the copy of their
// bookkeeping; the child's first run starts workers of its own.
void World::privForget_Workers_After_Fork() {
  for (std::thread& t : _threads) {
    if (t.joinable()) t.detach();
  }
  _threads.clear();
  _homes.clear();
  _workers_out = false;
}

void World::Throw_Exception(std::exception_ptr cause) {
  privRecord_Failure(std::move(cause));
  Count_Down_Step();
}

// `_running` is cleared by the controlling thread once every worker has finished the step: a
// worker that read it false in the middle of a cycle would leave its loop without counting
// down, and the controller would wait forever.
void World::privRecord_Failure(std::exception_ptr cause) {
  if (cause) {
    std::lock_guard lock(_failure_mutex);
    if (!_first_failure) _first_failure = std::move(cause);
  }
  _exception_thrown.exchange(true);
}

// A run of one worker keeps it at the gate: the controller steps in its place (privWait_For_Step).
void World::privOpen_Cycle() {
  if (!_step_on_controller) Move_Threads_From_Finished_To_Ready();
}

// Invariant 1: a system call only when a worker sleeps.
void World::Move_Threads_From_Finished_To_Ready() {
  // Read by the step's last worker when the workers take every core of two or more
  // (privSpins_At_Gate); written only when it changes.
  if (_waiting == Waiting::shared_cores) {
    if (const int cpu = sched_getcpu(); cpu != _controller_cpu.load(std::memory_order_relaxed)) {
      _controller_cpu.store(cpu, std::memory_order_relaxed);
    }
  }
  _threads_stepping.exchange(_num_threads);
  _cycle.fetch_add(1);
  if (_gate_sleepers.load() > 0) Futex_Wake(_cycle, INT_MAX);
}

void World::Wake_Controller() {
  if (_waiting == Waiting::free_core) {
    _step_end.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  _threads_done.store(1);
  if (_controller_sleeping.load()) Futex_Wake(_threads_done, 1);
}

void World::Wait_For_Workers(std::chrono::microseconds poll, std::chrono::steady_clock::time_point wake_at) {
  auto done = [this] { return _threads_done.load(std::memory_order_acquire) != 0; };
  if (wake_at != std::chrono::steady_clock::time_point{} && !done()) {
    _controller_sleeping.store(1);
    for (;;) {
      if (_threads_done.load() != 0) break;
      const auto now = std::chrono::steady_clock::now();
      if (now >= wake_at) {
        // Woken by the timer: how late, for the next sleep's lead.
        _wake_lateness +=
            (std::min<std::chrono::nanoseconds>(now - wake_at, kLateness_Cap) - _wake_lateness) / 4;
        break;
      }
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wake_at - now).count();
      const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
      Futex_Wait(_threads_done, 0, &timeout);
    }
    _controller_sleeping.store(0, std::memory_order_relaxed);
    if (done()) {
      // The step ended first and its worker had to wake this thread: wake earlier next time.
      const auto late = std::chrono::steady_clock::now() -
                        std::chrono::steady_clock::time_point(
                            std::chrono::steady_clock::duration(_step_end.load(std::memory_order_relaxed)));
      _wake_lateness += (std::clamp<std::chrono::nanoseconds>(late, {}, kLateness_Cap) - _wake_lateness) / 4;
    }
  }
  if (_waiting == Waiting::one_core) poll = std::chrono::microseconds{0};  // nothing awaited runs meanwhile
  if (poll.count() > 0 && !done()) {
    Poll_Until(done, poll, _waiting == Waiting::free_core ? kController_Spin : std::chrono::nanoseconds{});
  }
  if (!done()) {
    _controller_sleeping.store(1);
    while (_threads_done.load() == 0) Futex_Wait(_threads_done, 0);
    _controller_sleeping.store(0, std::memory_order_relaxed);
  }
  _threads_done.store(0, std::memory_order_relaxed);
}

// The controller's wait for a step, or in a run of one worker the step itself (World.h tells
// the ways).
void World::privWait_For_Step() {
  using namespace std::chrono;
  if (_step_on_controller) {
    // As worker 0: its per-thread entries, and the step of the one worker there is.
    const int32_t controller = std::exchange(__thread_id, 0);
    Revision ignored = __revision_omega;
    if (std::exception_ptr failure = Step_Engine_Once(ignored)) privRecord_Failure(std::move(failure));
    __thread_id = controller;
    return;
  }
  if (_waiting == Waiting::one_core) {
    // A woken thread runs ahead of other processes on the core; one that yields, behind them.
    Wait_For_Workers();
    return;
  }
  const auto start = steady_clock::now();
  if (_waiting == Waiting::free_core) {
    auto& last = _steps_by_kind[current_revision()._sub_iteration % _steps_by_kind.size()];
    const nanoseconds expected = std::min(last[0], last[1]);
    const nanoseconds lead = _wake_lateness + kWake_Guard;
    // The shortest recent step of this sub-iteration: phases of one model differ in length.
    if (expected >= kPoll_Through && expected > lead + kWake_Guard) {
      Wait_For_Workers(duration_cast<microseconds>(2 * lead), start + (expected - lead));
    } else {
      // A lateness from a preempted sleep must not keep the controller polling for good.
      if (expected >= kPoll_Through) _wake_lateness -= _wake_lateness / 8;
      Wait_For_Workers(duration_cast<microseconds>(std::max<nanoseconds>(2 * expected, microseconds{2})));
    }
    last[1] = last[0];
    // The step's own length, without the controller's wake-up: it sets the next timer.
    last[0] = std::max(
        steady_clock::time_point(steady_clock::duration(_step_end.load(std::memory_order_relaxed))) - start,
        steady_clock::duration{0});
    return;
  }
  Wait_For_Workers(_controller_poll);
  const auto step = duration_cast<microseconds>(steady_clock::now() - start);
  _recent_steps[_recent_step_index++ % _recent_steps.size()] = step;
  const auto longest = *std::max_element(_recent_steps.begin(), _recent_steps.end());
  _controller_poll =
      longest < kController_Poll_Limit ? std::max(2 * longest, microseconds{2}) : microseconds{0};
}

}  // namespace quarnel
