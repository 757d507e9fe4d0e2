#pragma once

#include <string>

namespace testsupport {

// A fresh directory under /tmp for one test, removed with all it holds when
// the test ends. With `enter` it is also the working directory meanwhile (the
// bridge writes its last-connected-address file there); the previous one
// comes back at the end.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& name = "psmr-test", bool enter = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::string previous_;  // empty unless entered
};

}  // namespace testsupport
