#include "filecopytaskspecification.h"

#include <QFile>

namespace {
constexpr qint64 copyChunk = 64 * 1024;
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& dest,
                                                     QObject* parent, double weight)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, dest),
                              rollbackList, source, dest, parent, weight) {}

ASyncFunc* FileCopyTaskSpecification::createFunction() {
    return new FileCopyFunc(sourcePath, destPath);
}

bool FileCopyFunc::run() {
    QFile in(sourcePath);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    // Written in place rather than through QFile::copy's temporary file beside the destination:
    // a run killed meanwhile would leave that temporary file in the installation for good,
    // while a partial destination is found not current and replaced by the next run.
    // NewOnly never replaces anything, not even a symbolic link.
    QFile out(destPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return false;
    QByteArray buffer(copyChunk, Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const qint64 count = in.read(buffer.data(), copyChunk);
        if (count == 0)
            break;
        if (count < 0 || out.write(buffer.constData(), count) != count) {
            ok = false;
            break;
        }
    }
    out.close();
    ok = ok && out.error() == QFileDevice::NoError && out.setPermissions(in.permissions());
    if (!ok)
        out.remove();
    return ok;
}
