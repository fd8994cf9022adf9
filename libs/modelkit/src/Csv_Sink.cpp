#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <quarnel/modelkit/Program_Process.h>

#include "Record_Sinks.h"

namespace quarnel::modelkit {
namespace {

std::string Reason(int error) {
  return std::strerror(error);
}

// The temporary file beside `path`: ".<name>.XXXXXX" in the same folder, so that the rename
// that publishes it stays within one file system.
std::string Temporary_Beside(const std::string& path) {
  const std::filesystem::path p(path);
  const std::filesystem::path folder = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
  return (folder / ("." + p.filename().string() + ".XXXXXX")).string();
}

// Whether `path` names the file open on `fd` (the same device and inode).
bool Names(const std::string& path, int fd) {
  struct stat at_path, opened;
  return ::stat(path.c_str(), &at_path) == 0 && ::fstat(fd, &opened) == 0 &&
         at_path.st_dev == opened.st_dev && at_path.st_ino == opened.st_ino;
}

// Takes the writer's lock of the file open on `fd`: false when another run holds it. A file
// system without such locks (an error other than EWOULDBLOCK) is written without one.
bool Take_Lock(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
  return true;
}

[[noreturn]] void Refuse_Held(const std::string& path) {
  Refuse_Record("the CSV file " + path + " is being written by another run");
}

}  // namespace

// The writer's lock of the file that `path` names now, held on the returned descriptor; -1
// when there is no file. Locked, then checked to be still the file at `path`: another run
// that replaced it in between holds the new one.
int Recorder::Csv_Sink::Lock_Destination(const std::string& path) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) return -1;
    if (fd < 0) Refuse_Record("cannot write the CSV file " + path + ": " + Reason(errno));
    if (!Take_Lock(fd)) {
      ::close(fd);
      Refuse_Held(path);
    }
    if (Names(path, fd)) return fd;
    ::close(fd);
  }
  Refuse_Record("cannot write the CSV file " + path + ": it keeps being replaced");
}

uint64_t Csv_Digest(const char* data, size_t size, uint64_t digest) {
  for (size_t i = 0; i < size; ++i) digest = (digest ^ uint8_t(data[i])) * 1099511628211ull;
  return digest;
}

Recorder::Csv_Sink::Csv_Sink(const std::string& path, const std::vector<Measure_Column>& columns,
                             bool overwrite)
    : _path(path), _overwrite(overwrite) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) Refuse_Record("cannot write the CSV file " + path + ": it is a folder");
    _regular = S_ISREG(st.st_mode);
    if (_regular && !overwrite) Refuse_Record("the CSV file " + path + " exists (--overwrite replaces it)");
  }
  if (_regular) {
    // A symbolic link keeps pointing at the file it names, which is the one replaced, and a
    // replaced file keeps its permission bits.
    struct stat link;
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      if (char* resolved = ::realpath(path.c_str(), nullptr); resolved != nullptr) {
        _path = resolved;
        std::free(resolved);
      }
    }
    // The file replaced stays locked until this run's file takes its place, and this run's
    // file is locked from its start: a run that would replace either is refused.
    _held = Lock_Destination(_path);
    try {
      const bool exists = _held >= 0 && ::fstat(_held, &st) == 0;
      std::string name = Temporary_Beside(_path);
      _fd = ::mkostemp(name.data(), O_CLOEXEC);
      if (_fd < 0) Refuse_Record("cannot write the CSV file " + path + ": " + Reason(errno));
      Take_Lock(_fd);
      ::fchmod(_fd, exists ? st.st_mode & 07777 : 0644);
      _temporary = name;
      Set_File_To_Remove_On_Signal(_temporary.c_str());  // a second signal leaves no temporary file
    } catch (...) {
      Release();
      throw;
    }
  } else {
    _fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (_fd < 0) Refuse_Record("cannot write the CSV file " + path + ": " + Reason(errno));
  }
  std::string header = "step";
  for (const Measure_Column& c : columns) header += "," + c.name;
  try {
    Write_Line(header + "\n");
  } catch (...) {
    Release();
    throw;
  }
}

Recorder::Csv_Sink::Csv_Sink(const std::string& path, const std::vector<Measure_Column>& columns,
                             uint64_t step, uint64_t bytes, uint64_t digest)
    : _path(path), _overwrite(false) {
  const std::string refused = "cannot continue the CSV file " + path + ": ";
  _fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (_fd < 0) Refuse_Record(refused + Reason(errno));
  if (!Take_Lock(_fd)) {
    Release();
    Refuse_Held(path);
  }
  struct stat st;
  if (::fstat(_fd, &st) != 0 || !S_ISREG(st.st_mode)) Refuse_Record(refused + "it is not a regular file");
  std::string text(size_t(st.st_size), '\0');
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(_fd, text.data() + done, text.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) Refuse_Record(refused + (got < 0 ? Reason(errno) : "it shrank while being read"));
    done += size_t(got);
  }
  std::string header = "step";
  for (const Measure_Column& c : columns) header += "," + c.name;
  header += "\n";
  if (text.compare(0, header.size(), header) != 0) Refuse_Record(refused + "its header is not this run's");
  // Rows are in step order: keep them up to the last one at or before `step`.
  size_t keep = header.size();
  while (keep < text.size()) {
    const size_t end = text.find('\n', keep);
    if (end == std::string::npos) break;  // a partial last line goes too
    const std::string field = text.substr(keep, std::min(text.find(',', keep), end) - keep);
    char* stop = nullptr;
    const unsigned long long row_step = std::strtoull(field.c_str(), &stop, 10);
    if (field.empty() || *stop != '\0' || row_step > step) break;
    keep = end + 1;
  }
  // Another file with this header (another run's, or this run's copy cut short or changed) is
  // refused before it is cut: the saved run's rows to `step` are exactly its first `bytes`.
  if (text.size() < bytes || Csv_Digest(text.data(), size_t(bytes)) != digest || keep != bytes) {
    Refuse_Record(refused + "its rows to step " + std::to_string(step) +
                  " are not those of the checkpoint's run (missing or other)");
  }
  _size = int64_t(keep);
  _digest = digest;
}

void Recorder::Csv_Sink::Cut() {
  if (::ftruncate(_fd, off_t(_size)) != 0 || ::lseek(_fd, off_t(_size), SEEK_SET) < 0)
    Refuse_Record("cannot continue the CSV file " + _path + ": " + Reason(errno));
}

Recorder::Csv_Sink::~Csv_Sink() {
  Release();
}

void Recorder::Csv_Sink::Release() {
  Forget_Temporary();
  if (_fd >= 0) ::close(std::exchange(_fd, -1));
  if (_held >= 0) ::close(std::exchange(_held, -1));
}

// One write of the whole line. A regular file takes less only when it is about to fail
// (a full device, a size limit): the rest is offered once more to learn why, and whatever of
// the line reached the file is cut off again, so the file ends with its last complete line.
void Recorder::Csv_Sink::Write_Line(const std::string& line) {
  size_t done = 0;
  int error = 0;
  while (done < line.size()) {
    const ssize_t written = ::write(_fd, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      break;
    }
    done += size_t(written);
  }
  if (done == line.size()) {
    _size += int64_t(done);
    _digest = Csv_Digest(line.data(), line.size(), _digest);
    return;
  }
  if (done > 0 && _regular && ::ftruncate(_fd, _size) == 0) ::lseek(_fd, _size, SEEK_SET);
  Refuse_Record("writing the CSV file " + _path + " failed: " + Reason(error));
}

void Recorder::Csv_Sink::Row(const std::string& line) {
  Write_Line(line);
  if (!_temporary.empty()) Publish();
}

// Gives the temporary file its name: replacing an existing file only with `overwrite`, and
// never one that appeared during the run otherwise. A file is replaced only while its lock is
// held here, so that no other run's file is replaced while that run writes it.
void Recorder::Csv_Sink::Publish() {
  int moved = -1;
  if (!_overwrite) {
    moved = ::renameat2(AT_FDCWD, _temporary.c_str(), AT_FDCWD, _path.c_str(), RENAME_NOREPLACE);
  } else {
    for (int attempt = 0; attempt < 100 && moved != 0; ++attempt) {
      if (_held >= 0 && !Names(_path, _held)) {
        ::close(_held);
        _held = -1;
      }
      if (_held < 0) _held = Lock_Destination(_path);
      moved = _held >= 0
                  ? ::rename(_temporary.c_str(), _path.c_str())
                  : ::renameat2(AT_FDCWD, _temporary.c_str(), AT_FDCWD, _path.c_str(), RENAME_NOREPLACE);
      if (moved != 0 && errno != EEXIST) break;  // EEXIST: a file appeared; lock it and retry
    }
  }
  if (moved != 0) {
    const int error = errno;
    Refuse_Record("cannot give the CSV file its name " + _path + ": " + Reason(error));
  }
  if (_held >= 0) ::close(std::exchange(_held, -1));
  Set_File_To_Remove_On_Signal(nullptr);
  _temporary.clear();
}

void Recorder::Csv_Sink::Forget_Temporary() {
  if (_temporary.empty()) return;
  Set_File_To_Remove_On_Signal(nullptr);
  ::unlink(_temporary.c_str());
  _temporary.clear();
}

void Recorder::Csv_Sink::Finish(bool keep) {
  if (keep && !_temporary.empty()) Publish();
  Forget_Temporary();
  if (_held >= 0) ::close(std::exchange(_held, -1));
  // A file replaced or removed during the run by something that took no lock: its rows are lost.
  const bool lost = keep && _regular && _fd >= 0 && !Names(_path, _fd);
  const int fd = std::exchange(_fd, -1);
  if (fd >= 0 && ::close(fd) != 0 && keep)
    Refuse_Record("closing the CSV file " + _path + " failed: " + Reason(errno));
  if (lost)
    Refuse_Record("the CSV file " + _path +
                  " was replaced or removed during the run: its rows are not in it");
}

}  // namespace quarnel::modelkit
