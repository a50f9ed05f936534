#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& dirPath,
                                                       RollbackDataList* rollbackList,
                                                       QObject* parent, double weight)
    : FastFileOpTaskSpecification(rollbackList, dirPath, parent, weight) {}

bool DirCreateTaskSpecification::doOp() {
    return tryCreateDir(targetPath);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& givenDir) {
    QString dir = givenDir;
    // "a/b/" would otherwise name "a/b" as its own parent.
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);

    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                .arg(dir));
        return false;
    }
    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(dir).isRoot()) {
        emit message(QStringLiteral("Could not create dir %1").arg(targetPath));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;
    // One level at a time, so that each level gets its own undo record.
    if (!parent.mkdir(QDir(dir).dirName())) {
        emit message(QStringLiteral("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dir));
    // Explicitly, whatever the umask.
    if (!QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::ExeOther)) {
        emit message(QStringLiteral("unable to create dir %1").arg(dir));
        return false;
    }
    return true;
}
