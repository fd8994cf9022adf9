#include <quarnel/detail/Checked_File_Appender.h>

#include <unistd.h>
#include <log4cpp/Priority.hh>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <typeinfo>
#include <vector>

#include <quarnel/Logger.h>

namespace quarnel {
namespace {

// Writes all of `text` to `fd`; returns 0 or the errno of the failure.
int Write_All(int fd, char const* data, size_t size) {
  if (fd < 0) return EBADF;  // the file was never opened
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    data += written;
    size -= size_t(written);
  }
  return 0;
}

void To_Standard_Error(std::string const& text) {
  Write_All(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

bool Write_Check::Write(int fd, std::string const& line, int priority, std::string const& file) {
  const int error = Write_All(fd, line.data(), line.size());
  if (error == 0) return true;
  if (!_reported.exchange(true)) {
    const std::string reason = fd < 0 ? "it could not be opened" : std::generic_category().message(error);
    To_Standard_Error("Could not write to the log file " + file + ": " + reason +
                      "; its NOTICE and more severe lines go to standard error from now on. error in " +
                      __FILE__ + ", line " + std::to_string(__LINE__) + "\n");
  }
  if (priority <= log4cpp::Priority::NOTICE) To_Standard_Error(line);
  return false;
}

Checked_File_Appender::Checked_File_Appender(std::string const& name, std::string const& file_name,
                                             bool append, mode_t mode)
    : FileAppender(name, file_name, append, mode) {}

void Checked_File_Appender::_append(log4cpp::LoggingEvent const& event) {
  _check.Write(_fd, _getLayout().format(event), event.priority, _fileName);
}

Checked_Rolling_File_Appender::Checked_Rolling_File_Appender(std::string const& name,
                                                             std::string const& file_name,
                                                             size_t max_file_size,
                                                             unsigned int max_backup_index, bool append,
                                                             mode_t mode)
    : RollingFileAppender(name, file_name, max_file_size, max_backup_index, append, mode) {}

// As RollingFileAppender: write, then roll over once the file has reached its size limit.
void Checked_Rolling_File_Appender::_append(log4cpp::LoggingEvent const& event) {
  if (!_check.Write(_fd, _getLayout().format(event), event.priority, _fileName)) return;
  const off_t size = ::lseek(_fd, 0, SEEK_END);
  if (size >= 0 && size_t(size) >= _maxFileSize) rollOver();
}

namespace {

// What a twin needs of the appender it replaces, taken before that one is destroyed.
struct Twin_Recipe {
  std::string name;
  std::string file;
  bool rolling;
  size_t max_file_size;
  unsigned int max_backup_index;
  mode_t mode;
  log4cpp::Priority::Value threshold;
};

Twin_Recipe Recipe_Of(log4cpp::FileAppender& appender) {
  Twin_Recipe recipe{appender.getName(),
                     log4cpp::QuarnelFileAppender::GetFilename(appender).string(),
                     false,
                     0,
                     0,
                     appender.getMode(),
                     appender.getThreshold()};
  if (auto* rolling = dynamic_cast<log4cpp::RollingFileAppender*>(&appender)) {
    recipe.rolling = true;
    recipe.max_file_size = rolling->getMaxFileSize();
    recipe.max_backup_index = rolling->getMaxBackupIndex();
  }
  return recipe;
}

log4cpp::Appender* Make_Twin(Twin_Recipe const& r) {
  if (r.rolling)
    return new Checked_Rolling_File_Appender(r.name, r.file, r.max_file_size, r.max_backup_index, true,
                                             r.mode);
  return new Checked_File_Appender(r.name, r.file, true, r.mode);
}

// Whether a category other than `category` also holds `appender` (a property file may give
// one appender to several categories); such an appender is left as it is.
bool Shared(log4cpp::Appender* appender, log4cpp::Category const& category) {
  std::unique_ptr<std::vector<log4cpp::Category*>> all(log4cpp::Category::getCurrentCategories());
  for (log4cpp::Category* other : *all) {
    if (other != &category && other->getAllAppenders().count(appender) != 0) return true;
  }
  return false;
}

// Takes `appender` out of `category` and destroys it, owned or not (a property file's
// appenders are held by reference, and no one else would release a replaced one).
void Remove_And_Destroy(log4cpp::Category& category, log4cpp::Appender* appender) {
  const bool owned = category.ownsAppender(appender);
  category.removeAppender(appender);
  if (!owned) delete appender;
}

}  // namespace

// The old appender is destroyed before its twin is made: log4cpp names appenders in a
// process-wide table, which the old one's destructor would otherwise clear for the twin.
void Replace_With_Checked(log4cpp::Category& category) {
  for (log4cpp::Appender* appender : category.getAllAppenders()) {
    const std::type_info& kind = typeid(*appender);
    if (kind != typeid(log4cpp::FileAppender) && kind != typeid(log4cpp::RollingFileAppender)) continue;
    if (appender->getFilter() != nullptr || Shared(appender, category)) continue;
    auto* file = static_cast<log4cpp::FileAppender*>(appender);
    std::unique_ptr<log4cpp::Layout> layout;
    try {
      layout.reset(copyLayout(log4cpp::QuarnelFileAppender::GetLayout(*file)));
    } catch (std::exception const&) {
      continue;  // a layout of another kind: the appender keeps writing unchecked
    }
    const Twin_Recipe recipe = Recipe_Of(*file);
    Remove_And_Destroy(category, appender);
    log4cpp::Appender* twin = Make_Twin(recipe);
    twin->setLayout(layout.release());
    twin->setThreshold(recipe.threshold);
    category.addAppender(twin);
  }
}

}  // namespace quarnel
