// The plain brute force as a contestant writes it, the peer whose whole runs
// bench/compare times garden_count's against: one file, the standard streams,
// the walk's loops as they stand, built with -O2 and linked the usual way.
#include <cmath>
#include <iostream>

int main() {
  int a = 0;
  int b = 0;
  int k = 0;
  int c = 0;
  std::cin >> a >> b >> k >> c;
  bool* zahrada = new bool[k];
  for (int i = 0; i < k; i++) {
    zahrada[i] = false;
  }
  int power_2_k = (int)std::pow(2.0, k);
  int pocetb = 0;
  for (int iterace = 0; iterace < power_2_k - 1; iterace++) {
    for (int i = 0; i < k; i++) {
      if (zahrada[i]) {
        pocetb++;
      }
    }
    for (int i = k - 1; i >= 0; i--) {
      if (!zahrada[i]) {
        zahrada[i] = true;
        break;
      }
      zahrada[i] = false;
    }
  }
  std::cout << (k + pocetb) % 1000000007 << std::endl;
  delete[] zahrada;
  return 0;
}
