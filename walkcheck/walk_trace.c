// A plugin for qemu-user (7.2 or later) that watches a program's walk, in one
// of three ways:
//
//   qemu-ARCH -B BASE -plugin walk_trace.so,lo=HEX,hi=HEX,base=HEX,MODE PROGRAM
//
// out=FILE writes a trace (trace.h) of what the program's code from lo to hi
// does: each instruction, each access with the bytes it moved, and where
// control leaves the range.
//
// plan=PLAN,result=FILE checks the walk as it runs, with watch.c, which PLAN
// sets up: the walk's accesses to memory (of its instructions, from the plan's
// walk range) go through its checks, and each instruction of the walk, in the
// plan's windows, into the result.
//
// perturb=FILE writes nothing, but changes the program's memory as the change
// list FILE says (trace.h).
//
// In user mode the program's memory lies in qemu's own address space, at its
// addresses plus BASE (which -B sets), so the plugin reads it there: a memory
// callback runs after its access, when the bytes in memory are the ones the
// load brought or the store left.
//
// The plugin interface is declared here, as far as it is used, so that
// building it needs nothing but a C compiler.
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "trace.h"
#include "watch.h"

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef uint32_t qemu_plugin_meminfo_t;
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
enum qemu_plugin_mem_rw { QEMU_PLUGIN_MEM_R = 1, QEMU_PLUGIN_MEM_W, QEMU_PLUGIN_MEM_RW };
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb *));
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *insn);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *tb,
                                          void (*cb)(unsigned int, void *),
                                          enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *insn,
                                            void (*cb)(unsigned int, void *),
                                            enum qemu_plugin_cb_flags flags, void *userdata);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *insn,
                                      void (*cb)(unsigned int, qemu_plugin_meminfo_t, uint64_t,
                                                 void *),
                                      enum qemu_plugin_cb_flags flags, enum qemu_plugin_mem_rw rw,
                                      void *userdata);
void qemu_plugin_register_vcpu_insn_exec_inline(struct qemu_plugin_insn *insn,
                                                enum qemu_plugin_op op, void *ptr, uint64_t imm);
unsigned int qemu_plugin_mem_size_shift(qemu_plugin_meminfo_t info);
bool qemu_plugin_mem_is_store(qemu_plugin_meminfo_t info);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static FILE *out;
static uint64_t lo, hi, base;
static bool outside = true;

// The changes, in order, the next one to make, and the byte last changed
// (NULL once put back) with its address and old value.
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
  trace_access(out, qemu_plugin_mem_is_store(info) ? 'S' : 'L', vaddr,
               1u << qemu_plugin_mem_size_shift(info), host(vaddr));
}

// The plan's callbacks. Each block of the walk's code, as qemu translated it, says when
// it starts to run, and each access which instruction of it made it; the instructions
// of the block before an access, and the rest of it when the next block starts, are
// then told to watch.c, in order. An instruction's counter has already counted the run
// it is in when its accesses are told.
struct block {
  size_t count, told;
  uint64_t address[];
};
struct insn_info {
  struct runs *runs;
  struct block *block;
  size_t index;
};
static struct block *running;

static void tell_insns(size_t through) {
  if (running == NULL) {
    return;
  }
  const size_t end = through < running->count ? through + 1 : running->count;
  if (!watch_tracing()) {
    running->told = end;  // run, but outside the windows
    return;
  }
  for (; running->told < end; ++running->told) {
    watch_insn(running->address[running->told]);
  }
}

static void walk_block(unsigned int vcpu, void *data) {
  (void)vcpu;
  tell_insns(SIZE_MAX);
  running = data;
  running->told = 0;
}

static void walk_access(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr,
                        void *data) {
  (void)vcpu;
  const struct insn_info *insn = data;
  tell_insns(insn->index);
  watch_access(insn->runs->address, insn->runs->count - 1,
               qemu_plugin_mem_is_store(info) ? 'S' : 'L', vaddr,
               1u << qemu_plugin_mem_size_shift(info), host(vaddr));
}

// qemu calls it for stores too, on some targets.
static void outside_access(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr,
                           void *addr) {
  (void)vcpu;
  if (!qemu_plugin_mem_is_store(info)) {
    watch_outside_load((uint64_t)(uintptr_t)addr, vaddr, 1u << qemu_plugin_mem_size_shift(info));
  }
}

static void walk_outside(unsigned int vcpu, void *addr) {
  (void)vcpu;
  tell_insns(SIZE_MAX);
  running = NULL;
  watch_outside((uint64_t)(uintptr_t)addr);
}

static void *allocate(size_t size) {
  void *memory = calloc(1, size);
  if (memory == NULL) {
    fprintf(stderr, "walk_trace: out of memory\n");
    exit(2);
  }
  return memory;
}

// A block of the walk's code: the block's callback, and each instruction's counter and
// accesses.
static void watch_block(struct qemu_plugin_tb *tb) {
  const size_t count = qemu_plugin_tb_n_insns(tb);
  struct block *block = allocate(sizeof *block + count * sizeof block->address[0]);
  block->count = count;
  for (size_t i = 0; i < count; ++i) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    struct insn_info *info = allocate(sizeof *info);
    block->address[i] = qemu_plugin_insn_vaddr(insn);
    *info = (struct insn_info){watch_runs(block->address[i]), block, i};
    qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64,
                                               &info->runs->count, 1);
    qemu_plugin_register_vcpu_mem_cb(insn, walk_access, QEMU_PLUGIN_CB_NO_REGS,
                                     QEMU_PLUGIN_MEM_RW, info);
  }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, walk_block, QEMU_PLUGIN_CB_NO_REGS, block);
}

static bool planned;

static void translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  for (size_t i = 0; i < qemu_plugin_tb_n_insns(tb); ++i) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    const uint64_t addr = qemu_plugin_insn_vaddr(insn);
    if (planned) {
      if (i == 0 && watch_in_walk(addr)) {
        watch_block(tb);
        return;
      }
      if (i == 0) {
        qemu_plugin_register_vcpu_insn_exec_cb(insn, walk_outside, QEMU_PLUGIN_CB_NO_REGS,
                                               (void *)(uintptr_t)addr);
      }
      qemu_plugin_register_vcpu_mem_cb(insn, outside_access, QEMU_PLUGIN_CB_NO_REGS,
                                       QEMU_PLUGIN_MEM_R, (void *)(uintptr_t)addr);
    } else if (out == NULL) {
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
  if (planned) {
    tell_insns(SIZE_MAX);
    watch_finish();
  }
}

// Reads the changes and the instructions they are made at; false if the file
// cannot be read whole.
static bool read_watched(const char *path) {
  const long count = read_changes(path, &changes);
  if (count < 0 || (watched = calloc((size_t)count + 1, sizeof *watched)) == NULL) {
    return false;
  }
  change_count = (size_t)count;
  for (size_t c = 0; c < change_count; ++c) {
    bool known = false;
    for (size_t w = 0; w < watched_count; ++w) {
      known = known || watched[w].insn == changes[c].insn;
    }
    if (!known) {
      watched[watched_count++] = (struct watched){changes[c].insn, 0};
    }
  }
  return true;
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  (void)info;
  const char *path = NULL, *perturb = NULL, *plan = NULL, *result = NULL;
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
    } else if (strncmp(argv[i], "plan=", 5) == 0) {
      plan = argv[i] + 5;
    } else if (strncmp(argv[i], "result=", 7) == 0) {
      result = argv[i] + 7;
    }
  }
  planned = plan != NULL && result != NULL;
  if ((path != NULL) + (perturb != NULL) + planned != 1 || lo >= hi ||
      (perturb && !read_watched(perturb)) || (path && (out = fopen(path, "w")) == NULL) ||
      (planned && !watch_start(plan, result))) {
    fprintf(stderr, "walk_trace: needs lo=HEX,hi=HEX,base=HEX and out=FILE, perturb=FILE or "
                    "plan=FILE,result=FILE\n");
    return -1;
  }
  if (out != NULL) {
    setvbuf(out, NULL, _IOFBF, 1 << 20);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, translate);
  qemu_plugin_register_atexit_cb(id, finish, NULL);
  return 0;
}
