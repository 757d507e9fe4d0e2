#include "app/CommandLine.h"
#include "app/LineAtomicOutput.h"

int main(int argc, char* argv[]) {
    makeConsoleLinesAtomic();
    return runCommandLine(argc, argv);
}
