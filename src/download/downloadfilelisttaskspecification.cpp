#include "downloadfilelisttaskspecification.h"

#include "config/configuration.h"
#include "download/downloadfiletaskspecification.h"
#include "download/patchdownloadtaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification>* fileList, QNetworkAccessManager* networkManager,
    Mirrors* mirrors, Configuration* configuration, QObject* parent, double weight)
    : ComposedTaskSpecification(configuration->downloadConcurrency, weight, parent)
    , fileList(fileList)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration) {}

void DownloadFileListTaskSpecification::execute() {
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart() {
    if (fileList->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    emit message(QStringLiteral("Downloading files"));
    // What is fetched: the patch, unless it falls back to the whole file.
    for (const FileDownloadSpecification& entry : std::as_const(*fileList))
        totalBytes +=
            static_cast<qint64>(entry.patch.name.isEmpty() ? entry.size : entry.patch.size);
    setLazySubTasks(fileList->size());
    executeSubTasks();
}

TaskSpecification* DownloadFileListTaskSpecification::makeSubTask(qsizetype index) {
    const FileDownloadSpecification& entry = fileList->at(index);
    const double weight = 1.0 / fileList->size();
    if (entry.patch.name.isEmpty())
        return new DownloadFileTaskSpecification(entry, networkManager, mirrors, configuration,
                                                 this, weight);
    return new PatchDownloadTaskSpecification(entry, networkManager, mirrors, configuration,
                                              &totalBytes, this, weight);
}

bool DownloadFileListTaskSpecification::makeSubDirs() {
    QSet<QString> made{QStringLiteral(".")};
    const QDir temp(configuration->tempDir);
    for (const FileDownloadSpecification& entry : std::as_const(*fileList)) {
        const QString dir = QFileInfo(entry.fileName).path();
        if (made.contains(dir))
            continue;
        if (!temp.mkpath(dir)) {
            emit message(QStringLiteral("Could not create dir %1")
                             .arg(temp.canonicalPath() + QLatin1Char('/') + dir));
            errorCancel();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading) {
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    // Against the whole list, not only the transfers running now.
    downloadTotal = static_cast<quint64>(totalBytes);
}

void DownloadFileListTaskSpecification::onReset() {
    clearSubTasks();
    totalBytes = 0;
}
