#include "maintaskspecification.h"

#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/inidownloadtaskspecification.h"
#include "download/manifestdownloadtaskspecification.h"
#include "engine/updateinidata.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "install/makedownloadreplacelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* nam, Mirrors* mirrors,
                                             Configuration* configuration, QObject* parent,
                                             qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , nam(nam)
    , mirrors(mirrors)
    , configuration(configuration) {}

void MainTaskSpecification::execute() {
    emit message(QStringLiteral("Starting update process"));
    QString installedType;
    int installedVersion = 0;
    bool installedFromManifest = false;
    const bool recorded =
        UpdateIniData::getInstalled(&installedType, &installedVersion, &installedFromManifest);
    // Whatever asked for the target (an unauthenticated version answer included), it must not
    // take the installation back to an older release.
    if (recorded && configuration->clientVersion < installedVersion &&
        !UpdateIniData::downgradeAllowed()) {
        state = Running;
        emit error(tr("Version %1 is older than the installed version %2; it is not installed. "
                      "To allow this, set allowDowngrade=true in group [update] of update.ini.")
                       .arg(configuration->clientVersion)
                       .arg(installedVersion));
        errorCancel();
        return;
    }
    // Steps 3 to 6 are built before step 3 fills the lists; they read them only when they run.
    addSubTask(new IniDownloadTaskSpecification(nam, mirrors, configuration, this, 0.08));
    addSubTask(new ManifestDownloadTaskSpecification(
        nam, mirrors, configuration, recorded && installedFromManifest, &hadManifest, this, 0.02));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this,
                                                            0.05));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloadList, nam, mirrors,
                                                     configuration, this, 0.4));
    addSubTask(new FileReplaceListTaskSpecification(
        &fileSpecifications.replaceList, &fileSpecifications.deleteList, configuration, this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, 0.05));
    state = Running;
    executeSubTasks();
}

void MainTaskSpecification::subtasksDone() {
    if (getStateFromSubTasks() == Finished)
        UpdateIniData::setInstalled(configuration->updateType, configuration->clientVersion,
                                    hadManifest);
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::reset() {
    clearSubTasks();
    fileSpecifications.clear();
    hadManifest = false;
    ComposedTaskSpecification::reset();
}
