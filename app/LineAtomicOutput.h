#pragma once

// Makes every console line of the process one write: the standard output and
// error streams collect what each thread inserts and hand it to the terminal
// at the end of a line or at a flush. Without it, two receive threads logging
// at once can splice their lines together, and the log lines are an interface.
// Call once at the start of main, before any other thread exists.
void makeConsoleLinesAtomic();

#include <streambuf>

// The stream buffer behind it, writing to descriptor `fd` (1 or 2); owned by the caller.
std::streambuf* newLineAtomicBuffer(int fd);
