#pragma once

#include <dirent.h>
#include <fcntl.h>
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

// Creates a private directory (in /dev/shm when there is one) and returns
// its path. The working directory stays: libFuzzer resolves the corpus,
// reproducer and artifact paths it was given against it.
inline std::string makeScratchDir(const char* name) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/psmr-" + name + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("scratch directory");
        std::abort();
    }
    return pattern;
}

// Removes every entry of `path`.
inline void clearScratchDir(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            unlink((path + "/" + name).c_str());
        }
    }
    closedir(dir);
}

// Runs a step in `path`, for code that uses the working directory, and
// returns to the previous one.
template <typename Step>
void inDirectory(const std::string& path, Step step) {
    const int previous = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (previous < 0 || chdir(path.c_str()) != 0) {
        std::perror("scratch directory");
        std::abort();
    }
    step();
    if (fchdir(previous) != 0) {
        std::perror("previous directory");
        std::abort();
    }
    close(previous);
}

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what.c_str());
    std::abort();
}

}  // namespace fuzzsupport
