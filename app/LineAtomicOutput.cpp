#include "app/LineAtomicOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>

#include "sync/Mutex.h"

namespace {

// Lines of conditions the bridge retries or tolerates by itself: warnings,
// whichever stream they are on. Matched anywhere in the line, first match wins.
struct PriorityRule {
    const char* text;
    int priority;
};
constexpr PriorityRule kRules[] = {
    {"MR>ERROR>Connection reestablished...", 6},
    {"Reconnecting...", 4},
    {"Attempting to reconnect...", 4},
    {"Connection closed by server.", 4},
    {"Read error. Closing connection.", 4},
    {"did not become ready within", 4},
    {"The simulation server cannot be reached", 4},
    {"Connections closed at once by the simulation server", 4},
    {"MR>Failed to find", 4},
    {"MR>Unable to find a network interface...", 4},
};

class LineStreamBuf : public std::streambuf {
  public:
    LineStreamBuf(int fd, bool journal) : fd_(fd), journal_(journal) {}

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
        // Guards the descriptor (and lineStart_) so that one thread's text goes out whole.
        psmr_sync::LockGuard lock(writeLock_);
        if (journal_) {
            prefixLines(p);
        }
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

    // Puts the priority before every line that begins in `text`; a text
    // handed over without its line end continues its line unprefixed.
    void prefixLines(std::string& text) REQUIRES(writeLock_) {
        std::string out;
        out.reserve(text.size() + 8);
        size_t at = 0;
        while (at < text.size()) {
            const size_t end = text.find('\n', at);
            const size_t next = end == std::string::npos ? text.size() : end + 1;
            if (lineStart_) {
                const std::string_view line(text.data() + at, next - at);
                out += '<';
                out += static_cast<char>('0' + linePriority(fd_, line));
                out += '>';
            }
            out.append(text, at, next - at);
            lineStart_ = end != std::string::npos;
            at = next;
        }
        text.swap(out);
    }

    const int fd_;
    const bool journal_;
    bool lineStart_ GUARDED_BY(writeLock_) = true;
    psmr_sync::Mutex writeLock_;
};

}  // namespace

std::streambuf* newLineAtomicBuffer(int fd, bool journal) {
    return new LineStreamBuf(fd, journal);
}

bool isJournalStream(int fd) {
    const char* named = std::getenv("JOURNAL_STREAM");
    if (named == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long device = std::strtoull(named, &end, 10);
    if (errno != 0 || end == named || *end != ':') {
        return false;
    }
    const char* inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (errno != 0 || end == inodeText || *end != '\0') {
        return false;
    }
    struct stat info;
    return fstat(fd, &info) == 0 && static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

int linePriority(int fd, std::string_view line) {
    for (const PriorityRule& rule : kRules) {
        if (line.find(rule.text) != std::string_view::npos) {
            return rule.priority;
        }
    }
    if (fd == STDERR_FILENO || line.rfind("MR>ERROR>", 0) == 0) {
        return 3;
    }
    return 6;
}

void makeConsoleLinesAtomic() {
    // Never destroyed: threads may still log while the process exits.
    static std::streambuf* out = newLineAtomicBuffer(STDOUT_FILENO, isJournalStream(STDOUT_FILENO));
    static std::streambuf* err = newLineAtomicBuffer(STDERR_FILENO, isJournalStream(STDERR_FILENO));
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    // Whole insert chains, not single insertions, make a line.
    std::cerr.unsetf(std::ios::unitbuf);
}
