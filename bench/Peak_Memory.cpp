// quarnel_peak_memory: runs a program and prints its peak resident memory.
//
//   quarnel_peak_memory <program> [arguments...]
//
// Prints "peak_rss_kib <n>" on standard output once the program has ended (its own output
// goes where it would have gone) and exits with the program's exit status, or 127 when it
// could not be started. The figure is the kernel's ru_maxrss of the child, the same number
// that `/usr/bin/time -f %M` reports.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <program> [arguments...]\n", argv[0]);
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 127;
  }
  if (child == 0) {
    execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return 127;
  }
  std::printf("peak_rss_kib %ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
