// The process-wide logging interface over log4cpp.
//
// Every message of the engine and the application goes through one log4cpp category (the
// root category once set up). initialize_logger() sets it up once, on the main thread,
// before any worker exists; afterwards any thread may log. The string shortcuts (log,
// debug, info, notice, warn, error) are safe at any time: before set-up they write to
// standard error if the kernel's console lines are on (below), and otherwise nowhere.
//
// The kernel's console lines: what the kernel writes to the console by itself, without a
// log set up by the program: the run's final "Stop_Turning finished at iteration ..." line
// and its other log lines (which go to standard error while no logging is set up), and on
// a fatal error its report, the stack trace and "Removing signal handlers". A model program
// that sets no logging up is quiet by default: nothing of the kernel's reaches standard
// output or standard error, and a fatal error reaches the program only as its exception
// (whose text then says "An exception occurred: " instead of "..., check your logs: ").
// Set_Console_Lines(true) brings the lines to standard error; Set_Console_Lines(false)
// keeps them off. A program that calls initialize_logger (the population program) has
// them on by default, and its "Removing signal handlers" goes to standard output beside
// its console log, as it always did; the lines that go through a set-up log go wherever
// its appenders send them, whatever the switch says.
//
// A failed set-up is reported once on standard error, as one line that names its true
// reason and where in this file it was found ("... error in libs/core/Logger.cpp, line N"),
// and never stops the run: logging then falls back to the root category with a console
// appender (standard output, NOTICE and more severe, the default line layout).
//
// Thread safety: initialize_logger, setup_test_logger, set_output_folder and
// change_appender_folder replace appenders of the shared category and run only while no
// other thread logs (before the workers start or after they are joined). Everything else
// may be called from any thread; log4cpp serialises the appenders of a category.
//
// Invariants:
//  1. After initialize_logger() returns (true or false), Log() is never null.
//  2. _pLog and _outputFolder change only while no worker thread logs.
//  3. An appender that cannot open its file is never reported as a successful set-up.
//  4. log4cpp owns categories and appenders, an appender owns its layout; the program
//     deletes none of them.
//  5. The file appenders that the program makes, and the plain file appenders a property
//     file makes, are checked (Checked_File_Appender.h): a file that refuses lines is
//     reported once on standard error, and its NOTICE and more severe lines go there.
#pragma once

#include <log4cpp/Category.hh>
#include <log4cpp/CategoryStream.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/Layout.hh>
#include <log4cpp/OstreamAppender.hh>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

namespace quarnel {

// Returns a fresh stream at a fixed priority; one line is written into each stream.
using Log_Stream_Source = std::function<log4cpp::CategoryStream()>;

class Quarnel_Logging_Interface {
 public:
  Quarnel_Logging_Interface() = delete;

  static log4cpp::Category* Log() { return _pLog; }
  static log4cpp::Category* pLog() { return _pLog; }

  static void log(std::string message, int priority);
  static void debug(std::string message) { log(std::move(message), 700); }
  static void info(std::string message) { log(std::move(message), 600); }
  static void notice(std::string message) { log(std::move(message), 500); }
  static void warn(std::string message) { log(std::move(message), 400); }
  static void error(std::string message) { log(std::move(message), 300); }
  // Flushes standard output and standard error (the console appender writes to standard
  // output; file appenders write unbuffered). Best effort, safe from any thread.
  static void flush();

  // The kernel's console lines (see above): on or off, whatever the default. Any thread.
  static void Set_Console_Lines(bool on);
  // Whether they are on: as set, else on exactly when initialize_logger was called.
  static bool console_lines();
  // Whether a line of the kernel's log is written anywhere: a log is set up or the console
  // lines are on. A fatal error tells the user to check the logs only then.
  static bool lines_written() { return _pLog != nullptr || console_lines(); }
  // Writes `line` and a newline as one of the kernel's console lines, if they are on: on
  // standard output after initialize_logger (beside the console log), otherwise on standard
  // error. Flushed at once.
  static void console_line(const std::string& line);

  // Sets logging up from ./log/<property_file> if it exists, otherwise from the defaults
  // (rolling ./log/<progress_log> and console at NOTICE). False after a caught failure.
  static bool initialize_logger(std::filesystem::path property_file, std::filesystem::path progress_log,
                                bool append);
  static bool setup_test_logger();
  static void ensure_dir_exists(std::filesystem::path dir);
  static std::filesystem::path get_output_folder() { return _outputFolder; }

  // Log folders and archiving.
  static void archive_old_logfile(std::filesystem::path folder, std::filesystem::path file_name);
  // Moves the log files into folder/log, created with its parents; a folder that cannot be
  // created is reported on standard error and leaves everything as it was.
  static void set_output_folder(std::filesystem::path folder);
  static void change_appender_folder(log4cpp::Category* category);
  static bool copy_log_file_to_output_folder(std::filesystem::path from, std::filesystem::path to);

 private:
  static void privFall_Back_To_Console();
  static void privMove_File_Appender(log4cpp::Category& category, log4cpp::FileAppender* appender);

  static log4cpp::Category* _pLog;
  static std::filesystem::path _outputFolder;
  static std::atomic<int> _console_lines;    // -1: the default; 0: off; 1: on
  static std::atomic<bool> _program_set_up;  // initialize_logger was called
};

// The first of base/(name+"1"), base/(name+"2"), ... that does not exist. Creates nothing.
std::filesystem::path get_next_dir_in_sequence(std::filesystem::path base, std::filesystem::path name);

}  // namespace quarnel

namespace log4cpp {

// Views that expose protected members of existing appenders; never constructed.
//
// An existing appender is never cast to a view type (that downcast is undefined behaviour
// and the sanitizer build rejects it). The accessors take the real appender and read its
// members through member pointers formed inside the view, which is well defined.
class QuarnelFileAppender : public FileAppender {
 public:
  QuarnelFileAppender() = delete;
  static Layout* GetLayout(FileAppender& appender) { return &(appender.*&QuarnelFileAppender::_getLayout)(); }
  static std::filesystem::path GetFilename(const FileAppender& appender) {
    return appender.*&QuarnelFileAppender::_fileName;
  }
  // False when the file could not be opened (log4cpp then drops every line silently).
  static bool Is_Open(const FileAppender& appender) { return appender.*&QuarnelFileAppender::_fd >= 0; }
};

class QuarnelOstreamAppender : public OstreamAppender {
 public:
  QuarnelOstreamAppender() = delete;
  static Layout* GetLayout(OstreamAppender& appender) {
    return &(appender.*&QuarnelOstreamAppender::_getLayout)();
  }
};

// Adds a console appender to the root category (at NOTICE) and returns its stream source.
quarnel::Log_Stream_Source Temporary_Console_Stream();

}  // namespace log4cpp

namespace quarnel {

// A new layout of the same kind (basic, simple or pattern with the same pattern), owned by
// the caller. Throws std::runtime_error for any other or a null layout.
log4cpp::Layout* copyLayout(log4cpp::Layout* layout);

// A FileAppender or RollingFileAppender like `appender`, with the same name, writing to
// `file` in append mode. Owned by the caller.
log4cpp::Appender* copyAppender(log4cpp::FileAppender* appender, std::filesystem::path file);

}  // namespace quarnel
