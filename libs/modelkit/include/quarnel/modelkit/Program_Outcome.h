// Running a model program the way a user does, for tests of its command line: its exit status
// and what it wrote on standard error (standard output is discarded). Main-thread only; the
// program and the arguments are shell words.
#pragma once

#include <string>

namespace quarnel::modelkit {

struct Program_Outcome {
  int status;       // the exit status, or -1 when the program did not exit normally
  std::string err;  // its standard error
};

Program_Outcome Run_Program(const std::string& program, const std::string& args);

}  // namespace quarnel::modelkit
