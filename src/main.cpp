// garden_count: reads four integers a b k c and prints the number of true
// cells over every state of a garden of k cells, modulo 1000000007.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include "garden_walk.h"

namespace {

// Says on standard error what failed, and why if errno tells; returns the
// exit status for it.
int fail(const std::string& what, int error = 0) {
  std::cerr << "garden_count: " << what;
  if (error != 0) {
    std::cerr << ": " << std::strerror(error);
  }
  std::cerr << '\n';
  return 1;
}

}  // namespace

int main() {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t k = 0;
  std::int32_t c = 0;
  // A value that cannot be read stays 0 and so do the ones after it; a
  // number past the signed 32-bit range leaves its nearest limit and fails the rest.
  errno = 0;
  std::cin >> a >> b >> k;
  const bool k_past_range = std::cin.fail() && (k == std::numeric_limits<std::int32_t>::max() ||
                                                k == std::numeric_limits<std::int32_t>::min());
  std::cin >> c;
  // The standard streams read through stdio, which marks a failed read.
  if (std::ferror(stdin) != 0) {
    return fail("cannot read the input", errno);
  }

  const std::string range = "0.." + std::to_string(max_k);
  if (k_past_range) {
    return fail("k is past the signed 32-bit range; the supported range is " + range);
  }
  if (k < 0 || k > max_k) {
    return fail("k = " + std::to_string(k) + " is outside the supported range " + range);
  }
  const std::int32_t pocetb = walk_garden(k);

  errno = 0;
  std::cout << (k + pocetb) % 1000000007 << '\n' << std::flush;
  if (!std::cout) {
    return fail("cannot write the result", errno);
  }
  return 0;
}
