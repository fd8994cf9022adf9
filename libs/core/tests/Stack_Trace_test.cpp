#include <quarnel/Stack_Trace.h>

#include <gtest/gtest.h>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <cctype>
#include <stdexcept>
#include <vector>

#include <quarnel/Fatal_Error.h>

namespace {

// Sanitizer runtimes intercept backtrace(): the interceptor's frame then takes slot 0 and
// Backtrace's own frame shows as line 1, before the caller.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kOwn_Lines = 1;
#else
constexpr int kOwn_Lines = 0;
#endif

volatile int g_after_call = 0;  // written after each call, so no call becomes a tail call

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Length of the "0x<hex digits>" that starts at `pos`, 0 if there is none.
size_t Hex_Length(const std::string& text, size_t pos) {
  if (text.compare(pos, 2, "0x") != 0) return 0;
  size_t end = pos + 2;
  while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
  return end > pos + 2 ? end - pos : 0;
}

// Checks "%-3d %p + %#zx : %s" or the short form "%-3d %p"; returns the name (empty if short).
std::string Expect_Frame_Line(const std::string& line, int number) {
  char number_column[16];
  snprintf(number_column, sizeof(number_column), "%-3d ", number);
  EXPECT_TRUE(line.starts_with(number_column)) << line;
  size_t pos = std::string(number_column).size();
  const size_t address = Hex_Length(line, pos);
  EXPECT_GT(address, 0u) << line;
  pos += address;
  if (pos >= line.size()) return "";
  EXPECT_EQ(line.compare(pos, 3, " + "), 0) << line;
  pos += 3;
  const size_t offset = line.compare(pos, 2, "0 ") == 0 ? 1 : Hex_Length(line, pos);  // %#zx prints 0 bare
  EXPECT_GT(offset, 0u) << line;
  pos += offset;
  EXPECT_EQ(line.compare(pos, 3, " : "), 0) << line;
  return pos + 3 <= line.size() ? line.substr(pos + 3) : "";
}

// Collects "<priority>|<message>" for every message of the root category.
class Captured_Log {
 public:
  Captured_Log() : _appender(new log4cpp::StringQueueAppender("captured")) {
    quarnel::Quarnel_Logging_Interface::setup_test_logger();
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%p|%m");
    _appender->setLayout(layout);
    log4cpp::Category::getRoot().addAppender(_appender);
  }
  ~Captured_Log() { log4cpp::Category::getRoot().removeAppender(_appender); }
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    for (auto& queue = _appender->getQueue(); !queue.empty(); queue.pop()) messages.push_back(queue.front());
    return messages;
  }

 private:
  log4cpp::StringQueueAppender* _appender;
};

}  // namespace

// External linkage and exported by the test executable, so dladdr can name them.
__attribute__((noinline)) std::string Trace_From_Named_Caller(int tag) {
  std::string trace = quarnel::Backtrace();
  g_after_call = tag;
  return trace;
}

__attribute__((noinline)) std::string Recurse_Then_Trace(int depth) {
  std::string trace = depth == 0 ? quarnel::Backtrace() : Recurse_Then_Trace(depth - 1);
  g_after_call = depth;
  return trace;
}

TEST(Backtrace_Test, First_Frame_Is_The_Caller_And_Lines_Are_Numbered) {
  const std::string trace = Trace_From_Named_Caller(1);
  SCOPED_TRACE(trace);
  const std::vector<std::string> lines = Lines(trace);
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) Expect_Frame_Line(lines[i], static_cast<int>(i) + 1);
  EXPECT_EQ(Expect_Frame_Line(lines[kOwn_Lines], kOwn_Lines + 1), "Trace_From_Named_Caller[abi:cxx11](int)");
  EXPECT_EQ(Expect_Frame_Line(lines[kOwn_Lines + 1], kOwn_Lines + 2),
            "Backtrace_Test_First_Frame_Is_The_Caller_And_Lines_Are_Numbered_Test::TestBody()");
}

TEST(Backtrace_Test, Deep_Stack_Shows_127_Frames_Then_Truncated) {
  const std::string trace = Recurse_Then_Trace(200);
  const std::vector<std::string> lines = Lines(trace);
  ASSERT_EQ(lines.size(), 128u);
  for (int i = kOwn_Lines; i < 127; ++i)
    EXPECT_EQ(Expect_Frame_Line(lines[i], i + 1), "Recurse_Then_Trace[abi:cxx11](int)");
  EXPECT_TRUE(trace.ends_with("\n  [truncated]\n"));
}

// "Removing signal handlers" is one of the kernel's console lines: nowhere by default in a
// program that set no logging up (this one), on standard error when they are switched on,
// never on standard output (the population program's, which calls initialize_logger, is
// checked by its own tests).
TEST(Signal_Reset_Test, Restores_Default_Handling_And_Reports_Every_Call) {
  Captured_Log log;
  void (*handler)(int) = [](int) {};
  for (int sig : {SIGINT, SIGTERM, SIGPWR, SIGUSR1}) ASSERT_NE(signal(sig, handler), SIG_ERR);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  quarnel::remove_signal_handlers();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  quarnel::Quarnel_Logging_Interface::Set_Console_Lines(true);
  testing::internal::CaptureStderr();
  quarnel::remove_signal_handlers();
  quarnel::Quarnel_Logging_Interface::Set_Console_Lines(false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Removing signal handlers\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  for (int sig : {SIGINT, SIGTERM, SIGPWR, SIGUSR1}) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(sig, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, sig == SIGUSR1 ? handler : SIG_DFL) << "signal " << sig;
  }
  signal(SIGUSR1, SIG_DFL);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"INFO|Turned off signal handler", "INFO|Turned off signal handler"}));
}

TEST(Fatal_Error_Test, Logs_Error_Block_And_Stack_Then_Throws) {
  Captured_Log log;
  testing::internal::CaptureStdout();
  int line = 0;
  std::string thrown;
  try {
    line = __LINE__ + 1;
    QUARNEL_FATAL("block " << 7 << " is broken");
  } catch (const std::runtime_error& e) {
    thrown = e.what();
  }
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(thrown, "An exception occurred, check your logs: block 7 is broken");
  const std::vector<std::string> messages = log.Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0], "ERROR|\n\tRUNTIME_ERROR at " + std::string(__FILE__) + ":" + std::to_string(line) +
                             "\n\tMessage: block 7 is broken\n\n");
  EXPECT_EQ(messages[1], "INFO|Turned off signal handler");
  EXPECT_EQ(messages[2], "ERROR|Stack trace:");
  EXPECT_TRUE(messages[3].starts_with("ERROR|1   0x")) << messages[3];
  EXPECT_NE(messages[3].find(" : Fatal_Error_Test_Logs_Error_Block_And_Stack_Then_Throws_Test::TestBody()\n"),
            std::string::npos)
      << messages[3];
}
