#include "patchapplytaskspecification.h"

#include "config/configuration.h"
#include "install/deltapatch.h"
#include "verify/releasemanifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

PatchApplyTaskSpecification::PatchApplyTaskSpecification(const FilePatchSpecification& patch,
                                                         const QString& patchFile,
                                                         const QString& tempDir, QObject* parent,
                                                         double weight)
    : SlowFileOpSpecification({}, nullptr, patchFile, tempDir + QLatin1Char('/') + patch.result,
                              0644, parent, weight)
    , patch(patch) {}

ASyncFunc* PatchApplyTaskSpecification::createFunction() {
    failure.clear();
    corrupt = false;
    return new PatchApplyFunc(patch, sourcePath, destPath);
}

void PatchApplyTaskSpecification::connectDefaultSignals(ASyncFunc* func) {
    SlowFileOpSpecification::connectDefaultSignals(func);
    // Queued like the others, so it arrives before the result.
    connect(
        static_cast<PatchApplyFunc*>(func), &PatchApplyFunc::failed, this,
        [this](bool isCorrupt, const QString& reason) {
            corrupt = isCorrupt;
            failure = reason;
        },
        Qt::QueuedConnection);
}

void PatchApplyTaskSpecification::runDone(bool ok) {
    if (state != Running)
        return;
    emit applyDone(ok, this);
    // The owner decides what a failure means; the line it writes is the only one.
    ASyncTaskSpecification::runDone(true);
}

PatchApplyFunc::PatchApplyFunc(const FilePatchSpecification& patch, const QString& patchFile,
                               const QString& dest)
    : SlowFileOpFunc(patchFile, dest, 0644)
    , patch(patch) {}

bool PatchApplyFunc::run() {
    QByteArray sha256;
    qint64 size = -1;
    if (!sha256OfFile(sourcePath, &sha256, &size) || quint64(size) != patch.size ||
        sha256 != patch.sha256.toLower()) {
        emit failed(true, QStringLiteral("the patch does not match its SHA-256"));
        return false;
    }
    // Ours alone: a killed run's partial result, or a partial whole download.
    QFile::remove(destPath);
    QDir().mkpath(QFileInfo(destPath).path());
    if (!createDest()) {
        emit failed(false, QStringLiteral("cannot write %1").arg(destPath));
        return finishDest(false);
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    QString error;
    const QString base = QDir(Configuration::getAppRootPath()).filePath(patch.basePath);
    const bool applied = DeltaPatch::apply(
        base, sourcePath, qint64(patch.resultSize),
        [&](const char* data, size_t length) {
            md5.addData(QByteArrayView(data, qsizetype(length)));
            return writeDest(data, qint64(length));
        },
        &error);
    if (!applied) {
        emit failed(false, error);
        return finishDest(false);
    }
    if (QString::fromLatin1(md5.result().toHex()).compare(patch.resultMd5, Qt::CaseInsensitive) !=
        0) {
        emit failed(false, QStringLiteral("its result does not match the product ini"));
        return finishDest(false);
    }
    return finishDest(true);
}
