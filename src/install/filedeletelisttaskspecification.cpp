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
    const QDir appRoot(InstallLayout::getAppRootPath());
    const double weight = deleteList->isEmpty() ? 0.0 : 1.0 / deleteList->size();
    for (const QString& entry : std::as_const(*deleteList))
        addSubTask(new FileDeleteTaskSpecification(false, QFileInfo(appRoot, entry).filePath(),
                                                   this, weight));
    executeSubTasks();
}

void FileDeleteListTaskSpecification::onReset() {
    clearSubTasks();
}
