#pragma once

#include "install/filespecifications.h"
#include "tasks/asynctaskspecification.h"

// Checks a downloaded patch against its SHA-256, applies it on the pool to the installed file it
// was made from, and keeps the result only when its MD5 is the one the product ini lists. Ends as
// Finished either way; applyDone() tells the owner how it went, so that it can fall back to the
// whole file.
class PatchApplyTaskSpecification final : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // patchFile is the download; the result goes to tempDir + "/" + patch.result.
    PatchApplyTaskSpecification(const FilePatchSpecification& patch, const QString& patchFile,
                                const QString& tempDir, QObject* parent, double weight);

    FilePatchSpecification patch;
    QString sourcePath;
    QString destPath;
    // Why the last run failed, for the owner's one line.
    QString failure;
    // The patch itself did not match its SHA-256: the mirror served something else.
    bool corrupt = false;

signals:
    // Once per run, before the task ends.
    void applyDone(bool ok, PatchApplyTaskSpecification* task);

protected:
    Work createWork() override;
    void runDone(bool ok, std::any& value) override;
};
