#include "rollback.h"

#include "install/posixfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

RollbackData::RollbackData(Operation operation, const QString& oldPath, const QString& path)
    : path(path)
    , oldPath(oldPath)
    , operation(operation) {}

RollbackData::RollbackData(Operation operation, const QString& path)
    : path(path)
    , operation(operation) {}

void RollbackData::message(QObject* reporter, const QString& text) {
    if (!reporter)
        return;
    QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

bool RollbackData::rollback(QObject* reporter) const {
    switch (operation) {
    case Rename:
        // Never replaces an existing entry, so a name taken meanwhile stays intact.
        if (PosixFile::renameNoReplace(path, oldPath))
            return true;
        message(reporter,
                QStringLiteral("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
        return false;
    case Replace:
        // Only so that a resumed run need not fetch it again: a failure costs nothing else.
        if (!keptAt.isEmpty())
            PosixFile::hardLink(path, keptAt);
        if (PosixFile::renameReplace(oldPath, path))
            return true;
        message(reporter, QStringLiteral("warning: rollback replace %1 failed").arg(path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(reporter, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir:
        // rmdir refuses a directory that has received files since.
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(reporter, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    qFatal("Should not reach here");
}

void RollbackDataList::add(const RollbackData& data) {
    append(data);
}

void RollbackDataList::appendList(const RollbackDataList& other) {
    append(other);
}

bool RollbackDataList::rollback(QObject* reporter) {
    bool result = true;
    while (!isEmpty()) {
        const RollbackData data = takeLast();
        if (!data.rollback(reporter))
            result = false;
    }
    return result;
}
