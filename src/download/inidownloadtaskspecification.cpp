#include "inidownloadtaskspecification.h"

#include "config/configuration.h"
#include "download/downloadtaskspecification.h"
#include "verify/checksignaturetaskspecification.h"
#include "verify/releasemanifest.h"
#include "verify/tomcryptutil.h"

#include <QFile>
#include <QStringList>

#include <algorithm>

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
    const QString iniName = ReleaseManifest::productIniFileName(configuration->updateType);
    const QString localIni = configuration->tempDir + QLatin1Char('/') + iniName;
    const QString sigName = iniName + QStringLiteral(".sig");
    const QString localSig = localIni + QStringLiteral(".sig");

    // A resumed run verifies what it already has before fetching anything.
    double checkWeight = 1.0;
    if (failedChecks > 0 || !QFile::exists(localIni)) {
        iniDownload = new DownloadTaskSpecification(networkManager, mirrors, iniName, localIni, -1,
                                                    this, 0.3333);
        iniDownload->sizeLimit = maxIniBytes;
        addSubTask(iniDownload);
        checkWeight = 0.6667;
    }
    if (failedChecks > 0 || !QFile::exists(localSig)) {
        sigDownload = new DownloadTaskSpecification(networkManager, mirrors, sigName, localSig, -1,
                                                    this, 0.3333);
        // Anything longer than the key's signatures cannot verify.
        sigDownload->sizeLimit = qint64(compiled_in_signature_size());
        addSubTask(sigDownload);
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
        abort(ErrorCanceled);
        return;
    }
    if (userCancelRequested()) {
        // A retry would clear the user's cancel; ending as finished would pass a bad ini on.
        abort(UserCanceled);
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    // Like a corrupt file, a bad signature costs the mirrors that served the pair, so the retries
    // end with the pool; files kept from an earlier run blame nobody and retry at once.
    QStringList blamed;
    for (const DownloadTaskSpecification* download : {iniDownload, sigDownload}) {
        if (download && !download->mirror.name.isEmpty() && !blamed.contains(download->mirror.name))
            blamed.append(download->mirror.name);
    }
    for (const QString& name : std::as_const(blamed)) {
        emit message(
            QStringLiteral("Product ini from mirror %1 failed verification, removing mirror")
                .arg(name));
        mirrors->removeMirror(name);
    }
    // The check task is still on the stack: reset() only disconnects it and deletes it later.
    reset();
    failedChecks = failed;
    if (blamed.isEmpty()) {
        makeSubtasksAndStart();
        return;
    }
    backoffTicks = std::min(maxBackoffTicks, 1 << std::min(failed - 1, 5));
    setRunning();
}

void IniDownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal,
                                            quint64& speed, bool& downloading) {
    ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    if (state() == Running && backoffTicks > 0 && --backoffTicks == 0)
        makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::onAbort(State reason) {
    if (backoffTicks > 0) {
        backoffTicks = 0;
        abort(reason);
    }
}

void IniDownloadTaskSpecification::onReset() {
    clearSubTasks();
    iniDownload = nullptr;
    sigDownload = nullptr;
    backoffTicks = 0;
    failedChecks = 0;
}
