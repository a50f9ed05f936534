#include "downloadtaskspecification.h"

#include "install/posixfile.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QUrl>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* networkManager,
                                                     Mirrors* mirrors, const QString& remotePath,
                                                     const QString& localFile, qint64 expectedSize,
                                                     QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , localPath(localFile)
    , currentTotal(expectedSize)
    , expectedSize(expectedSize) {}

DownloadTaskSpecification::~DownloadTaskSpecification() {
    // The manager may already have deleted the reply.
    dropReply();
    if (fd >= 0)
        ::close(fd);
    // Otherwise the slot stays taken for the rest of the run.
    if (holdsMirror && mirrors)
        mirrors->releaseMirror(mirror.name);
}

QString DownloadTaskSpecification::requestUrl() const {
    return mirror.url + QLatin1Char('/') + remotePath;
}

namespace {
constexpr qint64 maxReadAhead = 1 << 20;
constexpr qsizetype chunkSize = 4096;
// Chunks are gathered into writes of up to this size: a write per chunk cost large files dearly.
// Below malloc's 64 KiB, whose frees would sweep the heap each time.
constexpr qsizetype gatherSize = qsizetype(32) * 1024;
} // namespace

qint64 DownloadTaskSpecification::bodyBound() const {
    return expectedSize >= 0 ? expectedSize : sizeLimit;
}

// A mirror sending more than the bound is broken or hostile: without this check an endless body
// would fill the disk.
bool DownloadTaskSpecification::retryIfOversized(qint64 size) {
    const qint64 bound = bodyBound();
    if (bound < 0 || size <= bound)
        return false;
    errorRetry(QStringLiteral("%1 sent more than the %2 %3 bytes")
                   .arg(requestUrl(),
                        expectedSize >= 0 ? QStringLiteral("expected") : QStringLiteral("allowed"))
                   .arg(bound));
    return true;
}

void DownloadTaskSpecification::execute() {
    if (!quiet)
        emit message(QStringLiteral("Downloading %1").arg(remotePath));
    setRunning();
    startDownload();
}

void DownloadTaskSpecification::startDownload() {
    const int result = sameMirrorAs ? mirrors->takeMirror(sameMirrorAs->mirror.name, mirror)
                                    : mirrors->getRandomMirror(mirror);
    if (result == 1 && sameMirrorAs) {
        failed = true;
        finish();
        return;
    }
    if (result == 1) {
        errorCancel();
        return;
    }
    if (result == 2) {
        // Queued, so the retry never runs inside the handler of the task that freed the slot.
        connect(mirrors, &Mirrors::slotsChanged, this,
                &DownloadTaskSpecification::onMirrorSlotFreed,
                static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    }
    holdsMirror = true;

    // A file that an earlier run installed shares its content with the installed file: it is
    // replaced, never written into. Opened here, so that one fstat tells that and its size. Most
    // downloads make a new file, which needs no look at all.
    const QByteArray native = QFile::encodeName(localPath);
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (resumable ? O_APPEND : 0);
    fd = ::open(native.constData(), flags | O_EXCL, 0666);
    struct stat info {};
    if (fd < 0 && errno == EEXIST && (fd = ::open(native.constData(), flags, 0666)) >= 0 &&
        ::fstat(fd, &info) == 0 && info.st_nlink > 1) {
        ::close(fd);
        ::unlink(native.constData());
        fd = ::open(native.constData(), flags | O_EXCL, 0666);
        info.st_size = 0;
    }
    if (fd < 0 || (!resumable && info.st_size > 0 && ::ftruncate(fd, 0) != 0)) {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(localPath));
        mirrors->releaseMirror(mirror.name);
        holdsMirror = false;
        errorCancel();
        return;
    }

    buffer.clear();
    // A file as long as the whole or longer holds nothing worth keeping (its check failed).
    resumeFrom = resumable ? qint64(info.st_size) : 0;
    if (resumeFrom >= expectedSize && resumeFrom > 0) {
        emptyFile();
        resumeFrom = 0;
    }
    restartHash();
    receivedBytes = lastReceivedBytes = resumeFrom;
    rateHistory.fill(resumeFrom);
    if (expectedSize > 0)
        setProgress(double(resumeFrom) / double(expectedSize));

    QNetworkRequest request{QUrl(requestUrl())};
    if (resumeFrom > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeFrom) + '-');
    // Qt 6 follows redirects by default; a redirect must cost the mirror instead.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    reply = networkManager->get(request);
    if (!reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        mirrors->releaseMirror(mirror.name);
        holdsMirror = false;
        ::close(std::exchange(fd, -1));
        errorCancel();
        return;
    }
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }
    // Qt's network thread reads ahead of us without limit: a body bounded only by a ceiling (the
    // product ini, its signature) could pour into memory well past it while this thread is busy.
    // A bounded read-ahead leaves the rest in the sockets, where TCP holds the mirror back. Files
    // of a listed size keep Qt's faster unbounded reading; their bound is checked as they arrive.
    if (expectedSize < 0 && sizeLimit >= 0)
        reply->setReadBufferSize(qBound<qint64>(1, sizeLimit + 1, maxReadAhead));
    connect(reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
    // The failure itself only says that the handshake failed; the reasons tell what to fix.
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>& errors) {
        QStringList reasons;
        for (const QSslError& e : errors)
            reasons << e.errorString();
        emit message(QStringLiteral("Certificate of mirror %1 (%2) not trusted: %3")
                         .arg(mirror.name, mirror.url, reasons.join(QStringLiteral("; "))));
    });
}

void DownloadTaskSpecification::onMirrorSlotFreed() {
    disconnect(mirrors, &Mirrors::slotsChanged, this,
               &DownloadTaskSpecification::onMirrorSlotFreed);
    if (state() == Running && !reply)
        startDownload();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal) {
    if (bytesTotal > 0 && currentTotal == -1)
        currentTotal = bytesTotal;
}

void DownloadTaskSpecification::onMetaDataChanged() {
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    bool isNumber = false;
    const int code = status.toInt(&isNumber);
    if (isNumber && (code == 200 || (code == 206 && resumeFrom > 0))) {
        if (!acceptPartialAnswer(code))
            return;
        // An announced length past the bound is refused before any of the body is fetched.
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            retryIfOversized(resumeFrom + length.toLongLong());
        return;
    }
    if (notFoundEnds && isNumber && code == 404) {
        resetDownload();
        notFound = true;
        finish();
        return;
    }
    if (!notFoundEnds)
        mirrors->removeMirror(mirror.name);
    errorRetry(QStringLiteral("%1 returned %2").arg(requestUrl()).arg(isNumber ? code : 0));
}

bool DownloadTaskSpecification::acceptPartialAnswer(int code) {
    if (resumeFrom == 0)
        return true;
    if (code == 200) {
        // The mirror ignores ranges: its whole file is as good, at no cost to the mirror.
        emit message(QStringLiteral("%1 sent the whole file instead of bytes %2-")
                         .arg(requestUrl())
                         .arg(resumeFrom));
        emptyFile();
        resumeFrom = receivedBytes = lastReceivedBytes = 0;
        rateHistory.fill(0);
        setProgress(0.0);
        restartHash();
        return true;
    }
    // "bytes FIRST-LAST/TOTAL" must continue exactly where the held part ends, up to the end.
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    const QByteArray expected = "bytes " + QByteArray::number(resumeFrom) + '-' +
                                QByteArray::number(expectedSize - 1) + '/' +
                                QByteArray::number(expectedSize);
    if (range == expected)
        return true;
    const QString text = QStringLiteral("%1 answered bytes %2- with range \"%3\"")
                             .arg(requestUrl())
                             .arg(resumeFrom)
                             .arg(QString::fromLatin1(range.left(100)));
    // The held part may be what does not fit; the next attempt starts from zero.
    emptyFile();
    errorRetry(text);
    return false;
}

void DownloadTaskSpecification::onReadyRead() {
    readData();
}

bool DownloadTaskSpecification::readData() {
    while (reply) {
        idleTicks = 0;
        // What has arrived is written once the reply has no more for now: a trickle reaches
        // the disk as it comes, and a small file in one write.
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return writeOut();
        // Read straight into the gathered bytes: each byte is copied once on its way to the file.
        const qsizetype held = buffer.size();
        buffer.resize(held + qsizetype(std::min<qint64>(available, gatherSize - held)));
        const qint64 n = reply->read(buffer.data() + held, buffer.size() - held);
        buffer.resize(held + qsizetype(std::max<qint64>(n, 0)));
        if (n < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (n == 0)
            return writeOut();
        // The retry keeps what is held for its resume, but never what went past the bound.
        const qint64 bound = bodyBound();
        if (bound >= 0 && receivedBytes + n > bound)
            buffer.truncate(held);
        if (retryIfOversized(receivedBytes + n))
            return false;
        if (hash)
            hash->add(buffer.constData() + held, std::size_t(n));
        receivedBytes += n;
        if (buffer.size() >= gatherSize && !writeOut())
            return false;
        if (currentTotal >= 1)
            setProgress(std::min(1.0, double(receivedBytes) / double(currentTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished() {
    if (!reply)
        return;
    const QNetworkReply::NetworkError code = reply->error();
    if (code == QNetworkReply::NoError) {
        // readData() has written out all that arrived when it returns with the reply alive.
        if (!readData() || !reply)
            return;
        reply->close();
        reply->deleteLater();
        reply = nullptr;
        ::close(std::exchange(fd, -1));
        if (hash) {
            bodyMd5 = hash->hexResult();
            hash.reset();
        }
        buffer = QByteArray();
        downloadFinished();
        return;
    }
    if (code == QNetworkReply::AuthenticationRequiredError) {
        mirrors->removeMirror(mirror.name);
        reply->close();
    }
    errorRetry(reply->errorString());
}

void DownloadTaskSpecification::downloadFinished() {
    if (!quiet)
        emit message(QStringLiteral("Downloading %1 finished").arg(remotePath));
    mirrors->releaseMirror(mirror.name);
    holdsMirror = false;
    finish();
}

bool DownloadTaskSpecification::errorRetry(QString text) {
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit message(std::move(text));
    if (sameMirrorAs) {
        failed = true;
        finish();
        return true;
    }
    startDownload();
    return true;
}

void DownloadTaskSpecification::resetDownload() {
    if (holdsMirror) {
        mirrors->releaseMirror(mirror.name);
        holdsMirror = false;
    }
    mirror.name.clear();
    if (mirrors)
        disconnect(mirrors, &Mirrors::slotsChanged, this,
                   &DownloadTaskSpecification::onMirrorSlotFreed);
    dropReply();
    idleTicks = 0;
    transferTicks = 0;
    rateHistory.fill(0);
    // A partial download survives a restart only to be resumed; a completed one is already
    // closed.
    if (fd >= 0) {
        // What arrived is kept for the resume; should it not all be written, the next attempt
        // resumes from what was.
        if (resumable)
            PosixFile::writeAll(fd, buffer.constData(), buffer.size());
        ::close(std::exchange(fd, -1));
        if (!resumable)
            QFile::remove(localPath);
    }
    lastReceivedBytes = 0;
    receivedBytes = 0;
    resumeFrom = 0;
    hash.reset();
    bodyMd5.clear();
    buffer = QByteArray();
    currentTotal = expectedSize;
    setProgress(0.0);
}

void DownloadTaskSpecification::restartHash() {
    bodyMd5.clear();
    hash.reset();
    if (!hashBody)
        return;
    hash = std::make_unique<Md5Sum>();
    if (resumeFrom == 0)
        return;
    QFile held(localPath);
    bool readBack = held.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    char chunk[chunkSize];
    for (qint64 left = resumeFrom; readBack && left > 0;) {
        const qint64 n = held.read(chunk, std::min<qint64>(left, chunkSize));
        readBack = n > 0;
        if (readBack)
            hash->add(chunk, std::size_t(n));
        left -= n;
    }
    if (!readBack) {
        // What cannot be read back cannot be vouched for: the whole file is fetched again.
        hash = std::make_unique<Md5Sum>();
        emptyFile();
        resumeFrom = 0;
    }
}

void DownloadTaskSpecification::emptyFile() {
    buffer.clear();
    if (::ftruncate(fd, 0) == 0)
        ::lseek(fd, 0, SEEK_SET);
}

bool DownloadTaskSpecification::writeOut() {
    const qint64 size = buffer.size();
    errno = 0;
    if (size == 0 || PosixFile::writeAll(fd, buffer.constData(), size)) {
        // The allocation stays for the next chunks.
        buffer.resize(0);
        return true;
    }
    const int reason = errno;
    // Whatever part of it reached the file, the file holds the start of the body; a resumed
    // attempt goes on from there, so nothing is written twice.
    buffer.clear();
    // No bytes at all: the system gave no reason.
    errorRetry(reason != 0 ? qt_error_string(reason)
                           : QStringLiteral("Error writing to file %1. Should write %2 bytes but "
                                            "wrote 0 bytes")
                                 .arg(localPath)
                                 .arg(size));
    return false;
}

void DownloadTaskSpecification::dropReply() {
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    // At once: a deferred delete waits while a modal box runs its own event loop, and until then
    // the reply keeps buffering whatever the mirror sends, an endless body included.
    reply->abort();
    reply->deleteLater();
    reply = nullptr;
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading) {
    downloadDone = receivedBytes;
    downloadTotal = currentTotal < 0 ? 0 : currentTotal;
    speed = receivedBytes - lastReceivedBytes;
    lastReceivedBytes = receivedBytes;
    if (state() != Running || !reply)
        return;
    if (++idleTicks > mirror.timeout) {
        errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
        return;
    }
    if (requestTickLimit > 0) {
        if (++transferTicks > requestTickLimit) {
            errorRetry(QStringLiteral("file %1 too slow on mirror %2: not received within %3 "
                                      "seconds")
                           .arg(remotePath, mirror.name)
                           .arg(requestTickLimit));
            return;
        }
        downloading = true;
        return;
    }
    // A trickle that keeps the idle count low must not hold the download for ever; a slow but
    // steady mirror above the rate is left alone.
    const int slot = ++transferTicks % rateWindowTicks;
    const qint64 windowStart = rateHistory[slot];
    rateHistory[slot] = receivedBytes;
    if (transferTicks >= rateWindowTicks &&
        receivedBytes - windowStart < minBytesPerTick * rateWindowTicks) {
        errorRetry(QStringLiteral("file %1 too slow on mirror %2: less than %3 bytes per second "
                                  "over %4 seconds")
                       .arg(remotePath, mirror.name)
                       .arg(minBytesPerTick)
                       .arg(rateWindowTicks));
        return;
    }
    downloading = true;
}

void DownloadTaskSpecification::reset() {
    resetDownload();
    notFound = false;
    failed = false;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::userCanceled() {
    TaskSpecification::userCanceled();
    if (state() == Running) {
        resetDownload();
        userCancel();
    }
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*) {
    if (reply) {
        if (!quiet)
            emit message(QStringLiteral("Abort downloading %1").arg(remotePath));
        resetDownload();
    }
    errorCancel();
}
