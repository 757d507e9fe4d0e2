#include <csignal>

#include "app/CommandLine.h"
#include "app/LineAtomicOutput.h"

int main(int argc, char* argv[]) {
    // A closed reader of our output (`... | head`) must not end the bridge
    // during the unit search, before any connection would have ignored it.
    std::signal(SIGPIPE, SIG_IGN);
    makeConsoleLinesAtomic();
    return runCommandLine(argc, argv);
}
