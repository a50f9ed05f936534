// Preloaded into a program under test (LD_PRELOAD) to find out what happens when it dies or
// fails at any one file operation inside a directory tree. Counted, in the order they are made
// by any thread: opens for writing, renames, links, unlinks and rmdirs of an existing entry,
// whenever a path involved lies below FILEOP_ROOT. Before the counted operation runs:
//   FILEOP_LOG=file         appends "<number> <operation> <path>" to file
//   FILEOP_KILL=n           operation n: SIGKILL to the whole process
//   FILEOP_FAIL=text        every open for writing, link or rename whose (new) path contains
//                           text fails with EIO
//   FILEOP_PAUSE=file       the first operation after that failure whose line (as logged,
//   FILEOP_PAUSE_AT=text    without the number) contains text creates file and waits (at most
//                           a minute) until someone removes it
// Qt calls renameat2 through its glibc wrapper, and syscall() is watched as well for the raw
// forms. Programs that bypass both (inline assembly, glibc-internal calls) are not seen.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::atomic<int> counter{0};
std::atomic<bool> failed{false};
std::atomic<bool> pauseArmed{false};

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

const char* setting(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The absolute form of path as seen from dirfd, without resolving links.
std::string absolute(int dirfd, const char* path) {
    if (!path)
        return {};
    if (path[0] == '/')
        return path;
    char base[4096];
    ssize_t n = -1;
    if (dirfd == AT_FDCWD) {
        if (::getcwd(base, sizeof base))
            n = ssize_t(std::strlen(base));
    } else {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        n = ::readlink(link, base, sizeof base - 1);
    }
    if (n < 0)
        return path;
    return std::string(base, size_t(n)) + "/" + path;
}

bool below(const std::string& path) {
    const char* root = setting("FILEOP_ROOT");
    if (!root)
        return false;
    const size_t length = std::strlen(root);
    return path.compare(0, length, root) == 0 && path.size() > length && path[length] == '/';
}

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

void logLine(int number, const std::string& text) {
    const char* log = setting("FILEOP_LOG");
    if (!log)
        return;
    static const auto openLog = real<int (*)(const char*, int, ...)>("open");
    const int fd = openLog(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[4200];
    const int n = std::snprintf(line, sizeof line, "%d %s\n", number, text.c_str());
    [[maybe_unused]] const ssize_t written = ::write(fd, line, size_t(n));
    ::close(fd);
}

void pauseHere(const char* file) {
    static const auto openPause = real<int (*)(const char*, int, ...)>("open");
    const int fd = openPause(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    for (int i = 0; i < 6000 && ::access(file, F_OK) == 0; ++i)
        ::usleep(10000);
}

// Decides about one operation on path (and other, for two-path operations). False: fail it.
bool event(const char* operation, const std::string& path, const std::string& other = {},
           bool mustExist = true, bool writing = false) {
    if (!below(path) && !below(other))
        return true;
    // Removing or moving what is not there changes nothing; that is no point to stop at.
    if (mustExist && !exists(path))
        return true;
    const int number = ++counter;
    const std::string line = operation + (" " + path) + (other.empty() ? "" : " " + other);
    logLine(number, line);
    if (const char* kill = setting("FILEOP_KILL"); kill && std::atoi(kill) == number)
        ::kill(::getpid(), SIGKILL);
    const char* pauseAt = setting("FILEOP_PAUSE_AT");
    if (const char* pause = setting("FILEOP_PAUSE");
        pause && pauseArmed && line.find(pauseAt ? pauseAt : "") != std::string::npos &&
        pauseArmed.exchange(false))
        pauseHere(pause);
    const char* fail = setting("FILEOP_FAIL");
    // What gets written: an opened file, or the new name of a link or a rename.
    const std::string& written = other.empty() ? path : other;
    if (writing && fail && written.find(fail) != std::string::npos) {
        if (!failed.exchange(true))
            pauseArmed = true;
        errno = EIO;
        return false;
    }
    return true;
}

bool writes(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
}

mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

int openEvent(int dirfd, const char* path, int flags) {
    if (writes(flags) && !event("open", absolute(dirfd, path), {}, false, true))
        return -1;
    return 0;
}

} // namespace

extern "C" {

#define OPEN_AT(name, realType)                                                                    \
    int name(int dirfd, const char* path, int flags, ...) {                                        \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        const mode_t mode = modeOf(flags, args);                                                   \
        va_end(args);                                                                              \
        static const auto next = real<realType>(#name);                                            \
        return openEvent(dirfd, path, flags) < 0 ? -1 : next(dirfd, path, flags, mode);            \
    }
#define OPEN(name, realType)                                                                       \
    int name(const char* path, int flags, ...) {                                                   \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        const mode_t mode = modeOf(flags, args);                                                   \
        va_end(args);                                                                              \
        static const auto next = real<realType>(#name);                                            \
        return openEvent(AT_FDCWD, path, flags) < 0 ? -1 : next(path, flags, mode);                \
    }
using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
OPEN(open, OpenFn)
OPEN(open64, OpenFn)
OPEN_AT(openat, OpenAtFn)
OPEN_AT(openat64, OpenAtFn)

// The fortified forms never create, so they only count when they open for writing.
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
    return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
    return openat64(dirfd, path, flags);
}
int creat(const char* path, mode_t mode) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
int creat64(const char* path, mode_t mode) {
    return open64(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
              unsigned int flags) noexcept {
    static const auto next =
        real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    if (!event("rename", absolute(olddirfd, oldpath), absolute(newdirfd, newpath), true, true))
        return -1;
    return next(olddirfd, oldpath, newdirfd, newpath, flags);
}
int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) noexcept {
    static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
    if (!event("rename", absolute(olddirfd, oldpath), absolute(newdirfd, newpath), true, true))
        return -1;
    return next(olddirfd, oldpath, newdirfd, newpath);
}
int rename(const char* oldpath, const char* newpath) noexcept {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    if (!event("rename", absolute(AT_FDCWD, oldpath), absolute(AT_FDCWD, newpath), true, true))
        return -1;
    return next(oldpath, newpath);
}
int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
           int flags) noexcept {
    static const auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
    if (!event("link", absolute(olddirfd, oldpath), absolute(newdirfd, newpath), true, true))
        return -1;
    return next(olddirfd, oldpath, newdirfd, newpath, flags);
}
int link(const char* oldpath, const char* newpath) noexcept {
    static const auto next = real<int (*)(const char*, const char*)>("link");
    if (!event("link", absolute(AT_FDCWD, oldpath), absolute(AT_FDCWD, newpath), true, true))
        return -1;
    return next(oldpath, newpath);
}
int unlinkat(int dirfd, const char* path, int flags) noexcept {
    static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
    event("unlink", absolute(dirfd, path));
    return next(dirfd, path, flags);
}
int unlink(const char* path) noexcept {
    static const auto next = real<int (*)(const char*)>("unlink");
    event("unlink", absolute(AT_FDCWD, path));
    return next(path);
}
int rmdir(const char* path) noexcept {
    static const auto next = real<int (*)(const char*)>("rmdir");
    event("rmdir", absolute(AT_FDCWD, path));
    return next(path);
}
int remove(const char* path) noexcept {
    static const auto next = real<int (*)(const char*)>("remove");
    event("unlink", absolute(AT_FDCWD, path));
    return next(path);
}

long syscall(long number, ...) noexcept {
    va_list args;
    va_start(args, number);
    long a[6];
    for (long& value : a)
        value = va_arg(args, long);
    va_end(args);
    const auto path = [](long p) { return reinterpret_cast<const char*>(p); };
    switch (number) {
    case SYS_renameat2:
    case SYS_renameat:
        event("rename", absolute(int(a[0]), path(a[1])), absolute(int(a[2]), path(a[3])));
        break;
    case SYS_rename:
        event("rename", absolute(AT_FDCWD, path(a[0])), absolute(AT_FDCWD, path(a[1])));
        break;
    case SYS_linkat:
        event("link", absolute(int(a[0]), path(a[1])), absolute(int(a[2]), path(a[3])));
        break;
    case SYS_unlinkat:
        event("unlink", absolute(int(a[0]), path(a[1])));
        break;
    case SYS_unlink:
        event("unlink", absolute(AT_FDCWD, path(a[0])));
        break;
    case SYS_openat:
        if (openEvent(int(a[0]), path(a[1]), int(a[2])) < 0)
            return -1;
        break;
    default:
        break;
    }
    static const auto next = real<long (*)(long, ...)>("syscall");
    return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

} // extern "C"
