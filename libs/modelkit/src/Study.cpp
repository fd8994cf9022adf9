#include <quarnel/modelkit/Study.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include <quarnel/Counter_Random.h>
#include <quarnel/Progress_Line.h>
#include <quarnel/modelkit/Program_Outcome.h>
#include <quarnel/modelkit/Program_Process.h>
#include <quarnel/modelkit/System_Limits.h>

#include "Study_Internals.h"

namespace quarnel::modelkit {
namespace {

using command_line_detail::Unsigned_Value;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

std::string Shell_Word(const std::string& word) {
  if (!word.empty() &&
      word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.,:=/+") ==
          std::string::npos)
    return word;
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

const Parameter_List::Entry& Entry_Of(const Parameter_List& parameters, const std::string& name) {
  for (const Parameter_List::Entry& e : parameters.entries()) {
    if (e.name == name) return e;
  }
  throw Model_Option_Error("the study varies '" + Printable(name) +
                           "', which is not a parameter of this model");
}

// The options that fix what every run does besides the design, as the design's line keeps
// them: those away from their defaults only, so that a study without them keeps the line it
// always had. --threads and --block_size are not among them: a run's series is the same on any
// number of workers and any block size.
std::string Fixed_Options(const Model_Options& base) {
  std::string text;
  if (base.size != Model_Size::small) text += "; size " + to_string(base.size);
  if (base.steps > 0) text += "; steps " + std::to_string(base.steps);
  if (base.record_every != 1) text += "; record_every " + std::to_string(base.record_every);
  if (!base.sets.empty()) {
    text += "; set";
    for (const std::string& set : base.sets) text += " " + set;
  }
  return text;
}

}  // namespace

Study_Options Read_Study_Options(const std::vector<std::string>& args) {
  Study_Options study;
  std::vector<std::string> rest;  // the options of a single run
  std::set<std::string> seen;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const bool own = option == "--vary" || option == "--sample" || option == "--replications" ||
                     option == "--jobs" || option == "--max-failures";
    if (!own) {
      if (option == "--csv") throw Model_Option_Error("option --csv: a study records into its --sqlite file");
      if (option == "--params" || option == "--overwrite")
        throw Model_Option_Error("option " + option + " is not an option of a study");
      // A study makes whole runs and goes on after a kill by itself; its runs keep no
      // checkpoints and serve no view.
      if (option == "--checkpoint" || option == "--checkpoint-every" || option == "--resume" ||
          option == "--fork")
        throw Model_Option_Error("option " + option +
                                 ": a study keeps no checkpoints; the same command after a kill makes the "
                                 "runs its file lacks");
      if (option == "--view" || option == "--port" || option == "--view-address")
        throw Model_Option_Error("option " + option + ": a study serves no live view");
      rest.push_back(option);
      continue;
    }
    if (option != "--vary" && !seen.insert(option).second)
      throw Model_Option_Error("option " + option + " is given twice");
    if (i + 1 == args.size()) throw Model_Option_Error("option " + option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--vary") {
      const size_t equals = value.find('=');
      if (equals == std::string::npos || equals == 0)
        throw Model_Option_Error("option --vary: '" + Printable(value) + "' is not NAME=V1,V2,...");
      std::vector<std::string> values;
      if (equals + 1 < value.size()) values = Split(value.substr(equals + 1), ',');
      study.vary.emplace_back(value.substr(0, equals), values);
    } else if (option == "--sample") {
      if (value.rfind("latin:", 0) != 0)
        throw Model_Option_Error("option --sample: '" + Printable(value) + "' is not latin:N");
      study.latin_points = Unsigned_Value("--sample", value.substr(6), UINT64_MAX);
      if (study.latin_points == 0) throw Model_Option_Error("option --sample: a Latin hypercube of 0 points");
      if (study.latin_points > kMax_Latin_Points)
        throw Model_Option_Error("option --sample: a Latin hypercube of " + value.substr(6) +
                                 " points; at most " + std::to_string(kMax_Latin_Points));
      // Its ranges follow, up to the next option.
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
        const std::string& range = args[++i];
        const size_t equals = range.find('='), dots = range.find("..");
        if (equals == std::string::npos || equals == 0 || dots == std::string::npos || dots < equals)
          throw Model_Option_Error("option --sample: '" + Printable(range) + "' is not NAME=LO..HI");
        study.latin.push_back(
            {range.substr(0, equals), range.substr(equals + 1, dots - equals - 1), range.substr(dots + 2)});
      }
      if (study.latin.empty()) throw Model_Option_Error("option --sample: no NAME=LO..HI follows " + value);
    } else if (option == "--replications") {
      study.replications = Unsigned_Value(option, value, 1000000000);
      if (study.replications == 0) throw Model_Option_Error("option --replications: '0' is below 1");
    } else if (option == "--jobs") {
      study.jobs = int(Unsigned_Value(option, value, 4096));
      if (study.jobs == 0) throw Model_Option_Error("option --jobs: '0' is below 1");
    } else {
      study.max_failures = Unsigned_Value(option, value, UINT64_MAX);
      if (study.max_failures == 0) throw Model_Option_Error("option --max-failures: '0' is below 1");
    }
  }
  study.base = Read_Model_Options(rest);
  if (study.base.sqlite.empty()) throw Model_Option_Error("a study needs --sqlite FILE, where its runs go");
  return study;
}

uint64_t Study_Seed(uint64_t seed, uint64_t index) {
  constexpr uint64_t study_key = uint64_t(0x7374756479) << 24;  // no model draws under it
  return Counter_Random(seed, study_key, index).U64(0) >> 1;    // below 2^63: an SQLite integer
}

Study_Design::Study_Design(const Study_Options& options, const Parameter_List& parameters)
    : _replications(options.replications) {
  if (!options.vary.empty() && options.latin_points > 0)
    throw Model_Option_Error("a study's design is a grid (--vary) or a Latin hypercube (--sample), not both");
  std::set<std::string> varied;
  for (const auto& [name, values] : options.vary) {
    Entry_Of(parameters, name);
    if (!varied.insert(name).second) throw Model_Option_Error("the study varies '" + name + "' twice");
    if (values.empty())
      throw Model_Option_Error("option --vary: '" + name + "' has no values: an empty grid");
    _axes.push_back({name, values});
    if (_points > UINT64_MAX / values.size())
      throw Model_Option_Error("the study's grid has too many points");
    _points *= values.size();
  }
  if (options.latin_points > 0) {
    _latin = true;
    _points = options.latin_points;
    for (size_t d = 0; d < options.latin.size(); ++d) {
      const Latin_Range& range = options.latin[d];
      const Parameter_List::Entry& entry = Entry_Of(parameters, range.name);
      if (!varied.insert(range.name).second)
        throw Model_Option_Error("the study varies '" + range.name + "' twice");
      if (entry.type != Parameter_Type::integer && entry.type != Parameter_Type::floating)
        throw Model_Option_Error("option --sample: '" + range.name + "' is a " + to_string(entry.type) +
                                 " parameter; a Latin hypercube samples numbers");
      const bool whole = entry.type == Parameter_Type::integer;
      auto number = [&](const std::string& text) {
        return whole ? double(Parameter_List::Parse_Whole(range.name, text, -(__int128(1) << 53),
                                                          __int128(1) << 53))
                     : Parameter_List::Parse_Floating(range.name, text, -DBL_MAX, DBL_MAX);
      };
      const double low = number(range.low), high = number(range.high);
      if (!(low <= high))
        throw Model_Option_Error("option --sample: the range of '" + range.name + "' is empty: " + range.low +
                                 ".." + range.high);
      // Stratum k of N is [low + k (high - low) / N, low + (k + 1) (high - low) / N); point j takes
      // stratum perm[j] and a uniform place within it, both drawn from the study's seed.
      Counter_Random draws(options.base.seed, Study_Seed(options.base.seed, UINT64_MAX - d), 0);
      std::vector<uint64_t> perm(_points);
      for (uint64_t j = 0; j < _points; ++j) perm[j] = j;
      for (uint64_t j = _points; j > 1; --j) std::swap(perm[j - 1], perm[draws.Next_Below(j)]);
      Axis axis{range.name, {}};
      axis.values.reserve(_points);
      for (uint64_t j = 0; j < _points; ++j) {
        const double u = (double(perm[j]) + draws.Next_Uniform()) / double(_points);
        if (whole) {
          const double span = high - low + 1;
          const double v = std::min(high, std::floor(low + u * span));
          axis.values.push_back(Parameter_List::Text_Of(__int128(v)));
        } else {
          axis.values.push_back(Parameter_List::Text_Of(std::min(high, low + u * (high - low))));
        }
      }
      _axes.push_back(std::move(axis));
    }
  }
  if (_points > kMax_Study_Runs / _replications)
    throw Model_Option_Error("the study has more than " + std::to_string(kMax_Study_Runs) +
                             " runs (its points times its replications)");
  // --steps against a design that sets the length too: the run would take one and its runs
  // row the other.
  const std::string length = parameters.length();
  if (options.base.steps > 0 && !length.empty() && varied.count(length) > 0)
    throw Model_Option_Error("option --steps: the study varies '" + length +
                             "', the length of a run; give the length by one or the other");
  _text = std::string(_latin ? "latin " + std::to_string(_points) : "grid") + "; replications " +
          std::to_string(_replications) + "; seed " + std::to_string(options.base.seed);
  for (const Axis& axis : _axes) {
    _text += "; " + axis.name + "=";
    if (_latin) {
      for (const Latin_Range& r : options.latin)
        if (r.name == axis.name) _text += r.low + ".." + r.high;
    } else {
      for (size_t k = 0; k < axis.values.size(); ++k) _text += (k ? "," : "") + axis.values[k];
    }
  }
  _text += Fixed_Options(options.base);
}

std::vector<std::string> Study_Design::Assignments(uint64_t index) const {
  uint64_t point = index / _replications;
  std::vector<std::string> sets(_axes.size());
  if (_latin) {
    for (size_t d = 0; d < _axes.size(); ++d) sets[d] = _axes[d].name + "=" + _axes[d].values[point];
    return sets;
  }
  // Mixed radix, the last axis fastest.
  for (size_t d = _axes.size(); d-- > 0;) {
    const uint64_t n = _axes[d].values.size();
    sets[d] = _axes[d].name + "=" + _axes[d].values[point % n];
    point /= n;
  }
  return sets;
}

namespace study_detail {

bool Launched_By_Mpi() {
  for (const char* variable : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_RANK", "MPI_LOCALNRANKS"}) {
    if (std::getenv(variable) != nullptr) return true;
  }
  return false;
}

namespace {

int Self_Pipe[2] = {-1, -1};

void On_Child(int) {
  const int saved = errno;
  const char byte = 0;
  [[maybe_unused]] const ssize_t ignored = ::write(Self_Pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

namespace {

constexpr const char* kLock_File = "/lock";

// The part of a scratch folder's name that names its study: FNV-1a of the study file's
// absolute path, so that only folders of the same study are taken for abandoned.
std::string Study_Key(const std::string& study_file) {
  std::error_code ignored;
  const std::string path =
      std::filesystem::weakly_canonical(std::filesystem::absolute(study_file, ignored), ignored).string();
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : path) hash = (hash ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// Locks the whole of `fd` for writing without waiting; false when another process holds it.
bool Lock(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &lock) == 0;
}

// Removes the folders `base`/`prefix`* of this user whose lock file no live process holds. The
// lock is kept until the folder is gone, so that two starts never both take it for theirs.
void Remove_Abandoned(const std::string& base, const std::string& prefix, const std::string& program) {
  std::error_code error;
  std::vector<std::string> candidates;
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    const std::string name = entry.path().filename().string();
    struct stat st;
    if (name.rfind(prefix, 0) == 0 && ::lstat(entry.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid())
      candidates.push_back(entry.path().string());
  }
  for (const std::string& path : candidates) {
    // Without a lock file it is no folder of a driver's (those get theirs before their name).
    const int fd = ::open((path + kLock_File).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    // Locked, and still the folder's lock file: another start may have removed it meanwhile.
    if (Lock(fd) && ::fstat(fd, &held) == 0 && ::lstat((path + kLock_File).c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      std::error_code failed;
      std::filesystem::remove_all(path, failed);
      if (!failed)
        std::cerr << program << ": removed the scratch folder " << Printable(path)
                  << " that a killed study left" << std::endl;
    }
    ::close(fd);
  }
}

}  // namespace

Scratch_Folder::Scratch_Folder(const std::string& study_file, const std::string& program) {
  // $TMPDIR when set; otherwise memory (/dev/shm) when there is one, since scratch files live
  // for a moment only and creating and removing files is most of a small run's cost on disk.
  const char* tmp = std::getenv("TMPDIR");
  const bool shm = ::access("/dev/shm", W_OK | X_OK) == 0;
  const std::string base = tmp != nullptr && *tmp != '\0' ? tmp : shm ? "/dev/shm" : "/tmp";
  const std::string prefix = "quarnel-study-" + Study_Key(study_file) + ".";
  Remove_Abandoned(base, prefix, program);
  // Made under a name that no other driver looks at, locked, then given the study's name: a
  // folder under that name is always locked while its maker lives.
  std::string pattern = base + "/.making-" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw Record_Error("cannot make a scratch folder in " + Printable(base) + ": " + std::strerror(errno));
  _lock = ::open((pattern + kLock_File).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (_lock < 0 || !Lock(_lock)) {
    const int error = errno;
    if (_lock >= 0) ::close(_lock);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    throw Record_Error("cannot lock a scratch folder in " + Printable(base) + ": " + std::strerror(error));
  }
  const std::string named = base + "/" + prefix + pattern.substr(pattern.size() - 6);
  _path = ::rename(pattern.c_str(), named.c_str()) == 0 ? named : pattern;
}

Scratch_Folder::~Scratch_Folder() {
  std::error_code ignored;
  std::filesystem::remove_all(_path, ignored);
  ::close(_lock);
}

std::string Scratch_Folder::File(uint64_t index, const char* suffix) const {
  return _path + "/run-" + std::to_string(index) + suffix;
}

Child_Runs::Child_Runs() {
  if (Self_Pipe[0] < 0) {
    if (::pipe2(Self_Pipe, O_CLOEXEC | O_NONBLOCK) != 0)
      throw Record_Error("cannot make a pipe for the study");
    struct sigaction action {};
    action.sa_handler = On_Child;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
  }
}

pid_t Child_Runs::Start(const std::function<int()>& body, const std::string& err_file,
                        const std::vector<int>& cpus) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw Record_Error(std::string("cannot start a run: fork failed: ") + std::strerror(errno));
  if (pid > 0) return pid;
  // The child: it dies with the driver, writes its standard error to its own file and its
  // standard output nowhere.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (!cpus.empty()) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) CPU_SET(cpu, &set);
    ::sched_setaffinity(0, sizeof set, &set);
  }
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
  const int null = ::open("/dev/null", O_WRONLY);
  const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (null >= 0) ::dup2(null, 1);
  if (err >= 0) ::dup2(err, 2);
  int status = 1;
  try {
    status = body();
  } catch (...) {
  }
  std::fflush(nullptr);
  ::_exit(status);
}

void Child_Runs::Wait(std::chrono::milliseconds limit) {
  pollfd fd{Self_Pipe[0], POLLIN, 0};
  ::poll(&fd, 1, int(limit.count()));  // a child's end, a signal or the time
  char drain[64];
  while (::read(Self_Pipe[0], drain, sizeof drain) > 0) {
  }
}

std::string Ending_Of(int raw_status) {
  if (WIFEXITED(raw_status)) return "exit status " + std::to_string(WEXITSTATUS(raw_status));
  if (WIFSIGNALED(raw_status)) return "killed by " + Signal_Name(WTERMSIG(raw_status));
  return "ended";
}

std::string Last_Line_Of(const std::string& file) {
  std::string text = Read_Text_File(file);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t start = text.rfind('\n');
  std::string line = start == std::string::npos ? text : text.substr(start + 1);
  if (line.size() > 1000) line = line.substr(0, 1000) + "...";
  return Printable(line);
}

Outcome Outcome_Of(int raw_status, const std::string& err_file, bool stopping) {
  if (WIFEXITED(raw_status) && WEXITSTATUS(raw_status) == 0) return {Outcome::done, ""};
  const bool by_signal = WIFSIGNALED(raw_status);
  const int signal = by_signal ? WTERMSIG(raw_status) : 0;
  // A run that the study's own stop ended, or one killed from outside (made again).
  if (by_signal && (signal == SIGINT || signal == SIGTERM || signal == SIGKILL || signal == SIGHUP))
    return {stopping ? Outcome::unfinished : Outcome::killed, Ending_Of(raw_status)};
  std::string line = Last_Line_Of(err_file);
  if (line.empty()) line = "the run ended with " + Ending_Of(raw_status);
  return {Outcome::failed, line};
}

}  // namespace study_detail

namespace {

using namespace study_detail;

// The terminal's study line: runs done of total, failed, time left.
class Study_Progress {
 public:
  Study_Progress(uint64_t total, uint64_t done_before) : _total(total), _before(done_before) {
    _active = ::isatty(2) == 1;
  }
  ~Study_Progress() { Clear(); }
  void Show(uint64_t done, uint64_t failed, bool force = false) {
    if (!_active) return;
    const Clock::time_point now = Clock::now();
    if (!force && now - _last < std::chrono::milliseconds(250)) return;
    _last = now;
    const double seconds = std::chrono::duration<double>(now - _start).count();
    const uint64_t made = done + failed - _before;
    const double left = made > 0 ? seconds / double(made) * double(_total - done - failed) : -1;
    std::string line = "study: " + std::to_string(done + failed) + " of " + std::to_string(_total) +
                       " runs, " + std::to_string(failed) + " failed, ";
    line += left < 0 ? std::string("--:--")
                     : Format_Progress(0, 0, 0, left).substr(Format_Progress(0, 0, 0, left).rfind(", ") + 2);
    const std::string text = "\r" + line + "\x1b[K";
    [[maybe_unused]] const ssize_t ignored = ::write(2, text.data(), text.size());
    _shown = true;
  }
  void Clear() {
    if (!_shown) return;
    const char clear[] = "\r\x1b[K";
    [[maybe_unused]] const ssize_t ignored = ::write(2, clear, sizeof clear - 1);
    _shown = false;
  }

 private:
  uint64_t _total, _before;
  bool _active = false, _shown = false;
  Clock::time_point _start = Clock::now(), _last{};
};

// The processors this process may run on.
std::vector<int> Usable_Cpus() {
  std::vector<int> cpus;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
      if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

// The study on this machine: `jobs` child runs at a time.
int Run_Local(const Study_Options& options, const Study_Model& model, const Study_Design& design,
              Study_File& file, const Scratch_Folder& scratch) {
  const std::vector<int> cpus = Usable_Cpus();
  const int jobs = options.jobs > 0 ? options.jobs : std::max(1, int(cpus.size()));
  // When every job's workers fit on processors of their own, job slot k keeps its own: a run
  // then knows it has no spare processor and its controlling thread does not poll for one.
  const size_t threads = size_t(options.base.threads);
  const bool pinned = size_t(jobs) * threads <= cpus.size();
  std::vector<bool> slot_busy(size_t(jobs), false);
  Child_Runs children;
  struct Active {
    uint64_t index;
    int attempt;
    size_t slot;
  };
  std::map<pid_t, Active> active;
  std::deque<std::pair<uint64_t, int>> again;  // runs killed from outside, made again first
  uint64_t next = 0;
  const uint64_t total = design.runs();
  Study_Progress progress(total, file.done() + file.failed());
  bool stopped = false;
  auto next_unfinished = [&]() -> int64_t {
    while (next < total && file.Holds(next)) ++next;
    return next < total ? int64_t(next++) : -1;
  };
  // Runs that ended, with how: reaped first and added to the file after their slots have
  // been given new runs, so that the children never wait for the file.
  std::vector<std::pair<Active, Outcome>> ended;
  uint64_t failing = 0;  // of those, the failed ones
  while (true) {
    stopped = stopped || Stop_Signal() != 0;
    const bool too_many_failures =
        options.max_failures > 0 && file.failed() + failing >= options.max_failures;
    while (!stopped && !too_many_failures && int(active.size()) < jobs) {
      int attempt = 0;
      int64_t index;
      if (!again.empty()) {
        index = int64_t(again.front().first);
        attempt = again.front().second;
        again.pop_front();
      } else {
        index = next_unfinished();
      }
      if (index < 0) break;
      Study_Run run{uint64_t(index), Study_Seed(options.base.seed, uint64_t(index)),
                    design.Assignments(uint64_t(index)), scratch.File(uint64_t(index), ".db")};
      std::filesystem::remove(run.sqlite);
      const size_t slot = size_t(std::find(slot_busy.begin(), slot_busy.end(), false) - slot_busy.begin());
      const pid_t pid =
          children.Start([&] { return model.run(options.base, run); }, scratch.File(uint64_t(index), ".err"),
                         pinned ? std::vector<int>(cpus.begin() + long(slot * threads),
                                                   cpus.begin() + long((slot + 1) * threads))
                                : std::vector<int>());
      slot_busy[slot] = true;
      active[pid] = {uint64_t(index), attempt, slot};
    }
    for (auto& [a, outcome] : ended) {
      const std::string db = scratch.File(a.index, ".db");
      if (outcome.kind == Outcome::killed && a.attempt < 2) {
        again.emplace_back(a.index, a.attempt + 1);
      } else if (outcome.kind != Outcome::unfinished) {
        if (outcome.kind == Outcome::killed) outcome.kind = Outcome::failed;
        file.Add_Run(a.index, outcome, db, design.Assignments(a.index),
                     Study_Seed(options.base.seed, a.index));
      }
      if (outcome.kind == Outcome::unfinished || outcome.kind == Outcome::killed) std::filesystem::remove(db);
    }
    const bool made_again = std::any_of(ended.begin(), ended.end(),
                                        [](const auto& e) { return e.second.kind == Outcome::killed; });
    ended.clear();
    failing = 0;
    file.Commit_If_Due();
    progress.Show(file.done(), file.failed());
    if (active.empty()) {
      if (made_again && !stopped) continue;
      break;
    }
    children.Wait(std::chrono::milliseconds(250));
    if (Stop_Signal() != 0 && !stopped) {
      stopped = true;
      for (const auto& [pid, a] : active) ::kill(pid, Stop_Signal());
    }
    int raw = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &raw, WNOHANG)) > 0;) {
      const auto found = active.find(pid);
      if (found == active.end()) continue;
      const Active a = found->second;
      active.erase(found);
      slot_busy[a.slot] = false;
      const std::string err = scratch.File(a.index, ".err");
      ended.emplace_back(a, Outcome_Of(raw, err, stopped));
      failing += ended.back().second.kind == Outcome::failed;
      std::filesystem::remove(err);
    }
  }
  file.Commit();
  progress.Clear();
  return stopped ? Stop_Signal() : 0;
}

}  // namespace

int study_detail::Run_Local_Study(const Study_Options& options, const Study_Model& model,
                                  const Study_Design& design) {
  // The scratch folder first: a start of the study removes what a killed driver left, even when
  // the file then turns out to be refused.
  const Scratch_Folder scratch(options.base.sqlite, model.name);
  Study_File file(options.base.sqlite, model, design, options);
  const Clock::time_point start = Clock::now();
  const uint64_t before = file.done() + file.failed();
  const int stop = Run_Local(options, model, design, file, scratch);
  return Study_Ending(model.name, options, design, file, before, start, stop);
}

int study_detail::Study_Ending(const std::string& name, const Study_Options& options,
                               const Study_Design& design, const Study_File& file, uint64_t before,
                               Clock::time_point start, int stop) {
  const uint64_t total = design.runs(), held = file.done() + file.failed();
  if (stop != 0) {
    return Interrupted_Status(name, "after " + std::to_string(held) + " of " + std::to_string(total) +
                                        " runs; the same command makes the rest");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
  std::fflush(stdout);
  std::cout << name << " study: " << total << " runs in " << options.base.sqlite << ": " << file.done()
            << " done, " << file.failed() << " failed (" << held - before << " made now in " << elapsed
            << " s)" << std::endl;
  if (held < total) {
    std::cerr << name << ": the study stopped after " << file.failed() << " failed runs (--max-failures "
              << options.max_failures << "); the failures table says why" << std::endl;
    return 1;
  }
  if (file.failed() > 0) {
    std::cerr << name << ": " << file.failed() << " of " << total
              << " runs failed; the failures table says why" << std::endl;
    return 1;
  }
  return 0;
}

int Run_Study(const Study_Options& options, const Study_Model& model) {
  const Study_Design design(options, *model.parameters);
  // Every point's values are checked before the first run: a design that names a value the
  // model refuses (with the fixed values) stops here with one line.
  for (uint64_t p = 0; p < design.points(); ++p) model.values(design.Assignments(p * options.replications));
  for (const Latin_Range& range : options.latin) {
    model.values({range.name + "=" + range.low});
    model.values({range.name + "=" + range.high});
  }
  if (study_detail::Launched_By_Mpi()) return study_detail::Run_Over_Mpi(options, model, design);
  return study_detail::Run_Local_Study(options, model, design);
}

namespace command_line_detail {

std::string Study_Usage(const std::string& name) {
  return "Usage: " + name +
         " study --vary NAME=V1,V2,... [--vary ...] | --sample latin:N NAME=LO..HI ...\n"
         "       [--size PRESET] [--set NAME=VALUE ...] [--replications R] [--seed S] [--jobs J]\n"
         "       [--max-failures F] [--threads T] [--steps N] [--block_size B] [--record_every N] --sqlite "
         "FILE\n"
         "Runs the design (the grid of the --vary values, or N Latin-hypercube points) R times each, run i\n"
         "seeded from (S, i), J runs at a time (default: every core), into the SQLite FILE (tables study,\n"
         "runs, series, failures). The same command after a kill makes only the runs the file lacks.\n"
         "Under mpirun -np K the runs are spread over the ranks; rank 0 writes the file.\n";
}

int Study(const std::vector<std::string>& args, const std::string& name, const Parameter_List& parameters,
          const std::function<std::vector<Parameter_Value>(const Model_Options&,
                                                           const std::vector<std::string>&)>& values,
          const std::function<int(const Model_Options&, const std::vector<std::string>&)>& run) {
  Prepare_Process(name);
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  for (const std::string& a : rest) {
    if (a == "-h" || a == "--help") {
      std::cout << Study_Usage(name);
      return Finish_Process(name, 0);
    }
  }
  int status = 1;
  try {
    Study_Options options = Read_Study_Options(rest);
    if (const std::string problem = Thread_Count_Problem(options.base.threads); !problem.empty())
      throw Model_Option_Error(problem);
    options.command = name;
    for (const std::string& a : args) options.command += " " + Shell_Word(a);
    Study_Model model{name, &parameters,
                      [&](const std::vector<std::string>& sets) { return values(options.base, sets); },
                      [&](const Model_Options& base, const Study_Run& r) {
                        Model_Options o = base;
                        o.seed = r.seed;
                        o.sqlite = r.sqlite;
                        o.durable_records = false;
                        return run(o, r.sets);
                      }};
    status = Run_Study(options, model);
  } catch (const Model_Option_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << " (see " << name << " study --help)" << std::endl;
  } catch (const Record_Error& e) {
    std::cerr << name << ": " << Printable(e.what()) << std::endl;
  } catch (const std::exception& e) {
    std::cerr << name << ": the study failed: " << Printable(e.what()) << std::endl;
  }
  return Finish_Process(name, status);
}

}  // namespace command_line_detail

}  // namespace quarnel::modelkit
