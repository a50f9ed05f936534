// The real `update` program, end to end: a temporary installation of 120, release 130 on nginx
// mirrors, and the binary from build/bin copied into the installation.
#include "support/faulthttpserver.h"
#include "support/files.h"
#include "support/nginxrunner.h"
#include "support/samplesite.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"
#include "support/xvfbrunner.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

namespace {

// The installation has no moved-aside copies left and no longer holds the deleted file: step 5
// is done and the run is about to report success.
bool runLooksFinished(const QString& installDir) {
    if (QFile::exists(installDir + QStringLiteral("/share/legacy.txt")))
        return false;
    const TreeSnapshot tree = snapshotTree(installDir);
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        if (it.key().section(QLatin1Char('/'), -1).startsWith(u"_old_"))
            return false;
    return QFile::exists(installDir + QStringLiteral("/docs/manual.txt"));
}

} // namespace

class TstUpdateProgram : public QObject {
    Q_OBJECT

private:
    QTemporaryDir work;
    SampleSite::Site site;

private slots:
    void initTestCase() {
        QVERIFY(work.isValid());
        QVERIFY(SampleSite::make(work.path(), &site));
    }

    void unattendedUpdateAndSecondInstance() {
        QTemporaryDir nginxPrefix;
        NginxRunner nginx(nginxPrefix.path());
        nginx.addServer(site.mirrorRoot);
        nginx.addServer(site.mirrorRoot);
        QString error;
        QVERIFY2(nginx.start(&error), qPrintable(error));

        QTemporaryDir place;
        const QString installDir = place.filePath(QStringLiteral("Quillon 3"));
        // No update server: the banner query goes to a port nobody answers on.
        QVERIFY(SampleSite::install(site, installDir, {nginx.baseUrl(0), nginx.baseUrl(1)},
                                    {{QStringLiteral("update/server"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("update/bannerPort"), QStringLiteral("9")}}));

        // The instance's socket goes to TMPDIR, so a private one shows when it listens.
        QTemporaryDir tmp;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        QProcess update;
        update.setProcessEnvironment(env);
        update.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The first instance removes the copies an earlier run set aside once it is the single
        // instance; this one shows when it has.
        const QString leftover =
            installDir + QStringLiteral("/accessible/_old_libqtaccessiblewidgets.so");
        QVERIFY(QDir().mkpath(QFileInfo(leftover).path()));
        {
            QFile file(leftover);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QElapsedTimer clock;
        clock.start();
        update.start(installDir + QStringLiteral("/update"),
                     {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                      QStringLiteral("130")});
        QVERIFY(update.waitForStarted());

        // Meanwhile a second start only activates the first one and ends at once. It leaves the
        // copies set aside in the installation and two plug-in directories alone: they belong to
        // the running instance, which may need them for a rollback.
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(tmp.path())
                                      .entryList({QStringLiteral("QLNClientUpdate*")}, QDir::System)
                                      .isEmpty(),
                                 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(leftover), 10000);
        const QStringList setAside = {QStringLiteral("_old_update"),
                                      QStringLiteral("imageformats/_old_libqjpeg.so"),
                                      QStringLiteral("accessible/_old_libqtaccessiblewidgets.so")};
        const QString unrelated = installDir + QStringLiteral("/imageformats/_old_notes.txt");
        for (const QString& name :
             setAside + QStringList{QStringLiteral("imageformats/_old_notes.txt")}) {
            QVERIFY(QDir().mkpath(QFileInfo(installDir + QLatin1Char('/') + name).path()));
            QFile file(installDir + QLatin1Char('/') + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QProcess second;
        second.setProcessEnvironment(env);
        QElapsedTimer secondClock;
        secondClock.start();
        second.start(installDir + QStringLiteral("/update"));
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(secondClock.elapsed() < 3000, qPrintable(QString::number(secondClock.elapsed())));
        for (const QString& name : setAside)
            QVERIFY2(QFile::remove(installDir + QLatin1Char('/') + name), qPrintable(name));
        QVERIFY(QFile::remove(unrelated));
        QVERIFY(QDir(installDir).rmdir(QStringLiteral("imageformats")));
        QVERIFY(QDir(installDir).rmdir(QStringLiteral("accessible")));

        // The update starts by itself about two seconds after start-up.
        while (nginx.accessLog().isEmpty() && clock.elapsed() < 10000)
            QTest::qWait(20);
        QVERIFY(!nginx.accessLog().isEmpty());
        QVERIFY2(clock.elapsed() >= 1800, qPrintable(QString::number(clock.elapsed())));

        QVERIFY(update.waitForFinished(60000));
        QCOMPARE(update.exitStatus(), QProcess::NormalExit);
        QCOMPARE(update.exitCode(), 0);

        const TreeSnapshot expected = SampleSite::clientFiles(site.build130);
        const TreeSnapshot actual = SampleSite::clientFiles(installDir);
        QVERIFY2(actual == expected, qPrintable(describeDifference(expected, actual)));
        QVERIFY(QFileInfo(installDir + QStringLiteral("/qlnclient_runscript.sh")).isExecutable());
        // The client is started a second after success, detached.
        QTRY_COMPARE_WITH_TIMEOUT(readAll(SampleSite::clientLogPath(installDir)),
                                  QByteArray("Quillon client 130 started\n"), 5000);
        // The run's record is gone from update.ini.
        QSettings ini(installDir + QStringLiteral("/update.ini"), QSettings::IniFormat);
        QVERIFY(!ini.childGroups().contains(QStringLiteral("current")));
    }

    void everyTextHasAGermanTranslation() {
        QTranslator translator;
        QVERIFY(translator.load(binPath(QStringLiteral("translations/update_de.qm"))));
        QFile ts(sourcePath(QStringLiteral("src/ui/translations/update_de.ts")));
        QVERIFY(ts.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&ts);
        QString context;
        int count = 0;
        while (!xml.atEnd()) {
            xml.readNext();
            if (!xml.isStartElement())
                continue;
            if (xml.name() == u"name") {
                context = xml.readElementText();
            } else if (xml.name() == u"source") {
                const QString source = xml.readElementText();
                const QString german =
                    translator.translate(context.toUtf8().constData(), source.toUtf8().constData());
                QVERIFY2(!german.isEmpty(), qPrintable(context + QStringLiteral(": ") + source));
                ++count;
            }
        }
        QVERIFY(!xml.hasError());
        QVERIFY(count >= 25);
        QCOMPARE(translator.translate("MainWindow", "Start Update"),
                 QStringLiteral("Aktualisierung starten"));
    }

    // Pictures of the real window for a person to look at (build/screenshots/): during a run and
    // after success, in English and in German.
    void screenshots_data() {
        QTest::addColumn<QString>("locale");
        QTest::newRow("en") << QStringLiteral("en_US.UTF-8");
        QTest::newRow("de") << QStringLiteral("de_DE.UTF-8");
    }
    void screenshots() {
        QFETCH(QString, locale);
        XvfbRunner xvfb;
        QString error;
        if (!xvfb.start(800, 600, &error))
            QSKIP(qPrintable(error));

        // The mirror drips the large library, so the run lasts a few seconds.
        FaultHttpServer mirror(site.mirrorRoot);
        QVERIFY(mirror.listen());
        const QString slowPath = SampleSite::dripLargeFile(mirror, 16000);

        // The update server answers the banner query with an image on the same mirror.
        QVERIFY(QDir().mkpath(site.mirrorRoot + QStringLiteral("/banner")));
        QFile::remove(site.mirrorRoot + QStringLiteral("/banner/banner.png"));
        QVERIFY(QFile::copy(sourcePath(QStringLiteral("scripts/demo-data/banner.png")),
                            site.mirrorRoot + QStringLiteral("/banner/banner.png")));
        const QString serverIni = work.filePath(QStringLiteral("update-server.ini"));
        QFile ini(serverIni);
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(QStringLiteral("[server]\naddress = 127.0.0.1\nversionPort = 0\nbannerPort = 0\n"
                                 "[stable]\nversion = 130\nname = 1.3.0\n"
                                 "[news]\ntext = <b>Quillon 1.3.0</b> is out: faster sync. "
                                 "<a href=\"https://quillon.example/news\">Read more</a>\n"
                                 "[banner]\nimage = %1/banner/banner.png\n"
                                 "click = https://quillon.example/whatsnew\n")
                      .arg(mirror.baseUrl())
                      .toUtf8());
        ini.close();
        QProcess server;
        server.start(binPath(QStringLiteral("quillon-update-server")), {serverIni});
        QVERIFY(server.waitForStarted());
        QRegularExpressionMatch ports;
        QString serverOut;
        for (int i = 0; i < 100 && !ports.hasMatch(); ++i) {
            server.waitForReadyRead(100);
            serverOut += QString::fromUtf8(server.readAllStandardError());
            ports = QRegularExpression(QStringLiteral(":(\\d+) \\(version query\\).*:(\\d+) "
                                                      "\\(banner query\\)"))
                        .match(serverOut);
        }
        QVERIFY2(ports.hasMatch(), qPrintable(serverOut));

        QTemporaryDir place;
        const QString installDir = place.filePath(QStringLiteral("quillon"));
        QVERIFY(SampleSite::install(site, installDir, {mirror.baseUrl()},
                                    {{QStringLiteral("update/server"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("update/versionPort"), ports.captured(1)},
                                     {QStringLiteral("update/bannerPort"), ports.captured(2)}}));

        const QString shots = binPath(QStringLiteral("../screenshots"));
        QVERIFY(QDir().mkpath(shots));
        const QString tag = QString::fromLatin1(QTest::currentDataTag());

        QProcess update;
        QProcessEnvironment env = xvfb.environment();
        env.insert(QStringLiteral("LC_ALL"), locale);
        env.insert(QStringLiteral("LANG"), locale);
        env.remove(QStringLiteral("LANGUAGE"));
        update.setProcessEnvironment(env);
        update.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Unattended, asking the update server for the version, its name and the news.
        update.start(installDir + QStringLiteral("/update"), {QStringLiteral("--nouser")});
        QVERIFY(update.waitForStarted());

        QTRY_VERIFY_WITH_TIMEOUT(mirror.requestCount(slowPath) > 0, 15000);
        QTest::qWait(800);
        QVERIFY(xvfb.grab(shots + QStringLiteral("/update-running-%1.png").arg(tag)));

        // Success shows for a second before the client starts and the window closes.
        QTRY_VERIFY_WITH_TIMEOUT(runLooksFinished(installDir), 30000);
        QTest::qWait(300);
        QVERIFY(xvfb.grab(shots + QStringLiteral("/update-done-%1.png").arg(tag)));

        QTRY_VERIFY_WITH_TIMEOUT(update.state() == QProcess::NotRunning, 15000);
        QCOMPARE(update.exitCode(), 0);
        server.terminate();
        QVERIFY(server.waitForFinished(5000));
        qInfo("screenshots in %s", qPrintable(QDir::cleanPath(shots)));
    }
};

QTEST_GUILESS_MAIN(TstUpdateProgram)
#include "tst_updateprogram.moc"
