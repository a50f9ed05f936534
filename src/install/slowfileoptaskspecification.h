#pragma once

#include "install/rollback.h"
#include "tasks/asynctaskspecification.h"

// A file operation whose work runs on the global thread pool. It writes a new file at dest,
// never an existing entry and never through a link, with the given mode whatever the umask.
// When the worker reports success, dest is recorded as CreateFile, so that an undo removes it.
class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // errorText is the complete failure line; rollbackList is not owned and may be null.
    SlowFileOpSpecification(QString errorText, RollbackDataList* rollbackList,
                            const QString& source, const QString& dest, int mode, QObject* parent,
                            double weight);

    RollbackDataList* rollbackList;
    QString sourcePath;
    QString destPath;
    QString errorText;
    int mode;

protected:
    void runDone(bool ok) override;
};

// The worker of a slow file operation: copies of the task's two paths and the mode.
class SlowFileOpFunc : public ASyncFunc {
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& dest, int mode);
    ~SlowFileOpFunc() override;

    QString sourcePath;
    QString destPath;
    int mode;

protected:
    // Creates destPath exclusively (O_EXCL|O_NOFOLLOW) and gives it the mode.
    bool createDest();
    bool writeDest(const char* data, qint64 size);
    // Closes the destination; unless ok and the close succeeded, removes what createDest made
    // (never an entry that was there before). Returns whether the file is complete.
    bool finishDest(bool ok);
    int destFd() const { return fd; }

private:
    int fd = -1;
    bool created = false;
};
