#include "Command_Line.h"

#include <gtest/gtest.h>
#include <log4cpp/Category.hh>
#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include <boost/asio/ip/host_name.hpp>

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace {

// Builds argc/argv from a list of texts; argv[0] is "prog".
struct Argv {
  explicit Argv(std::vector<std::string> args) : _texts(std::move(args)) {
    _texts.insert(_texts.begin(), "prog");
    for (auto& t : _texts) _pointers.push_back(t.data());
    _pointers.push_back(nullptr);
  }
  int argc() const { return int(_texts.size()); }
  char** argv() { return _pointers.data(); }
  std::vector<std::string> _texts;
  std::vector<char*> _pointers;
};

// A log stream source whose lines (message text only) are collected in a queue.
class Captured_Log {
 public:
  explicit Captured_Log(const std::string& name) : _category(log4cpp::Category::getInstance(name)) {
    _category.setAdditivity(false);
    _category.removeAllAppenders();
    _queue = new log4cpp::StringQueueAppender(name);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%m");
    _queue->setLayout(layout);
    _category.addAppender(_queue);  // the category owns it
    _category.setPriority(log4cpp::Priority::NOTICE);
  }
  ~Captured_Log() { _category.removeAllAppenders(); }
  quarnel::Log_Stream_Source Source() {
    return [this] { return _category.getStream(log4cpp::Priority::NOTICE); };
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (auto queue = _queue->getQueue(); !queue.empty(); queue.pop()) lines.push_back(queue.front());
    return lines;
  }

 private:
  log4cpp::Category& _category;
  log4cpp::StringQueueAppender* _queue;
};

// A log stream source writing to standard error, for the lines of a process that exits.
quarnel::Log_Stream_Source Stderr_Source() {
  log4cpp::Category& category = log4cpp::Category::getInstance("cli_stderr");
  category.setAdditivity(false);
  category.removeAllAppenders();
  category.addAppender(new log4cpp::OstreamAppender("stderr", &std::cerr));
  category.setPriority(log4cpp::Priority::NOTICE);
  return [&category] { return category.getStream(log4cpp::Priority::NOTICE); };
}

using Args = std::vector<std::string>;

// True when `text` is `prefix` followed by a non-empty value whose characters all pass `ok`.
template <class Predicate>
bool Has_Value(const std::string& text, const std::string& prefix, Predicate ok) {
  if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size()) return false;
  return std::all_of(text.begin() + std::ptrdiff_t(prefix.size()), text.end(), ok);
}

TEST(Command_Line_Test, Without_Arguments_Every_Lookup_Gives_Its_Default) {
  Captured_Log log("no_args");
  Argv argv({});
  Args args = handle_args(log.Source(), argv.argc(), argv.argv());
  EXPECT_TRUE(args.empty());
  EXPECT_EQ(log.Lines(), (Args{"Exe: prog", "There were no arguments;"}));
  EXPECT_EQ(get_arg_value<int>(args, "--num_agents", 1000), 1000);
  EXPECT_EQ(get_arg_value<int>(args, "--threads", 1), 1);
}

TEST(Command_Line_Test, Arguments_Are_Listed_And_Returned_Without_The_Program) {
  Captured_Log log("with_args");
  Argv argv({"--threads", "4", "x y"});
  Args args = handle_args(log.Source(), argv.argc(), argv.argv());
  EXPECT_EQ(args, (Args{"--threads", "4", "x y"}));
  EXPECT_EQ(log.Lines(), (Args{"Exe: prog", "Arguments:", "1: --threads", "2: 4", "3: x y"}));
}

TEST(Command_Line_Test, A_Lookup_Consumes_The_First_Matching_Pair_Only) {
  Args args{"a", "--threads", "4", "--threads=5", "--threads", "8", "b"};
  EXPECT_EQ(get_arg_value<int>(args, "--threads", 1), 4);
  EXPECT_EQ(args, (Args{"a", "--threads=5", "--threads", "8", "b"}));
  EXPECT_EQ(get_arg_value<int>(args, "--threads", 1), 8);
  EXPECT_EQ(args, (Args{"a", "--threads=5", "b"}));
  EXPECT_EQ(get_arg_value<int>(args, "--threads", 1), 1) << "--threads=5 is not the option";
  EXPECT_EQ(get_arg_value<int>(args, "--THREADS", 2), 2) << "names are case-sensitive";
}

TEST(Command_Line_Test, Values_Convert_Whole_Or_Throw_And_Leave_The_List) {
  Args last{"--threads", "2", "--num_agents"};
  EXPECT_THROW(get_arg_value<int>(last, "--num_agents", 1), std::out_of_range);
  EXPECT_EQ(last.size(), 3u);
  for (std::string bad : {"abc", "", "12x", "99999999999", "2147483648", " 5", "5 ", "--5", "0x10"}) {
    Args args{"--num_agents", bad};
    EXPECT_THROW(get_arg_value<int>(args, "--num_agents", 1), boost::bad_lexical_cast) << "'" << bad << "'";
    EXPECT_EQ(args.size(), 2u);
  }
  Args ok{"--a", "-5", "--b", "+5", "--c", "-2147483648", "--d", "007"};
  EXPECT_EQ(get_arg_value<int>(ok, "--a", 0), -5);
  EXPECT_EQ(get_arg_value<int>(ok, "--b", 0), 5);
  EXPECT_EQ(get_arg_value<int>(ok, "--c", 0), -2147483647 - 1);
  EXPECT_EQ(get_arg_value<int>(ok, "--d", 0), 7);
  EXPECT_TRUE(ok.empty());
}

TEST(Command_Line_Test, Negative_Text_Never_Wraps_Into_An_Unsigned_Value) {
  Args args{"--threads", "-6"};
  EXPECT_THROW(get_arg_value<unsigned int>(args, "--threads", 1u), boost::bad_lexical_cast);
  Captured_Log log("negative_residual");
  Args residual{"-6"};
  unsigned int num_threads = 3;
  EXPECT_THROW(log_residual_args(residual, num_threads, log.Source()), boost::bad_lexical_cast);
  EXPECT_EQ(num_threads, 3u);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(Command_Line_Test, A_Single_Residual_Argument_Is_A_Thread_Count) {
  Captured_Log log("residual");
  unsigned int num_threads = 1;
  Args none;
  log_residual_args(none, num_threads, log.Source());
  EXPECT_EQ(num_threads, 1u);
  EXPECT_TRUE(log.Lines().empty());

  Args one{"6"};
  log_residual_args(one, num_threads, log.Source());
  EXPECT_EQ(num_threads, 6u);
  EXPECT_EQ(one, Args{"6"});
  EXPECT_EQ(log.Lines(), Args{"Deprecation warning: naked num_thread found, please use '--threads 6'"});

  Args word{"six"};
  EXPECT_THROW(log_residual_args(word, num_threads, log.Source()), boost::bad_lexical_cast);
}

TEST(Command_Line_Death_Test, Two_Residual_Arguments_End_The_Process_With_Status_1) {
  Args args{"a", "b"};
  unsigned int num_threads = 1;
  EXPECT_EXIT(log_residual_args(args, num_threads, Stderr_Source()), ::testing::ExitedWithCode(1),
              "There were unhandled arguments: \\[a, b\\]");
}

TEST(Command_Line_Death_Test, Scenario_File_Must_Be_Given_And_Exist) {
  std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("quarnel_scenario_" + std::to_string(getpid()) + ".json");
  std::ofstream(file) << "{}";
  Captured_Log log("scenario");
  Args args{file.string(), "--threads", "2"};
  EXPECT_EQ(get_scenario_file(args, log.Source()), file.string());
  EXPECT_EQ(args, (Args{"--threads", "2"}));
  EXPECT_TRUE(log.Lines().empty());
  std::filesystem::remove(file);

  Args missing{file.string()};
  EXPECT_EXIT(get_scenario_file(missing, Stderr_Source()), ::testing::ExitedWithCode(1),
              "No such scenario config file: " + file.string());
  Args empty;
  EXPECT_EXIT(get_scenario_file(empty, Stderr_Source()), ::testing::ExitedWithCode(1),
              "You must specify the scenario configuration file to use");
}

TEST(Command_Line_Test, Metadata_Is_Five_Aligned_Lines) {
  Captured_Log log("metadata");
  log_metadata(log.Source());
  Args lines = log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Running on host:       '" + boost::asio::ip::host_name() + "'");
  EXPECT_EQ(lines[1].rfind("Built with git branch: ", 0), 0u) << lines[1];
  auto hex = [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); };
  EXPECT_TRUE(lines[2] == "Git commit hash:       unknown" ||
              (Has_Value(lines[2], "Git commit hash:       ", hex) && lines[2].size() == 23 + 40))
      << lines[2];
  const std::string compiled = "Compiled at:           ";
  ASSERT_EQ(lines[3].size(), compiled.size() + 15 + 6) << lines[3];
  std::string stamp = lines[3].substr(compiled.size(), 15);
  EXPECT_EQ(lines[3], compiled + stamp + " (UTC)");
  EXPECT_EQ(stamp[8], '-') << stamp;
  stamp.erase(8, 1);
  EXPECT_TRUE(std::all_of(stamp.begin(), stamp.end(), ::isdigit)) << lines[3];
  EXPECT_TRUE(Has_Value(lines[4], "Configuration:         ", ::islower)) << lines[4];
}

TEST(Command_Line_Death_Test, Version_Request_Prints_Metadata_And_Exits_0) {
  Argv plain({"--threads", "4"});
  handle_version_check(plain.argc(), plain.argv());  // returns: no version request

  Argv versioned({"--threads", "4", "-v"});
  EXPECT_EXIT(
      {
        std::cout.rdbuf(std::cerr.rdbuf());  // the console lines go to standard output
        handle_version_check(versioned.argc(), versioned.argv());
      },
      ::testing::ExitedWithCode(0),
      "NOTICE.*Running on host:       '.*NOTICE.*Built with git branch: .*NOTICE.*Git commit hash:       "
      ".*NOTICE.*Compiled at:           .* \\(UTC\\).*NOTICE.*Configuration:         ");
  Argv long_form({"--version"});
  EXPECT_EXIT(
      {
        std::cout.rdbuf(std::cerr.rdbuf());
        handle_version_check(long_form.argc(), long_form.argv());
      },
      ::testing::ExitedWithCode(0), "Git commit hash:");
}

TEST(Command_Line_Test, An_Empty_Log_Source_Fails_On_The_First_Line) {
  Argv argv({});
  EXPECT_THROW(handle_args(quarnel::Log_Stream_Source(), argv.argc(), argv.argv()), std::bad_function_call);
}

}  // namespace
