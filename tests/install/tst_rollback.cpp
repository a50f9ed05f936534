#include "install/rollback.h"
#include "support/files.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Stands in for a task: undo warnings are delivered to a member named "message".
class Reporter : public QObject {
    Q_OBJECT
signals:
    void message(QString text);
};

class TstRollback : public QObject {
    Q_OBJECT

private slots:
    void init();
    void emptyLogSucceedsSilently();
    void undoesNewestFirstAndCarriesOnPastFailure();
    void renameNeverOverwrites_data();
    void renameNeverOverwrites();
    void createDirKeepsNonEmptyDirectory();
    void nullReporterChangesOnlyTheReport();
    void clearLeavesFilesAlone();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    std::unique_ptr<QTemporaryDir> dir;
};

void TstRollback::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstRollback::emptyLogSucceedsSilently() {
    Reporter reporter;
    QSignalSpy spy(&reporter, &Reporter::message);
    RollbackDataList log;
    QVERIFY(log.rollback(&reporter));
    QCOMPARE(spy.count(), 0);
}

void TstRollback::undoesNewestFirstAndCarriesOnPastFailure() {
    // The forward history: e replaced by new content with its old one kept at _old_e, a file
    // replaced whose kept entry someone removed meanwhile (its undo fails), dir d created,
    // file a renamed to d/b, file d/c written, and a file recorded as created that someone
    // removed meanwhile (its undo fails too).
    QVERIFY(QDir(dir->path()).mkdir("d"));
    QVERIFY(writeFile(path("d/b"), "old"));
    QVERIFY(writeFile(path("d/c"), "new"));
    QVERIFY(writeFile(path("e"), "new e"));
    QVERIFY(writeFile(path("_old_e"), "old e"));
    QVERIFY(writeFile(path("f"), "new f"));
    RollbackDataList log;
    log.add(RollbackData(RollbackData::Replace, path("_old_e"), path("e")));
    log.add(RollbackData(RollbackData::Replace, path("_old_f"), path("f")));
    log.add(RollbackData(RollbackData::CreateDir, path("d")));
    log.add(RollbackData(RollbackData::Rename, path("a"), path("d/b")));
    RollbackDataList fileLog;
    fileLog.add(RollbackData(RollbackData::CreateFile, path("gone")));
    fileLog.add(RollbackData(RollbackData::CreateFile, path("d/c")));
    log.appendList(fileLog);
    QCOMPARE(fileLog.size(), 2);
    QCOMPARE(log.size(), 6);
    QCOMPARE(log.at(3).oldPath, path("a"));
    QCOMPARE(log.at(3).path, path("d/b"));

    Reporter reporter;
    QSignalSpy spy(&reporter, &Reporter::message);
    QVERIFY(!log.rollback(&reporter));
    QVERIFY(log.isEmpty());
    // Oldest first would have found d non-empty and a's name not yet free.
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(0).toString(),
             QStringLiteral("warning: rollback create file %1 failed").arg(path("gone")));
    QCOMPARE(spy.at(1).at(0).toString(),
             QStringLiteral("warning: rollback replace %1 failed").arg(path("f")));
    QVERIFY(!QFileInfo::exists(path("d")));
    QCOMPARE(readAll(path("a")), QByteArray("old"));
    QCOMPARE(readAll(path("e")), QByteArray("old e"));
    QVERIFY(!QFileInfo::exists(path("_old_e")));
    QCOMPARE(readAll(path("f")), QByteArray("new f"));
}

void TstRollback::renameNeverOverwrites_data() {
    QTest::addColumn<bool>("danglingLink");
    QTest::newRow("file-in-the-way") << false;
    // Not even by writing through the link to its target.
    QTest::newRow("dangling-link-in-the-way") << true;
}

void TstRollback::renameNeverOverwrites() {
    QFETCH(bool, danglingLink);
    if (danglingLink)
        QVERIFY(QFile::link(path("target"), path("a")));
    else
        QVERIFY(writeFile(path("a"), "someone else's"));
    QVERIFY(writeFile(path("b"), "moved"));
    RollbackDataList log;
    log.add(RollbackData(RollbackData::Rename, path("a"), path("b")));
    Reporter reporter;
    QSignalSpy spy(&reporter, &Reporter::message);
    QVERIFY(!log.rollback(&reporter));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(),
             QStringLiteral("warning: rollback rename %1 to %2 failed").arg(path("a"), path("b")));
    QCOMPARE(readAll(path("a")),
             danglingLink ? QByteArray("<missing>") : QByteArray("someone else's"));
    QCOMPARE(QFileInfo(path("a")).isSymLink(), danglingLink);
    QVERIFY(!QFileInfo::exists(path("target")));
    QCOMPARE(readAll(path("b")), QByteArray("moved"));
}

void TstRollback::createDirKeepsNonEmptyDirectory() {
    QVERIFY(QDir(dir->path()).mkpath("d/e"));
    RollbackDataList log;
    log.add(RollbackData(RollbackData::CreateDir, path("d")));
    Reporter reporter;
    QSignalSpy spy(&reporter, &Reporter::message);
    QVERIFY(!log.rollback(&reporter));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(),
             QStringLiteral("warning: rollback create dir %1 failed").arg(path("d")));
    QVERIFY(QFileInfo(path("d/e")).isDir());
}

void TstRollback::nullReporterChangesOnlyTheReport() {
    QVERIFY(writeFile(path("f"), "x"));
    RollbackDataList log;
    log.add(RollbackData(RollbackData::CreateFile, path("f")));
    log.add(RollbackData(RollbackData::CreateFile, path("missing")));
    QVERIFY(!log.rollback(nullptr));
    QVERIFY(log.isEmpty());
    QVERIFY(!QFileInfo::exists(path("f")));
}

void TstRollback::clearLeavesFilesAlone() {
    QVERIFY(writeFile(path("f"), "x"));
    RollbackDataList log;
    log.add(RollbackData(RollbackData::CreateFile, path("f")));
    log.clear();
    QVERIFY(log.rollback(nullptr));
    QVERIFY(QFileInfo::exists(path("f")));
}

QTEST_GUILESS_MAIN(TstRollback)
#include "tst_rollback.moc"
