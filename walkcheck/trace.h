// The files walk_trace.c, walk_ptrace.c and walk_replay.c write and read, in
// one place.
//
// A trace is a line an event, in the order they happen:
//   I ADDR            an instruction of the traced code ran
//   X ADDR            control left the traced code: the first instruction run
//                     outside it
//   L ADDR SIZE HEX   a load by the last instruction, with the bytes it brought
//   S ADDR SIZE HEX   a store by it, with the bytes it left
//   B BIAS, T SP      (walk_ptrace.c, first) the program's load bias, and its
//                     stack pointer at main
// Addresses are the program's, in hexadecimal; SIZE is decimal.
//
// A change list is a line a change, in the order they happen:
//   INSN N ADDR VALUE the byte at ADDR is set to VALUE (decimal) just before
//                     the instruction at INSN runs for the Nth time (counting
//                     from 0), and put back once that instruction has run
#pragma once

#include <stdint.h>
#include <stdio.h>

struct change {
  uint64_t insn, time, address;
  unsigned char value;
};

// Writes an access's line: kind 'L' or 'S', and the size bytes at bytes.
void trace_access(FILE *out, char kind, uint64_t address, unsigned size,
                  const unsigned char *bytes);

// Reads the change list at path into a new array (*changes, to be freed);
// returns its length, or -1 if the file cannot be read whole.
long read_changes(const char *path, struct change **changes);
