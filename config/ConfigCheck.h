#pragma once

#include <string>

// Checks a configuration file the way the bridge would read it at start-up,
// without contacting anything or writing anything: prints the settings in
// effect one per line, warns on the error stream about what the bridge does
// not know or what looks mistaken, and returns the exit status: 0 when the
// bridge would start with the file, 1 otherwise (the reader's reason printed).
int checkConfigurationFile(const std::string& path);
