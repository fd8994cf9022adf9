// Runs the population program as a user does, in a fresh temporary folder, and collects
// what it printed and its exit status. POPULATION_EXE is the program's path (a compile
// definition of the tests that use this header).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace population_testing {

struct Program_Outcome {
  int status;          // exit status, or 128 + signal
  std::string out;     // standard output
  std::string err;     // standard error
  std::string output;  // both, standard output first
};

inline std::string Read_File(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the program with `args` (shell words) in a new folder that `prepare` sets up first;
// `shell_setup` (for example "ulimit -v 400000") runs in the program's shell before it;
// standard output goes to `stdout_to` (a file of the folder, "/dev/full", or "&-": closed).
inline Program_Outcome Run_Population(const std::string& args,
                                      const std::function<void(const std::filesystem::path&)>& prepare = {},
                                      const std::string& shell_setup = "",
                                      const std::string& stdout_to = "stdout.txt") {
  static int run = 0;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("population_run_" + std::to_string(getpid()) + "_" + std::to_string(run++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  if (prepare) prepare(dir);
  const std::string command = "cd '" + dir.string() + "' && " +
                              (shell_setup.empty() ? "" : shell_setup + " && ") +
                              "timeout 300 '" POPULATION_EXE "' " + args + " >" + stdout_to + " 2>stderr.txt";
  const int raw = std::system(command.c_str());
  Program_Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw),
                          Read_File(dir / "stdout.txt"), Read_File(dir / "stderr.txt"), ""};
  outcome.output = outcome.out + outcome.err;
  std::filesystem::remove_all(dir);
  return outcome;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace population_testing
