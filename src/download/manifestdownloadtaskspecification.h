#pragma once

#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "tasks/taskspecification.h"
#include "verify/releasemanifest.h"

#include <QByteArray>
#include <QPointer>

class Configuration;
class QNetworkAccessManager;
class QNetworkReply;

// The step after the product ini's signature check: fetches the release manifest and its
// signature from a mirror and refuses the release, before anything is installed, unless the
// manifest is validly signed, names the update type and version being installed, binds the
// verified product ini by SHA-256 and size, and has not expired. A release published without a
// manifest (the mirror answers 404) passes with a warning in the details log, unless
// manifestRequired. Transfer failures cost the mirror and move on to another one, and so does a
// request that has not ended within requestTickLimit ticks, however it trickles.
// GUI thread only.
class ManifestDownloadTaskSpecification final : public TaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ManifestDownloadTaskSpecification)

public:
    // Ticks a request may take: the largest manifest at the minimum download rate, plus one rate
    // window. A fixed bound on the whole request is enough, since both files are small.
    static constexpr int requestTickLimit =
        DownloadTaskSpecification::rateWindowTicks +
        int(ReleaseManifest::MaxFileSize / DownloadTaskSpecification::minBytesPerTick);

    // None of the pointers is owned; all must outlive the task. *hadManifest is set when the task
    // finishes.
    ManifestDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                      Configuration* configuration, bool manifestRequired,
                                      bool* hadManifest, QObject* parent, double weight);
    ~ManifestDownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

private:
    void startFetch();
    qint64 sizeBound() const;
    void onReplyFinished();
    void dropReply();
    // Drops the transfer and gives the mirror back.
    void stop();
    void checkManifest();
    void refuse(const QString& reason);

    QNetworkAccessManager* networkManager;
    // Guarded: a task deleted after the pool must not give its slot back to a dead pool.
    QPointer<Mirrors> mirrors;
    Configuration* configuration;
    bool manifestRequired;
    bool* hadManifest;

    FTPSiteAccessData mirror;
    bool holdsMirror = false;
    QPointer<QNetworkReply> reply;
    // Ticks since the current request was made.
    int requestTicks = 0;
    // False while the manifest is being fetched, true for its signature.
    bool fetchingSignature = false;
    QByteArray manifest;
    QByteArray signature;
};
