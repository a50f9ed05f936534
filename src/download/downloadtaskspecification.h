#pragma once

#include "download/mirrors.h"
#include "tasks/taskspecification.h"
#include "verify/md5sum.h"

#include <QFile>
#include <QNetworkReply>
#include <QPointer>

#include <array>

class QNetworkAccessManager;

// Fetches one remote file over HTTP into one local file. Takes a mirror from the pool, streams
// the body through a fixed buffer into the file, and restarts from scratch on a fresh mirror after
// every failure (each costs the mirror an error, or the mirror itself); it ends with an error only
// when the pool has no mirror left. Redirects are never followed: they cost the mirror. A transfer
// that goes 16 ticks without data, or that delivers less than minBytesPerTick on average over the
// last rateWindowTicks ticks, counts as a stall. A resumable download keeps what it holds across
// attempts and runs, and asks only for the rest with a range.
// GUI thread only, driven by the reply's signals and by timeTick() once a second.
class DownloadTaskSpecification : public TaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DownloadTaskSpecification)

public:
    // With one tick a second: below 1 KiB/s averaged over 30 s, a mirror is too slow.
    static constexpr qint64 minBytesPerTick = 1024;
    static constexpr int rateWindowTicks = 30;

    // networkManager must outlive the task; mirrors is not owned either. expectedSize -1 means
    // unknown; a known size (0 included) also bounds the body, so a mirror sending more loses the
    // attempt.
    DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                              const QString& remotePath, const QString& localFile,
                              qint64 expectedSize, QObject* parent, double weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    QNetworkAccessManager* networkManager;
    // Guarded: a task deleted after the pool must not give its slot back to a dead pool.
    QPointer<Mirrors> mirrors;
    // The transfer in progress; owned, destroyed with deleteLater(). A QPointer because the
    // manager deletes its replies with itself, which may happen before this task dies.
    QPointer<QNetworkReply> reply;
    int idleTicks = 0;
    QString remotePath;
    // Where the download goes, and its descriptor while a transfer writes it (-1 otherwise).
    QString localPath;
    int fd = -1;
    qint64 lastReceivedBytes = 0;
    qint64 currentTotal;
    qint64 expectedSize;
    // Bytes of the file held, including those kept from earlier attempts.
    qint64 receivedBytes = 0;
    // Keep a partial file and continue it with a range. Needs a known expectedSize; the product
    // ini never resumes, its signature is checked whole.
    bool resumable = false;
    // Bytes already held when the current request was made; the range asked for starts there.
    qint64 resumeFrom = 0;
    // Bound on the body while expectedSize is -1; -1 means none.
    qint64 sizeLimit = -1;
    // Hash the file's bytes as they are written (a resumed part is read once when resuming), so
    // that checking the finished file needs no second read. bodyMd5 is then the finished file's
    // MD5 in hex; empty before that.
    bool hashBody = false;
    QString bodyMd5;
    // Options for small side files, all off by default.
    // Each request must end within this many ticks, however it trickles; this replaces the rate
    // check. 0: no such bound.
    int requestTickLimit = 0;
    // The file may be absent: a 404 ends the download as finished with notFound set, at no cost
    // to the mirror, and any other unexpected status costs the mirror an error, not the mirror.
    bool notFoundEnds = false;
    bool notFound = false;
    // Fetch only from the mirror that delivered this finished download, so that a pair of files
    // comes from one mirror. A failure there ends the download as finished with failed set,
    // without a retry elsewhere: the caller starts the pair over.
    const DownloadTaskSpecification* sameMirrorAs = nullptr;
    bool failed = false;
    // No "Downloading" lines, for a caller that reports the step itself.
    bool quiet = false;
    // The mirror of the current attempt; after a finished download it still names the mirror that
    // delivered the file, although its use has been given back.
    FTPSiteAccessData mirror;

protected:
    virtual void downloadFinished();

    void startDownload();
    bool readData();
    bool errorRetry(QString message);
    void resetDownload();

protected slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onMirrorSlotFreed();

private:
    QString requestUrl() const;
    // -1 when the body may be of any size.
    qint64 bodyBound() const;
    bool retryIfOversized(qint64 size);
    // Checks the answer to a range request; false after starting a new attempt.
    bool acceptPartialAnswer(int code);
    void dropReply();
    // Starts the hash over the resumeFrom bytes held; when they cannot be read back, drops them
    // and sets resumeFrom to 0.
    void restartHash();
    // Drops the file's content and what is gathered for it.
    void emptyFile();
    // Writes what is gathered to the file; false after starting a new attempt.
    bool writeOut();

    // True from a successful getRandomMirror() until the use is given back.
    bool holdsMirror = false;
    // receivedBytes at each of the last rateWindowTicks ticks of the current transfer.
    std::array<qint64, rateWindowTicks> rateHistory{};
    int transferTicks = 0;
    // Body bytes read and not yet written. Only while a transfer runs: a run keeps every finished
    // download task to its end.
    QByteArray buffer;
    std::unique_ptr<Md5Sum> hash;
};
