// Checked file appenders and log folders that cannot be made: logging that fails is said
// once on standard error, never loses a NOTICE line, and never stops the program.
#include <quarnel/detail/Checked_File_Appender.h>

#include <gtest/gtest.h>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PassThroughLayout.hh>
#include <log4cpp/PatternLayout.hh>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <quarnel/Logger.h>

namespace quarnel {
namespace {

namespace fs = std::filesystem;

std::string Read_File(fs::path const& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t Count(std::string const& text, std::string const& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

log4cpp::Layout* Plain_Layout() {
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern("%p %m%n");
  return layout;
}

// Each test works in its own empty folder, on a category of its own (root for the folder
// test), and leaves both bare.
class Checked_Appender_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    _saved_cwd = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "quarnel_checked_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    _dir = pattern;
    fs::current_path(_dir);
    _category.removeAllAppenders();
    _category.setAdditivity(false);
    _category.setPriority(log4cpp::Priority::DEBUG);
  }
  void TearDown() override {
    _category.removeAllAppenders();
    log4cpp::Category::getRoot().removeAllAppenders();
    fs::current_path(_saved_cwd);
    fs::remove_all(_dir);
  }

  // Logs INFO, NOTICE, ERROR and NOTICE lines; returns what reached standard error.
  std::string Log_Four_Lines() {
    ::testing::internal::CaptureStderr();
    _category.info("info line");
    _category.notice("notice line");
    _category.error("error line");
    _category.notice("second notice");
    return ::testing::internal::GetCapturedStderr();
  }

  fs::path _saved_cwd;
  fs::path _dir;
  log4cpp::Category& _category = log4cpp::Category::getInstance("quarnel_checked_test");
};

TEST_F(Checked_Appender_Test, A_Full_Device_Is_Reported_Once_And_Notice_Lines_Go_To_Standard_Error) {
  for (bool rolling : {false, true}) {
    SCOPED_TRACE(rolling ? "rolling" : "plain");
    log4cpp::FileAppender* appender =
        rolling ? static_cast<log4cpp::FileAppender*>(
                      new Checked_Rolling_File_Appender("full", "/dev/full", 1000, 2))
                : new Checked_File_Appender("full", "/dev/full");
    appender->setLayout(Plain_Layout());
    _category.addAppender(appender);
    const std::string errors = Log_Four_Lines();
    EXPECT_EQ(Count(errors, "Could not write to the log file /dev/full: No space left on device"), 1u)
        << errors;
    EXPECT_EQ(Count(errors, "error in libs/core/Checked_File_Appender.cpp, line "), 1u) << errors;
    const size_t report_end = errors.find('\n') + 1;
    EXPECT_EQ(errors.substr(report_end), "NOTICE notice line\nERROR error line\nNOTICE second notice\n");
    _category.removeAllAppenders();
  }
}

TEST_F(Checked_Appender_Test, A_Writable_File_Gets_Every_Line_And_Rolls_Over_Like_log4cpp) {
  auto* appender = new Checked_Rolling_File_Appender("roll", "roll.log", 60, 2);
  appender->setLayout(Plain_Layout());
  _category.addAppender(appender);
  std::string errors;
  for (int i = 0; i < 4; ++i) errors += Log_Four_Lines();
  EXPECT_EQ(errors, "");
  EXPECT_FALSE(appender->Failed());
  EXPECT_TRUE(fs::exists("roll.log.1"));
  EXPECT_TRUE(fs::exists("roll.log.2"));
  EXPECT_FALSE(fs::exists("roll.log.3"));
  // Every four lines pass the 60 bytes: each backup holds one whole round, and the file
  // rolled over after the last one.
  const std::string round = "INFO info line\nNOTICE notice line\nERROR error line\nNOTICE second notice\n";
  EXPECT_EQ(Read_File("roll.log.1"), round);
  EXPECT_EQ(Read_File("roll.log.2"), round);
  EXPECT_EQ(Read_File("roll.log"), "");
}

TEST_F(Checked_Appender_Test, Plain_File_Appenders_Of_A_Category_Are_Replaced_By_Checked_Twins) {
  auto* plain = new log4cpp::FileAppender("plain", "plain.log");
  plain->setLayout(Plain_Layout());
  plain->setThreshold(log4cpp::Priority::WARN);
  auto* rolling = new log4cpp::RollingFileAppender("rolling", "rolling.log", 12345, 3);
  rolling->setLayout(Plain_Layout());
  auto* pass_through = new log4cpp::FileAppender("pass", "pass.log");
  pass_through->setLayout(new log4cpp::PassThroughLayout());
  auto* console = new log4cpp::OstreamAppender("console", &std::cout);
  for (log4cpp::Appender* a :
       {static_cast<log4cpp::Appender*>(plain), static_cast<log4cpp::Appender*>(rolling),
        static_cast<log4cpp::Appender*>(pass_through), static_cast<log4cpp::Appender*>(console)})
    _category.addAppender(a);

  Replace_With_Checked(_category);

  auto* twin = dynamic_cast<Checked_File_Appender*>(_category.getAppender("plain"));
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(twin->getThreshold(), log4cpp::Priority::WARN);
  auto* rolling_twin = dynamic_cast<Checked_Rolling_File_Appender*>(_category.getAppender("rolling"));
  ASSERT_NE(rolling_twin, nullptr);
  EXPECT_EQ(rolling_twin->getMaxFileSize(), 12345u);
  EXPECT_EQ(rolling_twin->getMaxBackupIndex(), 3u);
  EXPECT_EQ(_category.getAppender("pass"), pass_through);  // its layout cannot be copied
  EXPECT_EQ(_category.getAppender("console"), console);
  EXPECT_EQ(_category.getAllAppenders().size(), 4u);

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Log_Four_Lines(), "");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(Read_File("plain.log"), "ERROR error line\n");
  EXPECT_EQ(Count(Read_File("rolling.log"), "\n"), 4u);
}

TEST_F(Checked_Appender_Test, An_Appender_Held_By_Reference_Is_Replaced_And_One_Held_Twice_Is_Kept) {
  // As a property file holds them: by reference, so the category does not own them.
  auto* by_reference = new log4cpp::FileAppender("by_reference", "by_reference.log");
  by_reference->setLayout(Plain_Layout());
  auto* shared = new log4cpp::FileAppender("shared", "shared.log");
  shared->setLayout(Plain_Layout());
  log4cpp::Category& other = log4cpp::Category::getInstance("quarnel_checked_other");
  _category.addAppender(*by_reference);
  _category.addAppender(*shared);
  other.addAppender(shared);  // the other category owns it

  Replace_With_Checked(_category);  // the replaced one is destroyed: LeakSanitizer watches

  EXPECT_NE(dynamic_cast<Checked_File_Appender*>(_category.getAppender("by_reference")), nullptr);
  EXPECT_EQ(_category.getAppender("shared"), shared);
  _category.notice("one line");
  EXPECT_EQ(Read_File("by_reference.log"), "NOTICE one line\n");
  EXPECT_EQ(Read_File("shared.log"), "NOTICE one line\n");
  _category.removeAllAppenders();
  other.removeAllAppenders();
}

TEST_F(Checked_Appender_Test, An_Output_Folder_That_Cannot_Be_Created_Is_Reported_And_Changes_Nothing) {
  log4cpp::Category& root = log4cpp::Category::getRoot();
  auto* appender = new Checked_File_Appender("file", "progress.log");
  appender->setLayout(Plain_Layout());
  root.addAppender(appender);
  Quarnel_Logging_Interface::setup_test_logger();
  std::ofstream("a_file") << "in the way";
  const fs::path before = Quarnel_Logging_Interface::get_output_folder();

  for (fs::path bad : {fs::path("a_file") / "run", fs::path("/proc/quarnel_no_such_folder")}) {
    ::testing::internal::CaptureStderr();
    Quarnel_Logging_Interface::set_output_folder(bad);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Count(errors, "Could not create the output folder " + (bad / "log").string()), 1u) << errors;
    EXPECT_EQ(Count(errors, "\n"), 1u) << errors;
    EXPECT_EQ(Quarnel_Logging_Interface::get_output_folder(), before);
    EXPECT_EQ(root.getAppender("file"), appender);
  }
  Quarnel_Logging_Interface::notice("still logging");
  EXPECT_EQ(Read_File("progress.log"), "NOTICE still logging\n");
}

}  // namespace
}  // namespace quarnel
