#include "inidownloadtaskspecification.h"

#include "config/configuration.h"
#include "download/downloadtaskspecification.h"
#include "verify/checksignaturetaskspecification.h"

#include <QFile>

namespace {
constexpr int maxFailedChecks = 1000;
}

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* networkManager,
                                                           Mirrors* mirrors,
                                                           Configuration* configuration,
                                                           QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , configuration(configuration) {}

void IniDownloadTaskSpecification::execute() {
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart() {
    const QString iniName = configuration->updateType + QStringLiteral(".ini");
    const QString localIni = configuration->tempDir + QLatin1Char('/') + iniName;
    const QString sigName = iniName + QStringLiteral(".sig");
    const QString localSig = localIni + QStringLiteral(".sig");

    // A resumed run verifies what it already has before fetching anything.
    double checkWeight = 1.0;
    if (failedChecks > 0 || !QFile::exists(localIni)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, iniName, localIni, -1,
                                                 this, 0.3333));
        checkWeight = 0.6667;
    }
    if (failedChecks > 0 || !QFile::exists(localSig)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, sigName, localSig, -1,
                                                 this, 0.3333));
        checkWeight -= 0.3333;
    }
    auto* check =
        new CheckSignatureTaskSpecification(localIni, QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone, Qt::DirectConnection);
    addSubTask(check);
    executeSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*) {
    if (pass)
        return;
    const int failed = failedChecks + 1;
    if (failed > maxFailedChecks) {
        failedChecks = failed;
        emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
        // The check still finishes after this slot; its end must not end this task a second time.
        cancelSeen = true;
        doneReported = true;
        errorCancel();
        return;
    }
    if (userCancelRequested) {
        // A retry would clear the user's cancel; ending as finished would pass a bad ini on.
        cancelSeen = true;
        doneReported = true;
        userCancel();
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    // The check task is still on the stack: reset() only disconnects it and deletes it later.
    reset();
    failedChecks = failed;
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset() {
    clearSubTasks();
    cancelSeen = false;
    doneReported = false;
    failedChecks = 0;
    TaskSpecification::reset();
}
