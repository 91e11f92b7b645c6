#include "watch.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace.h"

enum { GARDEN = 32, TABLE = 1 << 16 };

// A load of the garden that brought cells no load of the run had brought before.
struct run_load {
  uint64_t insn, time;
  uint32_t cells;
};

struct range {
  uint64_t first, end;
};

struct probe {
  uint64_t state;
  unsigned cell;
};

static FILE *out;
static uint64_t garden, states;
static struct range *walk;  // the walk's code, in order of address, apart
static size_t walk_count;
static struct range *windows;
static size_t window_count, window_next;
static struct probe *probes;
static size_t probe_count, probe_next;

static uint64_t recounted;
static bool failed, seen_load, tracing, outside;
static uint32_t covered, stepped;  // bit c: garden byte c
// The run of loads since the last store: each cell's byte, as the first load to bring it
// found it, and those loads, in order.
static unsigned char values[GARDEN];
static struct run_load loads[GARDEN];
static size_t load_count;
static unsigned char expected[GARDEN];  // state `recounted` of the counter, a byte a cell
static uint64_t last_load;           // the last load of the garden, for where a fault is
static uint64_t outside_at;          // code outside the walk, run since its last load; or 0
static uint64_t outside_load;        // code outside the walk that loaded the garden; or 0
static bool calls;                   // whether the walk may call code outside it

// The instruction counters: a table of pointers by address, open addressing.
static struct runs *table[TABLE];
static size_t table_used;

struct runs *watch_runs(uint64_t address) {
  size_t slot = (size_t)(address * 0x9E3779B97F4A7C15u >> 48) % TABLE;
  while (table[slot] != NULL && table[slot]->address != address) {
    slot = (slot + 1) % TABLE;
  }
  if (table[slot] == NULL) {
    table[slot] = ++table_used < TABLE / 2 ? calloc(1, sizeof(struct runs)) : NULL;
    if (table[slot] == NULL) {
      fprintf(stderr, "walk check: out of memory\n");
      exit(2);
    }
    table[slot]->address = address;
  }
  return table[slot];
}

bool watch_in_walk(uint64_t address) {
  size_t low = 0, high = walk_count;  // the range holding it is in [low, high)
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (address < walk[middle].first) {
      high = middle;
    } else if (address >= walk[middle].end) {
      low = middle + 1;
    } else {
      return true;
    }
  }
  return false;
}

// The cells the step from `state` to the next changes: the lowest, and each up to the
// lowest false one.
static uint32_t changed_cells(uint64_t state) {
  unsigned count = 1;
  while (count < GARDEN && (state >> (count - 1) & 1)) {
    ++count;
  }
  return (uint32_t)(0xFFFFFFFFu << (GARDEN - count));
}

static uint32_t cell_bit(unsigned cell) { return 1u << cell; }

// The load of the run that brought `cell`.
static const struct run_load *load_of(unsigned cell) {
  size_t i = 0;
  while (!(loads[i].cells & cell_bit(cell))) {
    ++i;
  }
  return &loads[i];
}

// expected, from one state of the counter to the next: cell 31 lowest.
static void count_expected(void) {
  unsigned cell = GARDEN;
  while (cell > 0 && expected[cell - 1]) {
    expected[--cell] = 0;
  }
  if (cell > 0) {
    expected[cell - 1] = 1;
  }
}

static void fault(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void fault(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("F ", out);
  vfprintf(out, format, args);
  fputc('\n', out);
  va_end(args);
  failed = true;
  tracing = false;
}

static void update_tracing(void) {
  while (window_next < window_count && windows[window_next].end <= recounted) {
    ++window_next;
    fputs("G\n", out);
  }
  tracing = !failed && window_next < window_count && windows[window_next].first <= recounted;
}

static void check_step(uint64_t state, uint64_t at, bool at_end) {
  if (state == 0 || failed) {
    return;
  }
  const uint32_t missing = changed_cells(state - 1) & ~stepped;
  if (missing != 0) {
    if (at_end) {
      fault("unstored %" PRIu64 " %" PRIx32 " -", state, missing);
    } else {
      fault("unstored %" PRIu64 " %" PRIx32 " %" PRIx64, state, missing, at);
    }
  }
}

// The run's bytes are not state `recounted`: the fault, said as a later state of the
// counter where they hold one (the states between skipped, or out of order).
static void wrong_values(void) {
  uint64_t held = 0;
  bool counter_state = true;
  for (unsigned cell = 0; cell < GARDEN; ++cell) {
    counter_state = counter_state && values[cell] <= 1;
    held |= (uint64_t)(values[cell] & 1) << (GARDEN - 1 - cell);
  }
  if (counter_state && held > recounted && held < states) {
    fault("later %" PRIu64 " %" PRIu64 " %" PRIx64, recounted, held, last_load);
    return;
  }
  for (unsigned cell = 0; cell < GARDEN; ++cell) {
    if (values[cell] != expected[cell]) {
      fault("value %" PRIu64 " %u %u %" PRIx64, recounted, cell, values[cell],
            load_of(cell)->insn);
      return;
    }
  }
}

// The loads since the last store end, at a store (at) or at the end of the walk.
static void end_run(uint64_t store, bool at_end) {
  if (covered == 0xFFFFFFFFu) {
    if (recounted == states) {
      fault("extra %" PRIu64, states);
      return;
    }
    check_step(recounted, last_load, false);
    if (!failed && memcmp(values, expected, GARDEN) != 0) {
      wrong_values();
    }
    if (failed) {
      return;
    }
    while (probe_next < probe_count && probes[probe_next].state <= recounted) {
      const struct probe *p = &probes[probe_next++];
      if (p->state == recounted) {
        const struct run_load *load = load_of(p->cell);
        fprintf(out, "P %" PRIu64 " %u %" PRIx64 " %" PRIu64 "\n", p->state, p->cell,
                load->insn, load->time);
      }
    }
    if (tracing) {
      fprintf(out, "R %" PRIu64 "\n", recounted);
    }
    ++recounted;
    count_expected();
    stepped = 0;
    update_tracing();
  } else if (__builtin_popcount(covered) >= GARDEN / 2 && !at_end) {
    fault("partial %" PRIu64 " %" PRIx32 " %" PRIx64, recounted, ~covered, store);
  }
  covered = 0;
  load_count = 0;
}

bool watch_tracing(void) { return tracing; }

void watch_insn(uint64_t address) {
  if (tracing) {
    outside = false;
    fprintf(out, "I %" PRIx64 "\n", address);
  }
}

void watch_outside(uint64_t address) {
  if (tracing && !outside) {
    outside = true;
    fprintf(out, "X %" PRIx64 "\n", address);
  }
  if (seen_load && outside_at == 0 && !calls) {
    outside_at = address;
  }
}

// The garden's bytes an access covers, as a mask.
static uint32_t garden_cells(uint64_t address, unsigned size) {
  const uint64_t first = address > garden ? address : garden;
  const uint64_t end = address + size < garden + GARDEN ? address + size : garden + GARDEN;
  if (first >= end) {
    return 0;
  }
  const unsigned count = (unsigned)(end - first);
  return (count == GARDEN ? 0xFFFFFFFFu : (1u << count) - 1) << (first - garden);
}

void watch_outside_load(uint64_t insn, uint64_t address, unsigned size) {
  // A fault if the walk goes on after it.
  if (outside_load == 0 && garden_cells(address, size) != 0) {
    outside_load = insn;
  }
}

void watch_access(uint64_t insn, uint64_t time, char kind, uint64_t address, unsigned size,
                  const unsigned char *bytes) {
  if (failed) {
    return;
  }
  const uint32_t cells = garden_cells(address, size);
  if (cells != 0 && outside_load != 0) {
    fault("outside %" PRIx64 " %" PRIx64, outside_load, insn);
    return;
  }
  if (tracing) {
    // A store ends the run of loads before it, so R goes before the store's line.
    if (kind == 'S' && covered != 0 && cells != 0) {
      end_run(insn, false);
    }
    if (tracing) {
      trace_access(out, kind, address, size, bytes);
    }
  }
  if (failed || cells == 0) {
    return;
  }
  if (kind == 'L') {
    if (outside_at != 0) {
      fault("outside %" PRIx64 " %" PRIx64, outside_at, last_load);
      return;
    }
    seen_load = true;
    last_load = insn;
    const uint32_t brought = cells & ~covered;
    if (brought != 0) {
      loads[load_count++] = (struct run_load){insn, time, brought};
      covered |= brought;
      const unsigned first = (unsigned)__builtin_ctz(cells);
      const unsigned count = GARDEN - (unsigned)__builtin_clz(cells) - first;
      const unsigned char *from = bytes + (garden + first - address);
      if (brought == cells) {
        memcpy(values + first, from, count);
      } else {
        for (unsigned cell = first; cell < first + count; ++cell) {
          if (brought & cell_bit(cell)) {
            values[cell] = from[cell - first];
          }
        }
      }
    }
    return;
  }
  if (covered != 0) {
    end_run(insn, false);
  }
  if (seen_load) {
    stepped |= cells;
  }
}

void watch_finish(void) {
  if (out == NULL) {
    return;
  }
  if (!failed && covered != 0) {
    end_run(0, true);
  }
  if (!failed && recounted != states) {
    fault("count %" PRIu64, recounted);
  }
  if (!failed && states > 0) {
    check_step(states, 0, true);
  }
  if (!failed) {
    fprintf(out, "N %" PRIu64 "\n", recounted);
  }
  for (size_t slot = 0; slot < TABLE; ++slot) {
    if (table[slot] != NULL && watch_in_walk(table[slot]->address)) {
      fprintf(out, "E %" PRIx64 "\n", table[slot]->address);
    }
  }
  fclose(out);
  out = NULL;
}

static void *grow(void *list, size_t count, size_t *capacity, size_t size) {
  if (count < *capacity) {
    return list;
  }
  *capacity = *capacity ? 2 * *capacity : 64;
  void *more = realloc(list, *capacity * size);
  if (more == NULL) {
    fprintf(stderr, "walk check: out of memory\n");
    exit(2);
  }
  return more;
}

bool watch_start(const char *plan, const char *result) {
  FILE *file = fopen(plan, "r");
  if (file == NULL) {
    return false;
  }
  char key[16];
  unsigned long long x, y;
  size_t window_capacity = 0, probe_capacity = 0, walk_capacity = 0;
  bool read = true;
  while (read && fscanf(file, "%15s", key) == 1) {
    if (strcmp(key, "garden") == 0) {
      read = fscanf(file, "%llx", &x) == 1;
      garden = x;
    } else if (strcmp(key, "walk") == 0) {
      read = fscanf(file, "%llx %llx", &x, &y) == 2 && x < y &&
             (walk_count == 0 || x >= walk[walk_count - 1].end);
      walk = grow(walk, walk_count, &walk_capacity, sizeof *walk);
      walk[walk_count++] = (struct range){x, y};
    } else if (strcmp(key, "states") == 0) {
      read = fscanf(file, "%llu", &x) == 1;
      states = x;
    } else if (strcmp(key, "window") == 0) {
      read = fscanf(file, "%llu %llu", &x, &y) == 2;
      windows = grow(windows, window_count, &window_capacity, sizeof *windows);
      windows[window_count++] = (struct range){x, y};
    } else if (strcmp(key, "calls") == 0) {
      calls = true;
    } else if (strcmp(key, "probe") == 0) {
      read = fscanf(file, "%llu %llu", &x, &y) == 2 && y < GARDEN;
      probes = grow(probes, probe_count, &probe_capacity, sizeof *probes);
      probes[probe_count++] = (struct probe){x, (unsigned)y};
    } else {
      read = false;
    }
  }
  read = read && feof(file);
  fclose(file);
  if (!read || walk_count == 0 || (out = fopen(result, "w")) == NULL) {
    return false;
  }
  setvbuf(out, NULL, _IOFBF, 1 << 20);
  update_tracing();
  return true;
}
