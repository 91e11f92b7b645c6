// Runs the built program with a given standard input and checks what it
// writes and how it exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

enum class Out { captured, dev_full, closed };

struct Case {
  const char* name;
  std::string input;
  Out out;
  const char* expected_out;  // ignored unless captured
  const char* expected_err;
  int expected_status;
};

std::string read_all(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int ch = 0; (ch = std::fgetc(file)) != EOF;) {
    text.push_back(static_cast<char>(ch));
  }
  return text;
}

// Exit status, or minus the signal that killed the program.
int run(const Case& c, std::string& out, std::string& err) {
  std::FILE* in_file = std::tmpfile();
  std::FILE* out_file = std::tmpfile();
  std::FILE* err_file = std::tmpfile();
  std::fwrite(c.input.data(), 1, c.input.size(), in_file);
  std::fflush(in_file);
  std::rewind(in_file);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(in_file), 0);
  if (c.out == Out::captured) {
    posix_spawn_file_actions_adddup2(&actions, fileno(out_file), 1);
  } else if (c.out == Out::dev_full) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 1);
  }
  posix_spawn_file_actions_adddup2(&actions, fileno(err_file), 2);

  char path[] = GARDEN_COUNT_PATH;
  char* argv[] = {path, nullptr};
  char* envp[] = {nullptr};
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, path, &actions, nullptr, argv, envp) == 0 &&
      waitpid(pid, &status, 0) == pid) {
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  out = read_all(out_file);
  err = read_all(err_file);
  std::fclose(in_file);
  std::fclose(out_file);
  std::fclose(err_file);
  return status;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GardenCount : public testing::TestWithParam<Case> {};

TEST_P(GardenCount, Run) {
  const Case& c = GetParam();
  std::string out;
  std::string err;
  EXPECT_EQ(run(c, out, err), c.expected_status);
  EXPECT_EQ(out, c.out == Out::captured ? c.expected_out : "");
  EXPECT_EQ(err, c.expected_err);
}

// Expected results are k * 2^(k-1) mod 1000000007, from the third value read.
const Case cases[] = {
    {"example", "1 2 3 1\n", Out::captured, "12\n", "", 0},
    {"only_k_counts", "0 0 3 0", Out::captured, "12\n", "", 0},
    {"only_k_counts_signs", "5 -7 3 100\n", Out::captured, "12\n", "", 0},
    {"whitespace_mix", " \t1\n\n2\t \t3 \n\n 1\n", Out::captured, "12\n", "", 0},
    {"text_after_fourth", "1 2 3 1 oops 99\n", Out::captured, "12\n", "", 0},
    {"empty", "", Out::captured, "0\n", "", 0},
    {"three_values", "4 4 2", Out::captured, "4\n", "", 0},
    {"unreadable_fourth", "4 4 2 x", Out::captured, "4\n", "", 0},
    {"unreadable_third", "1 2 x 4\n", Out::captured, "0\n", "", 0},
    {"unreadable_first", "x 2 3 4\n", Out::captured, "0\n", "", 0},
    {"a_past_range", "2147483648 2 3 1\n", Out::captured, "0\n", "", 0},
    {"k0", "0 0 0 0", Out::captured, "0\n", "", 0},
    {"k1", "0 0 1 0", Out::captured, "1\n", "", 0},
    {"k2", "0 0 2 0", Out::captured, "4\n", "", 0},
    {"k4", "0 0 4 0", Out::captured, "32\n", "", 0},
    {"k7", "0 0 7 0", Out::captured, "448\n", "", 0},
    {"k26_largest_unreduced", "0 0 26 0", Out::captured, "872415232\n", "", 0},
    {"k27_reduced", "0 0 27 0", Out::captured, "811939321\n", "", 0},
    {"k_negative", "1 2 -1 4", Out::captured, "",
     "garden_count: k = -1 is outside the supported range 0..27\n", 1},
    {"k28", "1 2 28 4", Out::captured, "",
     "garden_count: k = 28 is outside the supported range 0..27\n", 1},
    {"k30", "1 2 30 4", Out::captured, "",
     "garden_count: k = 30 is outside the supported range 0..27\n", 1},
    {"k31", "1 2 31 4", Out::captured, "",
     "garden_count: k = 31 is outside the supported range 0..27\n", 1},
    {"k_past_range_high", "1 2 99999999999 4", Out::captured, "",
     "garden_count: k = 2147483647 is outside the supported range 0..27\n", 1},
    {"k_past_range_low", "1 2 -2147483649 4", Out::captured, "",
     "garden_count: k = -2147483648 is outside the supported range 0..27\n", 1},
    {"stdout_full", "1 2 3 1\n", Out::dev_full, "",
     "garden_count: cannot write the result: No space left on device\n", 1},
    {"stdout_closed", "1 2 3 1\n", Out::closed, "",
     "garden_count: cannot write the result: Bad file descriptor\n", 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, GardenCount, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

}  // namespace
