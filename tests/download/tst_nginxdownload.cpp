#include "config/configuration.h"
#include "download/downloadfilelisttaskspecification.h"
#include "download/inidownloadtaskspecification.h"
#include "download/mirroraccessmanager.h"
#include "download/mirrors.h"
#include "support/downloadfixture.h"
#include "support/files.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/tasklog.h"

#include <QFile>

#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// A release made by quillon-publish, served by nginx from three server blocks, fetched and
// verified by the product ini download and the download list, as a run does.
class TstNginxDownload : public QObject {
    Q_OBJECT

private slots:
    void releaseFromThreeMirrors() {
        QTemporaryDir work;
        QVERIFY(work.isValid());
        const QString buildDir = work.filePath(QStringLiteral("build"));
        const QString mirrorRoot = work.filePath(QStringLiteral("mirror"));
        const QString tempDir = work.filePath(QStringLiteral("temp"));
        QVERIFY(QDir().mkpath(tempDir) && QDir().mkpath(work.filePath(QStringLiteral("nginx"))));

        // About 200 files, 6 MB; quillon-publish gzips what compresses, so add text files too.
        QVERIFY(writeSyntheticBuild(buildDir, 190, 6 * 1024 * 1024));
        QMap<QString, QByteArray> text;
        for (int i = 0; i < 10; ++i)
            text.insert(QStringLiteral("doc/page%1.txt").arg(i),
                        QByteArray("line of the manual\n").repeated(200 + i * 50));
        QVERIFY(writeTree(buildDir, text));
        const PublishResult release = makeRelease(buildDir, 7, mirrorRoot);
        QVERIFY2(release.ok, qPrintable(release.stdErr));

        NginxRunner nginx(work.filePath(QStringLiteral("nginx")));
        for (int i = 0; i < 3; ++i)
            nginx.addServer(mirrorRoot);
        QString why;
        QVERIFY2(nginx.start(&why), qPrintable(why));

        const QString mirrorsIni = work.filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(
            writeMirrorsIni(mirrorsIni, {nginx.baseUrl(0), nginx.baseUrl(1) + QStringLiteral("/"),
                                         nginx.baseUrl(2)}));
        Mirrors pool;
        QVERIFY(pool.initDefault(Settings::readMirrorsFile(mirrorsIni), 7));
        QCOMPARE(pool.mirrors.size(), 3);
        Configuration config;
        config.updateType = QStringLiteral("client_linux_amd64");
        config.tempDir = tempDir;
        config.downloadConcurrency = 6;
        MirrorAccessManager manager;

        IniDownloadTaskSpecification ini(&manager, &pool, &config, nullptr, 0.1);
        QSignalSpy iniMessages(&ini, &TaskSpecification::message);
        ini.execute();
        QTRY_VERIFY_WITH_TIMEOUT(ini.state() != TaskSpecification::Running, 20000);
        QVERIFY2(
            ini.state() == TaskSpecification::Finished,
            qPrintable(iniMessages.isEmpty() ? QString() : iniMessages.last().at(0).toString()));
        const QString productIni = tempDir + QStringLiteral("/client_linux_amd64.ini");
        QCOMPARE(readAll(productIni), readAll(release.productIni));

        QList<FileDownloadSpecification> list = downloadListFromIni(productIni);
        QCOMPARE(list.size(), 200);
        DownloadFileListTaskSpecification files(&list, &manager, &pool, &config, nullptr, 0.4);
        QSignalSpy messages(&files, &TaskSpecification::message);
        // The engine's once-a-second poll, as in a run.
        QTimer poll;
        quint64 lastTotal = 0;
        connect(&poll, &QTimer::timeout, this, [&] { lastTotal = tick(files).total; });
        poll.start(1000);
        files.execute();
        QTRY_VERIFY_WITH_TIMEOUT(files.state() != TaskSpecification::Running, 60000);
        poll.stop();
        QVERIFY2(files.state() == TaskSpecification::Finished,
                 qPrintable(messages.isEmpty() ? QString() : messages.last().at(0).toString()));

        quint64 listTotal = 0;
        for (const FileDownloadSpecification& entry : std::as_const(list)) {
            const QString local = tempDir + QLatin1Char('/') + entry.fileName;
            const QByteArray data = readAll(local);
            QCOMPARE(md5(data), entry.md5.toLower());
            QCOMPARE(data, readAll(release.releaseDir + QLatin1Char('/') + entry.section +
                                   QLatin1Char('/') + entry.fileName));
            listTotal += entry.size;
        }
        QVERIFY(lastTotal == 0 || lastTotal == listTotal);

        // Nothing failed, so nothing was asked for twice; every mirror did some of the work.
        const QList<NginxRunner::AccessEntry> log = nginx.accessLog();
        QCOMPARE(log.size(), list.size() + 2);
        QSet<QString> paths;
        QSet<quint16> ports;
        for (const NginxRunner::AccessEntry& e : log) {
            QCOMPARE(e.status, 200);
            QVERIFY2(!paths.contains(e.path), qPrintable(e.path));
            paths.insert(e.path);
            ports.insert(e.port);
        }
        QCOMPARE(ports.size(), 3);
        for (const FTPSiteAccessData& m : std::as_const(pool.mirrors)) {
            QCOMPARE(m.errorCount, 0);
            QCOMPARE(m.useCount, 0);
        }
        nginx.stop();
        QVERIFY(!nginx.isRunning());
    }
};

QTEST_GUILESS_MAIN(TstNginxDownload)
#include "tst_nginxdownload.moc"
