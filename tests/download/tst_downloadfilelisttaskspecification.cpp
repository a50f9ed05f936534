#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "support/faulthttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray pattern(int size, int seed) {
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 13 + seed * 101 + i / 199) & 0xff);
    return data;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class ListTask final : public DownloadFileListTaskSpecification {
public:
    using DownloadFileListTaskSpecification::DownloadFileListTaskSpecification;
    using DownloadFileListTaskSpecification::subTasks;
};

class FileTask final : public DownloadFileTaskSpecification {
public:
    using DownloadFileTaskSpecification::DownloadFileTaskSpecification;
    using DownloadFileTaskSpecification::subTasks;
    // The subtasks of a file task that the list made: it is no FileTask, so no downcast.
    static const QList<TaskSpecification*>& subTasksOf(const DownloadFileTaskSpecification* task) {
        return task->*(&FileTask::subTasks);
    }
};

// Mirrors mA and mB (directories m?/7/ of one test server) serving section "client".
struct Rig {
    QTemporaryDir serverDir;
    QTemporaryDir tempDir;
    FaultHttpServer server;
    QNetworkAccessManager manager;
    Mirrors pool;
    Configuration config;
    QList<FileDownloadSpecification> list;
    QMap<QString, QByteArray> contents;

    explicit Rig(const QStringList& mirrors = {QStringLiteral("mA"), QStringLiteral("mB")}) {
        server.setRoot(serverDir.path());
        server.listen();
        for (const QString& name : mirrors) {
            FTPSiteAccessData m;
            m.name = name;
            m.url = server.baseUrl() + QLatin1Char('/') + name + QStringLiteral("/7");
            m.retries = 2;
            pool.mirrors.append(m);
        }
        config.tempDir = tempDir.path();
        config.downloadConcurrency = 2;
    }
    void addFile(const QString& fileName, const QByteArray& data, bool upperMd5 = false) {
        for (const FTPSiteAccessData& m : std::as_const(pool.mirrors)) {
            const QString path =
                serverDir.filePath(m.name + QStringLiteral("/7/client/") + fileName);
            QDir().mkpath(QFileInfo(path).path());
            QFile out(path);
            out.open(QIODevice::WriteOnly);
            out.write(data);
        }
        QString md5 =
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        if (upperMd5)
            md5 = md5.toUpper();
        list.append({QStringLiteral("client"), fileName, md5, quint64(data.size())});
        contents.insert(fileName, data);
    }
    static QString path(const QString& mirror, const QString& fileName) {
        return QLatin1Char('/') + mirror + QStringLiteral("/7/client/") + fileName;
    }
    QStringList tempEntries() const {
        QStringList out;
        QDirIterator it(tempDir.path(), QDir::AllEntries | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << QDir(tempDir.path()).relativeFilePath(it.next());
        out.sort();
        return out;
    }
};

QStringList texts(const QSignalSpy& spy) {
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

class TstDownloadFileListTaskSpecification : public QObject {
    Q_OBJECT

private slots:
    void emptyList() {
        Rig rig;
        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(texts(messages), QStringList{QStringLiteral("No downloads needed")});
        QCOMPARE(task.progressValue, 0.4);
        QCOMPARE(rig.tempEntries(), QStringList());
    }

    // Four files at the top level and in subdirectories, one MD5 in upper case, and mirror mA
    // serving a corrupt copy of one of them.
    void wholeList() {
        Rig rig;
        rig.addFile(QStringLiteral("top.bin"), pattern(70000, 1));
        rig.addFile(QStringLiteral("lib/plugins/a.so"), pattern(30000, 2), true);
        rig.addFile(QStringLiteral("lib/plugins/b.so"), pattern(45000, 3));
        rig.addFile(QStringLiteral("doc/readme.txt"), pattern(5000, 4));
        FaultRule corrupt;
        corrupt.corruptAt = 1234;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("lib/plugins/b.so")),
                           corrupt);
        // mB only joins after b.so was asked of mA, so the corrupt copy is always fetched.
        FTPSiteAccessData b = rig.pool.mirrors.takeLast();
        rig.pool.mirrors.first().maxUses = 4;
        connect(&rig.server, &FaultHttpServer::requestReceived, this, [&](const QString& path) {
            if (path == Rig::path(QStringLiteral("mA"), QStringLiteral("lib/plugins/b.so")))
                rig.pool.mirrors.append(b);
        });

        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 0.4);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        // The display shows the whole list's size from the first tick on.
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
        QCOMPARE(total, quint64(70000 + 30000 + 45000 + 5000));
        QCOMPARE(done, quint64(0));

        QCOMPARE(task.subTasks.size(), 4);
        for (TaskSpecification* sub : std::as_const(task.subTasks)) {
            QCOMPARE(sub->parentProgressRange, 0.25);
            const auto* file = qobject_cast<DownloadFileTaskSpecification*>(sub);
            QVERIFY(file);
            QCOMPARE(FileTask::subTasksOf(file).size(), 0); // built when the file task starts
        }

        QTRY_VERIFY_WITH_TIMEOUT(task.state != TaskSpecification::Running, 10000);
        QCOMPARE(task.state, int(TaskSpecification::Finished));
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task.progressValue, 0.4);
        for (auto it = rig.contents.cbegin(); it != rig.contents.cend(); ++it)
            QCOMPARE(readAll(rig.tempDir.filePath(it.key())), it.value());
        QCOMPARE(rig.tempEntries(),
                 (QStringList{"doc", "doc/readme.txt", "lib", "lib/plugins", "lib/plugins/a.so",
                              "lib/plugins/b.so", "top.bin"}));

        // The corrupt copy cost mA at once, with no error counted before.
        QCOMPARE(rig.pool.getMirrorIndex(QStringLiteral("mA")), -1);
        const QStringList log = texts(messages);
        QCOMPARE(log.first(), QStringLiteral("Downloading files"));
        QCOMPARE(log.count(QStringLiteral("md5 sum for lib/plugins/b.so failed, invalidating "
                                          "mirror and retrying")),
                 1);
        QCOMPARE(rig.server.requestCount(
                     Rig::path(QStringLiteral("mB"), QStringLiteral("lib/plugins/b.so"))),
                 1);
        task.timeTick(done, total, speed, downloading);
        QCOMPARE(done, total);
        QVERIFY(!downloading);
    }

    void fileTaskWeights() {
        Rig rig;
        rig.addFile(QStringLiteral("w.bin"), pattern(100, 5));
        FileTask task(rig.list.first(), &rig.manager, &rig.pool, &rig.config, nullptr, 0.25);
        task.execute();
        QCOMPARE(task.subTasks.size(), 2);
        QCOMPARE(task.subTasks[0]->parentProgressRange, 0.8);
        QCOMPARE(task.subTasks[1]->parentProgressRange, 0.2);
        QCOMPARE(task.downloadTask, task.subTasks[0]);
        QCOMPARE(task.downloadTask->remotePath, QStringLiteral("client/w.bin"));
        QCOMPARE(task.downloadTask->expectedSize, qint64(100));
        QTRY_COMPARE_WITH_TIMEOUT(task.state, int(TaskSpecification::Finished), 5000);
        QCOMPARE(task.progressValue, 0.25);
    }

    // Every mirror serves a corrupt copy: each goes after one check, then the list gives up.
    void corruptEverywhere() {
        Rig rig({QStringLiteral("mA"), QStringLiteral("mB"), QStringLiteral("mC")});
        rig.addFile(QStringLiteral("c.bin"), pattern(20000, 6));
        rig.addFile(QStringLiteral("ok.bin"), pattern(20000, 7));
        FaultRule corrupt;
        corrupt.corruptAt = 0;
        for (const char* m : {"mA", "mB", "mC"})
            rig.server.setRule(Rig::path(QLatin1String(m), QStringLiteral("c.bin")), corrupt);
        rig.config.downloadConcurrency = 1;
        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy poolMessages(&rig.pool, &Mirrors::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 10000);
        QCOMPARE(task.state, int(TaskSpecification::ErrorCanceled));
        QVERIFY(rig.pool.mirrors.isEmpty());
        QCOMPARE(texts(messages).count(
                     QStringLiteral("md5 sum for c.bin failed, invalidating mirror and retrying")),
                 3);
        QCOMPARE(texts(poolMessages), QStringList{QStringLiteral(
                                          "There are no (more) known working mirrors available")});
        // Pending files are not started after the failure.
        QCOMPARE(rig.server.totalRequests(), 3);
    }

    void directoryCannotBeMade() {
        Rig rig;
        rig.addFile(QStringLiteral("top.bin"), pattern(10, 8));
        rig.addFile(QStringLiteral("sub/dir/f.bin"), pattern(10, 9));
        // A plain file where a directory must go: fails for root too.
        QFile blocker(rig.tempDir.filePath(QStringLiteral("sub")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state, int(TaskSpecification::ErrorCanceled));
        QCOMPARE(texts(messages), QStringList{QStringLiteral("Could not create dir %1/sub/dir")
                                                  .arg(QDir(rig.tempDir.path()).canonicalPath())});
        QTest::qWait(50);
        QCOMPARE(rig.server.totalRequests(), 0);
    }

    // A user cancel during a failing check ends the file task; it neither retries nor passes
    // the bad file on as finished.
    void userCancelDuringFailingCheck() {
        Rig rig({QStringLiteral("mA")});
        rig.addFile(QStringLiteral("u.bin"), pattern(1000, 10));
        FaultRule corrupt;
        corrupt.corruptAt = 5;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("u.bin")), corrupt);
        FileTask task(rig.list.first(), &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        // Right after the download ends: start the check, then cancel before its result.
        connect(task.downloadTask, &TaskSpecification::finished, this, [&] {
            QCoreApplication::sendPostedEvents(&task, QEvent::MetaCall);
            QCOMPARE(task.subTasks[1]->state, int(TaskSpecification::Running));
            task.userCanceled();
        });
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 5000);
        QCOMPARE(task.state, int(TaskSpecification::UserCanceled));
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(rig.server.totalRequests(), 1);
        QCOMPARE(rig.pool.mirrors.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TstDownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
