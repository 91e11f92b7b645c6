// Runs the built program with a given standard input and checks what it
// writes and how it exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using std::string_literals::operator""s;

char path[] = GARDEN_COUNT_PATH;
#if defined(GARDEN_COUNT_VALGRIND)
// Built as garden_count_valgrind_tests, every case runs the program under
// valgrind's memcheck, which then must print nothing: any error it finds, or
// an instruction it cannot run, shows on standard error.
char launcher[] = GARDEN_COUNT_VALGRIND;
char quiet[] = "-q";
char error_exit[] = "--error-exitcode=1";
char* argv[] = {launcher, quiet, error_exit, path, nullptr};
#else
char* argv[] = {path, nullptr};
#endif

enum class In { text, closed, directory };
enum class Out { captured, dev_full, closed };

struct Case {
  std::string name;
  std::string input{};  // standard input, when it is text
  std::string expected_out{};
  std::string expected_err{};
  int expected_status = 0;
  Out out = Out::captured;
  In in = In::text;
};

struct Result {
  int status;  // exit status, or minus the signal that killed the program
  std::string out;
  std::string err;
};

std::string read_all(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int ch = 0; (ch = std::fgetc(file)) != EOF;) {
    text.push_back(static_cast<char>(ch));
  }
  return text;
}

Result run(const Case& c) {
  std::FILE* in_file = std::tmpfile();
  std::FILE* out_file = std::tmpfile();
  std::FILE* err_file = std::tmpfile();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (c.in == In::text) {
    std::fwrite(c.input.data(), 1, c.input.size(), in_file);
    std::fflush(in_file);
    std::rewind(in_file);
    posix_spawn_file_actions_adddup2(&actions, fileno(in_file), 0);
  } else if (c.in == In::directory) {
    posix_spawn_file_actions_addopen(&actions, 0, "/", O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  if (c.out == Out::captured) {
    posix_spawn_file_actions_adddup2(&actions, fileno(out_file), 1);
  } else if (c.out == Out::dev_full) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 1);
  }
  posix_spawn_file_actions_adddup2(&actions, fileno(err_file), 2);

  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0 &&
      waitpid(pid, &status, 0) == pid) {
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  Result result{status, read_all(out_file), read_all(err_file)};
  std::fclose(in_file);
  std::fclose(out_file);
  std::fclose(err_file);
  return result;
}

std::string k_error(const char* k) {
  return "garden_count: k = "s + k + " is outside the supported range 0..27\n";
}

const std::string k_past_range =
    "garden_count: k is past the signed 32-bit range; the supported range is 0..27\n";

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GardenCount : public testing::TestWithParam<Case> {};

TEST_P(GardenCount, Run) {
  const Case& c = GetParam();
  const Result result = run(c);
  EXPECT_EQ(result.status, c.expected_status);
  EXPECT_EQ(result.out, c.expected_out);
  EXPECT_EQ(result.err, c.expected_err);
}

// Expected results are k * 2^(k-1) mod 1000000007, from the third value read:
// k = 3 gives 12, k = 5 gives 80.
const Case cases[] = {
    {"example", "1 2 3 1\n", "12\n"},
    {"only_k_counts", "0 0 3 0", "12\n"},
    {"only_k_counts_signs", "5 -7 3 100\n", "12\n"},
    {"whitespace_mix", " \t1\n\n2\t \t3 \n\n 1\n", "12\n"},
    {"text_after_fourth", "1 2 3 1 oops 99\n", "12\n"},
    {"empty", "", "0\n"},
    {"three_values", "4 4 2", "4\n"},
    {"unreadable_fourth", "4 4 2 x", "4\n"},
    {"unreadable_third", "1 2 x 4\n", "0\n"},
    {"unreadable_first", "x 2 3 4\n", "0\n"},
    {"k0", "0 0 0 0", "0\n"},
    {"k1", "0 0 1 0", "1\n"},
    {"k2", "0 0 2 0", "4\n"},
    {"k4", "0 0 4 0", "32\n"},
    {"k7", "0 0 7 0", "448\n"},
    {"k26_largest_unreduced", "0 0 26 0", "872415232\n"},
    {"k27_reduced", "0 0 27 0", "811939321\n"},
    {"k_negative", "1 2 -1 4", "", k_error("-1"), 1},
    {"k28", "1 2 28 4", "", k_error("28"), 1},
    {"k30", "1 2 30 4", "", k_error("30"), 1},
    {"k31", "1 2 31 4", "", k_error("31"), 1},
    {"stdout_full", "1 2 3 1\n", "",
     "garden_count: cannot write the result: No space left on device\n", 1, Out::dev_full},
    {"stdout_closed", "1 2 3 1\n", "",
     "garden_count: cannot write the result: Bad file descriptor\n", 1, Out::closed},

    // Hostile input. A value is read by skipping whitespace (space, \t, \n, \v,
    // \f, \r), taking an optional sign and decimal digits, and stopping at the
    // first byte that cannot continue the number. A value with no digits, or
    // past the signed 32-bit range, fails the stream: it and every later value stay 0,
    // except that a number past the range leaves its nearest limit.
    {"nul_after_k", "1 2 3\0 1\n"s, "12\n"},
    {"nul_before_k", "1 2 \0 3 1\n"s, "0\n"},
    {"non_ascii_after_k", "1 2 3\xff\xfe 1\n", "12\n"},
    {"no_break_space", "1\u00a02 3 1\n", "0\n"},   // U+00A0 in UTF-8
    {"fullwidth_digit", "1 2 \uff13 1\n", "0\n"},  // U+FF13, a 3

    {"crlf", "1\r\n2\r\n3\r\n1\r\n", "12\n"},
    {"vertical_tab_form_feed", "1\v2\f3\v\f1", "12\n"},
    {"only_whitespace", " \t\r\n\v\f", "0\n"},
    {"megabyte_of_whitespace", std::string(1 << 20, ' ') + "1 2 3 1", "12\n"},
    {"leading_plus", "+1 +2 +5 +1", "80\n"},
    {"sign_without_digits", "1 2 + 5 1", "0\n"},
    {"two_signs", "1 2 +-5 1", "0\n"},
    {"minus_zero_k", "1 2 -0 1", "0\n"},
    {"minus_zero_others", "-0 -0 5 -0", "80\n"},
    {"leading_zeros", "1 2 " + std::string(10000, '0') + "5 1", "80\n"},
    {"hex_k_reads_its_zero", "1 2 0x5 1", "0\n"},
    {"hex_a_stops_b", "0x1 2 5 1", "0\n"},
    {"hex_letters", "1 2 ff 1", "0\n"},
    {"decimal_point_k_truncated", "1 2 5.9 1", "80\n"},
    {"decimal_point_a_stops_b", "1.5 2 5 1", "0\n"},
    {"exponent_k", "1 2 5e1 1", "80\n"},
    {"commas", "1,2,5,1", "0\n"},
    {"commas_and_spaces", "1, 2, 5, 1", "0\n"},
    {"int32_limits_in_range", "2147483647 -2147483648 5 -2147483648", "80\n"},
    {"a_past_range", "2147483648 2 3 1\n", "0\n"},
    {"b_past_range", "1 -2147483649 3 1\n", "0\n"},
    {"k_past_range_high", "1 2 99999999999 4", "", k_past_range, 1},
    {"k_past_range_low", "1 2 -2147483649 4", "", k_past_range, 1},
    {"k_past_range_not_wrapped", "1 2 4294967299 4", "", k_past_range, 1},
    {"k_past_64_bits", "1 2 " + std::string(30, '9') + " 4", "", k_past_range, 1},
    {"k_at_the_limit_fourth_unreadable", "1 2 2147483647 x", "", k_error("2147483647"), 1},
    {"c_past_range", "1 2 3 2147483648", "12\n"},

    // Input that cannot be read at all is an error, not an empty input.
    {.name = "stdin_closed",
     .expected_err = "garden_count: cannot read the input: Bad file descriptor\n",
     .expected_status = 1,
     .in = In::closed},
    {.name = "stdin_directory",
     .expected_err = "garden_count: cannot read the input: Is a directory\n",
     .expected_status = 1,
     .in = In::directory},
};

std::string case_name(const testing::TestParamInfo<Case>& param) { return param.param.name; }

#if defined(GARDEN_COUNT_VALGRIND)
// Under valgrind, where a run takes about half a second: every error, and the
// sizes to 16 and from 25 on, whose walks carry into each lane of the walk's
// words; each size prints k * 2^(k-1) mod 1000000007. An unoptimized build
// (SLOW_BUILD) would take minutes a size from 25 on, and stops at 16.
std::vector<Case> valgrind_cases() {
#if defined(SLOW_BUILD)
  constexpr std::int64_t largest = 16;
#else
  constexpr std::int64_t largest = 27;
#endif
  std::vector<Case> chosen;
  for (const Case& c : cases) {
    if (c.expected_status != 0) {
      chosen.push_back(c);
    }
  }
  for (std::int64_t k = 0; k <= largest; k = k == 16 ? 25 : k + 1) {
    const std::int64_t count = k == 0 ? 0 : (k << (k - 1)) % 1000000007;
    chosen.push_back({.name = "size_" + std::to_string(k),
                      .input = "1 2 " + std::to_string(k) + " 1\n",
                      .expected_out = std::to_string(count) + "\n"});
  }
  return chosen;
}
INSTANTIATE_TEST_SUITE_P(Cases, GardenCount, testing::ValuesIn(valgrind_cases()), case_name);
#else
INSTANTIATE_TEST_SUITE_P(Cases, GardenCount, testing::ValuesIn(cases), case_name);
#endif

// A caller that keeps the input open gets the answer once the fourth value
// has been read, without closing the input first.
TEST(GardenCount, AnswersBeforeTheInputEnds) {
  std::array<int, 2> in{};
  std::array<int, 2> out{};
  ASSERT_EQ(pipe(in.data()), 0);
  ASSERT_EQ(pipe(out.data()), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  for (const int fd : {in[0], in[1], out[0], out[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  ASSERT_EQ(spawned, 0);

  const std::string input = "1 2 3 1\n";
  EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::string answer;
  pollfd ready{out[0], POLLIN, 0};
  std::array<char, 64> buffer{};
  while (answer.find('\n') == std::string::npos && poll(&ready, 1, 5000) == 1) {
    const ssize_t got = read(out[0], buffer.data(), buffer.size());
    if (got <= 0) {
      break;
    }
    answer.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(in[1]);
  waitpid(pid, nullptr, 0);
  close(out[0]);
  EXPECT_EQ(answer, "12\n");
}

}  // namespace
