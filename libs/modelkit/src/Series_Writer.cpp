#include <quarnel/modelkit/Series_Writer.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <quarnel/modelkit/Program_Process.h>

namespace quarnel::modelkit {

Series_Writer::Series_Writer(const std::string& path, const std::string& header) : _path(path) {
  if (path.empty()) return;
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) Fail(errno, "cannot write the CSV file ");
  if (exists && S_ISDIR(status.st_mode)) Fail(EISDIR, "cannot write the CSV file ");
  if (exists && !S_ISREG(status.st_mode)) {
    // A FIFO, a terminal, /dev/stdout: written as it is, nothing to replace.
    _fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (_fd < 0) Fail(errno, "cannot write the CSV file ");
    Write_Line(header + '\n');
    return;
  }
  if (exists && ::access(path.c_str(), W_OK) != 0) Fail(errno, "cannot write the CSV file ");
  _target = path;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr); resolved != nullptr) {
      _target = resolved;
      std::free(resolved);
    }
  }
  const std::string stem = _target + "." + std::to_string(::getpid());
  for (int attempt = 0; _fd < 0; ++attempt) {
    _temporary = stem + (attempt == 0 ? "" : "-" + std::to_string(attempt)) + ".partial";
    _fd = ::open(_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (_fd < 0 && (errno != EEXIST || attempt == 100)) {
      const int error = errno;
      _temporary.clear();
      Fail(error, "cannot write the CSV file ");
    }
  }
  Set_File_To_Remove_On_Signal(_temporary.c_str());
  if (exists) ::fchmod(_fd, status.st_mode & 07777);
  Write_Line(header + '\n');
}

Series_Writer::~Series_Writer() {
  if (_fd < 0) return;
  if (!_temporary.empty()) {
    Discard();
  } else {
    ::close(_fd);
  }
}

void Series_Writer::Row(const std::string& row) {
  if (_fd < 0) return;
  Write_Line(row + '\n');
  ++_rows;
  if (_temporary.empty()) return;
  // The first row is in the temporary file: it becomes the series file.
  if (::rename(_temporary.c_str(), _target.c_str()) != 0) {
    Fail(errno, "cannot put the CSV file ", " in place");
  }
  Set_File_To_Remove_On_Signal(nullptr);
  _temporary.clear();
}

void Series_Writer::Finish() {
  if (_fd < 0) return;
  if (!_temporary.empty()) {  // no row: the old file stays
    Discard();
    return;
  }
  const int closed = ::close(_fd);
  _fd = -1;
  if (closed != 0) Fail(errno, "writing the CSV file ", " failed");
}

void Series_Writer::Write_Line(const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(_fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(errno, "writing the CSV file ", " failed");
    if (n == 0) Fail(EIO, "writing the CSV file ", " failed");
    done += size_t(n);
  }
  _bytes += line.size();
}

std::string Series_Writer::Interruption_Note() const {
  if (_path.empty()) return "";
  return "; the CSV file " + Quoted() + (_rows > 0 ? " holds every finished step" : " was left as it was");
}

std::string Series_Writer::Quoted() const {
  return "'" + Printable(_path) + "'";
}

void Series_Writer::Discard() {
  ::close(_fd);
  _fd = -1;
  if (!_temporary.empty()) {
    Set_File_To_Remove_On_Signal(nullptr);
    ::unlink(_temporary.c_str());
    _temporary.clear();
  }
}

void Series_Writer::Fail(int error, const char* before, const char* after) {
  if (_fd >= 0) {
    if (!_temporary.empty()) {
      Discard();  // the old file stays as it was
    } else {
      // No torn last line: back to the last whole row (a no-op where it cannot be cut).
      [[maybe_unused]] const int cut = ::ftruncate(_fd, off_t(_bytes));
    }
  }
  const std::string rows =
      _rows == 0 ? "" : " after " + std::to_string(_rows) + (_rows == 1 ? " row" : " rows");
  throw std::runtime_error(before + Quoted() + after + rows + ": " + std::strerror(error));
}

}  // namespace quarnel::modelkit
