// Checks a walk from its trace with watch.c, as walk_trace.c does while qemu
// runs it: for a trace walk_ptrace.c wrote, and for check-walk's tests of the
// rules, on traces made up to break them.
//
//   walk_replay PLAN TRACE RESULT
//
// PLAN and RESULT are as watch.h says, TRACE as trace.h says. Each instruction
// of the trace outside the plan's walk counts as code run outside it. Exits 0,
// or 2 if a file cannot be read or written.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace.h"
#include "watch.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: walk_replay PLAN TRACE RESULT\n");
    return 2;
  }
  FILE *trace = fopen(argv[2], "r");
  if (trace == NULL || !watch_start(argv[1], argv[3])) {
    fprintf(stderr, "walk_replay: cannot read %s or %s, or write %s\n", argv[1], argv[2],
            argv[3]);
    return 2;
  }
  char kind[2], hex[2 * 64 + 1];
  unsigned long long address;
  unsigned size;
  const struct runs *insn = NULL;
  unsigned long long outside = 0;  // the instruction outside the walk that ran last, or 0
  while (fscanf(trace, "%1s %llx", kind, &address) == 2) {
    if (kind[0] == 'I' && watch_in_walk(address)) {
      struct runs *runs = watch_runs(address);
      ++runs->count;
      insn = runs;
      watch_insn(address);
    } else if (kind[0] == 'I' || kind[0] == 'X') {
      insn = NULL;
      outside = kind[0] == 'I' ? address : 0;
      watch_outside(address);
    } else if (kind[0] == 'L' || kind[0] == 'S') {
      unsigned char bytes[64];
      if (fscanf(trace, "%u %128s", &size, hex) != 2 || size > 64 || strlen(hex) != 2 * size) {
        fprintf(stderr, "walk_replay: a line of %s is not an access\n", argv[2]);
        return 2;
      }
      for (unsigned i = 0; i < size; ++i) {
        sscanf(hex + 2 * i, "%2hhx", &bytes[i]);
      }
      if (insn != NULL) {
        watch_access(insn->address, insn->count - 1, kind[0], address, size, bytes);
      } else if (outside != 0 && kind[0] == 'L') {
        watch_outside_load(outside, address, size);
      }
    }
  }
  fclose(trace);
  watch_finish();
  return 0;
}
