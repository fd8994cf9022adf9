#include <quarnel/Logger.h>

#include <log4cpp/BasicLayout.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <log4cpp/SimpleLayout.hh>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <quarnel/detail/Checked_File_Appender.h>

namespace fs = std::filesystem;

namespace quarnel {

log4cpp::Category* Quarnel_Logging_Interface::_pLog = nullptr;
fs::path Quarnel_Logging_Interface::_outputFolder;
std::atomic<int> Quarnel_Logging_Interface::_console_lines{-1};
std::atomic<bool> Quarnel_Logging_Interface::_program_set_up{false};

namespace {

constexpr const char* kLine_Pattern = "%d{ISO8601} [%6p] %m%n";
constexpr std::size_t kMax_Log_File_Size = 10485760;  // 10 MiB
constexpr unsigned kMax_Backup_Index = 10;
constexpr mode_t kLog_File_Mode = 0644;

// Only a template: each appender gets its own copy (PatternLayout must not be copied by value).
std::unique_ptr<log4cpp::Layout> Line_Layout_Template() {
  auto layout = std::make_unique<log4cpp::PatternLayout>();
  layout->setConversionPattern(kLine_Pattern);
  return layout;
}

// Standard output, NOTICE and more severe, the default line layout.
std::unique_ptr<log4cpp::Appender> Make_Console_Appender(log4cpp::Layout* layout_template) {
  auto console = std::make_unique<log4cpp::OstreamAppender>("cout", &std::cout);
  console->setLayout(copyLayout(layout_template));
  console->setThreshold(log4cpp::Priority::NOTICE);
  return console;
}

// A failure of one step of initialize_logger, with the line of this file that ran the step.
class Set_Up_Failure : public std::runtime_error {
 public:
  Set_Up_Failure(const std::string& what, int line) : std::runtime_error(what), line(line) {}
  int line;
};

// Runs one step of the set-up; whatever it throws comes out as a Set_Up_Failure at `line`.
template <class Step>
void Set_Up_Step(int line, Step&& step) {
  try {
    step();
  } catch (const Set_Up_Failure&) {
    throw;
  } catch (const std::exception& e) {
    throw Set_Up_Failure(e.what(), line);
  }
}

// ": <reason>" for a saved errno, or nothing when it is 0.
std::string Reason(int error) {
  return error == 0 ? "" : std::string(": ") + std::strerror(error);
}

// Creates the log folder `folder` if it is missing; a file of that name is the true reason
// the set-up fails (creating the folder would only say "File exists").
void Make_Log_Folder(const fs::path& folder) {
  const fs::path plain = folder.has_filename() ? folder : folder.parent_path();  // no trailing '/'
  std::error_code ignored;
  const fs::file_status status = fs::status(plain, ignored);
  if (fs::exists(status) && !fs::is_directory(status)) {
    throw std::runtime_error("The log folder " + folder.string() + " is a file, not a folder");
  }
  Quarnel_Logging_Interface::ensure_dir_exists(folder);
}

// A property file that is a folder or cannot be read: log4cpp would call it missing, or
// complain about a category it could not find.
void Require_Readable(const fs::path& property_file) {
  if (fs::is_directory(property_file)) {
    throw std::runtime_error("The log property file " + property_file.string() + " is a folder, not a file");
  }
  errno = 0;
  std::ifstream in(property_file);
  if (!in.is_open()) {
    throw std::runtime_error("Could not read the log property file " + property_file.string() +
                             Reason(errno));
  }
}

// log4cpp opens the file in the constructor and, when that fails, silently drops every
// line. A progress log that cannot be written is a set-up failure, not a success.
void Require_Open(log4cpp::FileAppender* appender, const fs::path& file, int error) {
  if (!log4cpp::QuarnelFileAppender::Is_Open(*appender)) {
    throw std::runtime_error("Could not open the log file " + file.string() + Reason(error));
  }
}

// The rolling progress log (every message the category passes) and the console.
void Add_Default_Appenders(log4cpp::Category& root, const fs::path& progress_log, bool append) {
  if (fs::is_directory(progress_log)) {
    throw std::runtime_error("Could not open the log file " + progress_log.string() + ": it is a folder");
  }
  const std::unique_ptr<log4cpp::Layout> layout_template = Line_Layout_Template();
  errno = 0;
  auto file = std::make_unique<Checked_Rolling_File_Appender>(
      "file", progress_log.string(), kMax_Log_File_Size, kMax_Backup_Index, append, kLog_File_Mode);
  Require_Open(file.get(), progress_log, errno);
  file->setLayout(copyLayout(layout_template.get()));
  file->setThreshold(log4cpp::Priority::DEBUG);
  std::unique_ptr<log4cpp::Appender> console = Make_Console_Appender(layout_template.get());
  root.addAppender(file.release());
  root.addAppender(console.release());
}

bool Has_Console_Appender(const log4cpp::Category& category) {
  for (log4cpp::Appender* appender : category.getAllAppenders()) {
    if (dynamic_cast<log4cpp::OstreamAppender*>(appender) != nullptr) return true;
  }
  return false;
}

}  // namespace

void Quarnel_Logging_Interface::log(std::string message, int priority) {
  if (_pLog != nullptr) {
    _pLog->log(priority, message);
  } else if (console_lines()) {
    std::cerr << message << std::endl;
  }
}

void Quarnel_Logging_Interface::Set_Console_Lines(bool on) {
  _console_lines.store(on ? 1 : 0, std::memory_order_relaxed);
}

bool Quarnel_Logging_Interface::console_lines() {
  const int chosen = _console_lines.load(std::memory_order_relaxed);
  return chosen < 0 ? _program_set_up.load(std::memory_order_relaxed) : chosen == 1;
}

void Quarnel_Logging_Interface::console_line(const std::string& line) {
  if (!console_lines()) return;
  std::ostream& out = _program_set_up.load(std::memory_order_relaxed) ? std::cout : std::cerr;
  out << line << std::endl;
}

void Quarnel_Logging_Interface::flush() {
  // File appenders write unbuffered; only the standard streams hold pending text.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
}

bool Quarnel_Logging_Interface::initialize_logger(fs::path property_file, fs::path progress_log,
                                                  bool append) {
  _program_set_up.store(true, std::memory_order_relaxed);
  try {
    const fs::path base = "./log/";
    property_file = base / property_file;
    progress_log = base / progress_log;
    Set_Up_Step(__LINE__, [&] { Make_Log_Folder(base); });
    Set_Up_Step(__LINE__, [&] { Make_Log_Folder(progress_log.parent_path()); });
    if (!append) {
      Set_Up_Step(__LINE__,
                  [&] { archive_old_logfile(progress_log.parent_path(), progress_log.filename()); });
    }
    log4cpp::Category& root = log4cpp::Category::getRoot();
    bool has_property_file = false;
    Set_Up_Step(__LINE__, [&] { has_property_file = fs::exists(property_file); });
    if (has_property_file) {
      Set_Up_Step(__LINE__, [&] { Require_Readable(property_file); });
      Set_Up_Step(__LINE__, [&] { log4cpp::PropertyConfigurator::configure(property_file.string()); });
      // log4cpp's file appenders would lose lines to a full or unopened file without a word.
      Set_Up_Step(__LINE__, [&] { Replace_With_Checked(root); });
      _pLog = &root;
      info("Successfully initialized logging from property file: " + property_file.string());
    } else {
      Set_Up_Step(__LINE__, [&] { Add_Default_Appenders(root, progress_log, append); });
      _pLog = &root;
      info("Successfully initialized logging from defaults");
    }
    return true;
  } catch (const Set_Up_Failure& e) {
    std::cerr << e.what() << ". error in " << __FILE__ << ", line " << e.line << std::endl;
  } catch (const std::exception& e) {
    std::cerr << e.what() << ". error in " << __FILE__ << ", line " << __LINE__ << std::endl;
  } catch (...) {
  }
  privFall_Back_To_Console();
  return false;
}

// Keeps whatever a partly applied property file set up, and makes sure the category
// exists and reaches the console, so that later log calls and streams never meet null.
void Quarnel_Logging_Interface::privFall_Back_To_Console() {
  log4cpp::Category& root = log4cpp::Category::getRoot();
  _pLog = &root;
  try {
    if (Has_Console_Appender(root)) return;
    root.addAppender(Make_Console_Appender(Line_Layout_Template().get()).release());
  } catch (...) {
    // Out of memory at start-up: the category still exists, it merely stays silent.
  }
}

bool Quarnel_Logging_Interface::setup_test_logger() {
  _pLog = &log4cpp::Category::getRoot();
  return true;
}

void Quarnel_Logging_Interface::ensure_dir_exists(fs::path dir) {
  std::error_code ignored;
  const fs::file_type type = fs::status(dir, ignored).type();
  if (type == fs::file_type::not_found || type == fs::file_type::none) fs::create_directory(dir);
}

log4cpp::Layout* copyLayout(log4cpp::Layout* layout) {
  if (dynamic_cast<log4cpp::BasicLayout*>(layout) != nullptr) return new log4cpp::BasicLayout();
  if (dynamic_cast<log4cpp::SimpleLayout*>(layout) != nullptr) return new log4cpp::SimpleLayout();
  if (auto* pattern = dynamic_cast<log4cpp::PatternLayout*>(layout)) {
    auto copy = std::make_unique<log4cpp::PatternLayout>();
    copy->setConversionPattern(pattern->getConversionPattern());
    return copy.release();
  }
  throw std::runtime_error("Could not figure out what type of layout was in use");
}

// ---- Log folders and archiving ----

fs::path get_next_dir_in_sequence(fs::path base, fs::path name) {
  for (unsigned long number = 1;; ++number) {
    fs::path candidate = base / (name.string() + std::to_string(number));
    if (!fs::exists(candidate)) return candidate;
  }
}

// Several programs may start in one folder at once. Each archives into a folder it made
// itself, so no program's rename can replace a log that another has just archived; and a log
// that another program moved away first is not a failure, only nothing left to archive.
void Quarnel_Logging_Interface::archive_old_logfile(fs::path folder, fs::path file_name) {
  if (!fs::exists(folder)) return;
  const fs::path source = folder / file_name;
  std::error_code error;
  // Any kind of file of that name but a folder (or a link to one).
  if (!fs::exists(fs::symlink_status(source, error)) || fs::is_directory(fs::status(source, error))) return;
  // A number another program takes first (or has just given up) is skipped.
  fs::path archive;
  do {
    archive = get_next_dir_in_sequence(folder, "archive");
  } while (!fs::create_directory(archive, error) && (!error || error == std::errc::file_exists));
  const fs::path destination = archive / file_name;
  auto fail = [&] {
    throw std::runtime_error("Failed to archive file " + destination.string() + " - " + error.message());
  };
  if (error) fail();
  fs::rename(source, destination, error);
  // Gone from under us (the archive folder is ours alone): another program moved it first,
  // and may already have started a new log of that name, which is not ours to move.
  if (error == std::errc::no_such_file_or_directory) {
    fs::remove(archive, error);
    return;
  }
  if (error) fail();
}

// A folder that cannot be created is reported and changes nothing: the log files keep
// writing where they are, and the run goes on.
void Quarnel_Logging_Interface::set_output_folder(fs::path folder) {
  const fs::path wanted = folder / "log";
  std::error_code error;
  fs::create_directories(wanted, error);
  if (error) {
    std::cerr << "Could not create the output folder " << wanted.string() << ": " << error.message()
              << "; the log files stay where they are. error in " << __FILE__ << ", line " << __LINE__
              << std::endl;
    return;
  }
  _outputFolder = wanted;
  change_appender_folder(_pLog);
}

void Quarnel_Logging_Interface::change_appender_folder(log4cpp::Category* category) {
  if (category == nullptr) return;
  for (log4cpp::Appender* appender : category->getAllAppenders()) {
    if (auto* file_appender = dynamic_cast<log4cpp::FileAppender*>(appender)) {
      privMove_File_Appender(*category, file_appender);
    }
  }
}

// The replacement keeps the old appender's threshold, so moving the files never changes
// what they record. The layout is copied before anything is touched: a layout that cannot
// be copied throws and leaves the appender open and writing where it was.
void Quarnel_Logging_Interface::privMove_File_Appender(log4cpp::Category& category,
                                                       log4cpp::FileAppender* appender) {
  using View = log4cpp::QuarnelFileAppender;
  std::unique_ptr<log4cpp::Layout> layout(copyLayout(View::GetLayout(*appender)));
  const fs::path old_file = View::GetFilename(*appender);
  const fs::path new_file = _outputFolder / old_file.filename();
  appender->close();
  copy_log_file_to_output_folder(old_file, new_file);
  std::unique_ptr<log4cpp::Appender> replacement(copyAppender(appender, new_file));
  replacement->setLayout(layout.release());
  replacement->setThreshold(appender->getThreshold());
  category.removeAppender(appender);
  category.addAppender(replacement.release());
}

log4cpp::Appender* copyAppender(log4cpp::FileAppender* appender, fs::path file) {
  const std::string& name = appender->getName();
  if (auto* rolling = dynamic_cast<log4cpp::RollingFileAppender*>(appender)) {
    return new Checked_Rolling_File_Appender(name, file.string(), rolling->getMaxFileSize(),
                                             rolling->getMaxBackupIndex(), true, rolling->getMode());
  }
  return new Checked_File_Appender(name, file.string(), true, appender->getMode());
}

bool Quarnel_Logging_Interface::copy_log_file_to_output_folder(fs::path from, fs::path to) {
  try {
    fs::rename(from, to);
    return true;
  } catch (const std::exception&) {
    // Typically a move across file systems; a copy leaves the source in place.
  }
  try {
    fs::copy(from, to);
    return true;
  } catch (const std::exception& e) {
    std::cerr << e.what() << ". From " << __FILE__ << ":" << __LINE__ << std::endl;
    error("Failed to move or copy file into output folder.");
    return false;
  }
}

}  // namespace quarnel

namespace log4cpp {

quarnel::Log_Stream_Source Temporary_Console_Stream() {
  Category* root = &Category::getRoot();
  root->setPriority(Priority::NOTICE);
  root->addAppender(new OstreamAppender("cout", &std::cout));
  return [root] { return root->getStream(Priority::NOTICE); };
}

}  // namespace log4cpp
