#include <quarnel/Logger.h>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <log4cpp/BasicLayout.hh>
#include <log4cpp/PassThroughLayout.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <log4cpp/SimpleLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using quarnel::Quarnel_Logging_Interface;
using Q = quarnel::Quarnel_Logging_Interface;

namespace {

std::string Read_File(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void Write_File(const fs::path& file, const std::string& text) {
  std::ofstream(file) << text;
}

// A line of the default layout: ISO 8601 time stamp, blank, then `rest` ("[  INFO] text").
void Expect_Line(const std::string& line, const std::string& rest) {
  const std::string stamp = "0000-00-00 00:00:00,000";  // '0' stands for any digit
  ASSERT_GE(line.size(), stamp.size()) << line;
  for (size_t i = 0; i < stamp.size(); ++i) {
    const bool ok =
        stamp[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == stamp[i];
    EXPECT_TRUE(ok) << "time stamp of: " << line;
  }
  EXPECT_EQ(line.substr(stamp.size()), " " + rest);
}

log4cpp::Appender* Appender_Named(const log4cpp::Category& category, const std::string& name) {
  for (log4cpp::Appender* appender : category.getAllAppenders()) {
    if (appender->getName() == name) return appender;
  }
  return nullptr;
}

fs::path File_Of(log4cpp::Appender* appender) {
  return log4cpp::QuarnelFileAppender::GetFilename(*dynamic_cast<log4cpp::FileAppender*>(appender));
}

}  // namespace

// Each test runs in its own empty working folder and leaves the root category bare.
class Logger_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    _saved_cwd = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "quarnel_logger_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    _dir = pattern;
    fs::current_path(_dir);
  }
  void TearDown() override {
    log4cpp::Category::getRoot().removeAllAppenders();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
    fs::current_path(_saved_cwd);
    fs::remove_all(_dir);
  }

  // Runs `body` in a re-executed child process in which logging was never set up.
  void In_Fresh_Process(const std::function<void()>& body) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
          body();
          const int code = testing::Test::HasFailure() ? 1 : 0;
          fs::current_path(_saved_cwd);
          fs::remove_all(_dir);
          std::exit(code);
        },
        testing::ExitedWithCode(0), "");
  }

  // A failed set-up is reported once on standard error, as one line that ends with a
  // newline and names the true reason and the true line of Logger.cpp (the one that runs
  // `step`); it returns false and leaves a console fallback that the string shortcuts and
  // Log() streams both reach. Before set-up a program that chose nothing is quiet.
  void Expect_Fallback_After_Failed_Set_Up(const std::string& expected_what, const std::string& step) {
    In_Fresh_Process([&] {
      EXPECT_EQ(Q::Log(), nullptr);
      testing::internal::CaptureStderr();
      Q::error("before set-up");
      testing::internal::CaptureStdout();
      EXPECT_FALSE(Q::initialize_logger("log4cpp.property", "quarnel_progress.log", false));
      const std::string errors = testing::internal::GetCapturedStderr();
      ASSERT_NE(Q::Log(), nullptr);
      Q::info("not shown on the console");
      Q::notice("after the failure");
      *Q::Log() << log4cpp::Priority::ERROR << "a fatal-error stream";
      Q::flush();
      const std::vector<std::string> console = Lines(testing::internal::GetCapturedStdout());

      const std::string head = expected_what + ". error in libs/core/Logger.cpp, line ";
      ASSERT_TRUE(errors.starts_with(head)) << errors;
      ASSERT_TRUE(errors.ends_with("\n")) << errors;
      EXPECT_EQ(Lines(errors).size(), 1u) << errors;
      const int line = std::atoi(errors.c_str() + head.size());
      const std::vector<std::string> source =
          Lines(Read_File(fs::path(QUARNEL_SOURCE_DIR) / "libs/core/src/Logger.cpp"));
      ASSERT_GT(line, 0) << errors;
      ASSERT_LE(size_t(line), source.size()) << errors;
      EXPECT_NE(source[size_t(line) - 1].find(step), std::string::npos)
          << "line " << line << " of Logger.cpp: " << source[size_t(line) - 1];
      ASSERT_EQ(console.size(), 2u);
      Expect_Line(console[0], "[NOTICE] after the failure");
      Expect_Line(console[1], "[ ERROR] a fatal-error stream");
    });
  }

  fs::path _saved_cwd;
  fs::path _dir;
};

TEST_F(Logger_Test, Defaults_Archive_The_Old_Log_Then_Send_Every_Line_To_File_And_Notice_Up_To_Console) {
  fs::create_directory("log");
  Write_File("log/quarnel_progress.log", "previous run\n");
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Q::initialize_logger("log4cpp.property", "quarnel_progress.log", false));
  Q::debug("a debug line");  // the root category passes INFO and more severe
  Q::info("an info line");
  Q::notice("a notice line");
  Q::error("an error line");
  Q::flush();
  const std::vector<std::string> console = Lines(testing::internal::GetCapturedStdout());

  EXPECT_EQ(Read_File("log/archive1/quarnel_progress.log"), "previous run\n");
  const std::vector<std::string> file = Lines(Read_File("log/quarnel_progress.log"));
  ASSERT_EQ(file.size(), 4u);
  Expect_Line(file[0], "[  INFO] Successfully initialized logging from defaults");
  Expect_Line(file[1], "[  INFO] an info line");
  Expect_Line(file[2], "[NOTICE] a notice line");
  Expect_Line(file[3], "[ ERROR] an error line");
  ASSERT_EQ(console.size(), 2u);
  Expect_Line(console[0], "[NOTICE] a notice line");
  Expect_Line(console[1], "[ ERROR] an error line");

  const log4cpp::Category& root = log4cpp::Category::getRoot();
  EXPECT_EQ(Q::Log(), &root);
  EXPECT_EQ(root.getAllAppenders().size(), 2u);
  auto* rolling = dynamic_cast<log4cpp::RollingFileAppender*>(Appender_Named(root, "file"));
  ASSERT_NE(rolling, nullptr);
  EXPECT_EQ(rolling->getMaxFileSize(), 10485760u);
  EXPECT_EQ(rolling->getMaxBackupIndex(), 10u);
  EXPECT_EQ(rolling->getMode(), 0644u);
  EXPECT_EQ(rolling->getThreshold(), log4cpp::Priority::DEBUG);
  ASSERT_NE(Appender_Named(root, "cout"), nullptr);
  EXPECT_EQ(Appender_Named(root, "cout")->getThreshold(), log4cpp::Priority::NOTICE);
}

// Property: once set up, lines logged from several threads at once all reach the progress
// log whole, each exactly once (the program adds no lock of its own).
TEST_F(Logger_Test, Concurrent_Lines_Arrive_Whole_And_Once) {
  ASSERT_TRUE(Q::initialize_logger("log4cpp.property", "quarnel_progress.log", false));
  constexpr int kThreads = 4, kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int n = 0; n < kLines; ++n) {
        if (n % 2 == 0) {
          Q::info("thread " + std::to_string(t) + " line " + std::to_string(n));
        } else {
          *Q::Log() << log4cpp::Priority::INFO << "thread " << t << " line " << n;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> file = Lines(Read_File("log/quarnel_progress.log"));
  ASSERT_EQ(file.size(), 1u + kThreads * kLines);
  std::set<std::string> seen;
  for (size_t i = 1; i < file.size(); ++i) {
    ASSERT_GT(file[i].size(), 23u) << file[i];
    seen.insert(file[i].substr(23));
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kLines; ++n) {
      EXPECT_EQ(seen.count(" [  INFO] thread " + std::to_string(t) + " line " + std::to_string(n)), 1u);
    }
  }
}

TEST_F(Logger_Test, Property_File_Defines_All_Appenders) {
  fs::create_directory("log");
  Write_File("log/log4cpp.property",
             "log4cpp.rootCategory=INFO, A1\n"
             "log4cpp.appender.A1=FileAppender\n"
             "log4cpp.appender.A1.fileName=log/custom.log\n"
             "log4cpp.appender.A1.layout=PatternLayout\n"
             "log4cpp.appender.A1.layout.ConversionPattern=%p %m%n\n");
  ASSERT_TRUE(Q::initialize_logger("log4cpp.property", "quarnel_progress.log", false));
  EXPECT_EQ(log4cpp::Category::getRoot().getAllAppenders().size(), 1u);
  EXPECT_FALSE(fs::exists("log/quarnel_progress.log"));
  EXPECT_EQ(Read_File("log/custom.log"),
            "INFO Successfully initialized logging from property file: ./log/log4cpp.property\n");
}

TEST_F(Logger_Test, Unwritable_Log_Folder_Falls_Back_To_Console) {
  Write_File("log", "a regular file where the log folder belongs\n");
  Expect_Fallback_After_Failed_Set_Up("The log folder ./log/ is a file, not a folder",
                                      "Make_Log_Folder(base)");
}

TEST_F(Logger_Test, Rejected_Property_File_Falls_Back_To_Console) {
  fs::create_directory("log");
  Write_File("log/log4cpp.property",
             "log4cpp.rootCategory=INFO, A1\n"
             "log4cpp.appender.A1=NoSuchAppender\n");
  Expect_Fallback_After_Failed_Set_Up("Appender 'A1' has unknown type 'NoSuchAppender'",
                                      "PropertyConfigurator::configure");
}

// log4cpp would call a property folder missing ("does not exist") and an unreadable file a
// missing category: the true reason is given instead.
TEST_F(Logger_Test, A_Property_Folder_Or_An_Unreadable_Property_File_Is_Named_As_Such) {
  fs::create_directories("log/log4cpp.property");
  Expect_Fallback_After_Failed_Set_Up("The log property file ./log/log4cpp.property is a folder, not a file",
                                      "Require_Readable(property_file)");
  fs::remove("log/log4cpp.property");
  // Unreadable even for root, who ignores permission bits: a write-only file of /proc/sys.
  const fs::path write_only = "/proc/sys/vm/compact_memory";
  if (geteuid() == 0) {
    if (!fs::exists(write_only)) GTEST_SKIP() << "no write-only file to read as root";
    fs::create_symlink(write_only, "log/log4cpp.property");
  } else {
    Write_File("log/log4cpp.property", "log4cpp.rootCategory=INFO\n");
    fs::permissions("log/log4cpp.property", fs::perms::none);
  }
  Expect_Fallback_After_Failed_Set_Up(
      "Could not read the log property file ./log/log4cpp.property: Permission denied",
      "Require_Readable(property_file)");
}

// log4cpp itself would accept a progress log it cannot open and drop every line.
TEST_F(Logger_Test, Unopenable_Progress_Log_Is_A_Failure_Not_A_Silent_Success) {
  fs::create_directories("log/quarnel_progress.log");
  Expect_Fallback_After_Failed_Set_Up(
      "Could not open the log file ./log/quarnel_progress.log: it is a folder",
      "Add_Default_Appenders(root, progress_log, append)");
}

// A model program that sets no logging up (Quiet_Model_Program.cpp, linked as a user links)
// writes only its own lines: nothing of the kernel's on standard output or standard error,
// neither the run's final line nor a caught fatal error's report, whose text then does not
// send the user to logs that do not exist. Set_Console_Lines(true) brings the kernel's lines
// to standard error, and still nothing to standard output.
TEST_F(Logger_Test, A_Model_Program_Is_Quiet_By_Default_And_Its_Switch_Sends_The_Lines_To_Standard_Error) {
  auto run = [](const std::string& mode) {
    const std::string command = std::string("'") + QUIET_MODEL_PROGRAM + "' " + mode + " >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    return std::tuple{status, Read_File("out.txt"), Read_File("err.txt")};
  };
  const std::string reason =
      "Revision: the iteration is -1; iterations and sub-iterations are whole numbers from 0 to 4294967295";
  const std::string program_lines = "program: 12 calls\nprogram: caught: An exception occurred: " + reason +
                                    "\nprogram: the worker's cause: An exception occurred: " + reason + "\n";
  for (const char* mode : {"default", "off"}) {
    const auto [status, out, err] = run(mode);
    EXPECT_EQ(status, 0) << mode;
    EXPECT_EQ(out, program_lines) << mode;
    EXPECT_EQ(err, "") << mode;
  }
  const auto [status, out, err] = run("on");
  EXPECT_EQ(status, 0);
  std::string checked_lines = program_lines;
  for (size_t at = 0; (at = checked_lines.find("occurred: ", at)) != std::string::npos;) {
    checked_lines.replace(at, 10, "occurred, check your logs: ");
    at += 27;
  }
  EXPECT_EQ(out, checked_lines);
  for (const char* line :
       {"Stop_Turning finished at iteration Rev(4,0)/4\n",
        "\tRUNTIME_ERROR at libs/core/Globals.cpp:", "Removing signal handlers\n", "Stack trace:\n"}) {
    EXPECT_NE(err.find(line), std::string::npos) << line << " in:\n" << err;
  }
  EXPECT_EQ(fs::exists("log"), false) << "no log folder either";
}

TEST_F(Logger_Test, Archive_Fills_Gaps_And_Moves_Only_The_Exact_File) {
  fs::create_directories("log/archive1");
  fs::create_directories("log/archive3");
  Write_File("log/quarnel_progress.log", "old run\n");
  Write_File("log/quarnel_progress.log.1", "old backup\n");
  Q::archive_old_logfile("log", "quarnel_progress.log");
  EXPECT_EQ(Read_File("log/archive2/quarnel_progress.log"), "old run\n");
  EXPECT_FALSE(fs::exists("log/quarnel_progress.log"));
  EXPECT_EQ(Read_File("log/quarnel_progress.log.1"), "old backup\n");

  // Only backups and directories of the same name are left: nothing moves, nothing is created.
  fs::create_directory("log/quarnel_progress.log");
  Q::archive_old_logfile("log", "quarnel_progress.log");
  EXPECT_TRUE(fs::is_directory("log/quarnel_progress.log"));
  EXPECT_FALSE(fs::exists("log/archive4"));
  fs::remove("log/quarnel_progress.log");
  fs::create_directory_symlink("archive1", "log/quarnel_progress.log");
  Q::archive_old_logfile("log", "quarnel_progress.log");
  EXPECT_TRUE(fs::is_symlink("log/quarnel_progress.log"));
  EXPECT_FALSE(fs::exists("log/archive4"));
  EXPECT_NO_THROW(Q::archive_old_logfile("missing", "quarnel_progress.log"));
  EXPECT_FALSE(fs::exists("missing"));

  // Any kind of file takes a number; a freed number is used again.
  Write_File("log/archive4", "");
  EXPECT_EQ(quarnel::get_next_dir_in_sequence("log", "archive"), fs::path("log/archive5"));
  fs::remove_all("log/archive1");
  EXPECT_EQ(quarnel::get_next_dir_in_sequence("log", "archive"), fs::path("log/archive1"));
}

// Programs started together in one folder each archive the log they find and start their own.
// No start may fail because another moved the old log first, and no log may be lost or replace
// another in an archive folder.
TEST_F(Logger_Test, Programs_Starting_Together_Lose_No_Log_And_Report_No_Failure) {
  constexpr int kPrograms = 8;
  std::multiset<std::string> expected, found;
  for (int round = 0; round < 15; ++round) {
    fs::remove_all("log");
    fs::create_directory("log");
    Write_File("log/quarnel_progress.log", "old run\n");
    expected = {"old run\n"};
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kPrograms; ++i) {
      const pid_t child = fork();
      ASSERT_NE(child, -1);
      if (child == 0) {
        close(go[1]);
        char byte;
        (void)!read(go[0], &byte, 1);  // every child waits here until the parent closes the pipe
        try {
          Q::archive_old_logfile("log", "quarnel_progress.log");
        } catch (std::exception const& e) {
          std::fprintf(stderr, "program %d: %s\n", i, e.what());
          _exit(1);
        }
        // Its own log, unless another program has made one since: exit 10 if it is there.
        const int fd = open("log/quarnel_progress.log", O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) _exit(0);
        const std::string text = "run " + std::to_string(i) + "\n";
        (void)!write(fd, text.data(), text.size());
        close(fd);
        _exit(10);
      }
      children.push_back(child);
    }
    close(go[0]);
    close(go[1]);
    for (size_t i = 0; i < children.size(); ++i) {
      int status = 0;
      ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_NE(WEXITSTATUS(status), 1) << "program " << i << " failed to archive, round " << round;
      if (WEXITSTATUS(status) == 10) expected.insert("run " + std::to_string(i) + "\n");
    }
    found.clear();
    for (const fs::directory_entry& entry : fs::directory_iterator("log")) {
      if (entry.path().filename() == "quarnel_progress.log") {
        found.insert(Read_File(entry.path()));
        continue;
      }
      ASSERT_TRUE(entry.is_directory()) << entry.path();
      ASSERT_TRUE(fs::exists(entry.path() / "quarnel_progress.log")) << "an empty " << entry.path();
      found.insert(Read_File(entry.path() / "quarnel_progress.log"));
    }
    ASSERT_EQ(found, expected) << "round " << round;
  }
}

TEST_F(Logger_Test, Output_Folder_Takes_Over_The_Rolling_Log_And_Leaves_The_Console) {
  testing::internal::CaptureStdout();
  ASSERT_TRUE(Q::initialize_logger("log4cpp.property", "quarnel_progress.log", false));
  log4cpp::Category& root = log4cpp::Category::getRoot();
  log4cpp::Appender* console = Appender_Named(root, "cout");
  Q::info("before the move");
  const fs::path out = _dir / "run7" / "nested";
  Q::set_output_folder(out);
  Q::info("after the move");
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(Q::get_output_folder(), out / "log");
  EXPECT_EQ(Appender_Named(root, "cout"), console);
  EXPECT_EQ(root.getAllAppenders().size(), 2u);
  auto* rolling = dynamic_cast<log4cpp::RollingFileAppender*>(Appender_Named(root, "file"));
  ASSERT_NE(rolling, nullptr);
  EXPECT_EQ(File_Of(rolling), out / "log" / "quarnel_progress.log");
  EXPECT_EQ(rolling->getMaxFileSize(), 10485760u);
  EXPECT_EQ(rolling->getMaxBackupIndex(), 10u);
  EXPECT_EQ(rolling->getMode(), 0644u);
  EXPECT_EQ(rolling->getThreshold(), log4cpp::Priority::DEBUG);
  EXPECT_FALSE(fs::exists("log/quarnel_progress.log"));
  const std::vector<std::string> file = Lines(Read_File(out / "log" / "quarnel_progress.log"));
  ASSERT_EQ(file.size(), 3u);
  Expect_Line(file[1], "[  INFO] before the move");
  Expect_Line(file[2], "[  INFO] after the move");
}

TEST_F(Logger_Test, Plain_File_Appender_Moves_As_Plain_And_Unknown_Layout_Leaves_It_In_Place) {
  log4cpp::Category& category = log4cpp::Category::getInstance("plain_file_test");
  auto* plain = new log4cpp::FileAppender("plain", (_dir / "plain.log").string(), false, 0600);
  plain->setLayout(new log4cpp::SimpleLayout());
  category.addAppender(plain);
  category.error("first");
  Q::set_output_folder(_dir / "out");  // _pLog is not set up here: only `category` moves below
  Q::change_appender_folder(&category);
  category.error("second");
  log4cpp::Appender* moved = Appender_Named(category, "plain");
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(dynamic_cast<log4cpp::RollingFileAppender*>(moved), nullptr);
  EXPECT_EQ(static_cast<log4cpp::FileAppender*>(moved)->getMode(), 0600u);
  EXPECT_EQ(Read_File(_dir / "out" / "log" / "plain.log"), "ERROR   : first\nERROR   : second\n");

  // A layout that cannot be copied stops the move before the appender is closed.
  static_cast<log4cpp::FileAppender*>(moved)->setLayout(new log4cpp::PassThroughLayout());
  Q::set_output_folder(_dir / "elsewhere");
  EXPECT_THROW(Q::change_appender_folder(&category), std::runtime_error);
  category.error("third");
  EXPECT_EQ(Appender_Named(category, "plain"), moved);
  EXPECT_EQ(Read_File(_dir / "out" / "log" / "plain.log"), "ERROR   : first\nERROR   : second\nthird");
  category.removeAllAppenders();
}

TEST_F(Logger_Test, Copy_To_Output_Folder_Moves_Or_Copies_And_Reports_Failure) {
  Write_File("from.log", "moved\n");
  Write_File("to.log", "stale\n");
  EXPECT_TRUE(Q::copy_log_file_to_output_folder("from.log", "to.log"));
  EXPECT_EQ(Read_File("to.log"), "moved\n");
  EXPECT_FALSE(fs::exists("from.log"));

  struct stat here {
  }, shm{};
  if (stat("/dev/shm", &shm) == 0 && stat(".", &here) == 0 && shm.st_dev != here.st_dev) {
    const fs::path source = fs::path("/dev/shm") / (_dir.filename().string() + ".log");
    Write_File(source, "copied\n");
    EXPECT_TRUE(Q::copy_log_file_to_output_folder(source, "copied.log"));
    EXPECT_EQ(Read_File("copied.log"), "copied\n");
    EXPECT_TRUE(fs::exists(source));  // a copy leaves the source in place
    fs::remove(source);
  }

  Q::setup_test_logger();
  auto* captured = new log4cpp::StringQueueAppender("captured");
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern("%p|%m");
  captured->setLayout(layout);
  log4cpp::Category::getRoot().addAppender(captured);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Q::copy_log_file_to_output_folder("no_such.log", "to.log"));
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("no_such.log"), std::string::npos) << errors;
  EXPECT_NE(errors.find(". From libs/core/Logger.cpp:"), std::string::npos) << errors;
  EXPECT_TRUE(errors.ends_with("\n")) << errors;
  ASSERT_EQ(captured->queueSize(), 1u);
  EXPECT_EQ(captured->getQueue().front(), "ERROR|Failed to move or copy file into output folder.");
  EXPECT_EQ(Read_File("to.log"), "moved\n");
}

TEST_F(Logger_Test, Copy_Layout_Clones_Known_Kinds_Only) {
  log4cpp::BasicLayout basic;
  log4cpp::SimpleLayout simple;
  log4cpp::PatternLayout pattern;
  pattern.setConversionPattern("%p: %m%n");
  std::unique_ptr<log4cpp::Layout> basic_copy(quarnel::copyLayout(&basic));
  std::unique_ptr<log4cpp::Layout> simple_copy(quarnel::copyLayout(&simple));
  std::unique_ptr<log4cpp::Layout> pattern_copy(quarnel::copyLayout(&pattern));
  EXPECT_NE(dynamic_cast<log4cpp::BasicLayout*>(basic_copy.get()), nullptr);
  EXPECT_NE(dynamic_cast<log4cpp::SimpleLayout*>(simple_copy.get()), nullptr);
  auto* pattern_clone = dynamic_cast<log4cpp::PatternLayout*>(pattern_copy.get());
  ASSERT_NE(pattern_clone, nullptr);
  EXPECT_NE(pattern_clone, &pattern);
  EXPECT_EQ(pattern_clone->getConversionPattern(), "%p: %m%n");

  log4cpp::PassThroughLayout other;
  for (log4cpp::Layout* layout :
       {static_cast<log4cpp::Layout*>(&other), static_cast<log4cpp::Layout*>(nullptr)}) {
    try {
      delete quarnel::copyLayout(layout);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Could not figure out what type of layout was in use");
    }
  }
}

TEST_F(Logger_Test, Temporary_Console_Stream_Adds_A_Console_At_Notice_Per_Call) {
  testing::internal::CaptureStdout();
  quarnel::Log_Stream_Source first = log4cpp::Temporary_Console_Stream();
  first() << "version line";
  quarnel::Log_Stream_Source second = log4cpp::Temporary_Console_Stream();
  second() << "twice";
  log4cpp::Category::getRoot().info("below the threshold");
  const std::string console = testing::internal::GetCapturedStdout();

  EXPECT_EQ(log4cpp::Category::getRoot().getPriority(), log4cpp::Priority::NOTICE);
  const std::vector<std::string> lines = Lines(console);
  ASSERT_EQ(lines.size(), 3u) << console;
  EXPECT_TRUE(lines[0].ends_with("NOTICE  : version line")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with("NOTICE  : twice")) << lines[1];
  EXPECT_EQ(lines[1], lines[2]);
}
