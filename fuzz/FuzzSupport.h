#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

// Shared by the fuzz targets: quiet console streams and a scratch directory
// on a memory file system, where the saves' syncs cost nothing.
namespace fuzzsupport {

// The parsers log through std::cout and std::cerr; libFuzzer's own report
// goes to the C stream and stays visible.
inline std::ostringstream& silenceConsole() {
    static std::ostringstream sink;
    std::cout.rdbuf(sink.rdbuf());
    std::cerr.rdbuf(sink.rdbuf());
    return sink;
}

// Creates a private directory (in /dev/shm when there is one) and enters it.
inline std::string enterScratchDir(const char* name) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/psmr-" + name + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr || chdir(pattern.c_str()) != 0) {
        std::perror("scratch directory");
        std::abort();
    }
    return pattern;
}

// Removes every entry of the current directory but `keep`.
inline void clearScratchDir(const char* keep = nullptr) {
    DIR* dir = opendir(".");
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && (keep == nullptr || name != keep)) {
            unlink(name.c_str());
        }
    }
    closedir(dir);
}

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzzsupport
