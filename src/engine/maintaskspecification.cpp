#include "maintaskspecification.h"

#include "download/downloadfilelisttaskspecification.h"
#include "download/inidownloadtaskspecification.h"
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
    // Steps 3 to 5 are built before step 2 fills the lists; they read them only when they run.
    addSubTask(new IniDownloadTaskSpecification(nam, mirrors, configuration, this, 0.1));
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

void MainTaskSpecification::reset() {
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}
