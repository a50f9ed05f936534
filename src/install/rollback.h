#pragma once

#include <QList>
#include <QString>

class QObject;

// One undo record of the installer: a change to the file system that can be taken back.
class RollbackData {
public:
    enum Operation : qint32 {
        // A file got a new name; undone by giving it the former name back.
        Rename = 0,
        // A file was written where none was; undone by removing it.
        CreateFile = 1,
        // One directory level was created; undone by removing it while it is empty.
        CreateDir = 2,
        // New content was renamed over path, whose former entry this run kept at oldPath;
        // undone by renaming oldPath back over path, so path is never missing meanwhile. When the
        // new content was a download moved into place from keptAt, it first gets that name back.
        Replace = 3,
    };

    // For Rename: the name before the rename first, the name after it second.
    // For Replace: where the former entry is kept first, the replaced path second.
    RollbackData(Operation operation, const QString& oldPath, const QString& path);
    // For CreateFile and CreateDir.
    RollbackData(Operation operation, const QString& path);

    // Undoes this record; a failure is reported to reporter as a warning line.
    bool rollback(QObject* reporter) const;
    // Invokes reporter's "message" (a task's signal) with text; a null reporter hears nothing.
    static void message(QObject* reporter, const QString& text);

    // The path that exists after the forward operation.
    QString path;
    // Rename: the name before the rename; Replace: where the former entry is kept.
    QString oldPath;
    // Replace only: where the new content was before, or empty.
    QString keptAt;
    Operation operation;
};

// An undo log, oldest record first. Lives on the GUI thread; has no lock.
class RollbackDataList : public QList<RollbackData> {
public:
    void add(const RollbackData& data);
    void appendList(const RollbackDataList& other);
    // Undoes and removes every record, newest first, carrying on past failures; true when every
    // undo succeeded. The list is empty afterwards in any case.
    bool rollback(QObject* reporter);
};
