#include "treesnapshot.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

TreeSnapshot snapshotTree(const QString& root) {
    TreeSnapshot snapshot;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(root.size() + 1);
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) != 0) {
            snapshot.insert(rel, QStringLiteral("vanished"));
            continue;
        }
        const QString mode = QString::number(st.st_mode & 07777, 8);
        if (S_ISLNK(st.st_mode)) {
            snapshot.insert(rel, QStringLiteral("link -> ") + QFileInfo(path).symLinkTarget());
        } else if (S_ISDIR(st.st_mode)) {
            snapshot.insert(rel, QStringLiteral("dir ") + mode);
        } else {
            QFile f(path);
            QCryptographicHash md5(QCryptographicHash::Md5);
            if (f.open(QIODevice::ReadOnly))
                md5.addData(&f);
            snapshot.insert(rel, QStringLiteral("file %1 %2 %3")
                                     .arg(mode)
                                     .arg(st.st_size)
                                     .arg(QString::fromLatin1(md5.result().toHex())));
        }
    }
    return snapshot;
}

QString describeDifference(const TreeSnapshot& expected, const TreeSnapshot& actual) {
    QString out;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (actual.value(it.key()) != it.value())
            out += QStringLiteral("- %1: %2\n").arg(it.key(), it.value());
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (expected.value(it.key()) != it.value())
            out += QStringLiteral("+ %1: %2\n").arg(it.key(), it.value());
    }
    return out;
}
