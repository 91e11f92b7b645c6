# What the steps of CI (.ci/steps/*) share; each step sources it, and so does
# .ci/run. It works from the checkout's top directory, in bash with errexit,
# nounset and pipefail. CI_WORK is the run's temporary directory, which
# .ci/run makes and removes; a step run by itself makes its own. Each step
# also gets a directory of its own, $work, removed when the step ends, with
# whatever it adds to the array cleanup.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
cleanup=()
if [ -z "${CI_WORK:-}" ]; then
  CI_WORK=$(mktemp -d)
  cleanup+=("$CI_WORK")
fi
export CI_WORK
work=$(mktemp -d "$CI_WORK/step.XXXXXX")
cleanup+=("$work")
trap 'rm -rf "${cleanup[@]}"' EXIT

fail() {
  echo "ci: $*" >&2
  exit 1
}
limit() {
  local seconds=$1
  shift
  timeout --kill-after=10 "$seconds" "$@"
}

# apt-get install waits up to five minutes for another install to let go of
# the package database, and answers its own questions.
[ -f "$CI_WORK/apt.conf" ] ||
  printf 'DPkg::Lock::Timeout "300";\nAPT::Get::Assume-Yes "true";\n' >"$CI_WORK/apt.conf"
export APT_CONFIG=$CI_WORK/apt.conf DEBIAN_FRONTEND=noninteractive

apt_update() {
  # apt-get update does not wait for the lists' lock: it tries again instead.
  for attempt in $(seq 30); do
    apt-get update -qq && return
    [ "$attempt" -lt 30 ] || fail "apt-get update kept failing"
    sleep 10
  done
}

# The commands the pages show: README.md, the pages under docs/ and
# walkcheck/README.md. A command is a line of an indented block (indented four
# spaces, or six in a list item), or, after a line starting with "$ ", that
# command's expected output. shown holds the commands in order, expected what
# each prints where a page shows it, and page the page that shows it; a
# command shown twice is an error, since each page says its own things.
pages=(README.md docs/*.md walkcheck/README.md)
declare -A expected=() page=()
shown=()
while IFS=$'\t' read -r file kind text; do
  if [ "$kind" = command ]; then
    [[ ! -v page[$text] ]] || fail "$file and ${page[$text]} both show: $text"
    shown+=("$text")
    expected[$text]=
    page[$text]=$file
  else
    expected[${shown[-1]}]+=$text$'\n'
  fi
done < <(awk '
  FNR == 1 { blank = 1; indent = 0; prompt = 0 }
  indent && substr($0, 1, indent) ~ /^ *$/ && $0 !~ /^ *$/ || !indent && blank && /^    / {
    if (!indent) { match($0, /^ */); indent = RLENGTH }
    line = substr($0, indent + 1)
    if (line ~ /^\$ /) { print FILENAME "\tcommand\t" substr(line, 3); prompt = 1 }
    else if (prompt) print FILENAME "\toutput\t" line
    else print FILENAME "\tcommand\t" line
    blank = 0; next
  }
  { blank = ($0 ~ /^ *$/); indent = 0; prompt = 0 }' "${pages[@]}")
[ ${#shown[@]} -gt 0 ] || fail "found no commands in ${pages[*]}"

# The commands run or checked so far in this run, one a line: .ci/run checks,
# after all the steps, that every command a page shows is among them.
ran_shown() {
  printf '%s\n' "$1" >>"$CI_WORK/shown-done"
}

# Fails if CMake or CPack warned in the given output.
no_cmake_warnings() {
  ! grep -E '^CMake (Deprecation )?Warning' <<<"$1" || fail "CMake warned (above)"
}

# Fails unless the ctest run in $work/out ran and passed the walk checks of
# both x86-64 paths.
walk_checks_passed() {
  local path
  for path in avx2 vector16; do
    grep -q "Test *#[0-9]*: walkcheck\.$path \.* *Passed" "$work/out" ||
      fail "the test walkcheck.$path did not run and pass"
  done
}

# Runs one of the commands the pages show, as written, within a time limit,
# and checks its output where the page shows it, and that CMake did not warn.
# What it printed stays in $work/out.
run_shown() {
  local seconds=$1 command=$2
  [[ -v expected[$command] ]] || fail "no page shows: $command"
  echo "ci: ${page[$command]}: $command"
  limit "$seconds" bash -c "$command" 2>&1 | tee "$work/out"
  [ -z "${expected[$command]}" ] || [ "$(cat "$work/out")"$'\n' = "${expected[$command]}" ] ||
    fail "${page[$command]} says '$command' prints '${expected[$command]}'"
  no_cmake_warnings "$(cat "$work/out")"
  ran_shown "$command"
}

main_packages='apt-get install cmake make g++ libgtest-dev libbenchmark-dev dpkg-dev file git valgrind python3 qemu-user'
check_packages='apt-get install clang clang-19 g++-11 clang-13 clang-15 clang-16 libclang-rt-14-dev hyperfine g++-aarch64-linux-gnu g++-arm-linux-gnueabi g++-arm-linux-gnueabihf g++-i686-linux-gnu g++-mips64el-linux-gnuabi64 g++-mipsel-linux-gnu g++-powerpc64le-linux-gnu g++-riscv64-linux-gnu g++-s390x-linux-gnu'
version=$(sed -n 's/^project(garden_count VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

# Warnings fail CI's builds; a user's build only prints them. The release's
# builds are configured without -Werror, since the release refuses flags of a
# build's own.
export CXXFLAGS=-Werror CXX=g++

# Removes the given build directory unless it was configured with the given
# compiler and flags, so that a step run by itself builds as in a whole run
# (a build directory keeps the compiler and CXXFLAGS it was first configured
# with).
fresh_unless() {
  local dir=$1 cxx=$2 flags=$3
  local cache=$dir/CMakeCache.txt
  if [ -f "$cache" ] && grep -qxF "CMAKE_CXX_COMPILER:FILEPATH=$(command -v "$cxx")" "$cache" &&
    grep -qxF "CMAKE_CXX_FLAGS:STRING=$flags" "$cache"; then
    return
  fi
  rm -rf "$dir"
}
# build/ as CI builds it first: g++, warnings as errors.
ci_build_dir() {
  fresh_unless build g++ -Werror
}
# build/ as the release builds it, without CI's -Werror, configured and built.
release_build() {
  local out
  fresh_unless build g++ ""
  out=$(CXXFLAGS= limit 900 bash -c 'cmake -B build && cmake --build build -j 2' 2>&1) ||
    { echo "$out"; fail "building build/ for the release failed (above)"; }
  no_cmake_warnings "$out"
}

# Configures a build directory, without CI's -Werror, and fails if CMake warns.
configure() {
  local out
  out=$(CXXFLAGS= cmake "$@" 2>&1) || fail "cmake $* failed: $out"
  no_cmake_warnings "$out"
}

# Expects the release target in the given build directory (with the given
# options of cmake --build) to fail, its last line of its own holding the given
# words; leaves its output in $refusal.
refuses() {
  local words=$1 dir=$2
  shift 2
  if refusal=$(limit 600 cmake --build "$dir" "$@" --target release 2>&1); then
    fail "the release in $dir did not refuse: $refusal"
  fi
  no_cmake_warnings "$refusal"
  grep '^release: ' <<<"$refusal" | tail -n 1 | grep -qF -- "$words" ||
    fail "the release in $dir did not stop with '$words': $refusal"
  echo "ci: refused: $(grep '^release: ' <<<"$refusal" | tail -n 1)"
}
# ... before building anything: in one line, compiling nothing.
refuses_first() {
  touch "$work/before"
  refuses "$@"
  [ "$(grep -c '^release: ' <<<"$refusal")" = 1 ] ||
    fail "the release in $2 said more than one line of its own: $refusal"
  if find "$2" -newer "$work/before" \( -name '*.o' -o -name '*.a' \) | grep .; then
    fail "the release compiled in $2 before it refused"
  fi
}
