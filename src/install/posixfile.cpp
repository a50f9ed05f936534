#include "posixfile.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PosixFile {

namespace {
QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// Empties the directory open at fd and closes it. Entries are named relative to it and typed by
// readdir, so no path is walked again and nothing is stat'ed.
void emptyDirectory(int fd, const char* last) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            (last && std::strcmp(name, last) == 0))
            continue;
        unsigned char type = entry->d_type;
        struct stat info {};
        if (type == DT_UNKNOWN && ::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
        if (type == DT_UNKNOWN)
            continue;
        if (type != DT_DIR) {
            ::unlinkat(::dirfd(dir), name, 0);
            continue;
        }
        const int sub =
            ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            emptyDirectory(sub, nullptr);
            ::unlinkat(::dirfd(dir), name, AT_REMOVEDIR);
        }
    }
    if (last)
        ::unlinkat(::dirfd(dir), last, 0);
    ::closedir(dir);
}
} // namespace

QString newSiblingPath(const QString& path) {
    // 64 random bits keep runs apart; the file is created exclusively anyway, so a fast
    // generator does (the system one costs a CPU instruction that a virtual machine may trap).
    quint32 random[2];
    QRandomGenerator::global()->fillRange(random);
    QString name =
        QLatin1String(siblingPrefix) +
        QLatin1String(QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex()) +
        QLatin1Char('_') + QFileInfo(path).fileName();
    // The file's name only helps a reader of messages; the whole must stay a valid name.
    while (native(name).size() > NAME_MAX) {
        name.chop(1);
        if (name.back().isHighSurrogate())
            name.chop(1);
    }
    return QFileInfo(path).path() + QLatin1Char('/') + name;
}

Entry entry(const QString& path) {
    Entry e;
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return e;
    e.exists = true;
    e.isDir = S_ISDIR(st.st_mode);
    e.isRegularFile = S_ISREG(st.st_mode);
    e.isLink = S_ISLNK(st.st_mode);
    e.mode = int(st.st_mode & 07777);
    e.device = quint64(st.st_dev);
    e.size = qint64(st.st_size);
    return e;
}

bool renameNoReplace(const QString& from, const QString& to) {
    const QByteArray f = native(from), t = native(to);
    if (::renameat2(AT_FDCWD, f.constData(), AT_FDCWD, t.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: check, then rename.
    return !entry(to).exists && ::rename(f.constData(), t.constData()) == 0;
}

bool renameReplace(const QString& from, const QString& to) {
    return ::rename(native(from).constData(), native(to).constData()) == 0;
}

bool hardLink(const QString& from, const QString& to) {
    // Flags 0: a symbolic link at from gets a second name itself; its target is not followed.
    return ::linkat(AT_FDCWD, native(from).constData(), AT_FDCWD, native(to).constData(), 0) == 0;
}

bool setFileMode(const QString& path, int mode) {
    const QByteArray name = native(path);
    struct stat info;
    if (::lstat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    // Most files already have the mode they get.
    if ((info.st_mode & 07777) == mode_t(mode))
        return true;
    // Through a descriptor opened without following a link, in case one took the name since.
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, mode_t(mode)) == 0;
    ::close(fd);
    return ok;
}

bool copyContents(int from, int to) {
    for (;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t(1) << 30, 0);
        if (n == 0)
            return true;
        if (n > 0 || errno == EINTR)
            continue;
        // Not between these two files, or not on this kernel: what was copied stays, the
        // offsets have moved past it.
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!writeAll(to, buffer, n))
            return false;
    }
}

bool remove(const QString& path) {
    return ::unlink(native(path).constData()) == 0;
}

void emptyDirectory(const QString& path, const QString& last) {
    const int fd =
        ::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const QByteArray lastName = native(last);
    if (fd >= 0)
        emptyDirectory(fd, last.isEmpty() ? nullptr : lastName.constData());
}

bool writeAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

void removeStaleSiblings(const QString& root) {
    // Links are neither followed nor descended into, so nothing outside root is touched.
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName().startsWith(QLatin1String(siblingPrefix)))
            ::unlink(native(path).constData());
    }
}

} // namespace PosixFile
