// The checks of a walk that are made as it runs, over every state: what
// walk_trace.c does under qemu-user at every size, and walk_replay.c on a
// trace. It is fed the walk's accesses to memory, in order, and the
// instructions run outside the walk; it writes, to the result file:
//
//   F RULE ARGS...     the first fault found, if any (rules below); then no more
//   N COUNT            the states recounted (once the program has ended)
//   E ADDR             an instruction of the walk that ran (each one once)
//   P STATE CELL INSN TIME
//                      where the recount of STATE first loaded garden byte CELL:
//                      the instruction, and how often it had run before, for
//                      each (STATE, CELL) the plan asks for
//   R STATE            in a window, after the loads that recounted STATE
//   G                  the end of a window
// and, in a window, the trace lines (trace.h) of the walk's instructions.
//
// The rules, with the cells as a 32-bit mask (bit c: garden byte c), states
// and counts in decimal and addresses in hexadecimal:
//   F extra STATES            the garden is loaded whole more often than once
//                             for each of its STATES states
//   F count RECOUNTED         it is loaded whole RECOUNTED times, not once a state
//   F unstored STATE MASK AT  the step into STATE does not store the cells MASK
//                             it changes, before the loads ending at AT (- at the
//                             end of the walk)
//   F partial STATE MASK AT   STATE is not recounted whole: the cells MASK are not
//                             loaded after its last store and before the store AT
//   F value STATE CELL BYTE AT  the recount of STATE loads CELL as BYTE at AT, not
//                             as state STATE of the counter has it
//   F later STATE HELD AT     the recount after STATE - 1, ending at AT, loads state
//                             HELD of the counter, a later one
//   F outside ADDR AT         code at ADDR, outside the walk, ran between its
//                             recounts, after the walk's load at AT; or loaded the
//                             garden, and the walk then went on at AT
//
// A plan, from check-walk, is a line a setting:
//   garden ADDR; states COUNT;
//   walk LO HI                the walk's code from LO to HI; in order, apart
//   window FIRST END          trace while FIRST <= the states recounted < END
//   probe STATE CELL          report P for it (in increasing order of STATE)
//   calls                     the walk may run code outside it (an unoptimized
//                             build's calls into the C library); only a load of
//                             the garden there is a fault
#pragma once

#include <stdbool.h>
#include <stdint.h>

// How often an instruction has run, and its address.
struct runs {
  uint64_t address, count;
};

// Reads the plan and opens the result file; false if either fails.
bool watch_start(const char *plan, const char *result);

// The counter of the instruction at address, made on first use; it stays put.
struct runs *watch_runs(uint64_t address);

// Whether the address is the walk's.
bool watch_in_walk(uint64_t address);

// Whether the walk is in a window, where its instructions are written.
bool watch_tracing(void);

// An instruction of the walk ran (written in a window only).
void watch_insn(uint64_t address);

// An access by the walk's instruction insn, which had run `time` times before.
void watch_access(uint64_t insn, uint64_t time, char kind, uint64_t address, unsigned size,
                  const unsigned char *bytes);

// A load by the instruction insn, outside the walk.
void watch_outside_load(uint64_t insn, uint64_t address, unsigned size);

// Code outside the walk ran, from address on.
void watch_outside(uint64_t address);

// The program has ended: the last checks, and the result file closed.
void watch_finish(void);
