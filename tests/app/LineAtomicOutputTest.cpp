// Console lines written by several threads at once must come out whole.
#include "app/LineAtomicOutput.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

TEST(LineAtomicOutput, LinesOfConcurrentThreadsNeverSplice) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
            received.append(buf, static_cast<size_t>(n));
        }
    });
    {
        // Descriptor 1 selects the output buffer of each thread; the pipe stands in.
        std::unique_ptr<std::streambuf> buffer(newLineAtomicBuffer(1));
        const int saved = dup(1);
        dup2(fds[1], 1);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&, t] {
                std::ostream out(buffer.get());
                for (int i = 0; i < 500; ++i) {
                    // Several insertions per line, as the log lines are written.
                    out << "Tamo> thread " << t << " line " << i << " (SIM Protocol)" << std::endl;
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
        dup2(saved, 1);
        close(saved);
    }
    close(fds[1]);
    reader.join();
    close(fds[0]);

    std::istringstream lines(received);
    // A line is whole when it reads back exactly as one thread wrote it.
    auto whole = [](const std::string& line) {
        int t = -1;
        int i = -1;
        char tail[32] = {};
        if (std::sscanf(line.c_str(), "Tamo> thread %d line %d %31[^\n]", &t, &i, tail) == 3) {
            return t >= 0 && t < 4 && i >= 0 && i < 500 && std::string(tail) == "(SIM Protocol)" &&
                   line == "Tamo> thread " + std::to_string(t) + " line " + std::to_string(i) +
                               " (SIM Protocol)";
        }
        return false;
    };
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_TRUE(whole(line)) << "spliced line: " << line;
    }
    EXPECT_EQ(count, 4 * 500);
}

TEST(LineAtomicOutput, AFlushHandsOverALineWithoutItsEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::unique_ptr<std::streambuf> buffer(newLineAtomicBuffer(2));
    const int saved = dup(2);
    dup2(fds[1], 2);
    std::ostream err(buffer.get());
    err << "Unable to read the configuration file" << std::flush;
    dup2(saved, 2);
    close(saved);
    close(fds[1]);
    char text[128] = {};
    const ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0),
              "Unable to read the configuration file");
}
