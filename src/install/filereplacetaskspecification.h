#pragma once

#include "install/filespecifications.h"
#include "install/posixfile.h"
#include "install/rollback.h"
#include "tasks/composedtaskspecification.h"

#include <optional>

class Configuration;

// Replaces one installed file. The download is copied (or unpacked and verified) to a sibling
// beside the installed file, which is then kept under its "_old_" name while the sibling is
// renamed over it; a download on the installed file's file system is itself renamed over it. Steps
// run strictly in order; if one fails, the task undoes its own steps at once. On success its undo
// records are handed to the list's log.
class FileReplaceTaskSpecification final : public ComposedTaskSpecification {
    Q_OBJECT

public:
    // deleteList, listRollbackData and configuration are not owned.
    FileReplaceTaskSpecification(FileReplaceSpecification& replaceSpec, QList<QString>* deleteList,
                                 RollbackDataList* listRollbackData, Configuration* configuration,
                                 QObject* parent, double weight);

    void execute() override;

    // Files that are made executable, by bare name or by complete suffix.
    static const QStringList executableFiles;
    static const QStringList executableSuffixes;

    FileReplaceSpecification replaceSpec;
    QList<QString>* deleteList;
    RollbackDataList* listRollbackData;
    RollbackDataList rollbackData;
    Configuration* configuration;
    // An installed entry was there, which this run keeps under its old name.
    bool movedAside = false;
    // The device of the temporary directory, when known.
    std::optional<quint64> tempDevice;

protected:
    void subtasksDone() override;
    void onReset() override;

private:
    void makeSubtasksAndStart();
    // Runs the copy, when there is one, then the commit, each ending at once, without scheduling
    // them as subtasks.
    void runAtOnce(TaskSpecification* copy, TaskSpecification* commit);
    // Hands the undo records and the old name on after success; undoes everything otherwise.
    void conclude(bool ok);
    // 0755 for executables (by name, by suffix, or replacing a file with an x bit), else 0644.
    static int newFileMode(const QString& path, const PosixFile::Entry& replaced);
};
