/* The least a program can cost for the job, the floor bench/compare times
   garden_count's start against: read four integers with scanf, print one
   with printf, with the C library shared. */
#include <stdio.h>

int main(void) {
  int a = 0;
  int b = 0;
  int k = 0;
  int c = 0;
  if (scanf("%d %d %d %d", &a, &b, &k, &c) == EOF) {
    return 1;
  }
  printf("%d\n", k);
  return 0;
}
