#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/Configuration.h"
#include "support/ScratchDir.h"

namespace configtest {

// A scratch directory per test with bridge.xml as the path, and reads and
// saves with both console streams captured.
class ConfigFixture : public testing::Test {
  protected:
    void SetUp() override { path = (dir / "bridge.xml").string(); }

    void writeFile(const std::string& text) const { writeFile(path, text); }
    static void writeFile(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    static std::string slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Reads the file and returns the result with both streams captured.
    bool read(Configuration& c) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool ok = c.readConfiguration();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return ok;
    }
    void write(Configuration& c) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        c.writeConfiguration();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    std::vector<std::filesystem::path> backups() const {
        std::vector<std::filesystem::path> found;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            if (e.path().extension() == ".bak") {
                found.push_back(e.path());
            }
        }
        return found;
    }

    testsupport::ScratchDir scratch{"cfgtest"};
    std::filesystem::path dir = scratch.path();
    std::string path;
    std::string out;
    std::string err;
};

}  // namespace configtest
