#include "patchdownloadtaskspecification.h"

#include "config/configuration.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "install/patchapplytaskspecification.h"

#include <QDir>
#include <QFileInfo>

PatchDownloadTaskSpecification::PatchDownloadTaskSpecification(
    const FileDownloadSpecification& entry, QNetworkAccessManager* networkManager, Mirrors* mirrors,
    Configuration* configuration, qint64* plannedBytes, QObject* parent, double weight)
    : DownloadFileTaskSpecification(entry, networkManager, mirrors, configuration, parent, weight)
    , patch(entry.patch)
    , plannedBytes(plannedBytes) {}

void PatchDownloadTaskSpecification::execute() {
    const QString local = configuration->tempDir + QLatin1Char('/') + patch.name;
    if (patchDropped || !QDir().mkpath(QFileInfo(local).path())) {
        makeSubtasksAndStart();
        return;
    }
    // A patch that a killed run fetched whole but never applied needs only its check.
    const bool held = QFileInfo(local).size() == qint64(patch.size);
    if (!held) {
        downloadTask = new DownloadTaskSpecification(networkManager, mirrors, patch.name, local,
                                                     qint64(patch.size), this, 0.7);
        downloadTask->resumable = true;
        addSubTask(downloadTask);
    }
    auto* apply = new PatchApplyTaskSpecification(patch, local, configuration->tempDir, this,
                                                  held ? 1.0 : 0.3);
    connect(apply, &PatchApplyTaskSpecification::applyDone, this,
            &PatchDownloadTaskSpecification::onApplyDone, Qt::DirectConnection);
    addSubTask(apply);
    executeSubTasks();
}

void PatchDownloadTaskSpecification::onApplyDone(bool ok, PatchApplyTaskSpecification* task) {
    // Its work is done either way; a retry would fetch the whole file.
    QFile::remove(task->sourcePath);
    if (ok)
        return;
    if (userCancelRequested()) {
        abort(UserCanceled);
        return;
    }
    // Like a corrupt file, a patch that is not what the manifest signed costs its mirror (unless
    // it was held from an earlier run, when nobody can say which mirror sent it).
    const bool blame = task->corrupt && downloadTask;
    const QString reason = blame
                               ? QStringLiteral("mirror %1 served a corrupt patch, removing mirror")
                                     .arg(downloadTask->mirror.name)
                               : task->failure;
    emit message(QStringLiteral("Patch for %1 not used (%2); downloading the whole file")
                     .arg(fileName, reason));
    if (blame)
        mirrors->removeMirror(downloadTask->mirror.name);
    patchDropped = true;
    if (plannedBytes)
        *plannedBytes += qint64(size) - qint64(patch.size);
    reset();
    makeSubtasksAndStart();
}
