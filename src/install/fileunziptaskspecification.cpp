#include "fileunziptaskspecification.h"

#include <QFile>

#include <zlib.h>

namespace {
constexpr int bufferSize = 16384;
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList,
                                                       const QString& source, const QString& dest,
                                                       int mode, quint64 maxSize, QObject* parent,
                                                       double weight, const QString& shownDest)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'")
                                  .arg(source, shownDest.isEmpty() ? dest : shownDest),
                              rollbackList, source, dest, mode, parent, weight)
    , maxSize(maxSize) {}

ASyncFunc* FileUnzipTaskSpecification::createFunction() {
    return new FileUnzipFunc(sourcePath, destPath, mode, maxSize);
}

FileUnzipFunc::FileUnzipFunc(const QString& source, const QString& dest, int mode, quint64 maxSize)
    : SlowFileOpFunc(source, dest, mode)
    , maxSize(maxSize) {}

bool FileUnzipFunc::run() {
    if (!createDest())
        return finishDest(false);
    return finishDest(unzipFile());
}

bool FileUnzipFunc::unzipFile() {
    gzFile in = gzopen(QFile::encodeName(sourcePath).constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);

    char buffer[bufferSize];
    quint64 total = 0;
    for (;;) {
        const int count = gzread(in, buffer, bufferSize);
        if (count == 0) {
            // A stream cut short also ends with 0 bytes; only gzclose tells it apart (Z_BUF_ERROR).
            return gzclose(in) == Z_OK;
        }
        if (count < 0)
            break;
        total += quint64(count);
        if (total > maxSize) {
            // A listed entry that unpacks to more than its listed size may be a bomb: stop
            // before the excess reaches the disk.
            emit message(QStringLiteral("'%1' unpacks to more than its listed size of %2 bytes")
                             .arg(sourcePath)
                             .arg(maxSize));
            break;
        }
        if (!writeDest(buffer, count))
            break;
    }
    gzclose(in);
    return false;
}
