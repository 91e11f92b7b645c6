"""check-walk's parts, one concern a module: arch (the instruction sets), binary (reading
the program's file), runners (running it under qemu-user or ptrace), trace (the files the C
tools write), plan (what each run looks at), rules (the verdicts) and cli (the command)."""
