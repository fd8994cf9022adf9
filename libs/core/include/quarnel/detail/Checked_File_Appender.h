// File appenders that notice when their file refuses a line.
//
// log4cpp's FileAppender and RollingFileAppender ignore the result of write(): a log file on
// a full device, or one that could not be opened, loses every line without a word, NOTICE
// lines with run results included. The checked twins below write like them (a rolling twin
// rolls over like RollingFileAppender) but check every write. At the first line their file
// refuses they say so once on standard error (the file, the system's reason and the source
// location); from then on every line of NOTICE or more severe priority that the file refuses
// goes to standard error instead, so that no result is lost with the log. Less severe lines
// are dropped, as the file dropped them. Each line is still offered to the file first, so the
// log resumes by itself when the device has room again.
//
// Thread safety: as log4cpp's appenders; the category serialises the calls of one appender.
// The report-once flag is atomic, so an appender shared by several categories is also safe.
// Replace_With_Checked runs only while no other thread logs (set-up, or no worker running).
//
// Ownership: log4cpp owns appenders once a category holds them; an appender owns its layout.
#pragma once

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/RollingFileAppender.hh>

#include <atomic>
#include <string>

namespace quarnel {

// The write path shared by both twins.
class Write_Check {
 public:
  // Writes `line` to `fd`; a refused line is reported (once) and, if `priority` is NOTICE or
  // more severe, written to standard error. Returns whether the file took the whole line.
  bool Write(int fd, std::string const& line, int priority, std::string const& file);
  bool Failed() const { return _reported.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> _reported{false};
};

class Checked_File_Appender : public log4cpp::FileAppender {
 public:
  Checked_File_Appender(std::string const& name, std::string const& file_name, bool append = true,
                        mode_t mode = 00644);
  bool Failed() const { return _check.Failed(); }

 protected:
  void _append(log4cpp::LoggingEvent const& event) override;

 private:
  Write_Check _check;
};

class Checked_Rolling_File_Appender : public log4cpp::RollingFileAppender {
 public:
  Checked_Rolling_File_Appender(std::string const& name, std::string const& file_name, size_t max_file_size,
                                unsigned int max_backup_index, bool append = true, mode_t mode = 00644);
  bool Failed() const { return _check.Failed(); }

 protected:
  void _append(log4cpp::LoggingEvent const& event) override;

 private:
  Write_Check _check;
};

// Replaces every plain log4cpp FileAppender and RollingFileAppender of `category` by a
// checked twin on the same file (same name, size limit, backup count, mode, threshold and
// a copy of the layout), appending to what the original opened; the original is destroyed.
// Appenders of other kinds, with a filter, with a layout that cannot be copied, or held by
// another category too stay as they are.
// REQUIRES: no other thread logs.
void Replace_With_Checked(log4cpp::Category& category);

}  // namespace quarnel
