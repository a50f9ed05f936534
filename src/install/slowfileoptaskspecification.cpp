#include "slowfileoptaskspecification.h"

#include "install/posixfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

NewFile::NewFile(const QString& path, int mode)
    : path(path)
    , mode(mode) {}

NewFile::~NewFile() {
    // A worker that never finished its file leaves nothing behind.
    finish(false);
}

bool NewFile::create() {
    descriptor = ::open(QFile::encodeName(path).constData(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    created = true;
    // Set explicitly: the umask must not decide who may write an installed file.
    return ::fchmod(descriptor, mode_t(mode)) == 0;
}

NewFile::Link NewFile::createAsLink(const QString& source) {
    // Flags 0: a symbolic link at source gets a second name itself, which is refused below, so
    // the mode is never set through a link.
    if (!PosixFile::hardLink(source, path))
        return errno == EXDEV || errno == EPERM || errno == EMLINK || errno == EOPNOTSUPP
                   ? Link::Unsupported
                   : Link::Failed;
    created = true;
    return PosixFile::setFileMode(path, mode) ? Link::Made : Link::Failed;
}

bool NewFile::write(const char* data, qint64 size) {
    return PosixFile::writeAll(descriptor, data, size);
}

bool NewFile::finish(bool ok) {
    if (descriptor >= 0) {
        ok = ::close(descriptor) == 0 && ok;
        descriptor = -1;
    }
    if (!ok && created)
        ::unlink(QFile::encodeName(path).constData());
    // Complete or removed: either way no longer ours to clean up.
    created = false;
    return ok;
}

SlowFileOpSpecification::SlowFileOpSpecification(QString errorText, RollbackDataList* rollbackList,
                                                 const QString& source, const QString& dest,
                                                 int mode, Produce produce, QObject* parent,
                                                 double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , sourcePath(source)
    , destPath(dest)
    , errorText(std::move(errorText))
    , mode(mode)
    , produce(std::move(produce)) {}

ASyncTaskSpecification::Work SlowFileOpSpecification::createWork() {
    return [source = sourcePath, dest = destPath, mode = mode, link = linkSource,
            produce = produce](ASyncReport& report) {
        NewFile file(dest, mode);
        if (const NewFile::Link made =
                link ? file.createAsLink(source) : NewFile::Link::Unsupported;
            made != NewFile::Link::Unsupported)
            return ASyncResult(file.finish(made == NewFile::Link::Made));
        return ASyncResult(file.create() ? file.finish(produce(source, file, report))
                                         : file.finish(false));
    };
}

bool SlowFileOpSpecification::runsInline() {
    return sizeBound >= 0 && sizeBound <= InlineBytes;
}

void SlowFileOpSpecification::runDone(bool ok, std::any& value) {
    if (!ok)
        emit message(errorText);
    // Recorded whatever our state: the file has been written even if nobody waits any more.
    else if (rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destPath));
    ASyncTaskSpecification::runDone(ok, value);
}
