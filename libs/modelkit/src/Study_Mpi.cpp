// A study over the ranks of an MPI job: rank 0 owns the study's file and hands out runs one
// at a time to the ranks that ask; ranks 1 .. K-1 make each run in a child process, as the
// local driver does, and send back its outcome and its scratch file's bytes, which rank 0 adds
// to the file. A rank asks for its next run with the result of its last, so a slow run never
// holds back the others. Without MPI at build time, a study launched by mpirun is refused.
#include <quarnel/modelkit/Program_Process.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "Study_Internals.h"

#if QUARNEL_HAVE_MPI
#include <mpi.h>
#endif

namespace quarnel::modelkit::study_detail {

#if !QUARNEL_HAVE_MPI

int Run_Over_Mpi(const Study_Options&, const Study_Model&, const Study_Design&) {
  throw Model_Option_Error(
      "this program was built without MPI and cannot spread a study over mpirun's ranks: install "
      "libopenmpi-dev and openmpi-bin, build it again, or run the study without mpirun");
}

#else

namespace {

constexpr int kResult_Tag = 1, kWork_Tag = 2;
constexpr uint64_t kNone = UINT64_MAX;  // no run: a rank's first request, or the answer "stop"
// The kind of a rank's first request when the rank cannot make runs (no scratch folder): its
// error ends the study.
constexpr uint32_t kRank_Failed = 1000;

// A rank's message to rank 0: the run it made (kNone for none), how it ended, its error line
// and its scratch file's bytes.
struct Result {
  uint64_t index = kNone;
  uint32_t kind = 0;
  std::string error;
  std::string file;

  std::string Encode() const {
    std::string bytes(sizeof index + 2 * sizeof(uint32_t), '\0');
    const uint32_t error_size = uint32_t(error.size());
    std::memcpy(bytes.data(), &index, sizeof index);
    std::memcpy(bytes.data() + 8, &kind, 4);
    std::memcpy(bytes.data() + 12, &error_size, 4);
    return bytes + error + file;
  }
  static Result Decode(const std::string& bytes) {
    Result r;
    uint32_t error_size = 0;
    std::memcpy(&r.index, bytes.data(), 8);
    std::memcpy(&r.kind, bytes.data() + 8, 4);
    std::memcpy(&error_size, bytes.data() + 12, 4);
    r.error = bytes.substr(16, error_size);
    r.file = bytes.substr(16 + error_size);
    return r;
  }
};

std::string Read_Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Send_Work(int rank, uint64_t index) {
  MPI_Send(&index, 1, MPI_UINT64_T, rank, kWork_Tag, MPI_COMM_WORLD);
}

// Rank 0: answers every request until each rank has been told to stop. A file that cannot be
// opened still answers them (with stop) before its error goes on, so no rank waits forever.
int Coordinate(int ranks, const Study_Options& options, const Study_Model& model,
               const Study_Design& design) {
  std::unique_ptr<Study_File> file;
  std::exception_ptr error;
  try {
    file = std::make_unique<Study_File>(options.base.sqlite, model, design, options);
  } catch (...) {
    error = std::current_exception();
  }
  const auto start = std::chrono::steady_clock::now();
  const uint64_t before = file ? file->done() + file->failed() : 0;
  std::unique_ptr<Scratch_Folder> scratch;
  if (!error) {
    try {
      scratch = std::make_unique<Scratch_Folder>(options.base.sqlite, model.name);
    } catch (const std::exception& e) {
      error = std::make_exception_ptr(Record_Error(std::string("rank 0: ") + e.what()));
    }
  }
  std::deque<std::pair<uint64_t, int> > again;  // runs killed from outside: made again, twice at most
  std::vector<int> attempts_of(size_t(ranks), 0);
  uint64_t next = 0;
  int working = ranks - 1;
  bool stopped = false;
  while (working > 0) {
    int arrived = 0;
    MPI_Status status;
    MPI_Iprobe(MPI_ANY_SOURCE, kResult_Tag, MPI_COMM_WORLD, &arrived, &status);
    if (!arrived) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    int size = 0;
    MPI_Get_count(&status, MPI_BYTE, &size);
    std::string bytes(size_t(size), '\0');
    MPI_Recv(bytes.data(), size, MPI_BYTE, status.MPI_SOURCE, kResult_Tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    const Result result = Result::Decode(bytes);
    stopped = stopped || Stop_Signal() != 0;
    if (result.kind == kRank_Failed && !error)
      error = std::make_exception_ptr(
          Record_Error("rank " + std::to_string(status.MPI_SOURCE) + ": " + result.error));
    if (file && !error && result.index != kNone) {
      Outcome outcome{Outcome::Kind(result.kind), result.error};
      const int attempt = attempts_of[size_t(status.MPI_SOURCE)];
      if (outcome.kind == Outcome::killed && attempt < 2) {
        again.emplace_back(result.index, attempt + 1);
      } else if (outcome.kind != Outcome::unfinished) {
        if (outcome.kind == Outcome::killed) outcome.kind = Outcome::failed;
        const std::string db = scratch->File(result.index, ".db");
        std::ofstream(db, std::ios::binary) << result.file;
        try {
          file->Add_Run(result.index, outcome, db, design.Assignments(result.index),
                        Study_Seed(options.base.seed, result.index));
          file->Commit_If_Due();
        } catch (...) {
          error = std::current_exception();
        }
      }
    }
    uint64_t work = kNone;
    int attempt = 0;
    const bool too_many_failures = file && options.max_failures > 0 && file->failed() >= options.max_failures;
    if (file && !error && !stopped && !too_many_failures) {
      if (!again.empty()) {
        std::tie(work, attempt) = again.front();
        again.pop_front();
      } else {
        while (next < design.runs() && file->Holds(next)) ++next;
        if (next < design.runs()) work = next++;
      }
    }
    attempts_of[size_t(status.MPI_SOURCE)] = attempt;
    Send_Work(status.MPI_SOURCE, work);
    if (work == kNone) --working;
  }
  if (error) std::rethrow_exception(error);
  file->Commit();
  return Study_Ending(model.name, options, design, *file, before, start, stopped ? Stop_Signal() : 0);
}

// Ranks 1 .. K-1: ask, make the run, send it back with the next request. A rank that cannot
// make runs says why in its first request and ends when told to stop, with status 1; rank 0
// reports it. Returns the rank's exit status.
int Work(const Study_Options& options, const Study_Model& model, const Study_Design& design) {
  std::unique_ptr<Scratch_Folder> scratch;
  std::unique_ptr<Child_Runs> children;
  Result result;
  try {
    scratch = std::make_unique<Scratch_Folder>(options.base.sqlite, model.name);
    children = std::make_unique<Child_Runs>();
  } catch (const std::exception& e) {
    result.kind = kRank_Failed;
    result.error = e.what();
  }
  while (true) {
    const std::string bytes = result.Encode();
    MPI_Send(bytes.data(), int(bytes.size()), MPI_BYTE, 0, kResult_Tag, MPI_COMM_WORLD);
    uint64_t index = kNone;
    MPI_Recv(&index, 1, MPI_UINT64_T, 0, kWork_Tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    if (index == kNone || result.kind == kRank_Failed) return result.kind == kRank_Failed ? 1 : 0;
    const Study_Run run{index, Study_Seed(options.base.seed, index), design.Assignments(index),
                        scratch->File(index, ".db")};
    const std::string err = scratch->File(index, ".err");
    std::remove(run.sqlite.c_str());
    pid_t pid = -1;
    try {
      pid = children->Start([&] { return model.run(options.base, run); }, err);
    } catch (const std::exception& e) {  // no fork: this rank can make no more runs
      result = Result{kNone, kRank_Failed, e.what(), ""};
      continue;
    }
    int raw = 0;
    bool forwarded = false;
    while (::waitpid(pid, &raw, WNOHANG) == 0) {
      if (Stop_Signal() != 0 && !forwarded) {
        ::kill(pid, Stop_Signal());
        forwarded = true;
      }
      children->Wait(std::chrono::milliseconds(250));
    }
    const Outcome outcome = Outcome_Of(raw, err, Stop_Signal() != 0);
    result = Result{index, uint32_t(outcome.kind), outcome.error,
                    outcome.kind == Outcome::done || outcome.kind == Outcome::failed ? Read_Bytes(run.sqlite)
                                                                                     : std::string()};
    std::remove(run.sqlite.c_str());
    std::remove(err.c_str());
  }
}

}  // namespace

int Run_Over_Mpi(const Study_Options& options, const Study_Model& model, const Study_Design& design) {
  // The ranks fork their runs, which never call MPI; the library need not warn of it.
  ::setenv("OMPI_MCA_mpi_warn_on_fork", "0", 0);
  MPI_Init(nullptr, nullptr);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  int status = 0;
  try {
    if (ranks == 1) {
      status = Run_Local_Study(options, model, design);
    } else if (rank == 0) {
      status = Coordinate(ranks, options, model, design);
    } else {
      status = Work(options, model, design);
    }
  } catch (...) {
    MPI_Finalize();
    throw;
  }
  MPI_Finalize();
  return status;
}

#endif

}  // namespace quarnel::modelkit::study_detail
