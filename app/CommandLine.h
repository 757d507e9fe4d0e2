#pragma once

// Parses the command line, picks the bridge or the Wi-Fi mode and runs it.
// Returns the process exit status; the modes may also end the process.
int runCommandLine(int argc, const char* const argv[]);
