// The safe replacement of a configuration file: a checked, synced backup, a
// temporary file renamed over the original, links written through.
#include "config/ConfigFileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>

#include "config/Configuration.h"

namespace config_io {

namespace {

SyncFunction syncFunction = ::fsync;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes `fd`, keeping the first error of the caller in errno.
void closeKeepingErrno(int fd) {
    const int err = errno;
    ::close(fd);
    errno = err;
}

void writeAll(int fd, const char* p, std::size_t left, const std::string& name) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            throwErrno("cannot write " + name);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Syncs and closes `fd` whatever happens; throws on the first failure.
void syncAndClose(int fd, const std::string& name) {
    if (syncFunction(fd) != 0) {
        closeKeepingErrno(fd);
        throwErrno("cannot sync " + name);
    }
    if (::close(fd) != 0) {
        throwErrno("cannot write " + name);
    }
}

}  // namespace

std::string backupName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
    return path + "." + stamp + ".bak";
}

// Copies the current file to the backup. The backup gets the file's own mode
// (calibration files may be private), is never opened through a link planted
// at its name, and is written whole and synced: a save must not go on over a
// damaged copy of what it replaces. A backup that cannot be created at all
// does not stop the save; one that cannot be written does.
void copyToBackup(const std::string& path, const std::string& backup) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat source {};
    const bool haveSource = in >= 0 && ::fstat(in, &source) == 0;
    const int out = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                           haveSource ? 0600 : 0666);
    if (out < 0) {
        if (in >= 0) {
            ::close(in);
        }
        return;
    }
    try {
        if (haveSource && ::fchmod(out, source.st_mode & 07777) != 0) {
            throwErrno("cannot set the mode of " + backup);
        }
        char buffer[8192];
        for (;;) {
            if (in < 0) {
                break;
            }
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throwErrno("cannot read " + path);
            }
            if (n == 0) {
                break;
            }
            writeAll(out, buffer, static_cast<std::size_t>(n), backup);
        }
    } catch (...) {
        closeKeepingErrno(out);
        if (in >= 0) {
            closeKeepingErrno(in);
        }
        throw;
    }
    if (in >= 0) {
        ::close(in);
    }
    syncAndClose(out, backup);
}

// The file a save must replace: the end of a chain of symbolic links, so that a
// link stays a link and its target gets the new text.
std::string resolveLinks(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), &target[0], target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
            throwErrno("cannot follow the link " + path);
        }
        target.resize(static_cast<std::size_t>(n));
        const std::string::size_type slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos ? target
                                                              : path.substr(0, slash + 1) + target;
    }
    errno = ELOOP;
    throwErrno("cannot follow the link " + path);
}

// A file that nobody may write is the owner's choice to keep it: refused even
// for root, who could write it anyway, by its mode bits.
void checkWritable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;  // a new file
    }
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
        throw std::runtime_error(path + " is not writable");
    }
}

// Writes the text to a temporary file beside `path`, syncs it and renames it over
// `path`, so a failure at any point leaves the previous file untouched.
void replaceFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) {
        throwErrno("cannot create a temporary file beside " + path);
    }
    try {
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0) {
            ::fchmod(fd, old.st_mode & 07777);
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
        }
        writeAll(fd, text.data(), text.size(), tmp);
    } catch (...) {
        closeKeepingErrno(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    try {
        syncAndClose(fd, tmp);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        throwErrno("cannot replace " + path);
    }
    // Make the rename itself survive a power cut; the file is complete either way.
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        syncFunction(dirFd);
        ::close(dirFd);
    }
}

void setSyncFunction(SyncFunction sync) {
    syncFunction = sync != nullptr ? sync : ::fsync;
}

}  // namespace config_io
