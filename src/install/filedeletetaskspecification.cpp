#include "filedeletetaskspecification.h"

#include "install/posixfile.h"

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString& filePath,
                                                         QObject* parent, double weight)
    : FastFileOpTaskSpecification(nullptr, filePath, parent, weight)
    , failOnError(failOnError) {}

bool FileDeleteTaskSpecification::doOp() {
    const bool removed = PosixFile::remove(targetPath);
    if (removed || !failOnError)
        return true;
    emit message(QStringLiteral("Could not delete '%1'").arg(targetPath));
    return false;
}
