#include "watch.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace.h"

enum { GARDEN = 32, TABLE = 1 << 16 };

struct cell_load {
  uint64_t insn, time;
  unsigned char value;
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
static struct cell_load run[GARDEN];
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

// Cell `cell` of state `state` of the counter: cell 31 lowest, cells in front of 0 false.
static unsigned counter_cell(uint64_t state, unsigned cell) {
  return (unsigned)(state >> (GARDEN - 1 - cell) & 1);
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

// The loads since the last store end, at a store (at) or at the end of the walk.
static void end_run(uint64_t store, bool at_end) {
  if (covered == 0xFFFFFFFFu) {
    if (recounted == states) {
      fault("extra %" PRIu64, states);
      return;
    }
    check_step(recounted, last_load, false);
    // The loads hold a later state of the counter (the states between skipped, or out of
    // order): said as such.
    uint64_t held = 0;
    bool counter_state = true;
    for (unsigned cell = 0; cell < GARDEN; ++cell) {
      counter_state = counter_state && run[cell].value <= 1;
      held |= (uint64_t)(run[cell].value & 1) << (GARDEN - 1 - cell);
    }
    if (!failed && counter_state && held > recounted && held < states) {
      fault("later %" PRIu64 " %" PRIu64 " %" PRIx64, recounted, held, last_load);
    }
    for (unsigned cell = 0; cell < GARDEN && !failed; ++cell) {
      if (run[cell].value != counter_cell(recounted, cell)) {
        fault("value %" PRIu64 " %u %u %" PRIx64, recounted, cell, run[cell].value,
              run[cell].insn);
      }
    }
    if (failed) {
      return;
    }
    while (probe_next < probe_count && probes[probe_next].state <= recounted) {
      const struct probe *p = &probes[probe_next++];
      if (p->state == recounted) {
        fprintf(out, "P %" PRIu64 " %u %" PRIx64 " %" PRIu64 "\n", p->state, p->cell,
                run[p->cell].insn, run[p->cell].time);
      }
    }
    if (tracing) {
      fprintf(out, "R %" PRIu64 "\n", recounted);
    }
    ++recounted;
    stepped = 0;
    update_tracing();
  } else if (__builtin_popcount(covered) >= GARDEN / 2 && !at_end) {
    fault("partial %" PRIu64 " %" PRIx32 " %" PRIx64, recounted, ~covered, store);
  }
  covered = 0;
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
  uint32_t cells = 0;
  for (unsigned i = 0; i < size; ++i) {
    if (address + i >= garden && address + i < garden + GARDEN) {
      cells |= cell_bit((unsigned)(address + i - garden));
    }
  }
  return cells;
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
    for (unsigned i = 0; i < size; ++i) {
      const uint64_t cell = address + i - garden;  // wraps past any byte before it
      if (cell < GARDEN && !(covered & cell_bit((unsigned)cell))) {
        covered |= cell_bit((unsigned)cell);
        run[cell] = (struct cell_load){insn, time, bytes[i]};
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
