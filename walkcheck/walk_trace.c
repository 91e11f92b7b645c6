// A plugin for qemu-user (7.2 or later) that writes what a program's code in
// one address range does: each instruction executed there ("I addr"), each
// memory access it makes, with the bytes it moved ("L addr size hex" or
// "S addr size hex"), and, each time control leaves the range, the first
// instruction run outside it ("X addr").
//
//   qemu-ARCH -B BASE -plugin walk_trace.so,lo=HEX,hi=HEX,base=HEX,out=FILE PROGRAM
//
// In user mode the program's memory lies in qemu's own address space, at its
// addresses plus BASE (which -B sets), so the plugin reads it there: a memory
// callback runs after its access, when the bytes in memory are the ones the
// load brought or the store left.
//
// With perturb=FILE in place of out=FILE it writes nothing, but changes the
// program's memory as FILE says: each line "INSN N ADDR VALUE" sets the byte at
// ADDR to VALUE just before the instruction at INSN runs for the Nth time
// (counting from 0), and puts the byte back as soon as that instruction has
// accessed it. The lines are in the order the changes happen.
//
// The plugin interface is declared here, as far as it is used, so that
// building it needs nothing but a C compiler.
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef uint32_t qemu_plugin_meminfo_t;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
enum qemu_plugin_mem_rw { QEMU_PLUGIN_MEM_R = 1, QEMU_PLUGIN_MEM_W, QEMU_PLUGIN_MEM_RW };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb *));
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *insn);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *insn,
                                            void (*cb)(unsigned int, void *),
                                            enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *insn,
                                      void (*cb)(unsigned int, qemu_plugin_meminfo_t, uint64_t,
                                                 void *),
                                      enum qemu_plugin_cb_flags flags, enum qemu_plugin_mem_rw rw,
                                      void *userdata);
unsigned int qemu_plugin_mem_size_shift(qemu_plugin_meminfo_t info);
bool qemu_plugin_mem_is_store(qemu_plugin_meminfo_t info);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static FILE *out;
static uint64_t lo, hi, base;
static bool outside = true;

// The changes, in order, the next one to make, and the byte last changed
// (NULL once put back) with its address and old value.
struct change {
  uint64_t insn, time, address;
  unsigned char value;
};
static struct change *changes;
static size_t change_count, next_change;
static unsigned char *restore, saved;
static uint64_t restore_at;

// The instructions the changes are made at, with how often each has run.
struct watched {
  uint64_t insn, runs;
};
static struct watched *watched;
static size_t watched_count;

static unsigned char *host(uint64_t address) { return (unsigned char *)(uintptr_t)(address + base); }

static void put_back(void) {
  if (restore != NULL) {
    *restore = saved;
    restore = NULL;
  }
}

static void inside_insn(unsigned int vcpu, void *addr) {
  (void)vcpu;
  outside = false;
  fprintf(out, "I %llx\n", (unsigned long long)(uintptr_t)addr);
}

// After an access of a watched instruction: the changed byte goes back once
// it has been read.
static void watched_access(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr,
                           void *data) {
  (void)vcpu;
  (void)data;
  if (restore != NULL && restore_at - vaddr < (1u << qemu_plugin_mem_size_shift(info))) {
    put_back();
  }
}

static void watched_insn(unsigned int vcpu, void *data) {
  (void)vcpu;
  struct watched *insn = data;
  put_back();
  if (next_change < change_count && changes[next_change].insn == insn->insn &&
      changes[next_change].time == insn->runs) {
    restore_at = changes[next_change].address;
    restore = host(restore_at);
    saved = *restore;
    *restore = changes[next_change++].value;
  }
  ++insn->runs;
}

static void outside_insn(unsigned int vcpu, void *addr) {
  (void)vcpu;
  if (!outside) {
    outside = true;
    fprintf(out, "X %llx\n", (unsigned long long)(uintptr_t)addr);
  }
}

static void on_access(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr, void *data) {
  (void)vcpu;
  (void)data;
  const unsigned size = 1u << qemu_plugin_mem_size_shift(info);
  fprintf(out, "%c %llx %u ", qemu_plugin_mem_is_store(info) ? 'S' : 'L',
          (unsigned long long)vaddr, size);
  const unsigned char *bytes = host(vaddr);
  for (unsigned i = 0; i < size; ++i) {
    fprintf(out, "%02x", bytes[i]);
  }
  fputc('\n', out);
}

static void translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  for (size_t i = 0; i < qemu_plugin_tb_n_insns(tb); ++i) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    const uint64_t addr = qemu_plugin_insn_vaddr(insn);
    if (out == NULL) {
      for (size_t w = 0; w < watched_count; ++w) {
        if (watched[w].insn == addr) {
          qemu_plugin_register_vcpu_insn_exec_cb(insn, watched_insn, QEMU_PLUGIN_CB_NO_REGS,
                                                 &watched[w]);
          qemu_plugin_register_vcpu_mem_cb(insn, watched_access, QEMU_PLUGIN_CB_NO_REGS,
                                           QEMU_PLUGIN_MEM_RW, NULL);
        }
      }
    } else if (addr >= lo && addr < hi) {
      qemu_plugin_register_vcpu_insn_exec_cb(insn, inside_insn, QEMU_PLUGIN_CB_NO_REGS,
                                             (void *)(uintptr_t)addr);
      qemu_plugin_register_vcpu_mem_cb(insn, on_access, QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_MEM_RW,
                                       NULL);
    } else {
      qemu_plugin_register_vcpu_insn_exec_cb(insn, outside_insn, QEMU_PLUGIN_CB_NO_REGS,
                                             (void *)(uintptr_t)addr);
    }
  }
}

static void finish(qemu_plugin_id_t id, void *data) {
  (void)id;
  (void)data;
  if (out != NULL) {
    fclose(out);
  }
}

// Reads the changes and the instructions they are made at; false if the file
// cannot be read whole.
static bool read_changes(const char *path) {
  FILE *file = fopen(path, "r");
  if (file == NULL) {
    return false;
  }
  size_t capacity = 0;
  unsigned long long insn, time, address;
  unsigned value;
  bool fits = true;
  while (fits && fscanf(file, "%llx %llu %llx %u", &insn, &time, &address, &value) == 4) {
    if (change_count == capacity) {
      capacity = capacity ? 2 * capacity : 1024;
      struct change *more = realloc(changes, capacity * sizeof *changes);
      struct watched *also = realloc(watched, capacity * sizeof *watched);
      fits = more != NULL && also != NULL;
      changes = more ? more : changes;
      watched = also ? also : watched;
      if (!fits) {
        break;
      }
    }
    changes[change_count++] = (struct change){insn, time, address, (unsigned char)value};
    bool known = false;
    for (size_t w = 0; w < watched_count; ++w) {
      known = known || watched[w].insn == insn;
    }
    if (!known) {
      watched[watched_count++] = (struct watched){insn, 0};
    }
  }
  const bool read_all = fits && feof(file);
  fclose(file);
  return read_all;
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  (void)info;
  const char *path = NULL, *perturb = NULL;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "lo=", 3) == 0) {
      lo = strtoull(argv[i] + 3, NULL, 16);
    } else if (strncmp(argv[i], "hi=", 3) == 0) {
      hi = strtoull(argv[i] + 3, NULL, 16);
    } else if (strncmp(argv[i], "base=", 5) == 0) {
      base = strtoull(argv[i] + 5, NULL, 16);
    } else if (strncmp(argv[i], "out=", 4) == 0) {
      path = argv[i] + 4;
    } else if (strncmp(argv[i], "perturb=", 8) == 0) {
      perturb = argv[i] + 8;
    }
  }
  if ((path == NULL) == (perturb == NULL) || lo >= hi || (perturb && !read_changes(perturb)) ||
      (path && (out = fopen(path, "w")) == NULL)) {
    fprintf(stderr, "walk_trace: needs lo=HEX,hi=HEX,base=HEX and out=FILE or perturb=FILE\n");
    return -1;
  }
  if (out != NULL) {
    setvbuf(out, NULL, _IOFBF, 1 << 20);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, translate);
  qemu_plugin_register_atexit_cb(id, finish, NULL);
  return 0;
}
