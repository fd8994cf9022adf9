#include "Command_Line.h"

#include <quarnel/modelkit/Program_Process.h>
#include <boost/asio/ip/host_name.hpp>

#include <cstdlib>
#include <filesystem>

// Build metadata, injected as compile definitions by the build (see CMakeLists.txt).
#ifndef QUARNEL_GIT_BRANCH
#define QUARNEL_GIT_BRANCH "unknown"
#endif
#ifndef QUARNEL_GIT_COMMIT
#define QUARNEL_GIT_COMMIT "unknown"
#endif
#ifndef QUARNEL_BUILD_TIMESTAMP
#define QUARNEL_BUILD_TIMESTAMP "unknown"
#endif
#ifndef QUARNEL_BUILD_CONFIGURATION
#define QUARNEL_BUILD_CONFIGURATION "unknown"
#endif

std::vector<std::string> handle_args(const quarnel::Log_Stream_Source& log, int argc, char** argv) {
  // Outside text: a control character in it could start a line of its own in the log.
  log() << "Exe: " << quarnel::modelkit::Printable(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  std::vector<std::string> args(argv + 1, argv + std::max(argc, 1));
  if (argc < 2) {
    log() << "There were no arguments;";
    return args;
  }
  log() << "Arguments:";
  for (int i = 1; i < argc; ++i) log() << i << ": " << quarnel::modelkit::Printable(argv[i]);
  return args;
}

void log_metadata(const quarnel::Log_Stream_Source& log) {
  log() << "Running on host:       '" << boost::asio::ip::host_name() << "'";
  log() << "Built with git branch: " << QUARNEL_GIT_BRANCH;
  log() << "Git commit hash:       " << QUARNEL_GIT_COMMIT;
  log() << "Compiled at:           " << QUARNEL_BUILD_TIMESTAMP << " (UTC)";
  log() << "Configuration:         " << QUARNEL_BUILD_CONFIGURATION;
}

void handle_version_check(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + std::max(argc, 1));
  auto is_version = [](const std::string& arg) { return arg == "-v" || arg == "--version"; };
  if (std::none_of(args.begin(), args.end(), is_version)) return;
  log_metadata(log4cpp::Temporary_Console_Stream());
  std::exit(0);
}

std::string get_scenario_file(std::vector<std::string>& args, const quarnel::Log_Stream_Source& log) {
  if (args.empty()) {
    log() << "You must specify the scenario configuration file to use";
    std::exit(1);
  }
  std::string file = args.front();
  std::error_code unreadable;  // an entry that cannot be inspected counts as missing
  if (!std::filesystem::exists(file, unreadable)) {
    log() << "No such scenario config file: " << quarnel::modelkit::Printable(file);
    std::exit(1);
  }
  args.erase(args.begin());
  return file;
}

void log_residual_args(std::vector<std::string>& args, unsigned int& num_threads,
                       const quarnel::Log_Stream_Source& log) {
  if (args.empty()) return;
  if (args.size() == 1) {
    num_threads = convert_arg<unsigned int>(args.front());
    log() << "Deprecation warning: naked num_thread found, please use '--threads " << num_threads << "'";
    return;
  }
  std::string listed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    listed += (i == 0 ? "" : ", ") + quarnel::modelkit::Printable(args[i]);
  }
  log() << "There were unhandled arguments: [" << listed << "]";
  std::exit(1);
}
