// The safe replacement of a configuration file: a complete, synced backup that
// never replaces another, a temporary file renamed over the original with its
// owner and mode, links written through.
#include "config/ConfigFileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <system_error>

#include "config/Configuration.h"

namespace config_io {

namespace {

SyncFunction syncFunction = ::fsync;

// Temporary files of a save are "<file>.saving-" and six random characters:
// a name nobody else gives, so that what a killed save left can be recognised.
const char kTempMarker[] = ".saving-";
constexpr std::size_t kTempRandom = 6;
// Enough for any burst of saves within one second.
constexpr int kMaxBackupSuffix = 999;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes `fd`, keeping the first error of the caller in errno.
void closeKeepingErrno(int fd) {
    const int err = errno;
    ::close(fd);
    errno = err;
}

// Removes `path`, keeping the caller's errno.
void unlinkKeepingErrno(const std::string& path) {
    const int err = errno;
    ::unlink(path.c_str());
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

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::string baseNameOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Syncs the directory that holds `path`, so that a new name in it survives a
// power cut; false when that fails.
bool syncDirectoryOf(const std::string& path) {
    const int fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = syncFunction(fd) == 0;
    closeKeepingErrno(fd);
    return synced;
}

// A new, empty temporary file beside `path`; its name is returned in `name`.
int createTemporary(const std::string& path, const std::string& what, std::string& name) {
    name = path + kTempMarker + std::string(kTempRandom, 'X');
    const int fd = ::mkstemp(&name[0]);
    if (fd < 0) {
        throwErrno("cannot create " + what + " beside " + path);
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

// Gives `fd` the owner, group and mode of `like`. Changing the owner needs
// root; a file that already has them is left alone.
void copyOwnerAndMode(int fd, const struct stat& like, const std::string& name) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
        throwErrno("cannot read the owner of " + name);
    }
    if ((now.st_uid != like.st_uid || now.st_gid != like.st_gid) &&
        ::fchown(fd, like.st_uid, like.st_gid) != 0) {
        throwErrno("cannot keep the owner " + std::to_string(like.st_uid) + ":" +
                   std::to_string(like.st_gid) + " of " + name);
    }
    // After the owner: changing it clears the set-id bits.
    if (::fchmod(fd, like.st_mode & 07777) != 0) {
        throwErrno("cannot set the mode of " + name);
    }
}

// Writes `contents` to a new temporary file beside `path` once `prepare` has
// given it its owner and mode, syncs and closes it, and returns its name;
// nothing is left behind when it fails. `what` names it in errors (empty: a
// temporary file, by its name).
template <typename Prepare>
std::string writeTemporary(const std::string& path, const std::string& what,
                           const std::string& contents, Prepare prepare) {
    std::string temporary;
    const int fd = createTemporary(path, what.empty() ? "a temporary file" : what, temporary);
    const std::string& name = what.empty() ? temporary : what;
    try {
        prepare(fd);
        writeAll(fd, contents.data(), contents.size(), name);
    } catch (...) {
        closeKeepingErrno(fd);
        unlinkKeepingErrno(temporary);
        throw;
    }
    try {
        syncAndClose(fd, name);
    } catch (...) {
        unlinkKeepingErrno(temporary);
        throw;
    }
    return temporary;
}

std::string backupStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
    return stamp;
}

}  // namespace

std::string makeBackup(const std::string& path, const std::string& contents) {
    struct stat source {};
    if (::stat(path.c_str(), &source) != 0) {
        throwErrno("cannot read " + path);
    }
    const std::string what = "the backup of " + path;
    const std::string temporary = writeTemporary(path, what, contents, [&](int fd) {
        try {
            copyOwnerAndMode(fd, source, what);
        } catch (const std::system_error&) {
            // Readable by the same people as the file is what matters; the
            // owner of a copy is a nicety a non-root save cannot give.
            if (::fchmod(fd, source.st_mode & 0777) != 0) {
                throwErrno("cannot set the mode of " + what);
            }
        }
    });
    // A link to a name that exists fails, so an older backup of the same
    // second (or anything else at its name, a link included) stays as it is.
    const std::string stem = path + "." + backupStamp();
    std::string backup;
    for (int suffix = 0;; ++suffix) {
        backup = stem + (suffix == 0 ? "" : "." + std::to_string(suffix)) + ".bak";
        if (::link(temporary.c_str(), backup.c_str()) == 0) {
            break;
        }
        if (errno != EEXIST || suffix == kMaxBackupSuffix) {
            unlinkKeepingErrno(temporary);
            throwErrno("cannot create the backup " + backup);
        }
    }
    ::unlink(temporary.c_str());
    if (!syncDirectoryOf(path)) {
        unlinkKeepingErrno(backup);
        throwErrno("cannot sync the directory of " + backup);
    }
    return backup;
}

std::string resolveLinks(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
            throw std::runtime_error("the link " + path + " belongs to user " +
                                     std::to_string(st.st_uid) + " and is not followed");
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

void checkWritable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;  // the save's own read reports a missing file
    }
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
        throw std::runtime_error(path + " is not writable");
    }
}

void replaceFileAtomically(const std::string& path, const std::string& text) {
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) {
        throwErrno("cannot read " + path);
    }
    // A save run by root must not hand the service user's file to root.
    const std::string temporary =
        writeTemporary(path, "", text, [&](int fd) { copyOwnerAndMode(fd, old, path); });
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        unlinkKeepingErrno(temporary);
        throwErrno("cannot replace " + path);
    }
    // Make the rename itself survive a power cut; the file is complete either way.
    syncDirectoryOf(path);
}

void removeSaveLeftovers(const std::string& path) {
    const std::string prefix = baseNameOf(path) + kTempMarker;
    const std::string directory = directoryOf(path);
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + kTempRandom || name.compare(0, prefix.size(), prefix)) {
            continue;
        }
        bool random = true;
        for (std::size_t i = prefix.size(); i < name.size(); ++i) {
            random = random && std::isalnum(static_cast<unsigned char>(name[i]));
        }
        const std::string full = directory + (directory.back() == '/' ? "" : "/") + name;
        struct stat st {};
        if (random && ::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::unlink(full.c_str()) == 0) {
            std::cout << "MR>Removed the leftover of an interrupted save: " << full << std::endl;
        }
    }
    ::closedir(dir);
}

void setSyncFunction(SyncFunction sync) {
    syncFunction = sync != nullptr ? sync : ::fsync;
}

}  // namespace config_io
