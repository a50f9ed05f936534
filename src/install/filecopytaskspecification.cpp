#include "filecopytaskspecification.h"

#include <QFile>

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& dest,
                                                     QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, dest),
                              rollbackList, source, dest, parent, weight) {}

ASyncFunc* FileCopyTaskSpecification::createFunction() {
    return new FileCopyFunc(sourcePath, destPath);
}

bool FileCopyFunc::run() {
    // QFile::copy writes a temporary file beside the destination and renames it into place only
    // when complete, so a failed copy leaves no partial destination; it never overwrites.
    return QFile::copy(sourcePath, destPath);
}
