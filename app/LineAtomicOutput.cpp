#include "app/LineAtomicOutput.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace {

class LineStreamBuf : public std::streambuf {
  public:
    explicit LineStreamBuf(int fd) : fd_(fd) {}

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        pending().push_back(traits_type::to_char_type(c));
        if (c == '\n') {
            writePending();
        }
        return c;
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::string& p = pending();
        p.append(s, static_cast<size_t>(n));
        if (p.find('\n') != std::string::npos) {
            writePending();
        }
        return n;
    }

    // A flush (std::endl, std::flush) hands over what this thread collected,
    // a line without its end included.
    int sync() override {
        writePending();
        return 0;
    }

  private:
    // Each thread collects its own text, so lines of different threads never mix.
    std::string& pending() {
        thread_local std::string toOutput;
        thread_local std::string toError;
        return fd_ == STDERR_FILENO ? toError : toOutput;
    }

    void writePending() {
        std::string& p = pending();
        if (p.empty()) {
            return;
        }
        // Guards the descriptor so that one thread's text goes out whole.
        std::lock_guard<std::mutex> lock(writeLock_);
        const char* data = p.data();
        size_t left = p.size();
        while (left > 0) {
            const ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;  // nothing sensible to do about a console that is gone
            }
            data += n;
            left -= static_cast<size_t>(n);
        }
        p.clear();
    }

    const int fd_;
    std::mutex writeLock_;
};

}  // namespace

std::streambuf* newLineAtomicBuffer(int fd) {
    return new LineStreamBuf(fd);
}

void makeConsoleLinesAtomic() {
    // Never destroyed: threads may still log while the process exits.
    static std::streambuf* out = newLineAtomicBuffer(STDOUT_FILENO);
    static std::streambuf* err = newLineAtomicBuffer(STDERR_FILENO);
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    // Whole insert chains, not single insertions, make a line.
    std::cerr.unsetf(std::ios::unitbuf);
}
