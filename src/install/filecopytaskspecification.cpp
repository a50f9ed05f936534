#include "filecopytaskspecification.h"

#include <QFile>

namespace {
constexpr qint64 copyChunk = qint64(64) * 1024;
}

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
    QByteArray buffer(copyChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 count = in.read(buffer.data(), copyChunk);
        if (count == 0)
            return finishDest(true);
        if (count < 0 || !writeDest(buffer.constData(), count))
            return finishDest(false);
    }
}
