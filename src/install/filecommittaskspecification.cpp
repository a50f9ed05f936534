#include "filecommittaskspecification.h"

#include "install/posixfile.h"

#include <QFile>

FileCommitTaskSpecification::FileCommitTaskSpecification(const QString& siblingPath,
                                                         const QString& path,
                                                         const QString& oldPath,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(rollbackList, path, parent, weight)
    , siblingPath(siblingPath)
    , oldPath(oldPath) {}

bool FileCommitTaskSpecification::doOp() {
    const PosixFile::Entry current = knownEntry ? *knownEntry : PosixFile::entry(targetPath);
    // A directory would end up stranded under the old name.
    if (current.isDir)
        return failRename(siblingPath, targetPath);
    if (movedMode && !PosixFile::setFileMode(siblingPath, *movedMode)) {
        emit message(QStringLiteral("Could not copy '%1' to '%2'").arg(siblingPath, targetPath));
        return false;
    }
    if (!current.exists) {
        if (!PosixFile::renameNoReplace(siblingPath, targetPath))
            return failRename(siblingPath, targetPath);
        takeOverSibling(movedMode ? RollbackData(RollbackData::Rename, siblingPath, targetPath)
                                  : RollbackData(RollbackData::CreateFile, targetPath));
        return true;
    }
    const bool linked = PosixFile::hardLink(targetPath, oldPath);
    if (!linked && !PosixFile::renameNoReplace(targetPath, oldPath))
        return failRename(targetPath, oldPath);
    if (!PosixFile::renameReplace(siblingPath, targetPath)) {
        if (linked)
            QFile::remove(oldPath);
        else
            PosixFile::renameNoReplace(oldPath, targetPath);
        return failRename(siblingPath, targetPath);
    }
    RollbackData replaced(RollbackData::Replace, oldPath, targetPath);
    if (movedMode)
        replaced.keptAt = siblingPath;
    takeOverSibling(replaced);
    return true;
}

bool FileCommitTaskSpecification::failRename(const QString& from, const QString& to) {
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(from, to));
    return false;
}

void FileCommitTaskSpecification::takeOverSibling(const RollbackData& data) {
    // The sibling is gone, now the path's content: undoing its creation would find nothing.
    if (rollbackList)
        rollbackList->removeIf([this](const RollbackData& d) {
            return d.operation == RollbackData::CreateFile && d.path == siblingPath;
        });
    addRollbackOp(data);
}
