#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The whole content of path, or "<missing>" when it cannot be read, so that a comparison with
// any real content fails visibly.
QByteArray readAll(const QString& path);

// Writes content to path, creating directories as needed, and gives it exactly the permission
// bits `mode`, whatever the umask. False (with a warning) on any failure.
bool writeFile(const QString& path, const QByteArray& content, int mode = 0644);

// Writes `files` (relative path -> contents) under `root` with writeFile.
bool writeTree(const QString& root, const QMap<QString, QByteArray>& files);

// Lower-case hex MD5 of data, computed without the updater's own hashing.
QString md5(const QByteArray& data);

// size bytes that do not compress and differ at every offset, the same for the same seed.
QByteArray noise(qsizetype size, quint32 seed = 1);

// Where both paths exist: the device of each, equal on one file system; -1 for a missing path.
qint64 deviceOf(const QString& path);
// The inode of the entry at path itself, -1 when missing: equal for two names of one file.
qint64 inodeOf(const QString& path);
