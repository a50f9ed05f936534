#include "downloadfiletaskspecification.h"

#include "config/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "verify/checksignaturetaskspecification.h"

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& entry,
                                                             QNetworkAccessManager* networkManager,
                                                             Mirrors* mirrors,
                                                             Configuration* configuration,
                                                             QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , section(entry.section)
    , fileName(entry.fileName)
    , md5(entry.md5)
    , size(entry.size)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration) {}

void DownloadFileTaskSpecification::execute() {
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart() {
    const QString local = configuration->tempDir + QLatin1Char('/') + fileName;
    downloadTask = new DownloadTaskSpecification(networkManager, mirrors,
                                                 section + QLatin1Char('/') + fileName, local,
                                                 static_cast<qint64>(size), this, 0.8);
    downloadTask->resumable = true;
    // Hashing as the bytes arrive spares small files a trip through the pool; larger ones are
    // read back there, on another core, while this thread goes on downloading.
    downloadTask->hashBody = size <= quint64(hashWhileDownloadingUpTo);
    addSubTask(downloadTask);
    auto* check = new CheckSignatureTaskSpecification(local, md5, false, this, 0.2);
    // The check starts on a later turn of the loop, after this has run.
    connect(downloadTask, &TaskSpecification::finished, check,
            [check](TaskSpecification* download) {
                check->computedMd5 = static_cast<DownloadTaskSpecification*>(download)->bodyMd5;
            });
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone, Qt::DirectConnection);
    addSubTask(check);
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*) {
    if (pass)
        return;
    // Never resumed: the bad bytes may be anywhere in it.
    QFile::remove(downloadTask->localPath);
    if (userCancelRequested()) {
        // A retry would clear the user's cancel; ending as finished would pass a bad file on.
        abort(UserCanceled);
        return;
    }
    emit message(
        QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying").arg(fileName));
    // No retry counter: every failure costs a mirror, so an empty pool ends the retries.
    mirrors->removeMirror(downloadTask->mirror.name);
    reset();
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::onReset() {
    clearSubTasks();
    downloadTask = nullptr;
}
