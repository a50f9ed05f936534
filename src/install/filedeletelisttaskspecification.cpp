#include "filedeletelisttaskspecification.h"

#include "config/installlayout.h"
#include "install/filedeletetaskspecification.h"

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
    return new FileDeleteTaskSpecification(false,
                                           InstallLayout::joinPath(appRoot, deleteList->at(index)),
                                           this, 1.0 / deleteList->size());
}

void FileDeleteListTaskSpecification::onReset() {
    clearSubTasks();
}
