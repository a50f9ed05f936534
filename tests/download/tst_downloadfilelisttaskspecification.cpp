#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/downloadfiletaskspecification.h"
#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/tasklog.h"
#include "verify/checksignaturetaskspecification.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

Q_DECLARE_METATYPE(FaultRule)

namespace {

class ListTask final : public DownloadFileListTaskSpecification {
public:
    using DownloadFileListTaskSpecification::DownloadFileListTaskSpecification;
    using DownloadFileListTaskSpecification::runningTaskList;
};

class FileTask final : public DownloadFileTaskSpecification {
public:
    using DownloadFileTaskSpecification::DownloadFileTaskSpecification;
    using DownloadFileTaskSpecification::subTaskList;
};

// Mirrors mA and mB serving section "client".
struct Rig : MirrorRig {
    Configuration config;
    QList<FileDownloadSpecification> list;
    QMap<QString, QByteArray> contents;

    explicit Rig(const QStringList& mirrors = {QStringLiteral("mA"), QStringLiteral("mB")}) {
        for (const QString& name : mirrors)
            addMirror(name);
        config.tempDir = localDir.path();
        config.downloadConcurrency = 2;
    }
    void addFile(const QString& fileName, const QByteArray& data, bool upperMd5 = false) {
        for (const FTPSiteAccessData& m : std::as_const(pool.mirrors))
            QVERIFY(writeFile(remote(m.name, QStringLiteral("client/") + fileName), data));
        const QString sum = md5(data);
        list.append({QStringLiteral("client"), fileName, upperMd5 ? sum.toUpper() : sum,
                     quint64(data.size())});
        contents.insert(fileName, data);
    }
    static QString path(const QString& mirror, const QString& fileName) {
        return MirrorRig::path(mirror, QStringLiteral("client/") + fileName);
    }
    QStringList tempEntries() const {
        QStringList out;
        QDirIterator it(localDir.path(), QDir::AllEntries | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            out << QDir(localDir.path()).relativeFilePath(it.next());
        out.sort();
        return out;
    }
};

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
        QCOMPARE(task.progressValue(), 0.4);
        QCOMPARE(rig.tempEntries(), QStringList());
    }

    // Four files at the top level and in subdirectories, one MD5 in upper case, and mirror mA
    // serving a corrupt copy of one of them.
    void wholeList() {
        Rig rig;
        rig.addFile(QStringLiteral("top.bin"), noise(70000, 1));
        rig.addFile(QStringLiteral("lib/plugins/a.so"), noise(30000, 2), true);
        rig.addFile(QStringLiteral("lib/plugins/b.so"), noise(45000, 3));
        rig.addFile(QStringLiteral("doc/readme.txt"), noise(5000, 4));
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
        const TickReport first = tick(task);
        QCOMPARE(first.total, quint64(70000 + 30000 + 45000 + 5000));
        QCOMPARE(first.done, quint64(0));

        // File tasks are made as they start, as many as may run, and deleted once they end.
        QCOMPARE(task.runningTaskList().size(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(task.runningTaskList().size(), 2);
        QList<QPointer<TaskSpecification>> made;
        for (TaskSpecification* sub : std::as_const(task.runningTaskList())) {
            QCOMPARE(sub->parentProgressRange, 0.25);
            QVERIFY(qobject_cast<DownloadFileTaskSpecification*>(sub));
            made << sub;
        }

        QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 10000);
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task.progressValue(), 0.4);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(made.first().isNull() && made.last().isNull());
        QCOMPARE(task.findChildren<TaskSpecification*>().size(), 0);
        for (auto it = rig.contents.cbegin(); it != rig.contents.cend(); ++it)
            QCOMPARE(readAll(rig.local(it.key())), it.value());
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
        const TickReport last = tick(task);
        QCOMPARE(last.done, last.total);
        QVERIFY(!last.downloading);
    }

    void fileTaskWeights() {
        Rig rig;
        rig.addFile(QStringLiteral("w.bin"), noise(100, 5));
        FileTask task(rig.list.first(), &rig.manager, &rig.pool, &rig.config, nullptr, 0.25);
        task.execute();
        QCOMPARE(task.subTaskList().size(), 2);
        QCOMPARE(task.subTaskList()[0]->parentProgressRange, 0.8);
        QCOMPARE(task.subTaskList()[1]->parentProgressRange, 0.2);
        QCOMPARE(task.downloadTask, task.subTaskList()[0]);
        QCOMPARE(task.downloadTask->remotePath, QStringLiteral("client/w.bin"));
        QCOMPARE(task.downloadTask->expectedSize, qint64(100));
        QTRY_COMPARE_WITH_TIMEOUT(task.state(), TaskSpecification::Finished, 5000);
        QCOMPARE(task.progressValue(), 0.25);
    }

    // Every mirror serves a corrupt copy: each goes after one check, then the list gives up.
    void corruptEverywhere() {
        Rig rig({QStringLiteral("mA"), QStringLiteral("mB"), QStringLiteral("mC")});
        rig.addFile(QStringLiteral("c.bin"), noise(20000, 6));
        rig.addFile(QStringLiteral("ok.bin"), noise(20000, 7));
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
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
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
        rig.addFile(QStringLiteral("top.bin"), noise(10, 8));
        rig.addFile(QStringLiteral("sub/dir/f.bin"), noise(10, 9));
        // A plain file where a directory must go: fails for root too.
        QFile blocker(rig.local(QStringLiteral("sub")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task.state(), TaskSpecification::ErrorCanceled);
        QCOMPARE(texts(messages), QStringList{QStringLiteral("Could not create dir %1/sub/dir")
                                                  .arg(QDir(rig.localDir.path()).canonicalPath())});
        QTest::qWait(50);
        QCOMPARE(rig.server.totalRequests(), 0);
    }

    // A partial file (left by an earlier run, or by a stall in this one) is continued with a
    // range on mA; mB joins only once mA has left the pool.
    void resume_data() {
        QTest::addColumn<int>("held");
        QTest::addColumn<bool>("heldCorrupt");
        QTest::addColumn<FaultRule>("rule");
        QTest::addColumn<int>("stallAt");
        QTest::addColumn<QStringList>("aRanges");
        QTest::addColumn<QStringList>("bRanges");
        QTest::addColumn<int>("aErrors"); // -1: mA left the pool
        QTest::addColumn<qint64>("aBytes");
        QTest::addColumn<bool>("installed"); // the held file is also an installed file's name

        const int size = 60000;
        FaultRule plain;
        QTest::newRow("206") << 25000 << false << plain << -1 << QStringList{"bytes=25000-"}
                             << QStringList() << 0 << qint64(size - 25000) << false;
        FaultRule whole;
        whole.ignoreRange = true;
        QTest::newRow("200-restarts-free")
            << 25000 << false << whole << -1 << QStringList{"bytes=25000-"} << QStringList() << 0
            << qint64(size) << false;
        // The whole file replaces a held part that was bad: nothing of that part may count.
        QTest::newRow("200-replaces-a-bad-held-part")
            << 25000 << true << whole << -1 << QStringList{"bytes=25000-"} << QStringList() << 0
            << qint64(size) << false;
        FaultRule wrongRange;
        wrongRange.contentRange = QByteArray("bytes 0-34999/35000");
        wrongRange.times = 1;
        QTest::newRow("206-wrong-content-range")
            << 25000 << false << wrongRange << -1 << QStringList{"bytes=25000-", ""}
            << QStringList() << 1 << qint64(size - 25000 + size) << false;
        QTest::newRow("held-part-fails-md5")
            << 25000 << true << plain << -1 << QStringList{"bytes=25000-"} << QStringList{""} << -1
            << qint64(size - 25000) << false;
        FaultRule stall;
        stall.stallAfter = 20000;
        stall.times = 1;
        QTest::newRow("stall-then-range")
            << 0 << false << stall << 20000 << QStringList{"", "bytes=20000-"} << QStringList() << 1
            << qint64(size) << false;
        // Longer than the listed size: nothing in it can be trusted.
        QTest::newRow("held-too-long") << size + 5 << true << plain << -1 << QStringList{""}
                                       << QStringList() << 0 << qint64(size) << false;
        // A download that an earlier run installed under a second name: writing into it would
        // change the installed file, so it starts anew under a name of its own.
        QTest::newRow("held-file-is-installed") << 1000 << false << plain << -1 << QStringList{""}
                                                << QStringList() << 0 << qint64(size) << true;
    }
    void resume() {
        QFETCH(int, held);
        QFETCH(bool, heldCorrupt);
        QFETCH(FaultRule, rule);
        QFETCH(int, stallAt);
        QFETCH(QStringList, aRanges);
        QFETCH(QStringList, bRanges);
        QFETCH(int, aErrors);
        QFETCH(qint64, aBytes);
        QFETCH(bool, installed);

        Rig rig;
        const QByteArray data = noise(60000, 11);
        rig.addFile(QStringLiteral("r.bin"), data);
        const QString aPath = Rig::path(QStringLiteral("mA"), QStringLiteral("r.bin"));
        const QString bPath = Rig::path(QStringLiteral("mB"), QStringLiteral("r.bin"));
        rig.server.setRule(aPath, rule);
        FTPSiteAccessData b = rig.pool.mirrors.takeLast();
        connect(&rig.pool, &Mirrors::slotsChanged, this, [&] {
            if (rig.pool.getMirrorIndex(QStringLiteral("mA")) < 0 && !b.name.isEmpty())
                rig.pool.mirrors.append(std::exchange(b, FTPSiteAccessData()));
        });
        const QString local = rig.local(QStringLiteral("r.bin"));
        QByteArray part = data.left(held);
        if (held > data.size())
            part += QByteArray(held - data.size(), 'x');
        if (heldCorrupt)
            part[100] = char(~part.at(100));
        QFile out(local);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(part);
        out.close();
        const QString installedPath = rig.localDir.filePath(QStringLiteral("installed"));
        if (installed)
            QVERIFY(::link(QFile::encodeName(local).constData(),
                           QFile::encodeName(installedPath).constData()) == 0);

        FileTask task(rig.list.first(), &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCoreApplication::sendPostedEvents(&task, QEvent::MetaCall);
        QVERIFY(task.downloadTask->reply);
        // The bytes held count as done from the start.
        QCOMPARE(tick(task).done, quint64(held < data.size() && !installed ? held : 0));
        if (stallAt >= 0) {
            QTRY_COMPARE_WITH_TIMEOUT(task.downloadTask->receivedBytes, qint64(stallAt), 5000);
            tick(task, 16);
        }
        QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 10000);
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(readAll(local), data);
        if (installed)
            QCOMPARE(readAll(installedPath), part);

        auto asText = [](const QList<QByteArray>& list) {
            QStringList out;
            for (const QByteArray& r : list)
                out << QString::fromLatin1(r);
            return out;
        };
        QCOMPARE(asText(rig.server.ranges(aPath)), aRanges);
        QCOMPARE(asText(rig.server.ranges(bPath)), bRanges);
        QCOMPARE(rig.server.bytesSent(aPath), aBytes);
        const FTPSiteAccessData* a = nullptr;
        if (rig.pool.getMirrorIndex(QStringLiteral("mA")) >= 0)
            a = &rig.pool.mirrors[rig.pool.getMirrorIndex(QStringLiteral("mA"))];
        QCOMPARE(a ? a->errorCount : -1, aErrors);
        QCOMPARE(texts(messages).count(QStringLiteral("md5 sum for r.bin failed, invalidating "
                                                      "mirror and retrying")),
                 aErrors < 0 ? 1 : 0);
    }

    // Against a distant server, connections are reused rather than paid for per file: a run of
    // 2,000 files opens no more than one connection per stream.
    void connectionsAreReused() {
        Rig rig({QStringLiteral("mA")});
        for (int i = 0; i < 2000; ++i)
            rig.addFile(QStringLiteral("d%1/f%2.bin").arg(i % 10).arg(i), noise(50 + i % 300, i));
        rig.server.setKeepAlive(true);
        rig.server.setDelay(2);
        rig.config.downloadConcurrency = 6;
        rig.pool.mirrors.first().maxUses = 6;
        ListTask task(&rig.list, &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        task.execute();
        QTRY_VERIFY_WITH_TIMEOUT(task.state() != TaskSpecification::Running, 60000);
        QCOMPARE(task.state(), TaskSpecification::Finished);
        QCOMPARE(rig.server.totalRequests(), 2000);
        qInfo() << "connections:" << rig.server.connectionCount();
        QVERIFY2(rig.server.connectionCount() <= 6,
                 qPrintable(QString::number(rig.server.connectionCount())));
    }

    // A user cancel during a failing check ends the file task; it neither retries nor passes
    // the bad file on as finished.
    void userCancelDuringFailingCheck() {
        Rig rig({QStringLiteral("mA")});
        rig.addFile(QStringLiteral("u.bin"), noise(1000, 10));
        FaultRule corrupt;
        corrupt.corruptAt = 5;
        rig.server.setRule(Rig::path(QStringLiteral("mA"), QStringLiteral("u.bin")), corrupt);
        FileTask task(rig.list.first(), &rig.manager, &rig.pool, &rig.config, nullptr, 1.0);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        // Right after the download ends: start the check, then cancel before its result. A sum
        // taken while downloading is only compared, at once; without it the file is read on the
        // pool, and the cancel can come in between.
        connect(task.downloadTask, &TaskSpecification::finished, this, [&] {
            static_cast<CheckSignatureTaskSpecification*>(task.subTaskList()[1])
                ->computedMd5.clear();
            QCoreApplication::sendPostedEvents(&task, QEvent::MetaCall);
            QCOMPARE(task.subTaskList()[1]->state(), TaskSpecification::Running);
            task.userCanceled();
        });
        QTRY_COMPARE_WITH_TIMEOUT(canceled.count(), 1, 5000);
        QCOMPARE(task.state(), TaskSpecification::UserCanceled);
        QTest::qWait(100);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(rig.server.totalRequests(), 1);
        QCOMPARE(rig.pool.mirrors.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TstDownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
