#include "install/dircreatetaskspecification.h"
#include "install/filedeletetaskspecification.h"
#include "install/filerenametaskspecification.h"
#include "support/files.h"
#include "support/tasklog.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

// Runs a fast task and collects what it reported; the task ends inside execute().
struct FastRun {
    explicit FastRun(FastFileOpTaskSpecification& task)
        : messages(&task, &TaskSpecification::message)
        , finished(&task, &TaskSpecification::finished)
        , canceled(&task, &TaskSpecification::canceled) {
        task.execute();
    }
    QSignalSpy messages;
    QSignalSpy finished;
    QSignalSpy canceled;
};

class TstFastFileOps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void dirCreate_data();
    void dirCreate();
    void dirCreateUndoRemovesOnlyNewLevels();
    void deleteFile_data();
    void deleteFile();
    void renameRecordsAndNeverOverwrites();

private:
    QString path(const QString& relative) const {
        return relative.isEmpty() ? dir->path() : dir->filePath(relative);
    }
    // The mode the test's umask gives.
    void write(const QString& relative) {
        QVERIFY(writeFile(path(relative), relative.toUtf8(), 0600));
    }
    std::unique_ptr<QTemporaryDir> dir;
};

void TstFastFileOps::initTestCase() {
    umask(077);
}

void TstFastFileOps::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstFastFileOps::dirCreate_data() {
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("ok");
    // Relative to the temporary directory, as is the path that the message names.
    QTest::addColumn<QStringList>("recorded");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("messagePath");

    QTest::newRow("ancestors-one-level-at-a-time")
        << QStringList{"a"} << QStringList{} << "a/b/c" << true << QStringList{"a/b", "a/b/c"} << ""
        << "";
    QTest::newRow("trailing-slash")
        << QStringList{} << QStringList{} << "n/m/" << true << QStringList{"n", "n/m"} << ""
        << "";
    QTest::newRow("exists") << QStringList{"a/b"} << QStringList{} << "a/b" << true << QStringList{}
                            << ""
                            << "";
    QTest::newRow("file-in-the-way")
        << QStringList{} << QStringList{"f"} << "f" << false << QStringList{}
        << "Could not create dir '%1' because it already exists and is not a dir"
        << "f";
    QTest::newRow("file-as-ancestor")
        << QStringList{} << QStringList{"f"} << "f/g/h" << false << QStringList{}
        << "Could not create dir '%1' because it already exists and is not a dir"
        << "f";
}

void TstFastFileOps::dirCreate() {
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, existingFiles);
    QFETCH(QString, target);
    QFETCH(bool, ok);
    QFETCH(QStringList, recorded);
    QFETCH(QString, message);
    QFETCH(QString, messagePath);

    for (const QString& d : existingDirs)
        QVERIFY(QDir(dir->path()).mkpath(d));
    for (const QString& f : existingFiles)
        write(f);
    RollbackDataList log;
    DirCreateTaskSpecification task(path(target), &log, nullptr, 1.0);
    FastRun run(task);

    QCOMPARE(run.finished.count(), ok ? 1 : 0);
    QCOMPARE(run.canceled.count(), ok ? 0 : 1);
    QCOMPARE(task.state(), ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(texts(run.messages),
             message.isEmpty() ? QStringList{} : QStringList{message.arg(path(messagePath))});
    QStringList paths;
    for (const RollbackData& data : log) {
        QCOMPARE(data.operation, RollbackData::CreateDir);
        // The test runs under umask 077: the mode is set explicitly.
        QCOMPARE(QFileInfo(data.path).permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser |
                     QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup |
                     QFile::ReadOther | QFile::ExeOther);
        paths << data.path;
    }
    QStringList expectedPaths;
    for (const QString& r : recorded)
        expectedPaths << path(r);
    QCOMPARE(paths, expectedPaths);
    if (ok)
        QVERIFY(QFileInfo(path(target)).isDir());
}

void TstFastFileOps::dirCreateUndoRemovesOnlyNewLevels() {
    QVERIFY(QDir(dir->path()).mkdir("a"));
    RollbackDataList log;
    DirCreateTaskSpecification task(path("a/b/c/d"), &log, nullptr, 1.0);
    FastRun run(task);
    QCOMPARE(log.size(), 3);
    QVERIFY(log.rollback(&task));
    QVERIFY(QFileInfo(path("a")).isDir());
    QVERIFY(!QFileInfo::exists(path("a/b")));

    // A bare relative name has no parent to create it in.
    DirCreateTaskSpecification bare(QStringLiteral("x"), &log, nullptr, 1.0);
    FastRun bareRun(bare);
    QCOMPARE(texts(bareRun.messages), QStringList{"Could not create dir x"});
    QCOMPARE(bare.state(), TaskSpecification::ErrorCanceled);
}

void TstFastFileOps::deleteFile_data() {
    QTest::addColumn<bool>("failOnError");
    QTest::addColumn<QString>("entry"); // what is at the path: "", "file", "link" or "dir"
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("messaged");
    QTest::newRow("strict-existing") << true << "file" << true << false;
    QTest::newRow("strict-missing") << true << "" << false << true;
    QTest::newRow("lenient-existing") << false << "file" << true << false;
    QTest::newRow("lenient-missing") << false << "" << true << false;
    // The link goes, what it points to stays; a directory is never removed as a file.
    QTest::newRow("strict-link") << true << "link" << true << false;
    QTest::newRow("strict-directory") << true << "dir" << false << true;
    QTest::newRow("lenient-directory") << false << "dir" << true << false;
}

void TstFastFileOps::deleteFile() {
    QFETCH(bool, failOnError);
    QFETCH(QString, entry);
    QFETCH(bool, ok);
    QFETCH(bool, messaged);
    write("target");
    if (entry == "file")
        write("f");
    else if (entry == "link")
        QVERIFY(QFile::link(path("target"), path("f")));
    else if (entry == "dir")
        QVERIFY(QDir().mkpath(path("f/sub")));
    FileDeleteTaskSpecification task(failOnError, path("f"), nullptr, 1.0);
    QCOMPARE(task.rollbackList, nullptr);
    FastRun run(task);
    QCOMPARE(task.state(), ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(texts(run.messages),
             messaged ? QStringList{"Could not delete '" + path("f") + "'"} : QStringList{});
    QCOMPARE(QFileInfo(path("f")).isDir(), entry == "dir");
    QVERIFY(QFileInfo::exists(path("f")) == (entry == "dir"));
    QVERIFY(QFileInfo::exists(path("target")));
}

void TstFastFileOps::renameRecordsAndNeverOverwrites() {
    write("a");
    write("b");
    RollbackDataList log;
    FileRenameTaskSpecification blocked(path("a"), path("b"), &log, nullptr, 1.0);
    FastRun blockedRun(blocked);
    QCOMPARE(blocked.state(), TaskSpecification::ErrorCanceled);
    QCOMPARE(
        texts(blockedRun.messages),
        QStringList{QStringLiteral("Could not rename '%1' to '%2'").arg(path("a"), path("b"))});
    QVERIFY(log.isEmpty());
    QCOMPARE(readAll(path("b")), QByteArray("b"));

    FileRenameTaskSpecification rename(path("a"), path("c"), &log, nullptr, 1.0);
    FastRun run(rename);
    QCOMPARE(rename.state(), TaskSpecification::Finished);
    QCOMPARE(rename.progressValue(), 1.0);
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.first().operation, RollbackData::Rename);
    QCOMPARE(log.first().oldPath, path("a"));
    QCOMPARE(log.first().path, path("c"));
    QVERIFY(log.rollback(nullptr));
    QVERIFY(QFileInfo::exists(path("a")));
    QVERIFY(!QFileInfo::exists(path("c")));
}

QTEST_GUILESS_MAIN(TstFastFileOps)
#include "tst_fastfileops.moc"
