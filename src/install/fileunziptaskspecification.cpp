#include "fileunziptaskspecification.h"

#include <QFile>

#include <zlib.h>

namespace {
constexpr int bufferSize = 16384;
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList,
                                                       const QString& source, const QString& dest,
                                                       QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(source, dest),
                              rollbackList, source, dest, parent, weight) {}

ASyncFunc* FileUnzipTaskSpecification::createFunction() {
    return new FileUnzipFunc(sourcePath, destPath);
}

bool FileUnzipFunc::run() {
    const bool ok = unzipFile(destPath, sourcePath);
    if (!ok)
        QFile::remove(destPath);
    return ok;
}

bool FileUnzipFunc::unzipFile(const QString& dest, const QString& gzSource) {
    QFile out(dest);
    // Unbuffered: every chunk goes straight to the file, so a short write shows at once.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    gzFile in = gzopen(QFile::encodeName(gzSource).constData(), "rb");
    if (!in) {
        out.close();
        out.remove();
        return false;
    }
    gzrewind(in);

    char buffer[bufferSize];
    for (;;) {
        const int count = gzread(in, buffer, bufferSize);
        if (count == 0) {
            // A stream cut short also ends with 0 bytes; only gzclose tells it apart (Z_BUF_ERROR).
            out.close();
            const bool complete = gzclose(in) == Z_OK;
            if (complete && out.error() == QFileDevice::NoError)
                return true;
            out.remove();
            return false;
        }
        if (count < 0)
            break;
        if (out.write(buffer, count) != count)
            break;
    }
    gzclose(in);
    out.close();
    out.remove();
    return false;
}
