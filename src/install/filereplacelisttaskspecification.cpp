#include "filereplacelisttaskspecification.h"

#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/dircreatetaskspecification.h"
#include "install/filereplacetaskspecification.h"
#include "install/posixfile.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification>* replaceList, QList<QString>* deleteList,
    Configuration* configuration, QObject* parent, double weight)
    : ComposedTaskSpecification(2, weight, parent)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration) {}

void FileReplaceListTaskSpecification::execute() {
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart() {
    const int dirTasks = makeSubdirTasks();
    makeFileReplaceTasks(dirTasks >= 1);
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks() {
    const QDir appRoot(InstallLayout::getAppRootPath());
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& spec : std::as_const(*replaceList)) {
        const QString dir =
            QFileInfo(QFileInfo(appRoot, spec.pureDestFilePath()).filePath()).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // A parent sorts before its children, so it is created (and recorded) first.
    missing.sort(Qt::CaseSensitive);
    for (const QString& dir : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackData, this, 0.1 / missing.size()));
    return int(missing.size());
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool haveSubdirTasks) {
    if (replaceList->isEmpty())
        return;
    fileWeight = (haveSubdirTasks ? 0.9 : 1.0) / replaceList->size();
    tempDevice.reset();
    if (const PosixFile::Entry temp = PosixFile::entry(configuration->tempDir); temp.exists)
        tempDevice = temp.device;
    setLazySubTasks(replaceList->size());
}

TaskSpecification* FileReplaceListTaskSpecification::makeSubTask(qsizetype index) {
    auto* task = new FileReplaceTaskSpecification((*replaceList)[index], deleteList, &rollbackData,
                                                  configuration, this, fileWeight);
    task->tempDevice = tempDevice;
    return task;
}

void FileReplaceListTaskSpecification::subtasksDone() {
    // Once here rather than a search per file, which grew with the square of the files.
    deleteList->removeDuplicates();
    if (getStateFromSubTasks() != Finished) {
        emit message(QStringLiteral("rolling back file updates"));
        rollbackData.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::onReset() {
    clearSubTasks();
    rollbackData.rollback(this);
}
