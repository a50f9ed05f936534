#pragma once

#include "install/filespecifications.h"
#include "install/rollback.h"
#include "tasks/composedtaskspecification.h"

class Configuration;

// Replaces one installed file. The installed file is never overwritten: it is moved aside under
// its "_old_" name first, then the download is copied (or unpacked and verified) into place.
// Steps run strictly in order; if one fails, the task undoes its own steps at once. On success
// its undo records are handed to the list's log.
class FileReplaceTaskSpecification final : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // deleteList, listRollbackData and configuration are not owned.
    FileReplaceTaskSpecification(FileReplaceSpecification& replaceSpec, QList<QString>* deleteList,
                                 RollbackDataList* listRollbackData, Configuration* configuration,
                                 QObject* parent, double weight);

    void execute() override;
    void reset() override;

    // Files that must be executable after replacement, by bare name or by complete suffix.
    static const QStringList executableFiles;
    static const QStringList executableSuffixes;

    FileReplaceSpecification replaceSpec;
    QList<QString>* deleteList;
    RollbackDataList* listRollbackData;
    RollbackDataList rollbackData;
    Configuration* configuration;
    // This run moved the installed file to its old name.
    bool movedAside = false;

protected:
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    static void makeSingleFileExecutable(const QString& path);
};
