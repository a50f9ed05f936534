#include "filedeletelisttaskspecification.h"

#include "config/installlayout.h"
#include "install/filedeletetaskspecification.h"

#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deleteList,
                                                                 QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , deleteList(deleteList) {}

void FileDeleteListTaskSpecification::execute() {
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart() {
    appRoot = InstallLayout::getAppRootPath();
    setLazySubTasks(deleteList->size());
    executeSubTasks();
}

TaskSpecification* FileDeleteListTaskSpecification::makeSubTask(qsizetype index) {
    return new FileDeleteTaskSpecification(
        false, QFileInfo(QDir(appRoot), deleteList->at(index)).filePath(), this,
        1.0 / deleteList->size());
}

void FileDeleteListTaskSpecification::onReset() {
    clearSubTasks();
}
