#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Brings the product ini and its signature into the run's temporary directory and verifies the
// signature. Files already there (a resumed run) are verified first and fetched only if that
// fails; a failed verification fetches both again, at most 1000 times.
class IniDownloadTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(IniDownloadTaskSpecification)

public:
    // None of the pointers is owned; all must outlive the task.
    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent, double weight);

    void execute() override;
    void reset() override;

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    int failedChecks = 0;

protected slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    void makeSubtasksAndStart();
};
