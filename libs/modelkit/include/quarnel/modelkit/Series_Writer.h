// A model program's per-step series as a CSV file, streamed: each row is written (one write
// to the file, no buffer of its own) as soon as its step has finished, so a run that is
// interrupted, killed or fails half-way leaves every finished step in the file.
//
// A file that existed is never lost to a run that fails before its first row: the header and
// the first row go to a temporary file beside it ("<file>.<pid>.partial", in the same folder),
// which replaces the file (rename) once that first row is in it; the later rows go to the
// same file descriptor. A run that ends before its first row (set-up failed, the threads were
// refused, memory ran out, a signal came) removes the temporary file and leaves the old file
// as it was. An existing file keeps its permission bits; a symbolic link keeps pointing at the
// file it names, which is the one replaced. A path that exists and is no regular file (a
// FIFO, a terminal, /dev/stdout) is written directly, without a temporary file.
//
// A failed write (a full disk, EFBIG past the file-size limit, an I/O error) throws a
// std::runtime_error whose one line names the file and the reason; the file is cut back to
// its last whole row first, so it never ends in a torn line. A program ends then with that
// line and status 1 (Run_Model_Program).
//
// Temporary: a later issue replaces it with the kernel's records facility; the column names
// and their meaning stay.
//
// Thread safety: one thread (a model's iteration hook and its program's main).
#pragma once

#include <cstdint>
#include <string>

namespace quarnel::modelkit {

class Series_Writer {
 public:
  // A writer of the series to `path`, whose first line is `header` (without the newline).
  // The file is checked and the temporary file made here, before any run: a path that cannot
  // be written throws std::runtime_error with one line. An empty path makes a writer that
  // writes nothing.
  Series_Writer(const std::string& path, const std::string& header);
  // Closes the file; a writer without rows removes its temporary file (the old file stays).
  ~Series_Writer();
  Series_Writer(const Series_Writer&) = delete;
  Series_Writer& operator=(const Series_Writer&) = delete;

  bool active() const { return _fd >= 0; }
  // Rows written so far.
  int64_t rows() const { return _rows; }
  const std::string& path() const { return _path; }

  // For the line of an interrupted run: "" without a path, otherwise "; the CSV file '<path>'
  // holds every finished step" or, without rows, "...' was left as it was".
  std::string Interruption_Note() const;

  // Writes `row` and a newline (nothing without a path). Throws on a failed write.
  void Row(const std::string& row);
  // Closes the file and throws if that fails; afterwards the writer writes nothing. Without
  // rows the temporary file is removed and an old file stays as it was.
  void Finish();

 private:
  void Write_Line(const std::string& line);
  void Discard();
  std::string Quoted() const;  // the path as error messages show it
  // Throws "<before>'<path>'<after>[ after N rows]: <reason of error>" (after cleaning up).
  [[noreturn]] void Fail(int error, const char* before, const char* after = "");

  std::string _path;       // what the user named
  std::string _target;     // the file replaced at the first row (a link's target)
  std::string _temporary;  // empty once in place (or when written directly)
  int _fd = -1;
  int64_t _rows = 0;
  uint64_t _bytes = 0;  // the size of the file's whole lines
};

}  // namespace quarnel::modelkit
