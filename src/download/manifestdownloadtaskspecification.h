#pragma once

#include "download/downloadtaskspecification.h"
#include "tasks/composedtaskspecification.h"
#include "verify/releasemanifest.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The step after the product ini's signature check: fetches the release manifest and then its
// signature from the same mirror, and refuses the release, before anything is installed, unless
// the manifest is validly signed, names the update type and version being installed, binds the
// verified product ini by SHA-256 and size, and has not expired. A release published without a
// manifest (the mirror answers 404) passes with a warning in the details log, unless
// manifestRequired. A failed fetch of either file costs the mirror and starts the pair over, and
// so does a request that has not ended within requestTickLimit ticks, however it trickles.
// GUI thread only.
class ManifestDownloadTaskSpecification final : public ComposedTaskSpecification {
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

    void execute() override;

protected:
    void subtasksDone() override;
    void onReset() override;

private:
    void makeSubtasksAndStart();
    DownloadTaskSpecification* makeDownload(const QString& name, qint64 sizeLimit);
    void onManifestFetched();
    void checkManifest();
    void refuse(const QString& reason);
    // Removes the manifest and signature fetched into the temporary directory.
    void removeFetched();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    bool manifestRequired;
    bool* hadManifest;
    // The fetches of the current attempt (owned as subtasks); null when not scheduled.
    DownloadTaskSpecification* manifestDownload = nullptr;
    DownloadTaskSpecification* sigDownload = nullptr;
};
