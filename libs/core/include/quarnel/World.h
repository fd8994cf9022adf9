// World: the run's controller and its worker barrier. Start here.
//
// The singleton World holds the run's settings (copied from a validated
// Simulation_Configuration), owns the worker threads (started by each Initialize and joined
// by Terminate, or kept from one run to the next on request, invariant 7) and the clock
// (`_current_revision`),
// and drives the workers through lock-step cycles:
//   controller: Move_Threads_From_Finished_To_Ready  -> the finish gate opens cycle k
//   workers:    pass the gate into cycle k and step the engine once
//   workers:    count down; the last to finish wakes the controller; all wait at the gate
//   controller: Simulation_Engine::Update advances the clock; stop or open cycle k + 1
//
// The gate is numbered: opening it moves `_cycle` on by one, and a worker passes once the
// number differs from the one it last passed. So the gate never has to be closed behind
// the workers, and no worker waits for another before its step: a cycle is two hand-offs,
// controller to workers and the last worker to the controller.
//
// Thread safety: Initialize, Start_Turning, Stop_Turning, Terminate and the static
// *_Simulation functions belong to the controlling thread. Workers call Check_In,
// Wait_At_Finish_Gate, Count_Down_Step, Count_Exit, Throw_Exception, Home_Of and Park. Stop_Mid_Simulation
// may be called from a handler. The accessors may be called from any thread; the settings
// change only between runs and the clock only between cycles, while every worker is parked
// at the gate.
//
// A run of one worker has nothing to share out, so the controlling thread steps the engine
// itself, as worker 0 (`__thread_id` 0 during the step), and a cycle makes no hand-off at
// all: its one worker thread checks in, sleeps at the gate and leaves when the run ends.
// Handlers see the same thread index, per-thread entries and order of work as on a worker.
//
// With two workers or more, how a thread waits depends on the processors the process may use
// (its affinity mask, read by each Initialize):
//  - a free core (fewer workers than processors): a waiting thread spins a few microseconds,
//    then polls by yielding, then sleeps. The controller polls through short steps only and
//    sleeps through longer ones on a timer set just before the step should end.
//  - workers on every core, two or more: polls yield the processor so that the thread waited
//    for gets it; the controller sleeps through long steps.
//  - one core: nothing waited for runs while a thread polls, so every wait sleeps at once.
// Sleeping is a futex on the word the other side changes. Workers poll for at most half a
// millisecond before they sleep.
//
// Invariants:
//  1. `_cycle` changes only in Move_Threads_From_Finished_To_Ready, after the step counters
//     of the new cycle are set. A hand-off makes no system call unless the other side
//     sleeps: a worker that stops polling counts itself in `_gate_sleepers` and then sleeps
//     on `_cycle` with the futex, which tests `_cycle` again in the kernel, while the
//     controller changes `_cycle` and then reads `_gate_sleepers` (all sequentially
//     consistent), so either the worker sees the new cycle or the controller sees the
//     sleeper and wakes it. `_threads_done` and `_controller_sleeping` pair the same way for
//     the controller's sleep.
//  2. The thread whose atomic increment or decrement reaches the terminal value of a counter
//     is the only one that acts on it ("the last").
//  3. A run needs at least one worker: Initialize refuses num_threads = 0.
//  4. A failed worker step ends the run at that cycle: Start_Turning throws after the
//     workers have left their loops, with the first worker's exception nested in its own;
//     Terminate_Simulation then joins them.
//  5. Terminate never waits on a worker at the gate: workers of a run that was initialised
//     but never turned are released first. After Terminate no worker is in a run.
//  6. Initialize either brings every worker into the run or none stays behind: when the
//     system refuses a thread, the ones in the run are released before the failure is raised.
//  7. Each Initialize starts its workers and Terminate joins them, unless the application
//     asked to keep them (Set_Keep_Workers(true)): then worker i is the same thread in every
//     run, and after its run it parks in its home (polling for a while, then asleep on
//     `call`) until Initialize calls workers [0, num_threads) back by moving their `call`
//     on; a run with more workers starts the missing ones. Creating and joining the threads
//     costs a run about a hundred microseconds on a virtual machine, a visible share of a
//     small model's whole run when a program makes many. A replaced starter is asked for
//     every worker of every run. Kept threads are joined when keeping is switched off (at the
//     next Initialize) and when the World is destroyed at exit; a forked child forgets them.
//
// The iteration hook (Set_Iteration_Hook) runs on the controlling thread (the one in
// Start_Turning) after a cycle, while every worker is parked: once for each iteration i
// that has finished, in order, for i in [iteration before the cycle, min(iteration after
// it, num_iterations)), before the run stops. A 100-iteration run calls it for exactly
// 0 .. 99, also when the clock jumps over iterations (each one jumped over gets its call)
// or runs out of work early. A cycle that stays in one iteration (sub-iterations) calls
// nothing. Without a hook and without a progress line a cycle costs one branch more. (A
// run that runs out of work far below a huge limit gets a call for every iteration up to
// the limit; a model with such a limit stops the run from its hook once it has seen its
// last iteration.)
//  - The hook may read and change the fields of live objects, count them (Live_Count) and
//    visit them (For_Each_Live), log and write output, and end the run:
//    Stop_After_This_Iteration ends it at this boundary (no further calls, then the normal
//    final line); Stop_Mid_Simulation works as from a handler. Allocating, releasing and
//    scheduling objects belong in handlers, not in the hook.
//  - A hook that throws ends the run: the workers are released and leave their loops, and
//    Start_Turning rethrows the hook's exception; Terminate_Simulation then joins them and
//    the World can be initialised again.
//  - The hook stays set across Initialize_Simulation and is cleared by
//    Terminate_Simulation (a hook usually holds the run's own state). It may be set or
//    cleared only while no run turns.
// The progress line (Progress_Line.h) is driven from the same place; it shows on standard
// error only when that is a terminal, and Set_Progress_Line(false) switches it off. Both run
// when both are on.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <quarnel/Globals.h>
#include <quarnel/Progress_Line.h>
#include <quarnel/Simulation_Control.h>

namespace quarnel {

class Simulation_Engine;
class Measures;

class World {
 public:
  static World& Instance();
  static Simulation_Engine& simulation_engine();

  // Validates and applies `config`, starts the workers, then initialises every registered
  // component manager. While a run turns (from a handler or the iteration hook) it is a
  // fatal error: "... a run is already in progress ...".
  static void Initialize_Simulation(Simulation_Configuration& config);
  // Joins the workers, empties the engine, terminates every registered manager.
  static void Terminate_Simulation();

  void Initialize(Simulation_Configuration& config);
  // Runs the simulation to its end; returns once the workers have left their loops.
  void Start_Turning(std::filesystem::path output_directory);
  void Stop_Turning();
  void Stop_Mid_Simulation();
  void Update_Num_Iterations(int num_iterations);
  // Continues a saved run: the clock starts at Revision(iteration, 0) instead of (0, 0), so the
  // first cycle is that revision (or the first later one at which an object is due) and the
  // iteration hook's first call is for `iteration`. Objects made afterwards must be scheduled
  // at or after it. REQUIRES: controlling thread, the run set up (Initialize), not turning.
  void Resume_At(uint32_t iteration);
  void Terminate();

  // Worker side of the barrier.
  void Check_In();             // a new worker reports in; the last one wakes Initialize
  void Wait_At_Finish_Gate();  // returns once the gate has opened past this worker's cycle
  void Count_Down_Step();      // this worker finished its step; the last one wakes the controller
  void Count_Exit();           // this worker left its loop; the last one wakes the controller

  // Where a kept worker waits between runs (invariant 7): the controller moves `call` on to
  // bring it into the next run, with `retire` set to make it leave instead.
  struct alignas(__cache_line_size) Worker_Home {
    std::atomic<uint32_t> call{0};
    std::atomic<bool> retire{false};
    // Controlling thread: wakes the parked worker (into a run, or out with `retire` set).
    void Call() {
      call.fetch_add(1, std::memory_order_release);
      call.notify_one();
    }
  };
  // The home of worker `thread_id`, read once when its thread starts; null when the thread
  // leaves after its run.
  Worker_Home* Home_Of(int thread_id);
  // After the worker's run: returns true once the controller calls it into the next run
  // (`answered`, the last call it answered, moves on), false when it is to leave.
  bool Park(Worker_Home& home, uint32_t& answered);
  // This worker's step failed with `cause`; counts it as done with the step. The first cause
  // of a run is kept: Start_Turning's exception carries it nested (std::rethrow_if_nested).
  void Throw_Exception(std::exception_ptr cause = nullptr);
  void Move_Threads_From_Finished_To_Ready();

  // `hook(i)` after each finished iteration i (see above); null clears it.
  // REQUIRES: no run turning (a fatal error otherwise).
  void Set_Iteration_Hook(std::function<void(uint32_t iteration)> hook);
  // The model's shared state, which handlers and the hook reach through Model_State<T>()
  // (Model.h): `state` of the type whose key is `type_key` (named `type_name` in errors);
  // null detaches. Cleared by Terminate_Simulation. REQUIRES: no run turning (a fatal error
  // otherwise).
  void Attach_Model_State(void* state, const void* type_key, const char* type_name);
  // The attached state: one load, read by handlers on the hot path.
  void* model_state() const { return _model_state; }
  // A fatal error unless a state of the type keyed `type_key` is attached (checked builds).
  void Check_Model_State(const void* type_key, const char* type_name) const;
  // The run's measures (Measures.h): their parts are made for this run's threads, and they are
  // combined after each finished iteration, before the hook; null detaches. Cleared by
  // Terminate_Simulation. REQUIRES: the run set up (Initialize), not turning.
  void Attach_Measures(Measures* measures);
  Measures* measures() const { return _measures; }
  // Ends the run at the boundary whose hook is running. REQUIRES: called from the iteration
  // hook (a fatal error otherwise; a handler uses Stop_Mid_Simulation).
  void Stop_After_This_Iteration();
  // Asks the run that turns, or the next one to turn, to stop at the end of the iteration
  // being stepped: the controller ends it at the first cycle boundary at which an iteration
  // has finished, after that iteration's hook calls, with the normal final line, as
  // Stop_After_This_Iteration does; a run asked before it turns stops before its first step.
  // The request stays until Clear_Stop_Request, so every later run stops at once too (a
  // program asked to stop runs nothing more). Async-signal-safe, any thread: one lock-free
  // atomic store, so a SIGINT handler may call it.
  static void Request_Stop() noexcept { _stop_requested.store(true, std::memory_order_relaxed); }
  static void Clear_Stop_Request() noexcept { _stop_requested.store(false, std::memory_order_relaxed); }
  static bool stop_requested() noexcept { return _stop_requested.load(std::memory_order_relaxed); }
  // Whether the last run that turned was ended by Request_Stop before its last iteration (its
  // clock, iteration(), then tells where). Controlling thread, between runs.
  bool stopped_on_request() const { return _stopped_on_request; }
  // Whether a run shows the progress line when standard error is a terminal (default on);
  // read when a run starts turning. Controlling thread.
  void Set_Progress_Line(bool on) { _progress_wanted.store(on, std::memory_order_relaxed); }
  bool progress_line() const { return _progress_wanted.load(std::memory_order_relaxed); }
  // Whether the workers outlive a run, parked until the next Initialize (invariant 7; default
  // off: each run starts and joins its own). Read by Initialize. Controlling thread.
  void Set_Keep_Workers(bool on) { _keep_wanted.store(on, std::memory_order_relaxed); }
  bool keep_workers() const { return _keep_wanted.load(std::memory_order_relaxed); }
  // True when no worker steps while the calling thread runs: no run turns, or the caller is
  // the controlling thread inside the iteration hook.
  bool Objects_At_Rest() const;

  uint32_t num_iterations() const { return _num_iterations.load(std::memory_order_relaxed); }
  uint32_t num_threads() const { return _num_threads; }
  uint32_t execution_blocks_per_thread() const { return _execution_blocks_per_thread; }
  uint32_t execution_objects_per_block() const { return _execution_objects_per_block; }
  uint32_t max_execution_objects_per_block() const { return _max_execution_objects_per_block; }
  uint32_t max_free_blocks() const { return _max_free_blocks; }
  uint32_t num_free_blocks_buffer() const { return _num_free_blocks_buffer; }
  int64_t pre_allocation_amount() const { return _pre_allocation_amount; }
  std::filesystem::path const& output_directory() const { return _output_directory; }
  bool running() const { return _running.load(std::memory_order_acquire); }
  bool exception_thrown() const { return _exception_thrown.load(std::memory_order_acquire); }
  Revision current_revision() const { return Load_Revision(_current_revision); }
  uint32_t iteration() const { return current_revision()._iteration; }

  // REQUIRES: controlling thread, every worker parked (the engine's Update).
  void Set_Current_Revision(Revision revision) { Store_Revision(_current_revision, revision); }

  // Starts the thread of worker `thread_id` running Simulation_Loop. Replaceable so that tests
  // can refuse a start as the system does when it has no thread or stack left to give.
  using Worker_Starter = std::thread (*)(int thread_id);
  static std::thread Start_Worker(int thread_id);
  static inline Worker_Starter _worker_starter = &Start_Worker;

  World(World const&) = delete;
  World& operator=(World const&) = delete;

 private:
  World();  // out of line, so that Instance() stays small enough to inline
  ~World();

  [[noreturn]] void privThrow_Worker_Failure();
  void privRecord_Failure(std::exception_ptr cause);
  void privOpen_Cycle();
  void privStart_Workers();
  void privWait_For_Step();
  void privRetire_Workers();
  void privForget_Workers_After_Fork();
  void Wake_Controller();
  // Sleeps until `wake_at` (when given), then polls for up to `poll`, then sleeps.
  void Wait_For_Workers(std::chrono::microseconds poll = std::chrono::microseconds{0},
                        std::chrono::steady_clock::time_point wake_at = {});
  void privStart_Hooks();
  bool privRun_Iteration_Hooks(uint32_t previous_iteration);
  void privEnd_Run_After_Hook_Failure();
  uint64_t privLive_Objects() const;
  bool privSpins_At_Gate() const;  // worker: whether to spin before yielding at the gate

  // How the threads of a run wait, from the cores the process may use (set by Initialize).
  enum class Waiting : uint8_t {
    free_core,     // the workers leave a core to the controller: short waits spin
    shared_cores,  // more threads than cores, on two or more: polls yield the processor
    one_core,      // every thread on one core: a wait hands the core over at once
  };

  // The controlling thread's only, and written at every cycle: how long it polls for the
  // next step, from its last steps. On lines of their own, which no worker reads.
  alignas(__cache_line_size) std::chrono::microseconds _controller_poll{0};
  std::array<std::chrono::microseconds, 8> _recent_steps{};
  uint32_t _recent_step_index = 0;
  // With a free core: the last two steps of each kind (the sub-iteration's low bits: a
  // model's phases differ in length) and how late a timed sleep of this thread wakes.
  std::array<std::array<std::chrono::nanoseconds, 2>, 4> _steps_by_kind{};
  std::chrono::nanoseconds _wake_lateness{0};
  // Cycles opened since the World was made (invariant 1), polled by the waiting workers. The
  // line also holds what a worker reads as it passes the gate and during its step (the run
  // state, the current revision, the settings), all written by the controller before it
  // opens the gate or between runs: the fetch that shows a worker the open gate brings them
  // too, where each line the controller writes at every cycle costs a worker a transfer
  // from the controller's core (hundreds of nanoseconds between distant cores of a virtual
  // machine). The counters the workers change at the end of a step are on another line.
  alignas(__cache_line_size) std::atomic<uint32_t> _cycle{0};  // also the gate's futex word
  // Workers asleep at the gate: read by the controller just after it moves `_cycle` on.
  std::atomic<uint32_t> _gate_sleepers{0};
  // The processor the controller ran on when it last opened the gate (-1: unknown).
  std::atomic<int> _controller_cpu{-1};
  std::atomic<bool> _running{false};
  Revision _current_revision = __revision_free;
  Waiting _waiting = Waiting::free_core;
  // A run of one worker: the controlling thread steps in its place (set before it starts).
  bool _step_on_controller = false;

  std::atomic<uint32_t> _num_iterations{0};  // Stop_Mid_Simulation writes it from a worker
  uint32_t _num_threads = 1;
  uint32_t _execution_blocks_per_thread = 0;
  uint32_t _execution_objects_per_block = 0;
  uint32_t _max_execution_objects_per_block = 4294967295u;
  uint32_t _max_free_blocks = 4294967295u;
  uint32_t _num_free_blocks_buffer = 0;
  // The model's state (Attach_Model_State), read by handlers at every action: in this line.
  void* _model_state = nullptr;
  int64_t _pre_allocation_amount = 0;
  std::filesystem::path _output_directory;
  const void* _model_state_type = nullptr;
  const char* _model_state_name = nullptr;
  Measures* _measures = nullptr;  // controlling thread's only

  alignas(__cache_line_size) std::atomic<uint64_t> _threads_stepping{0};
  // Set by the last worker of a step (Wake_Controller), polled and reset by the controller:
  // in the line that worker has just taken to count itself down, so that the controller's
  // next read of that line shows it the end of the step.
  std::atomic<uint32_t> _threads_done{0};  // also the controller's futex word
  // Set while the controller sleeps on `_threads_done`; read by the last worker with it.
  std::atomic<uint32_t> _controller_sleeping{0};
  // When the last worker finished (steady clock): a sleeping controller learns of it later.
  std::atomic<int64_t> _step_end{0};
  std::atomic<uint64_t> _threads_exited{0};
  std::atomic<bool> _exception_thrown{false};
  std::mutex _failure_mutex;
  std::exception_ptr _first_failure;  // guarded by `_failure_mutex`
  // Index = thread id; kept between runs with `_homes` (invariant 7).
  std::vector<std::thread> _threads;
  std::vector<std::unique_ptr<Worker_Home>> _homes;
  bool _workers_kept = false;  // this run's threads are kept after it
  bool _workers_out = false;   // workers of the current run may be in their loops

  // The iteration hook and the progress line: the controlling thread's only.
  std::function<void(uint32_t)> _iteration_hook;
  bool _hooks_this_run = false;        // a hook or the progress line runs in this run
  bool _stop_after_iteration = false;  // Stop_After_This_Iteration was called
  bool _stopped_on_request = false;    // the last run ended on Request_Stop
  static_assert(std::atomic<bool>::is_always_lock_free, "Request_Stop must be async-signal-safe");
  static inline std::atomic<bool> _stop_requested{false};
  std::atomic<bool> _progress_wanted{true};
  std::atomic<bool> _keep_wanted{false};
  Progress_Line _progress{2};  // standard error
};

// Inline: handlers reach the World at every action, and a call per action costs more than
// the guard test of the function-local static.
inline World& World::Instance() {
  static World instance;
  return instance;
}

// Body of worker thread `thread_id`; always returns null.
void* Simulation_Loop(int thread_id);

// Steps the engine once on the calling thread as worker `__thread_id`. Returns null, or the
// step's failure after logging it.
std::exception_ptr Step_Engine_Once(Revision& revision) noexcept;

}  // namespace quarnel
