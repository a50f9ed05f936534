#include "fileunziptaskspecification.h"

#include <QFile>

#include <zlib.h>

namespace {
constexpr int bufferSize = 16384;

bool unzipFile(const QString& source, NewFile& dest, quint64 maxSize, ASyncReport& report) {
    gzFile in = gzopen(QFile::encodeName(source).constData(), "rb");
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
            report.message(QStringLiteral("'%1' unpacks to more than its listed size of %2 bytes")
                               .arg(source)
                               .arg(maxSize));
            break;
        }
        if (!dest.write(buffer, count))
            break;
    }
    gzclose(in);
    return false;
}
} // namespace

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList,
                                                       const QString& source, const QString& dest,
                                                       int mode, quint64 maxSize, QObject* parent,
                                                       double weight, const QString& shownDest)
    : SlowFileOpSpecification(
          QStringLiteral("Could not unzip '%1' to '%2'")
              .arg(source, shownDest.isEmpty() ? dest : shownDest),
          rollbackList, source, dest, mode,
          [maxSize](const QString& source, NewFile& dest, ASyncReport& report) {
              return unzipFile(source, dest, maxSize, report);
          },
          parent, weight) {
    sizeBound = qint64(maxSize);
}
