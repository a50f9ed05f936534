#include "filerenametaskspecification.h"

#include "install/posixfile.h"

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& oldName,
                                                         const QString& newName,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(rollbackList, newName, parent, weight)
    , sourcePath(oldName) {}

bool FileRenameTaskSpecification::doOp() {
    if (PosixFile::renameNoReplace(sourcePath, targetPath)) {
        addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, targetPath));
        return true;
    }
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, targetPath));
    return false;
}
