#include "net/updatechecker.h"
#include "support/files.h"
#include "support/testpaths.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

using Pairs = QList<QPair<QString, QString>>;

namespace {

const QByteArray ThreeChannels = "[stable]\nversion = 120\nname = 1.2.0\n"
                                 "[beta]\nversion = 121\nname = 1.2.1\n"
                                 "[alpha]\nversion = 130\nname = 1.3.0\n";

// quillon-update-server as a child process on free loopback ports.
class ServerProcess {
public:
    ~ServerProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool start(const QString& config, const QStringList& extra = {}) {
        process.start(binPath("quillon-update-server"),
                      QStringList{"--version-port", "0", "--banner-port", "0"} + extra +
                          QStringList{config});
        static const QRegularExpression listening(
            "listening on [0-9.]+:(\\d+) \\(version query\\) and [0-9.]+:(\\d+)");
        if (!waitForLog("listening on"))
            return false;
        const auto match = listening.match(log);
        versionPort = quint16(match.captured(1).toUInt());
        bannerPort = quint16(match.captured(2).toUInt());
        return versionPort != 0 && bannerPort != 0;
    }
    // Waits until the log holds text count times.
    bool waitForLog(const QString& text, int count = 1) {
        QDeadlineTimer deadline(10000);
        while (log.count(text) < count) {
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(100);
            log += QString::fromUtf8(process.readAllStandardError());
        }
        return true;
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }

    QProcess process;
    QString log;
    quint16 versionPort = 0;
    quint16 bannerPort = 0;
};

// The banner query as the updater sends it; the answer, or a null array after the time-out.
QByteArray askBanner(quint16 port, const QByteArray& request = QByteArray("\x01\x01"),
                     int timeoutMs = 2000) {
    QUdpSocket socket;
    if (!socket.bind(QHostAddress::LocalHost, 0))
        return QByteArray();
    socket.writeDatagram(request, QHostAddress::LocalHost, port);
    if (!socket.waitForReadyRead(timeoutMs))
        return QByteArray();
    return socket.receiveDatagram(1024).data();
}

} // namespace

class TstUpdateServer : public QObject {
    Q_OBJECT

private slots:
    void helpExampleAnswersTheUpdater();
    void limitsAndEncoding();
    void reloadOnSighup();
    void badConfigurations_data();
    void badConfigurations();
    void portInUse();

private:
    QTemporaryDir dir;
};

void TstUpdateServer::helpExampleAnswersTheUpdater() {
    QProcess help;
    help.start(binPath("quillon-update-server"), {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    const qsizetype begin = text.indexOf("\nExample:\n");
    const qsizetype end = text.indexOf("\nExit codes:");
    QVERIFY(begin > 0 && end > begin);
    QString example;
    for (const QString& line : text.mid(begin + 10, end - begin - 10).split('\n'))
        example += line.mid(4) + '\n';
    QVERIFY(writeFile(dir.filePath("example.ini"), example.toUtf8()));

    ServerProcess server;
    QVERIFY2(server.start(dir.filePath("example.ini")), qPrintable(server.log));
    UpdateChecker checker("127.0.0.1", server.versionPort, 3000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions,
             (Pairs{{"120", "1.2.0"}, {"121", "1.2.1"}, {"130", "1.3.0"}}));
    QVERIFY(checker.newsText.contains("<!--URL=https://quillon.example/news-->"));
    QCOMPARE(askBanner(server.bannerPort),
             QByteArray("https://quillon.example/banner/130.png,https://quillon.example/whatsnew"));

    // Anything but the exact requests goes unanswered: the banner request on the version port,
    // "3" without its zero byte, a version request on the banner port.
    QVERIFY(askBanner(server.versionPort, "\x01\x01", 300).isNull());
    QVERIFY(askBanner(server.versionPort, "3", 300).isNull());
    QVERIFY(askBanner(server.bannerPort, QByteArray("3\0", 2), 300).isNull());
    QVERIFY(server.waitForLog("ignored", 3));

    // One line per request: time, peer, kind.
    static const QRegularExpression line(
        "^\\d{4}-\\d\\d-\\d\\dT[0-9:.]+Z 127\\.0\\.0\\.1:\\d+ (versions|news|banner)$",
        QRegularExpression::MultilineOption);
    QCOMPARE(server.log.count(line), 3);

    server.signal(SIGTERM);
    QVERIFY(server.process.waitForFinished(5000));
    QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.process.exitCode(), 0);
}

void TstUpdateServer::limitsAndEncoding() {
    // A version list of exactly 511 bytes and a news text of exactly 4095 bytes, whose last
    // character goes out as a character reference.
    const QByteArray name(511 - 4, 'n');
    const QByteArray news = QByteArray(4095 - 7, 'a') + "\xe2\x82\xac"; // ... + "&#8364;"
    QVERIFY(writeFile(dir.filePath("news.html"), news + "\n"));
    QVERIFY(writeFile(dir.filePath("limits.ini"),
                      "[stable]\nversion=120\nname=" + name + "\n[news]\nfile = news.html\n"));

    ServerProcess server;
    QVERIFY2(server.start(dir.filePath("limits.ini")), qPrintable(server.log));
    UpdateChecker checker("127.0.0.1", server.versionPort, 3000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"120", QString::fromLatin1(name)}}));
    QCOMPARE(checker.newsText.size(), 4095);
    QVERIFY(checker.newsText.endsWith("a&#8364;"));

    // No banner configured: the banner query gets no answer.
    QVERIFY(askBanner(server.bannerPort, "\x01\x01", 300).isNull());
    QVERIFY(server.waitForLog("none configured"));
    server.signal(SIGINT);
    QVERIFY(server.process.waitForFinished(5000));
    QCOMPARE(server.process.exitCode(), 0);
}

void TstUpdateServer::reloadOnSighup() {
    const QString config = dir.filePath("reload.ini");
    QVERIFY(writeFile(config, "[stable]\nversion = 120\nname = old\n[news]\ntext = old news\n"));
    ServerProcess server;
    QVERIFY2(server.start(config), qPrintable(server.log));
    UpdateChecker checker("127.0.0.1", server.versionPort, 3000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"120", "old"}}));

    QVERIFY(writeFile(dir.filePath("reload-news.html"), "new <i>news</i>\n"));
    QVERIFY(writeFile(config, "[stable]\nversion = 121\nname = new\n[beta]\nversion = 122\n"
                              "[news]\nfile = reload-news.html\n"
                              "[banner]\nimage = http://127.0.0.1/b.png\n"));
    server.signal(SIGHUP);
    QVERIFY(server.waitForLog("configuration reloaded"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"121", "new"}, {"122", ""}}));
    QCOMPARE(checker.newsText, QString("new <i>news</i>"));
    QCOMPARE(askBanner(server.bannerPort), QByteArray("http://127.0.0.1/b.png,"));

    // A broken file is reported and the running configuration stays.
    QVERIFY(writeFile(config, "[stable]\nversion = 1.2.3\n"));
    server.signal(SIGHUP);
    QVERIFY(server.waitForLog("reload failed"));
    QVERIFY(server.log.contains("\"1.2.3\" is not a decimal version number"));
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.channelVersions, (Pairs{{"121", "new"}, {"122", ""}}));
    QVERIFY(server.process.state() == QProcess::Running);
}

void TstUpdateServer::badConfigurations_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    QTest::newRow("version not decimal")
        << QByteArray("[stable]\nversion = 1.3\n") << "version \"1.3\" is not a decimal";
    QTest::newRow("version 0") << QByteArray("[stable]\nversion = 0\n")
                               << "version \"0\" is not a decimal";
    QTest::newRow("version signed")
        << QByteArray("[stable]\nversion = +5\n") << "version \"+5\" is not a decimal";
    QTest::newRow("version too large")
        << QByteArray("[stable]\nversion = 2147483648\n") << "is not a decimal";
    QTest::newRow("version missing")
        << QByteArray("[stable]\nname = x\n") << "version \"\" is not a decimal";
    QTest::newRow("no channel") << QByteArray("[news]\ntext = hi\n") << "no channel";
    QTest::newRow("alpha without beta")
        << QByteArray("[stable]\nversion = 1\n[alpha]\nversion = 3\n")
        << "[alpha] is given but [beta] is not";
    QTest::newRow("comma in name")
        << QByteArray("[stable]\nversion = 1\nname = 1,2\n") << "must not contain \",\"";
    QTest::newRow("version list 512 bytes")
        << "[stable]\nversion = 120\nname = " + QByteArray(508, 'n') + "\n"
        << "the version list is 512 bytes; the updater reads at most 511";
    QTest::newRow("news 4096 bytes")
        << ThreeChannels + "[news]\ntext = " + QByteArray(4096, 'a') + "\n"
        << "[news] is 4096 bytes; the updater reads at most 4095";
    QTest::newRow("news grows past the limit when encoded")
        << ThreeChannels + "[news]\ntext = " + QByteArray(4090, 'a') + "\xe2\x82\xac\n"
        << "[news] is 4097 bytes";
    QTest::newRow("news text and file") << ThreeChannels + "[news]\ntext = a\nfile = b\n"
                                        << "either text or file";
    QTest::newRow("news file missing") << ThreeChannels + "[news]\nfile = missing.html\n"
                                       << "missing.html";
    QTest::newRow("banner click without image") << ThreeChannels + "[banner]\nclick = http://x/\n"
                                                << "is not an http or https URL";
    QTest::newRow("banner comma") << ThreeChannels + "[banner]\nimage = http://x/a,b.png\n"
                                  << "must not contain \",\"";
    QTest::newRow("unknown key") << ThreeChannels + "[server]\nport = 1\n"
                                 << "unknown key \"port\" in [server]";
    QTest::newRow("unknown section") << ThreeChannels + "[gamma]\nversion = 1\n"
                                     << "unknown section [gamma]";
    QTest::newRow("key twice") << QByteArray("[stable]\nversion = 1\nversion = 2\n")
                               << "given twice";
    QTest::newRow("IPv6 address") << ThreeChannels + "[server]\naddress = ::1\n"
                                  << "is not an IPv4 address";
    QTest::newRow("bad port") << ThreeChannels + "[server]\nversionPort = 70000\n"
                              << "is not a port number";
    QTest::newRow("no key") << QByteArray("[stable]\nversion\n") << "expected \"key = value\"";
}

void TstUpdateServer::badConfigurations() {
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    const QString config = dir.filePath("bad.ini");
    QVERIFY(writeFile(config, content));
    QProcess process;
    process.start(binPath("quillon-update-server"),
                  {"--version-port", "0", "--banner-port", "0", config});
    QVERIFY(process.waitForFinished(10000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 2);
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY2(err.contains(config), qPrintable(err));
}

void TstUpdateServer::portInUse() {
    QUdpSocket taken;
    QVERIFY(taken.bind(QHostAddress::LocalHost, 0));
    QVERIFY(writeFile(dir.filePath("port.ini"), ThreeChannels));
    QProcess process;
    process.start(binPath("quillon-update-server"),
                  {"--version-port", QString::number(taken.localPort()), "--banner-port", "0",
                   dir.filePath("port.ini")});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("cannot listen on 127.0.0.1:"));
}

QTEST_GUILESS_MAIN(TstUpdateServer)
#include "tst_updateserver.moc"
