#pragma once

// Makes every console line of the process one write: the standard output and
// error streams collect what each thread inserts and hand it to the terminal
// at the end of a line or at a flush. Without it, two receive threads logging
// at once can splice their lines together, and the log lines are an interface.
// When a stream is the journal's (JOURNAL_STREAM names the device and inode of
// the descriptor), each of its lines carries its priority as a "<n>" prefix,
// so that `journalctl -p err` shows the errors; elsewhere lines are unchanged.
// Call once at the start of main, before any other thread exists.
void makeConsoleLinesAtomic();

#include <streambuf>
#include <string_view>

// The stream buffer behind it, writing to descriptor `fd` (1 or 2), with the
// priority prefixes when `journal`; owned by the caller.
std::streambuf* newLineAtomicBuffer(int fd, bool journal = false);

// True when JOURNAL_STREAM ("device:inode") names what descriptor `fd` is.
bool isJournalStream(int fd);

// The journal priority of a line written to descriptor `fd`: 3 error,
// 4 warning (a condition the program retries or tolerates), 6 progress.
int linePriority(int fd, std::string_view line);
