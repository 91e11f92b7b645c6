// A plugin for qemu-user (7.2 or later) that writes what a program's code in
// one address range does: each instruction executed there ("I addr"), each
// memory access it makes ("L addr size" or "S addr size"), and, each time
// control leaves the range, the first instruction run outside it ("X addr").
//
//   qemu-ARCH -plugin walk_trace.so,lo=HEX,hi=HEX,out=FILE PROGRAM
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
static uint64_t lo, hi;
static bool outside = true;

static void inside_insn(unsigned int vcpu, void *addr) {
  (void)vcpu;
  outside = false;
  fprintf(out, "I %llx\n", (unsigned long long)(uintptr_t)addr);
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
  fprintf(out, "%c %llx %u\n", qemu_plugin_mem_is_store(info) ? 'S' : 'L',
          (unsigned long long)vaddr, 1u << qemu_plugin_mem_size_shift(info));
}

static void translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  for (size_t i = 0; i < qemu_plugin_tb_n_insns(tb); ++i) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    const uint64_t addr = qemu_plugin_insn_vaddr(insn);
    if (addr >= lo && addr < hi) {
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
  fclose(out);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  (void)info;
  const char *path = NULL;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "lo=", 3) == 0) {
      lo = strtoull(argv[i] + 3, NULL, 16);
    } else if (strncmp(argv[i], "hi=", 3) == 0) {
      hi = strtoull(argv[i] + 3, NULL, 16);
    } else if (strncmp(argv[i], "out=", 4) == 0) {
      path = argv[i] + 4;
    }
  }
  if (path == NULL || lo >= hi || (out = fopen(path, "w")) == NULL) {
    fprintf(stderr, "walk_trace: needs lo=HEX,hi=HEX,out=FILE\n");
    return -1;
  }
  setvbuf(out, NULL, _IOFBF, 1 << 20);
  qemu_plugin_register_vcpu_tb_trans_cb(id, translate);
  qemu_plugin_register_atexit_cb(id, finish, NULL);
  return 0;
}
