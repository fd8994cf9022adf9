#include <quarnel/modelkit/Program_Process.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <quarnel/World.h>

namespace quarnel::modelkit {
namespace {

// The handlers' state: written before they are installed, or atomics.
char g_name[96] = "program";
bool g_stderr_is_terminal = false;
bool g_stdout_was_closed = false;
const World* g_world = nullptr;
std::atomic<int> g_stop_signal{0};
std::atomic<const char*> g_file_to_remove{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free);

// Async-signal-safe pieces of a line.
struct Line {
  char text[320];
  size_t size = 0;
  void Add(const char* s) {
    while (*s != '\0' && size < sizeof text) text[size++] = *s++;
  }
  void Add(uint64_t n) {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = char('0' + n % 10);
      n /= 10;
    } while (n != 0);
    while (count > 0 && size < sizeof text) text[size++] = digits[--count];
  }
  void Write(int fd) const {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, text + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += size_t(n);
    }
  }
};

const char* Short_Name(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "a signal";
}

void On_Stop_Signal(int signal) {
  const int saved_errno = errno;
  Line line;
  if (g_stderr_is_terminal) line.Add("\r\033[K");  // the progress line, if one is shown
  line.Add(g_name);
  int none = 0;
  if (g_stop_signal.compare_exchange_strong(none, signal)) {
    World::Request_Stop();
    line.Add(": ");
    line.Add(Short_Name(signal));
    line.Add(
        ": the run stops at the end of the iteration being stepped (a second signal stops it at once)\n");
    line.Write(STDERR_FILENO);
    errno = saved_errno;
    return;
  }
  // The second signal: at once.
  line.Add(": ");
  line.Add(Short_Name(signal));
  line.Add(" again: stopped at once");
  if (g_world != nullptr && g_world->running()) {
    line.Add(" during iteration ");
    line.Add(uint64_t(g_world->iteration()));
  }
  line.Add("\n");
  line.Write(STDERR_FILENO);
  if (const char* file = g_file_to_remove.load(); file != nullptr) ::unlink(file);
  // Die by the signal: it is blocked while this handler runs and is delivered, with the
  // default action now, when the handler returns.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
  errno = saved_errno;
}

void Install_Stop_Handler(int signal) {
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = On_Stop_Signal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

// SIGPIPE does nothing but interrupt: a write to a pipe whose reader has gone then fails with
// EPIPE and is reported as the write error it is. A handler rather than SIG_IGN, so that a
// program this process executes starts with the default action again.
void On_Broken_Pipe(int) {}

void Install_Broken_Pipe_Handler() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = On_Broken_Pipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

void Open_Standard_Descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) g_stdout_was_closed = true;
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) continue;
    if (null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

void Prepare_Process(const std::string& name) {
  Open_Standard_Descriptors();
  std::snprintf(g_name, sizeof g_name, "%s", Printable(name).c_str());
  g_stderr_is_terminal = isatty(STDERR_FILENO) == 1;
  g_world = &World::Instance();
  ::signal(SIGXFSZ, SIG_IGN);
  Install_Broken_Pipe_Handler();
  Install_Stop_Handler(SIGINT);
  Install_Stop_Handler(SIGTERM);
}

int Stop_Signal() {
  return g_stop_signal.load();
}

bool Run_Interrupted() {
  return World::Instance().stopped_on_request() && Stop_Signal() != 0;
}

bool Run_Stopped_Early() {
  return World::Instance().stopped_on_request();
}

std::string Signal_Name(int signal) {
  if (signal == SIGINT || signal == SIGTERM) return Short_Name(signal);
  return "signal " + std::to_string(signal);
}

int Interrupted_Status(const std::string& name, const std::string& where) {
  const int signal = Stop_Signal() != 0 ? Stop_Signal() : SIGINT;
  std::cerr << name << ": interrupted by " << Signal_Name(signal) << ' ' << where << std::endl;
  return 128 + signal;
}

int Finish_Process(const std::string& name, int status) {
  // std::cout writes through C stdio's buffer (synchronised): flushing that buffer first keeps
  // the reason of a failure.
  errno = 0;
  int error = std::fflush(stdout) != 0 ? errno : 0;
  std::cout.flush();
  bool failed = error != 0 || std::ferror(stdout) != 0 || std::cout.fail();
  if (g_stdout_was_closed) {
    failed = true;
    error = EBADF;
  }
  if (failed) {
    std::cerr << name << ": could not write to standard output: "
              << (g_stdout_was_closed ? "it was closed when the program started"
                  : error != 0        ? std::strerror(error)
                                      : "a write to it failed")
              << std::endl;
    if (status == 0) status = 1;
  }
  const int signal = Stop_Signal();
  if (signal != 0 && status == 128 + signal) {
    std::cerr.flush();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
  return status;
}

void Set_File_To_Remove_On_Signal(const char* path) {
  g_file_to_remove.store(path);
}

std::string Printable(std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool c1 = c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9f;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else if (c1) {
      const unsigned char d = static_cast<unsigned char>(text[++i]);
      out += "\\xc2\\x";
      out += hex[d >> 4];
      out += hex[d & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace quarnel::modelkit
