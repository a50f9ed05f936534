#include "patchapplytaskspecification.h"

#include "config/installlayout.h"
#include "install/deltapatch.h"
#include "install/slowfileoptaskspecification.h"
#include "verify/md5sum.h"
#include "verify/releasemanifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// How a run failed; the value of a failed run.
struct ApplyFailure {
    bool corrupt = false;
    QString reason;
};

// A failure leaves no result behind.
ASyncResult applyPatch(const FilePatchSpecification& patch, const QString& patchFile,
                       const QString& dest, const QString& base) {
    const auto fail = [](bool corrupt, const QString& reason) {
        return ASyncResult(false, ApplyFailure{corrupt, reason});
    };
    QByteArray sha256;
    qint64 size = -1;
    if (!sha256OfFile(patchFile, &sha256, &size) || quint64(size) != patch.size ||
        sha256 != patch.sha256.toLower())
        return fail(true, QStringLiteral("the patch does not match its SHA-256"));
    // Ours alone: a killed run's partial result, or a partial whole download.
    QFile::remove(dest);
    QDir().mkpath(QFileInfo(dest).path());
    NewFile file(dest, 0644);
    if (!file.create())
        return fail(false, QStringLiteral("cannot write %1").arg(dest));
    Md5Sum md5;
    QString error;
    const bool applied = DeltaPatch::apply(
        base, patchFile, qint64(patch.resultSize),
        [&](const char* data, size_t length) {
            md5.add(data, length);
            return file.write(data, qint64(length));
        },
        &error);
    if (!applied)
        return fail(false, error);
    if (md5.hexResult().compare(patch.resultMd5, Qt::CaseInsensitive) != 0)
        return fail(false, QStringLiteral("its result does not match the product ini"));
    if (!file.finish(true))
        return fail(false, QStringLiteral("cannot write %1").arg(dest));
    return true;
}
} // namespace

PatchApplyTaskSpecification::PatchApplyTaskSpecification(const FilePatchSpecification& patch,
                                                         const QString& patchFile,
                                                         const QString& tempDir, QObject* parent,
                                                         double weight)
    : ASyncTaskSpecification(parent, weight)
    , patch(patch)
    , sourcePath(patchFile)
    , destPath(tempDir + QLatin1Char('/') + patch.result) {}

ASyncTaskSpecification::Work PatchApplyTaskSpecification::createWork() {
    failure.clear();
    corrupt = false;
    return [patch = patch, source = sourcePath, dest = destPath,
            base = InstallLayout::filePath(patch.basePath)](ASyncReport&) {
        return applyPatch(patch, source, dest, base);
    };
}

void PatchApplyTaskSpecification::runDone(bool ok, std::any& value) {
    if (state() != Running)
        return;
    if (!ok) {
        const auto& why = std::any_cast<const ApplyFailure&>(value);
        corrupt = why.corrupt;
        failure = why.reason;
    }
    emit applyDone(ok, this);
    // The owner decides what a failure means; the line it writes is the only one.
    std::any none;
    ASyncTaskSpecification::runDone(true, none);
}
