#pragma once

#include "install/rollback.h"
#include "tasks/asynctaskspecification.h"

// A file operation whose work runs on the global thread pool. When the worker reports success,
// the destination is recorded as CreateFile, so that an undo removes it again.
class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // errorText is the complete failure line; rollbackList is not owned and may be null.
    SlowFileOpSpecification(QString errorText, RollbackDataList* rollbackList,
                            const QString& source, const QString& dest, QObject* parent,
                            double weight);

    RollbackDataList* rollbackList;
    QString sourcePath;
    QString destPath;
    QString errorText;

protected:
    void runDone(bool ok) override;
};

// The worker of a slow file operation: copies of the task's two paths.
class SlowFileOpFunc : public ASyncFunc {
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& dest);

    QString sourcePath;
    QString destPath;
};
