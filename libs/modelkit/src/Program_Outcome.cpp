#include <quarnel/modelkit/Program_Outcome.h>

#include <sys/wait.h>

#include <cstdio>

namespace quarnel::modelkit {

Program_Outcome Run_Program(const std::string& program, const std::string& args) {
  const std::string command = program + " " + args + " 2>&1 >/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string err;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) err += buffer;
  const int raw = pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, err};
}

}  // namespace quarnel::modelkit
