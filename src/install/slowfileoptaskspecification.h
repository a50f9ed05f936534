#pragma once

#include "install/rollback.h"
#include "tasks/asynctaskspecification.h"

// A new file being written by a worker: created exclusively (O_EXCL|O_NOFOLLOW), so never an
// existing entry and never through a link, with the given mode whatever the umask. Unless
// finished successfully, what it created is removed again, never an entry that was there before.
class NewFile final {
public:
    NewFile(const QString& path, int mode);
    ~NewFile();
    Q_DISABLE_COPY_MOVE(NewFile)

    bool create();
    enum class Link { Made, Failed, Unsupported };
    // Creates the file as a second name of the regular file source, sharing its content.
    // Unsupported when the two lie on different file systems or the file system has no hard links.
    Link createAsLink(const QString& source);
    bool write(const char* data, qint64 size);
    // Closes the file; unless ok and the close succeeded, removes it. Whether it is complete.
    bool finish(bool ok);
    int fd() const { return descriptor; }

private:
    QString path;
    int mode;
    int descriptor = -1;
    bool created = false;
};

// A file operation that writes a new file at dest on the global thread pool. Copy and unzip
// differ only in how they produce the bytes; creating the file, removing a failed one and
// recording a finished one as CreateFile, so that an undo removes it, are the same.
class SlowFileOpSpecification : public ASyncTaskSpecification {
    Q_OBJECT

public:
    // Whether execute() does all the work and ends the task before it returns.
    bool runsInline() final;

    RollbackDataList* rollbackList;
    QString sourcePath;
    QString destPath;
    QString errorText;
    int mode;

protected:
    // Writes the new content of the file read from source; false on failure. Runs on the pool.
    using Produce = std::function<bool(const QString& source, NewFile& dest, ASyncReport& report)>;

    // errorText is the complete failure line; rollbackList is not owned and may be null.
    SlowFileOpSpecification(QString errorText, RollbackDataList* rollbackList,
                            const QString& source, const QString& dest, int mode, Produce produce,
                            QObject* parent, double weight);

    Work createWork() final;
    void runDone(bool ok, std::any& value) final;

    // The new file may share the source's content (a hard link) instead of getting a copy of it.
    bool linkSource = false;
    // The most bytes the new file will hold, when known; a file this small is written at once.
    qint64 sizeBound = -1;
    static constexpr qint64 InlineBytes = qint64(64) * 1024;

private:
    Produce produce;
};
