#pragma once

#include "install/filespecifications.h"
#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// One file of the download list: downloads it into the temporary directory, then checks its MD5.
// A file that fails the check is blamed on the mirror that delivered it: that mirror leaves the
// pool at once and the file is fetched again, until the pool runs dry.
class DownloadFileTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DownloadFileTaskSpecification)

public:
    // None of the pointers is owned; all must outlive the task.
    DownloadFileTaskSpecification(const FileDownloadSpecification& entry,
                                  QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                  Configuration* configuration, QObject* parent, double weight);

    void execute() override;

    static constexpr qint64 hashWhileDownloadingUpTo = qint64(64) * 1024;

    QString section;
    QString fileName;
    QString md5;
    quint64 size;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    // The download of the current attempt (a subtask, owned as such); null before the first.
    DownloadTaskSpecification* downloadTask = nullptr;

protected slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    void makeSubtasksAndStart();
    void onReset() override;
};
