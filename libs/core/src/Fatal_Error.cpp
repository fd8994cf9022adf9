#include <quarnel/Fatal_Error.h>

#include <stdexcept>

#include <quarnel/Logger.h>
#include <quarnel/Stack_Trace.h>

namespace quarnel {

void Raise_Fatal_Error(const char* file, int line, const std::string& message) {
  const bool written = Quarnel_Logging_Interface::lines_written();
  if (written) {
    std::ostringstream text;
    text << "\n\tRUNTIME_ERROR at " << file << ":" << line << "\n\tMessage: " << message << "\n\n";
    Quarnel_Logging_Interface::error(text.str());
  }
  remove_signal_handlers();
  if (written) PrintStack();
  Quarnel_Logging_Interface::flush();
  // Only a report that went somewhere can be checked.
  throw std::runtime_error(
      (written ? "An exception occurred, check your logs: " : "An exception occurred: ") + message);
}

std::string Describe_Exception(const std::exception& e) {
  std::string text = e.what();
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& cause) {
    text += ": " + Describe_Exception(cause);
  } catch (...) {
    text += ": an exception of unknown type";
  }
  return text;
}

}  // namespace quarnel
