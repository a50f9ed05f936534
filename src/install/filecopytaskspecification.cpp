#include "filecopytaskspecification.h"

#include <QFile>

namespace {
constexpr qint64 copyChunk = 64 * 1024;

bool copyFile(const QString& source, NewFile& dest, ASyncReport&) {
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray buffer(copyChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 count = in.read(buffer.data(), copyChunk);
        if (count == 0)
            return true;
        if (count < 0 || !dest.write(buffer.constData(), count))
            return false;
    }
}
} // namespace

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& dest,
                                                     int mode, QObject* parent, double weight,
                                                     const QString& shownDest)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'")
                                  .arg(source, shownDest.isEmpty() ? dest : shownDest),
                              rollbackList, source, dest, mode, copyFile, parent, weight) {}
