// Times whole runs of programs: each run starts the program with its standard
// input from a file and its output to /dev/null, and waits for it to end. The
// programs take turns, RUNS runs each a round, over ROUNDS rounds; a
// program's time is its best round's, in microseconds a run.
//
//   time_starts ROUNDS RUNS INPUT NAME PROGRAM [NAME PROGRAM ...]
//
// Prints a line for each program, in the order given: its name, a tab and its
// time. A run that fails, or exits other than 0, stops it with status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

struct Program {
  std::string name;
  std::string path;
  double best = std::numeric_limits<double>::infinity();
};

// Runs the program once; returns whether it exited 0.
bool run(const std::string& path, const char* input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string arg0 = path;
  char* argv[] = {arg0.data(), nullptr};
  pid_t pid = 0;
  int status = 0;
  const bool ran = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) == 0 &&
                   waitpid(pid, &status, 0) == pid;
  posix_spawn_file_actions_destroy(&actions);
  return ran && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || argc % 2 != 0) {
    std::fputs("usage: time_starts ROUNDS RUNS INPUT NAME PROGRAM [NAME PROGRAM ...]\n", stderr);
    return 2;
  }
  const int rounds = std::stoi(argv[1]);
  const int runs = std::stoi(argv[2]);
  const char* input = argv[3];
  std::vector<Program> programs;
  for (int i = 4; i + 1 < argc; i += 2) {
    programs.push_back({argv[i], argv[i + 1]});
  }
  for (int round = 0; round < rounds; ++round) {
    for (Program& program : programs) {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < runs; ++i) {
        if (!run(program.path, input)) {
          std::fprintf(stderr, "time_starts: %s failed\n", program.path.c_str());
          return 1;
        }
      }
      const std::chrono::duration<double, std::micro> took =
          std::chrono::steady_clock::now() - start;
      program.best = std::min(program.best, took.count() / runs);
    }
  }
  for (const Program& program : programs) {
    std::printf("%s\t%.0f\n", program.name.c_str(), program.best);
  }
  return 0;
}
