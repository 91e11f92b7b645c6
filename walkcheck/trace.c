#include "trace.h"

#include <inttypes.h>
#include <stdbool.h>
#include <stdlib.h>

void trace_access(FILE *out, char kind, uint64_t address, unsigned size,
                  const unsigned char *bytes) {
  fprintf(out, "%c %" PRIx64 " %u ", kind, address, size);
  for (unsigned i = 0; i < size; ++i) {
    fprintf(out, "%02x", bytes[i]);
  }
  fputc('\n', out);
}

long read_changes(const char *path, struct change **changes) {
  FILE *file = fopen(path, "r");
  if (file == NULL) {
    return -1;
  }
  struct change *list = NULL;
  long count = 0, capacity = 0;
  bool fits = true;
  unsigned long long insn, time, address;
  unsigned value;
  while (fscanf(file, "%llx %llu %llx %u", &insn, &time, &address, &value) == 4) {
    if (count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      struct change *more = realloc(list, (size_t)capacity * sizeof *list);
      if (more == NULL) {
        fits = false;
        break;
      }
      list = more;
    }
    list[count++] = (struct change){insn, time, address, (unsigned char)value};
  }
  const bool whole = fits && feof(file);
  fclose(file);
  if (!whole) {
    free(list);
    return -1;
  }
  *changes = list;
  return count;
}
