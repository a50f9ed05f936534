#pragma once

#include "install/filespecifications.h"
#include "install/rollback.h"
#include "tasks/composedtaskspecification.h"

#include <optional>

class Configuration;

// Puts the whole replace list into place: creates the missing installation directories first,
// then replaces the files, two at a time. If anything fails or the user cancels, every change
// of the step is undone, newest first, after "rolling back file updates".
class FileReplaceListTaskSpecification final : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // replaceList, deleteList and configuration are not owned; file tasks append the relative
    // old names of the files they moved aside to deleteList.
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList,
                                     QList<QString>* deleteList, Configuration* configuration,
                                     QObject* parent, double weight);

    void execute() override;

    QList<FileReplaceSpecification>* replaceList;
    QList<QString>* deleteList;
    // The log of the whole step: created directories and the records of finished files.
    RollbackDataList rollbackData;
    Configuration* configuration;

protected:
    // The file tasks are made as they start and deleted when they end, after the directories.
    TaskSpecification* makeSubTask(qsizetype index) override;
    void subtasksDone() override;
    // Also undoes a finished step.
    void onReset() override;

private:
    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool haveSubdirTasks);

    double fileWeight = 0;
    std::optional<quint64> tempDevice;
};
