#include "filecopytaskspecification.h"

#include "install/posixfile.h"

#include <QFile>

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& dest,
                                                     int mode, QObject* parent, double weight,
                                                     const QString& shownDest)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'")
                                  .arg(source, shownDest.isEmpty() ? dest : shownDest),
                              rollbackList, source, dest, mode, parent, weight) {}

ASyncFunc* FileCopyTaskSpecification::createFunction() {
    return new FileCopyFunc(sourcePath, destPath, mode);
}

bool FileCopyFunc::run() {
    QFile in(sourcePath);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !createDest())
        return finishDest(false);
    return finishDest(PosixFile::copyContents(in.handle(), destFd()));
}
