// Runs an x86-64 program on this machine under ptrace and writes a trace
// (trace.h) of what its code in one address range does, as walk_trace.c does
// under qemu-user.
// It steps the program one instruction at a time from the entry of its main
// function on, and lets code outside the range run at full speed until it
// returns to the range from the innermost call that left it (so that code of
// the range that code outside calls is not traced). The program's standard
// streams are this one's, and it exits as the program did; where the system
// refuses ptrace, it says so in a line and exits 3.
//
//   walk_ptrace trace FIRST LO HI MAIN ACCESSES OUT PROGRAM
//   walk_ptrace perturb FIRST CHANGES PROGRAM
//
// FIRST is the address of the program's first page as its file gives it; LO,
// HI and MAIN are file addresses too, and the program's are these plus the
// bias it is loaded at, which OUT's first line gives ("B bias"), with its
// second the stack pointer at main ("T sp"). The program runs without address
// randomisation, so that each run puts it and its memory in the same places.
//
// ptrace tells where an instruction is, not what it accesses: ACCESSES says
// that, a line for each access of each instruction of the range that reaches
// memory, "INSN KIND SIZE BASE INDEX SCALE DISP" (file address, L or S, bytes,
// the registers as numbers in struct user_regs_struct or -1, the scale and the
// signed displacement in decimal): the access is at BASE + INDEX * SCALE + DISP
// as the registers are before the instruction runs; BASE -2 is the bias. Loads
// are read before the instruction runs, stores after.
//
// perturb changes the program's memory as the change list CHANGES says
// (trace.h), as walk_trace.c does; it stops at those instructions alone.
#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include "trace.h"

enum { REGISTERS = sizeof(struct user_regs_struct) / sizeof(unsigned long long), BIAS = -2 };

struct access {
  uint64_t insn;
  char kind;
  unsigned size;
  int base, index;
  unsigned scale;
  int64_t disp;
};

// The exit status of the program's process, and then of walk_ptrace, where the
// system refuses ptrace (kernel.yama.ptrace_scope, or a container's seccomp
// policy).
enum { REFUSED = 3 };

static pid_t child;
static int child_status;  // how the program ended, as a shell gives it

static void die(const char *what) {
  fprintf(stderr, "walk_ptrace: %s\n", what);
  if (child > 0) {
    kill(child, SIGKILL);
  }
  exit(2);
}

// Starts the program stopped at its first instruction; returns its load bias.
static uint64_t start(char *program, uint64_t first) {
  child = fork();
  if (child < 0) {
    die("cannot fork");
  }
  if (child == 0) {
    personality(ADDR_NO_RANDOMIZE);
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) {
      _exit(REFUSED);
    }
    execl(program, program, (char *)NULL);
    _exit(127);
  }
  int status;
  if (waitpid(child, &status, 0) != child) {
    die("lost the program");
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == REFUSED) {
    fprintf(stderr, "walk_ptrace: this system refuses ptrace\n");
    exit(REFUSED);
  }
  if (!WIFSTOPPED(status)) {
    die("the program did not start under ptrace");
  }
  ptrace(PTRACE_SETOPTIONS, child, NULL, (void *)PTRACE_O_EXITKILL);
  // The bias: where the file's first page is mapped, less its address in the file.
  char path[64], line[4096], real[4096];
  snprintf(path, sizeof path, "/proc/%d/maps", (int)child);
  if (realpath(program, real) == NULL) {
    die("cannot find the program's path");
  }
  FILE *maps = fopen(path, "r");
  uint64_t bias = 0;
  bool found = false;
  while (maps != NULL && !found && fgets(line, sizeof line, maps)) {
    unsigned long long low, offset;
    char name[4096] = "";
    if (sscanf(line, "%llx-%*x %*s %llx %*s %*s %4095s", &low, &offset, name) == 3 &&
        offset == 0 && strcmp(name, real) == 0) {
      bias = low - first;
      found = true;
    }
  }
  if (maps != NULL) {
    fclose(maps);
  }
  if (!found) {
    die("cannot find where the program is loaded");
  }
  return bias;
}

// Waits for the program to stop; false once it has exited. A signal other than
// the trap of a step or breakpoint is handed back to it in *pass.
static bool stopped(int *pass) {
  int status;
  if (waitpid(child, &status, 0) != child) {
    die("lost the program");
  }
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    child_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  *pass = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
  return true;
}

static struct user_regs_struct registers(void) {
  struct user_regs_struct regs;
  if (ptrace(PTRACE_GETREGS, child, NULL, &regs) != 0) {
    die("cannot read the registers");
  }
  return regs;
}

static void read_memory(uint64_t address, void *bytes, size_t size) {
  struct iovec local = {bytes, size}, remote = {(void *)(uintptr_t)address, size};
  if (process_vm_readv(child, &local, 1, &remote, 1, 0) != (ssize_t)size) {
    memset(bytes, 0, size);
  }
}

static void write_byte(uint64_t address, unsigned char value) {
  const uint64_t word_at = address & ~(uint64_t)7;
  errno = 0;
  long word = ptrace(PTRACE_PEEKDATA, child, (void *)(uintptr_t)word_at, NULL);
  if (errno != 0) {
    die("cannot read the program's memory");
  }
  memcpy((unsigned char *)&word + (address - word_at), &value, 1);
  if (ptrace(PTRACE_POKEDATA, child, (void *)(uintptr_t)word_at, (void *)word) != 0) {
    die("cannot write the program's memory");
  }
}

static unsigned char byte_at(uint64_t address) {
  unsigned char value;
  read_memory(address, &value, 1);
  return value;
}

static void step(int pass) {
  if (ptrace(PTRACE_SINGLESTEP, child, NULL, (void *)(intptr_t)pass) != 0) {
    die("cannot step the program");
  }
}

static void resume(int pass) {
  if (ptrace(PTRACE_CONT, child, NULL, (void *)(intptr_t)pass) != 0) {
    die("cannot resume the program");
  }
}

// Runs the program to the instruction at `at`, through a breakpoint there;
// false if it ends first.
static bool run_to(uint64_t at) {
  const unsigned char original = byte_at(at);
  write_byte(at, 0xCC);
  int pass = 0;
  do {
    resume(pass);
    if (!stopped(&pass)) {
      return false;
    }
  } while (pass != 0 || registers().rip != at + 1);
  write_byte(at, original);
  struct user_regs_struct regs = registers();
  regs.rip = at;
  ptrace(PTRACE_SETREGS, child, NULL, &regs);
  return true;
}

static int by_insn(const void *a, const void *b) {
  const uint64_t x = ((const struct access *)a)->insn, y = ((const struct access *)b)->insn;
  return x < y ? -1 : x > y;
}

static void print_access(FILE *out, char kind, uint64_t address, unsigned size) {
  unsigned char bytes[64];
  read_memory(address, bytes, size);
  trace_access(out, kind, address, size, bytes);
}

static int trace(char **argv) {
  const uint64_t first = strtoull(argv[2], NULL, 16), lo = strtoull(argv[3], NULL, 16),
                 hi = strtoull(argv[4], NULL, 16), entry = strtoull(argv[5], NULL, 16);
  FILE *list = fopen(argv[6], "r");
  if (list == NULL) {
    die("cannot read the accesses");
  }
  struct access *accesses = NULL;
  size_t count = 0, capacity = 0;
  struct access a;
  unsigned long long insn;
  long long disp;
  while (fscanf(list, "%llx %c %u %d %d %u %lld", &insn, &a.kind, &a.size, &a.base, &a.index,
                &a.scale, &disp) == 7) {
    if (count == capacity) {
      capacity = capacity ? 2 * capacity : 4096;
      accesses = realloc(accesses, capacity * sizeof *accesses);
      if (accesses == NULL) {
        die("out of memory");
      }
    }
    if (a.size > 64 || a.base >= REGISTERS || a.index >= REGISTERS || a.base < BIAS) {
      die("an access it cannot follow");
    }
    a.insn = insn;
    a.disp = disp;
    accesses[count++] = a;
  }
  fclose(list);
  qsort(accesses, count, sizeof *accesses, by_insn);
  FILE *out = fopen(argv[7], "w");
  if (out == NULL) {
    die("cannot write the trace");
  }
  setvbuf(out, NULL, _IOFBF, 1 << 20);

  const uint64_t bias = start(argv[8], first);
  if (!run_to(entry + bias)) {
    die("the program ended before main");
  }
  struct user_regs_struct regs = registers();
  fprintf(out, "B %" PRIx64 "\nT %llx\n", bias, (unsigned long long)regs.rsp);
  // The calls made from the range whose return addresses are still on the stack:
  // each return address, and where on the stack it is.
  struct call {
    uint64_t back, sp;
  } calls[1024];
  size_t depth = 0;
  bool outside = true;
  int pass = 0;
  for (;;) {
    const uint64_t at = regs.rip;
    if (at < lo + bias || at >= hi + bias) {
      // Run outside code at full speed, back to the range at the return address of the
      // innermost call from it (a call through a lazily bound PLT entry pushes more); if
      // there is none, to the end.
      if (!outside) {
        fprintf(out, "X %" PRIx64 "\n", at);
        outside = true;
      }
      while (depth > 0 && calls[depth - 1].sp < regs.rsp) {
        --depth;
      }
      if (depth == 0) {
        while (resume(pass), stopped(&pass)) {
        }
        break;
      }
      if (!run_to(calls[--depth].back)) {
        break;
      }
      regs = registers();
      continue;
    }
    outside = false;
    fprintf(out, "I %" PRIx64 "\n", at);
    // This instruction's accesses, their addresses from the registers before it runs.
    const struct access key = {.insn = at - bias};
    const struct access *found = bsearch(&key, accesses, count, sizeof *accesses, by_insn);
    while (found != NULL && found > accesses && found[-1].insn == key.insn) {
      --found;
    }
    const unsigned long long *r = (const unsigned long long *)&regs;
    uint64_t where[8];
    size_t n = 0;
    for (; found != NULL && found < accesses + count && found->insn == key.insn && n < 8; ++found) {
      const uint64_t base = found->base == BIAS ? bias : found->base >= 0 ? r[found->base] : 0;
      const uint64_t index = found->index >= 0 ? r[found->index] * found->scale : 0;
      where[n] = base + index + (uint64_t)found->disp;
      if (found->kind == 'L') {
        print_access(out, 'L', where[n], found->size);
      }
      ++n;
    }
    step(pass);
    if (!stopped(&pass)) {
      break;
    }
    found -= n;
    for (size_t i = 0; i < n; ++i) {
      if (found[i].kind == 'S') {
        print_access(out, 'S', where[i], found[i].size);
      }
    }
    // A call pushes the address of the instruction after it.
    const struct user_regs_struct before = regs;
    regs = registers();
    uint64_t pushed;
    if (regs.rsp == before.rsp - 8 && (read_memory(regs.rsp, &pushed, 8), pushed > at) &&
        pushed <= at + 15) {
      while (depth > 0 && calls[depth - 1].sp <= regs.rsp) {
        --depth;
      }
      if (depth == sizeof calls / sizeof *calls) {
        die("calls nested too deep");
      }
      calls[depth++] = (struct call){pushed, regs.rsp};
    }
  }
  fclose(out);
  return child_status;
}

struct breakpoint {
  uint64_t insn, runs;
  unsigned char original;
};

static int perturb(char **argv) {
  struct change *changes = NULL;
  const long count = read_changes(argv[3], &changes);
  struct breakpoint *points = calloc((size_t)(count > 0 ? count : 1), sizeof *points);
  if (count < 0 || points == NULL) {
    die("cannot read the changes");
  }
  size_t point_count = 0;
  for (long c = 0; c < count; ++c) {
    bool known = false;
    for (size_t p = 0; p < point_count; ++p) {
      known = known || points[p].insn == changes[c].insn;
    }
    if (!known) {
      points[point_count++] = (struct breakpoint){changes[c].insn, 0, 0};
    }
  }

  start(argv[4], strtoull(argv[2], NULL, 16));
  for (size_t p = 0; p < point_count; ++p) {
    points[p].original = byte_at(points[p].insn);
    write_byte(points[p].insn, 0xCC);
  }
  size_t next = 0;
  int pass = 0;
  for (;;) {
    resume(pass);
    if (!stopped(&pass)) {
      break;
    }
    struct user_regs_struct regs = registers();
    struct breakpoint *hit = NULL;
    for (size_t p = 0; p < point_count && pass == 0; ++p) {
      hit = points[p].insn == regs.rip - 1 ? &points[p] : hit;
    }
    if (hit == NULL) {
      continue;
    }
    // Run the instruction itself, the byte changed if this is the time.
    regs.rip = hit->insn;
    ptrace(PTRACE_SETREGS, child, NULL, &regs);
    write_byte(hit->insn, hit->original);
    const bool change = next < (size_t)count && changes[next].insn == hit->insn &&
                        changes[next].time == hit->runs;
    unsigned char saved = 0;
    if (change) {
      saved = byte_at(changes[next].address);
      write_byte(changes[next].address, changes[next].value);
    }
    ++hit->runs;
    step(0);
    if (!stopped(&pass)) {
      break;
    }
    if (change) {
      write_byte(changes[next++].address, saved);
    }
    write_byte(hit->insn, 0xCC);
  }
  return child_status;
}

int main(int argc, char **argv) {
  if (argc == 9 && strcmp(argv[1], "trace") == 0) {
    return trace(argv);
  }
  if (argc == 5 && strcmp(argv[1], "perturb") == 0) {
    return perturb(argv);
  }
  fprintf(stderr, "usage: walk_ptrace trace FIRST LO HI MAIN ACCESSES OUT PROGRAM\n"
                  "       walk_ptrace perturb FIRST CHANGES PROGRAM\n");
  return 2;
}
