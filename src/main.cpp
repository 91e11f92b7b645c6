// garden_count: reads four integers a b k c and prints the number of true
// cells over every state of a garden of k cells, modulo 1000000007.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "garden_walk.h"

int main() {
  std::int32_t a = 0;
  std::int32_t b = 0;
  std::int32_t k = 0;
  std::int32_t c = 0;
  // A value that cannot be read stays 0 and so do the ones after it; a
  // number past the 32-bit range leaves its nearest limit and fails the rest.
  std::cin >> a >> b >> k >> c;

  if (k < 0 || k > max_k) {
    std::cerr << "garden_count: k = " << k << " is outside the supported range 0.." << max_k
              << '\n';
    return 1;
  }
  const std::int32_t pocetb = walk_garden(k);

  errno = 0;
  std::cout << (k + pocetb) % 1000000007 << '\n' << std::flush;
  if (!std::cout) {
    const int error = errno;
    std::cerr << "garden_count: cannot write the result";
    if (error != 0) {
      std::cerr << ": " << std::strerror(error);
    }
    std::cerr << '\n';
    return 1;
  }
  return 0;
}
