#include "install/filecopytaskspecification.h"
#include "install/fileunziptaskspecification.h"
#include "support/files.h"
#include "support/gzipdata.h"
#include "support/tasklog.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// Permission bits of the entry itself; -1 when there is none.
int modeOf(const QString& path) {
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

} // namespace

class TstSlowFileOps : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void unzip_data();
    void unzip();
    void copy_data();
    void copy();

private:
    QString path(const QString& relative) const { return dir->filePath(relative); }
    // Runs the task to its end on the pool; returns its messages.
    QStringList run(SlowFileOpSpecification& task) {
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        [&] { QTRY_VERIFY(task.state() != TaskSpecification::Running); }();
        return texts(messages);
    }
    std::unique_ptr<QTemporaryDir> dir;
};

void TstSlowFileOps::initTestCase() {
    // Modes are set explicitly: a permissive umask must not show in them.
    umask(0);
}

void TstSlowFileOps::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstSlowFileOps::unzip_data() {
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<QByteArray>("existingDest");
    QTest::addColumn<bool>("destDirIsFile");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");
    // The listed unpacked size; -1 where the row is not about it.
    QTest::addColumn<qint64>("maxSize");
    QTest::addColumn<QString>("linkTarget");

    // Several 16 KiB buffers' worth, so that the loop really loops.
    const QByteArray plain = noise(100000, 1);
    const QByteArray packed = gzipData(plain);
    QByteArray badCrc = packed;
    badCrc[badCrc.size() - 6] = char(badCrc[badCrc.size() - 6] ^ 0x55);
    QByteArray badBody = packed;
    badBody[packed.size() / 2] = char(badBody[packed.size() / 2] ^ 0x55);

    QTest::newRow("gzip") << packed << true << QByteArray() << false << true << plain << -1ll << "";
    QTest::newRow("never-overwrites-existing") << packed << true << QByteArray("old contents")
                                               << false << false << QByteArray() << -1ll << "";
    QTest::newRow("empty-stream") << gzipData({}) << true << QByteArray() << false << true
                                  << QByteArray() << 0ll << "";
    QTest::newRow("not-gzip-passes-through")
        << QByteArray("plain text, not gzip") << true << QByteArray() << false << true
        << QByteArray("plain text, not gzip") << -1ll << "";
    QTest::newRow("truncated") << packed.left(packed.size() / 2) << true << QByteArray() << false
                               << false << QByteArray() << -1ll << "";
    QTest::newRow("truncated-trailer") << packed.left(packed.size() - 3) << true << QByteArray()
                                       << false << false << QByteArray() << -1ll << "";
    QTest::newRow("bad-crc") << badCrc << true << QByteArray() << false << false << QByteArray()
                             << -1ll << "";
    QTest::newRow("corrupt-body") << badBody << true << QByteArray() << false << false
                                  << QByteArray() << -1ll << "";
    QTest::newRow("missing-source")
        << QByteArray() << false << QByteArray() << false << false << QByteArray() << -1ll << "";
    QTest::newRow("dest-dir-is-a-file")
        << packed << true << QByteArray() << true << false << QByteArray() << -1ll << "";
    QTest::newRow("one-byte-over-listed-size") << packed << true << QByteArray() << false << false
                                               << QByteArray() << qint64(plain.size() - 1) << "";
    QTest::newRow("bomb-listed-as-empty")
        << packed << true << QByteArray() << false << false << QByteArray() << 0ll << "";
    QTest::newRow("dangling-link-dest")
        << packed << true << QByteArray() << false << false << QByteArray() << -1ll << "outside";
}

void TstSlowFileOps::unzip() {
    QFETCH(QByteArray, source);
    QFETCH(bool, sourceExists);
    QFETCH(QByteArray, existingDest);
    QFETCH(bool, destDirIsFile);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);
    QFETCH(qint64, maxSize);
    QFETCH(QString, linkTarget);

    if (sourceExists)
        QVERIFY(writeFile(path("src.gz"), source));
    QString dest = path("out/file.bin");
    if (destDirIsFile)
        QVERIFY(writeFile(path("out"), "a file where a directory should be"));
    else
        QVERIFY(QDir(dir->path()).mkdir("out"));
    if (!existingDest.isNull())
        QVERIFY(writeFile(path("out/file.bin"), existingDest));
    if (!linkTarget.isEmpty())
        QVERIFY(QFile::link(path(linkTarget), dest));

    RollbackDataList log;
    const quint64 listed = maxSize < 0 ? std::numeric_limits<quint64>::max() : quint64(maxSize);
    FileUnzipTaskSpecification task(&log, path("src.gz"), dest, 0644, listed, nullptr, 1.0);
    const QStringList messages = run(task);
    QVERIFY(!QFileInfo::exists(path(linkTarget.isEmpty() ? "none" : linkTarget)));

    QCOMPARE(task.state(), ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    if (ok) {
        QVERIFY(messages.isEmpty());
        QCOMPARE(readAll(path("out/file.bin")), expected);
        QCOMPARE(modeOf(dest), 0644);
        QCOMPARE(log.size(), 1);
        QCOMPARE(log.first().operation, RollbackData::CreateFile);
        QCOMPARE(log.first().path, dest);
    } else {
        QStringList expectedMessages{
            QStringLiteral("Could not unzip '%1' to '%2'").arg(path("src.gz"), dest)};
        // Rows with a listed size that fail unpack to more than it.
        if (maxSize >= 0)
            expectedMessages.prepend(
                QStringLiteral("'%1' unpacks to more than its listed size of %2 bytes")
                    .arg(path("src.gz"))
                    .arg(maxSize));
        QCOMPARE(messages, expectedMessages);
        QVERIFY(log.isEmpty());
        // An entry that was there stays as it was; nothing else is left.
        if (!existingDest.isNull())
            QCOMPARE(readAll(path("out/file.bin")), existingDest);
        QCOMPARE(QFileInfo(dest).isSymLink(), !linkTarget.isEmpty());
        QCOMPARE(QFileInfo::exists(dest), !existingDest.isNull());
    }
}

void TstSlowFileOps::copy_data() {
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("destExists");
    QTest::addColumn<bool>("withLog");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("ok");
    QTest::newRow("copies") << true << false << true << 0755 << true;
    QTest::newRow("null-log") << true << false << false << 0644 << true;
    QTest::newRow("never-overwrites") << true << true << true << 0644 << false;
    QTest::newRow("source-is-a-directory") << false << false << true << 0644 << false;
    QTest::newRow("missing-source") << false << false << true << 0644 << false;
    // The kernel copies only within a file system; between two the copy goes through a buffer.
    QTest::newRow("from-another-file-system") << true << false << true << 0644 << true;
}

void TstSlowFileOps::copy() {
    QFETCH(bool, sourceExists);
    QFETCH(bool, destExists);
    QFETCH(bool, withLog);
    QFETCH(int, mode);
    QFETCH(bool, ok);

    const QByteArray data = noise(70000, 2);
    if (QByteArray(QTest::currentDataTag()) == "source-is-a-directory")
        QVERIFY(QDir(dir->path()).mkdir("src"));
    if (sourceExists) {
        QVERIFY(writeFile(path("src"), data));
        // The source's mode is not what the copy gets.
        QVERIFY(QFile::setPermissions(path("src"), QFile::ReadOwner | QFile::WriteOwner));
    }
    if (destExists)
        QVERIFY(writeFile(path("dst"), "installed"));
    QTemporaryDir shm(QStringLiteral("/dev/shm/tst_slowfileops-XXXXXX"));
    QString source = path("src");
    if (QByteArray(QTest::currentDataTag()) == "from-another-file-system") {
        if (!shm.isValid() || deviceOf(dir->path()) == deviceOf(shm.path()))
            QSKIP("needs /dev/shm on another file system than the temporary directory");
        source = shm.filePath("src");
        QVERIFY(QFile::rename(path("src"), source));
    }
    RollbackDataList log;
    FileCopyTaskSpecification task(withLog ? &log : nullptr, source, path("dst"), mode, nullptr,
                                   0.5);
    const QStringList messages = run(task);

    QCOMPARE(task.state(), ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QCOMPARE(task.progressValue(), ok ? 0.5 : 0.0);
    QCOMPARE(log.size(), ok && withLog ? 1 : 0);
    if (ok) {
        QVERIFY(messages.isEmpty());
        QCOMPARE(readAll(path("dst")), data);
        QCOMPARE(modeOf(path("dst")), mode);
        // On one file system the new file is a second name of the source, not a copy.
        QCOMPARE(inodeOf(path("dst")) == inodeOf(source),
                 deviceOf(path("dst")) == deviceOf(source));
    } else {
        QCOMPARE(messages,
                 QStringList{
                     QStringLiteral("Could not copy '%1' to '%2'").arg(path("src"), path("dst"))});
        if (destExists)
            QCOMPARE(readAll(path("dst")), QByteArray("installed"));
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files).size(),
                 (sourceExists ? 1 : 0) + (destExists ? 1 : 0));
    }
}

QTEST_GUILESS_MAIN(TstSlowFileOps)
#include "tst_slowfileops.moc"
