#pragma once

#include <QString>

// File-system calls on installation paths that never follow a symbolic link at the last
// component and never fall back to copying, as QFile::rename would when a rename fails.
namespace PosixFile {

// New content is written under this prefix beside its destination, then renamed into place.
inline constexpr char siblingPrefix[] = ".quillon_new_";

// A name in the directory of path for its new content: the prefix, a random part and as much of
// path's file name as fits within NAME_MAX.
QString newSiblingPath(const QString& path);

// What lstat tells about the entry at path itself.
struct Entry {
    bool exists = false; // any entry, a dangling link included
    bool isDir = false;
    bool isRegularFile = false;
    bool isLink = false;
    int mode = 0; // permission bits
    quint64 device = 0;
    qint64 size = 0;
};
Entry entry(const QString& path);

// Renames from to to, failing when anything exists at to.
bool renameNoReplace(const QString& from, const QString& to);
// Renames from to to, atomically replacing whatever is at to.
bool renameReplace(const QString& from, const QString& to);
// A second name for the entry at from (a link itself, not its target); fails when to exists.
bool hardLink(const QString& from, const QString& to);

// Gives the regular file at path (never a link's target) the permission bits mode; false for
// anything but a regular file.
bool setFileMode(const QString& path, int mode);

// Removes the entry at path itself (a link, not its target); fails on a directory.
bool remove(const QString& path);
// Empties the directory at path recursively. Symbolic links are removed, never followed: a link
// at path itself is not emptied. The file named last (a name in path), if any, is
// removed after everything else.
void emptyDirectory(const QString& path, const QString& last = {});

// Copies the rest of the open file from to the open file to, from their current offsets: in the
// kernel where it can (copy_file_range, which shares extents on file systems that can), else
// through a buffer. False with errno set on any failure.
bool copyContents(int from, int to);
// Writes all of data to fd, through short writes and interruptions.
bool writeAll(int fd, const char* data, qint64 size);

// Removes, silently, every sibling that a killed run left anywhere under root.
void removeStaleSiblings(const QString& root);

} // namespace PosixFile
