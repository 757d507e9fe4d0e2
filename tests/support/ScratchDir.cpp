#include "support/ScratchDir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace testsupport {

ScratchDir::ScratchDir(const std::string& name, bool enter) {
    std::string pattern = "/tmp/" + name + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("cannot make a scratch directory " + pattern);
    }
    path_ = pattern;
    if (enter) {
        previous_ = std::filesystem::current_path().string();
        std::filesystem::current_path(path_);
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!previous_.empty()) {
        std::filesystem::current_path(previous_, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
