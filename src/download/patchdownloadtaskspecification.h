#pragma once

#include "download/downloadfiletaskspecification.h"

class PatchApplyTaskSpecification;

// One file of the download list that the release offers as a patch: downloads the patch
// (resumable, like a file), then checks and applies it into the temporary directory. A patch
// that fails its SHA-256, fails to apply or gives a wrong result is dropped with one line in the
// details log, and the whole file is downloaded instead, as by the base class; a corrupt patch
// also removes the mirror that served it.
class PatchDownloadTaskSpecification final : public DownloadFileTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PatchDownloadTaskSpecification)

public:
    // plannedBytes is the list's total on the wire, not owned; a fallback adds the difference.
    PatchDownloadTaskSpecification(const FileDownloadSpecification& entry,
                                   QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                   Configuration* configuration, qint64* plannedBytes,
                                   QObject* parent, double weight);

    void execute() override;

    FilePatchSpecification patch;

private:
    void onApplyDone(bool ok, PatchApplyTaskSpecification* task);

    qint64* plannedBytes;
    bool patchDropped = false;
};
