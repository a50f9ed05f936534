#pragma once

#include "tasks/composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// Brings the product ini and its signature into the run's temporary directory and verifies the
// signature. Files already there (a resumed run) are verified first and fetched only if that
// fails. A failed verification of fetched files removes the mirrors that served them and fetches
// both again after a back-off (1, 2, 4, 8, 16, then 30 ticks), so the retries end with the pool.
class IniDownloadTaskSpecification : public ComposedTaskSpecification {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(IniDownloadTaskSpecification)

public:
    // Ceiling on the product ini's size while it downloads.
    static constexpr qint64 maxIniBytes = qint64(16) * 1024 * 1024;
    static constexpr int maxBackoffTicks = 30;

    // None of the pointers is owned; all must outlive the task.
    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                 Configuration* configuration, QObject* parent, double weight);

    void execute() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                  bool& downloading) override;

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* configuration;
    int failedChecks = 0;
    // Ticks left before the next attempt; 0 while not backing off.
    int backoffTicks = 0;

protected slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    void makeSubtasksAndStart();
    void onReset() override;
    // Ends a back-off wait at once; the downloads and the check are cancelled by the base.
    void onAbort(State reason) override;

private:
    // The downloads of the current attempt (owned as subtasks); null when not scheduled.
    DownloadTaskSpecification* iniDownload = nullptr;
    DownloadTaskSpecification* sigDownload = nullptr;
};
