#pragma once

#include "install/filespecifications.h"
#include "tasks/composedtaskspecification.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Downloads every file of the run's download list into the temporary directory, each checked
// against its MD5, downloadConcurrency at a time. Every file has the same share of the progress;
// the download display shows the size of the whole list from the first tick on.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DownloadFileListTaskSpecification)

public:
    // fileList is read when the task starts, so it may be filled after construction. None of
    // the pointers is owned; all must outlive the task. The concurrency is taken now.
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* fileList,
                                      QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                      Configuration* configuration, QObject* parent, double weight);

    void execute() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;

    QList<FileDownloadSpecification>* fileList;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    qint64 totalBytes = 0;

protected:
    void makeSubtasksAndStart();
    // The file tasks are made as they start and deleted when they end.
    TaskSpecification* makeSubTask(qsizetype index) override;
    void onReset() override;
    // Creates every directory the list needs below tempDir, each once. False after it has
    // reported the failure and cancelled the task.
    bool makeSubDirs();
};
