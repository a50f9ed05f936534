#include "filecopytaskspecification.h"

#include "install/posixfile.h"

#include <QFile>
#include <QFileInfo>

namespace {
bool copyFile(const QString& source, NewFile& dest, ASyncReport&) {
    QFile in(source);
    return in.open(QIODevice::ReadOnly | QIODevice::Unbuffered) &&
           PosixFile::copyContents(in.handle(), dest.fd());
}
} // namespace

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList,
                                                     const QString& source, const QString& dest,
                                                     int mode, QObject* parent, double weight,
                                                     const QString& shownDest)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'")
                                  .arg(source, shownDest.isEmpty() ? dest : shownDest),
                              rollbackList, source, dest, mode, copyFile, parent, weight) {
    const QFileInfo info(source);
    if (info.isFile())
        sizeBound = info.size();
}
