#include "filereplacetaskspecification.h"

#include "config/configuration.h"
#include "install/filecopytaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filerenametaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "verify/checksignaturetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableFiles = {
    QStringLiteral("package_inst"),
    QStringLiteral("error_report"),
    QStringLiteral("update"),
    QStringLiteral("qlnclient_runscript.sh"),
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
    const QDir appRoot(Configuration::getAppRootPath());
    const QString source = QFileInfo(QDir(configuration->tempDir), replaceSpec.fileName).filePath();
    const QString installed = QFileInfo(appRoot, replaceSpec.pureDestFilePath()).filePath();
    const QString old = QFileInfo(appRoot, replaceSpec.oldDestFileName()).filePath();

    double remaining = 1.0;
    if (QFileInfo::exists(installed)) {
        if (QFileInfo::exists(old)) {
            // A leftover of an earlier run: it must go, and its loss cannot be undone.
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            remaining -= 0.1;
        }
        movedAside = true;
        addSubTask(new FileRenameTaskSpecification(installed, old, &rollbackData, this, 0.1));
        remaining -= 0.1;
    }
    if (!replaceSpec.hasUnzip()) {
        addSubTask(
            new FileCopyTaskSpecification(&rollbackData, source, installed, this, remaining));
    } else {
        addSubTask(new FileUnzipTaskSpecification(&rollbackData, source, installed, this,
                                                  remaining - 0.2));
        addSubTask(
            new CheckSignatureTaskSpecification(installed, replaceSpec.unzipMd5, true, this, 0.2));
    }
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone() {
    if (getStateFromSubTasks() == Finished) {
        listRollbackData->appendList(rollbackData);
        const QString installed =
            QFileInfo(QDir(Configuration::getAppRootPath()), replaceSpec.pureDestFilePath())
                .filePath();
        if (movedAside && !Configuration::isSpecialFileName(QFileInfo(installed).fileName())) {
            // The list building may have put it there already, for a copy a killed run left.
            const QString old = replaceSpec.oldDestFileName();
            if (!deleteList->contains(old))
                deleteList->append(old);
        }
        makeSingleFileExecutable(installed);
    } else {
        rollbackData.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path) {
    const QFileInfo info(path);
    if (!executableFiles.contains(info.fileName()) &&
        !executableSuffixes.contains(info.completeSuffix()))
        return;
    // 0755: executable for all, writable only by the owner.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadUser | QFile::WriteUser | QFile::ExeUser |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
}

void FileReplaceTaskSpecification::reset() {
    clearSubTasks();
    rollbackData.rollback(this);
    movedAside = false;
    // With no subtasks left, the base only clears its run flags and returns to Ready.
    ComposedTaskSpecification::reset();
}
