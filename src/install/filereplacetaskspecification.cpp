#include "filereplacetaskspecification.h"

#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/filecommittaskspecification.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "verify/checksignaturetaskspecification.h"

#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles = {
    QStringLiteral("package_inst"),
    QStringLiteral("error_report"),
    QStringLiteral("update"),
    InstallLayout::getClientBinaryName(),
    QStringLiteral("qlnclient_linux_amd64"),
    QStringLiteral("qlnclient_linux_x86"),
};

const QStringList FileReplaceTaskSpecification::executableSuffixes = {
    QStringLiteral("so.4"),
    QStringLiteral("so"),
};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(FileReplaceSpecification& replaceSpec,
                                                           QList<QString>* deleteList,
                                                           RollbackDataList* listRollbackData,
                                                           Configuration* configuration,
                                                           QObject* parent, double weight)
    : ComposedTaskSpecification(1, weight, parent)
    , replaceSpec(replaceSpec)
    , deleteList(deleteList)
    , listRollbackData(listRollbackData)
    , configuration(configuration) {}

void FileReplaceTaskSpecification::execute() {
    emit message(QStringLiteral("add/replace %1").arg(replaceSpec.fileName));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart() {
    const QString appRoot = InstallLayout::getAppRootPath();
    const QString source = InstallLayout::joinPath(configuration->tempDir, replaceSpec.fileName);
    const QString installed = InstallLayout::joinPath(appRoot, replaceSpec.pureDestFilePath());
    const QString old = InstallLayout::joinPath(appRoot, replaceSpec.oldDestFileName());
    const PosixFile::Entry current = PosixFile::entry(installed);

    double remaining = 0.9; // the commit takes 0.1
    if (current.exists) {
        // A directory at the path fails the commit; its old name is left alone.
        // Unless one appeared since the list was built: then the commit fails and is undone.
        if (replaceSpec.oldMayExist && PosixFile::entry(old).exists && !current.isDir) {
            // A leftover of an earlier run: it must go, and its loss cannot be undone.
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            remaining -= 0.1;
        }
        movedAside = true;
    }
    const int mode = newFileMode(installed, current);
    // A patch's result stands in for the gzip download; it was checked when it was made.
    const QString patched =
        replaceSpec.patchResult.isEmpty()
            ? QString()
            : InstallLayout::joinPath(configuration->tempDir, replaceSpec.patchResult);
    const bool whole =
        !replaceSpec.hasUnzip() || (!patched.isEmpty() && QFileInfo::exists(patched));
    const QString download = replaceSpec.hasUnzip() ? patched : source;
    FileCommitTaskSpecification* commit = nullptr;
    TaskSpecification* copy = nullptr; // made here, run just before the commit
    bool atOnce = false;
    if (whole && current.exists && !current.isDir && tempDevice && current.device == *tempDevice) {
        // On the installed file's file system the download itself is renamed into place: no bytes
        // move and no sibling is made. An undo gives it its name back for a resumed run.
        commit = new FileCommitTaskSpecification(download, installed, old, &rollbackData, this,
                                                 remaining + 0.1);
        commit->movedMode = mode;
        atOnce = true;
    } else {
        // The new content goes to a sibling first, so that the installed path is never incomplete.
        const QString sibling = PosixFile::newSiblingPath(installed);
        commit = new FileCommitTaskSpecification(sibling, installed, old, &rollbackData, this, 0.1);
        if (whole) {
            auto* fileCopy = new FileCopyTaskSpecification(&rollbackData, download, sibling, mode,
                                                           this, remaining, installed);
            atOnce = fileCopy->runsInline();
            copy = fileCopy;
        } else {
            addSubTask(new FileUnzipTaskSpecification(&rollbackData, source, sibling, mode,
                                                      replaceSpec.unzipSize, this, remaining - 0.2,
                                                      installed));
            addSubTask(new CheckSignatureTaskSpecification(sibling, replaceSpec.unzipMd5, true,
                                                           this, 0.2, installed));
        }
    }
    if (atOnce && subTaskList().isEmpty()) {
        // Nothing but the copy runs before the commit, and it leaves the path alone.
        commit->knownEntry = current;
        runAtOnce(copy, commit);
        return;
    }
    if (copy)
        addSubTask(copy);
    addSubTask(commit);
    executeSubTasks();
}

void FileReplaceTaskSpecification::runAtOnce(TaskSpecification* copy, TaskSpecification* commit) {
    // The steps end within their execute(): scheduling them as subtasks would only cost.
    setRunning();
    bool ok = !userCancelRequested();
    for (TaskSpecification* step : {copy, commit}) {
        if (!step)
            continue;
        if (ok) {
            connect(step, &TaskSpecification::message, this, &TaskSpecification::message);
            step->execute();
            ok = step->state() == Finished;
        }
        delete step;
    }
    conclude(ok);
    if (ok)
        finish();
    else if (userCancelRequested())
        userCancel();
    else
        errorCancel();
}

void FileReplaceTaskSpecification::conclude(bool ok) {
    if (!ok) {
        rollbackData.rollback(this);
        return;
    }
    listRollbackData->appendList(rollbackData);
    // The list removes the names listed twice (the list building may have put it there
    // already, for a copy a killed run left) once all files are done.
    if (movedAside && !replaceSpec.replacesSpecialFile())
        deleteList->append(replaceSpec.oldDestFileName());
}

void FileReplaceTaskSpecification::subtasksDone() {
    conclude(getStateFromSubTasks() == Finished);
    ComposedTaskSpecification::subtasksDone();
}

int FileReplaceTaskSpecification::newFileMode(const QString& path,
                                              const PosixFile::Entry& replaced) {
    // A link is replaced, not followed, but what it pointed to was the program that was run.
    bool wasExecutable = (replaced.mode & 0111) != 0;
    if (!replaced.isRegularFile) {
        const QFileInfo info(path);
        wasExecutable =
            !replaced.isDir && info.isFile() &&
            (info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther));
    }
    // Executable for all, writable only by the owner; otherwise readable for all. The suffix is
    // all after the name's first dot.
    const QStringView name = QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    const bool executable = executableFiles.contains(name) ||
                            (dot >= 0 && executableSuffixes.contains(name.mid(dot + 1))) ||
                            wasExecutable;
    return executable ? 0755 : 0644;
}

void FileReplaceTaskSpecification::onReset() {
    clearSubTasks();
    rollbackData.rollback(this);
    movedAside = false;
}
