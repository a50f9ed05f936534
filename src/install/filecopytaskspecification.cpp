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
    // The source is a file of the run's temporary directory that nothing writes again (a download
    // replaces such a file rather than writing into it), so the installation may share it: no
    // bytes move, and the temporary copy is still there for a rollback and a resumed run.
    linkSource = true;
    const QFileInfo info(source);
    if (info.isFile())
        sizeBound = info.size();
}
