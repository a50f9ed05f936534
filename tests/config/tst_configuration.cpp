#include "config/configuration.h"
#include "config/installlayout.h"
#include "support/datagrampeer.h"
#include "support/files.h"
#include "support/treesnapshot.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray VersionRequest("3\0", 2);
const QByteArray NewsRequest("*\0", 2);

// Answers every failed version query with the next answer of the list (true: Retry; an empty list
// answers Abort) and counts the questions.
void answerQueries(Configuration& config, QList<bool> answers, int* asked,
                   std::function<void()> beforeAnswer = {}) {
    QObject::connect(&config, &Configuration::versionQueryFailed,
                     [answers, asked, beforeAnswer](bool* retry) mutable {
                         ++*asked;
                         if (beforeAnswer)
                             beforeAnswer();
                         *retry = !answers.isEmpty() && answers.takeFirst();
                     });
}

} // namespace

class TstConfiguration : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void commandLine_data();
    void commandLine();
    void retryAfterFailedQuery_data();
    void retryAfterFailedQuery();
    void abortEndsSilently();
    void streams_data();
    void streams();
    void serverSetting();
    void downgradeAllowed_data();
    void downgradeAllowed();
    void plantedNamesDoNotBlock();
    void tempDirModeIgnoresUmask();
    void tempDirFailures();
    void initalizeStartKeepsGivenDirectory();
    void privateDirectory();

private:
    void writeSettings(const QByteArray& extra);
    QTemporaryDir* install = nullptr;
    QTemporaryDir* tmp = nullptr;
    DatagramPeer* peer = nullptr;
};

void TstConfiguration::init() {
    install = new QTemporaryDir;
    tmp = new QTemporaryDir;
    QVERIFY(install->isValid() && tmp->isValid());
    InstallLayout::setAppRootPath(install->path());
    qputenv("TMPDIR", QFile::encodeName(tmp->path()));
    peer = new DatagramPeer;
}

void TstConfiguration::cleanup() {
    delete peer;
    peer = nullptr;
    InstallLayout::setAppRootPath(QString());
    qunsetenv("TMPDIR");
    delete install;
    delete tmp;
}

void TstConfiguration::writeSettings(const QByteArray& extra) {
    QVERIFY(writeFile(install->filePath("update.ini"),
                      extra + "\n[update]\nserver=127.0.0.1\nversionPort=" +
                          QByteArray::number(peer->port()) + "\n"));
}

void TstConfiguration::commandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QByteArray>("versions"); // null: the server does not answer
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("news");
    QTest::addColumn<int>("noUser");
    QTest::addColumn<QString>("fatal");
    QTest::addColumn<int>("queries");

    const QStringList prog{"update"};
    const QByteArray three("120#1.2.0,121#1.2.1,130#1.3.0");
    const QString def = "client_linux_amd64";
    const QByteArray alpha130("[Channel]\nalpha=http://alpha.example/\nalphaRevno=130\n");

    QTest::newRow("no args, stable")
        << prog << QByteArray() << three << true << 0 << def << 120 << "1.2.0"
        << "News!" << 0 << "" << 1;
    QTest::newRow("beta") << prog << QByteArray("[Channel]\nbeta=true\n") << three << true << 1
                          << def << 121 << "1.2.1"
                          << "News!" << 0 << "" << 1;
    QTest::newRow("alpha asks entry 2")
        << prog << QByteArray("[Channel]\nalpha=x\n") << three << true << 2 << def << 130 << "1.3.0"
        << "News!" << 0 << "" << 1;
    QTest::newRow("alpha wins over beta") << prog << QByteArray("[Channel]\nalpha=x\nbeta=true\n")
                                          << three << true << 2 << def << 130 << "1.3.0"
                                          << "News!" << 0 << "" << 1;
    QTest::newRow("alphaRevno, no query")
        << prog << alpha130 << three << true << 2 << def << 130 << ""
        << "" << 0 << "" << 0;
    QTest::newRow("alphaRevno ignores version args")
        << (prog + QStringList{"client_x", "abc"}) << alpha130 << three << true << 2 << "client_x"
        << 130 << ""
        << "" << 0 << "" << 0;
    QTest::newRow("alphaRevno with --nouser")
        << (prog + QStringList{"--nouser", "client_x", "abc"}) << alpha130 << three << true << 2
        << "client_x" << 130 << ""
        << "" << 1 << "" << 0;
    QTest::newRow("type and version") << (prog + QStringList{"client_x", "130"}) << QByteArray()
                                      << three << true << 0 << "client_x" << 130 << ""
                                      << "" << 0 << "" << 0;
    QTest::newRow("invalid version") << (prog + QStringList{"client_x", "abc"}) << QByteArray()
                                     << three << false << 0 << "client_x" << 0 << ""
                                     << "" << 0 << "Invalid version nr (abc)" << 0;
    QTest::newRow("version 0 stays unknown")
        << (prog + QStringList{"client_x", "0"}) << QByteArray() << three << true << 0 << "client_x"
        << 0 << ""
        << "" << 0 << "" << 0;
    QTest::newRow("--nouser alone") << (prog + QStringList{"--nouser"}) << QByteArray() << three
                                    << true << 0 << def << 120 << "1.2.0"
                                    << "News!" << 1 << "" << 1;
    QTest::newRow("--nouser, 3 args: arg 2 ignored")
        << (prog + QStringList{"--nouser", "client_x"}) << QByteArray() << three << true << 0 << def
        << 120 << "1.2.0"
        << "News!" << 1 << "" << 1;
    QTest::newRow("--nouser type version")
        << (prog + QStringList{"--nouser", "client_x", "130"}) << QByteArray() << three << true << 0
        << "client_x" << 130 << ""
        << "" << 1 << "" << 0;
    QTest::newRow("--nouser with name")
        << (prog + QStringList{"--nouser", "client_x", "130", "1.3.0 beta"}) << QByteArray()
        << three << true << 0 << "client_x" << 130 << "1.3.0 beta"
        << "" << 1 << "" << 0;
    QTest::newRow("--nouser # news")
        << (prog + QStringList{"--nouser", "client_x", "130", "#", "<b>hi</b>"}) << QByteArray()
        << three << true << 0 << "client_x" << 130 << ""
        << "<b>hi</b>" << 1 << "" << 0;
    QTest::newRow("--nouser extra args ignored")
        << (prog + QStringList{"--nouser", "client_x", "130", "n", "news", "more", "more"})
        << QByteArray() << three << true << 0 << "client_x" << 130 << "n"
        << "news" << 1 << "" << 0;
    QTest::newRow("--nouser version 0 asks server")
        << (prog + QStringList{"--nouser", "client_x", "0", "#", "mine"}) << QByteArray() << three
        << true << 0 << "client_x" << 120 << "1.2.0"
        << "News!" << 1 << "" << 1;
    QTest::newRow("--nouser invalid version")
        << (prog + QStringList{"--nouser", "client_x", "1.3"}) << QByteArray() << three << false
        << 0 << "client_x" << 0 << ""
        << "" << 0 << "Invalid version nr (1.3)" << 0;
    QTest::newRow("--NOUSER is a plain word") << (prog + QStringList{"--NOUSER"}) << QByteArray()
                                              << three << true << 0 << def << 120 << "1.2.0"
                                              << "News!" << 0 << "" << 1;
    QTest::newRow("4 words ignored") << (prog + QStringList{"a", "b", "130"}) << QByteArray()
                                     << three << true << 0 << def << 120 << "1.2.0"
                                     << "News!" << 0 << "" << 1;
    QTest::newRow("too few entries for alpha")
        << prog << QByteArray("[Channel]\nalpha=x\n") << QByteArray("120#1.2.0,121#1.2.1") << false
        << 2 << def << 0 << ""
        << "News!" << 0 << "" << 1;
    QTest::newRow("server sends bad number")
        << prog << QByteArray() << QByteArray("12x#1.2.0") << false << 0 << def << 0 << ""
        << "News!" << 0 << "Update server returned invalid version nr (12x)" << 1;
    for (const char* bad : {"-5", "0", " +130 "})
        QTest::newRow(qPrintable(QString("server sends '%1'").arg(bad)))
            << prog << QByteArray() << QByteArray(bad) + "#1.3.0" << false << 0 << def << 0 << ""
            << "News!" << 0 << QString("Update server returned invalid version nr (%1)").arg(bad)
            << 1;
    QTest::newRow("entry without name")
        << prog << QByteArray() << QByteArray("120") << true << 0 << def << 120 << ""
        << "News!" << 0 << "" << 1;
}

void TstConfiguration::commandLine() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, settings);
    QFETCH(QByteArray, versions);
    QFETCH(bool, result);
    QFETCH(int, channel);
    QFETCH(QString, type);
    QFETCH(int, version);
    QFETCH(QString, name);
    QFETCH(QString, news);
    QFETCH(int, noUser);
    QFETCH(QString, fatal);
    QFETCH(int, queries);

    writeSettings(settings);
    peer->setAnswer(VersionRequest, versions);
    peer->setAnswer(NewsRequest, "News!");
    peer->start();

    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QCOMPARE(config.parseCommandLineOptions(args), result);
    QCOMPARE(int(config.updateChannel), channel);
    QCOMPARE(config.updateType, type);
    QCOMPARE(config.clientVersion, version);
    QCOMPARE(config.clientVersionName, name);
    QCOMPARE(config.newsText, news);
    QCOMPARE(config.noUserMode, noUser);
    QCOMPARE(fatalSpy.size(), fatal.isEmpty() ? 0 : 1);
    if (!fatal.isEmpty())
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    QCOMPARE(peer->requestCount(VersionRequest), queries);
}

void TstConfiguration::retryAfterFailedQuery_data() {
    QTest::addColumn<bool>("listening");
    QTest::newRow("nobody listening") << false;
    QTest::newRow("empty answer") << true;
}

void TstConfiguration::retryAfterFailedQuery() {
    QFETCH(bool, listening);
    writeSettings("[Channel]\nbeta=true\n");
    peer->setAnswer(NewsRequest, "fresh news");
    if (listening) {
        peer->setAnswer(VersionRequest, "");
        peer->start();
    }

    Configuration config;
    config.versionQueryTimeoutMs = 500;
    // The first query fails at once and the question comes; the server has a real answer before
    // Retry is chosen.
    int asked = 0;
    answerQueries(config, {true}, &asked, [this, listening] {
        peer->setAnswer(VersionRequest, "120#1.2.0,121#1.2.1");
        if (!listening)
            peer->start();
    });
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QVERIFY(config.parseCommandLineOptions({"update", "--nouser"}));
    QCOMPARE(asked, 1);
    QCOMPARE(config.clientVersion, 121);
    QCOMPARE(config.clientVersionName, QString("1.2.1"));
    QCOMPARE(config.newsText, QString("fresh news"));
    QCOMPARE(config.noUserMode, 1);
    QCOMPARE(fatalSpy.size(), 0);
}

void TstConfiguration::abortEndsSilently() {
    // The server takes the version request but never sends the news: each attempt times out.
    writeSettings(QByteArray());
    peer->setAnswer(VersionRequest, "120#1.2.0");
    peer->start();
    Configuration config;
    config.versionQueryTimeoutMs = 200;
    int asked = 0;
    answerQueries(config, {true, false}, &asked);
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QVERIFY(!config.parseCommandLineOptions({"update", "--nouser"}));
    QCOMPARE(asked, 2);
    QCOMPARE(peer->requestCount(VersionRequest), 2);
    QCOMPARE(peer->requestCount(NewsRequest), 2);
    // A question left unanswered counts as Abort.
    QVERIFY(!config.parseCommandLineOptions({"update"}));
    QCOMPARE(asked, 3);
    QCOMPARE(peer->requestCount(VersionRequest), 3);
    QCOMPARE(config.clientVersion, 0);
    QCOMPARE(config.noUserMode, 0);
    QCOMPARE(fatalSpy.size(), 0);
}

void TstConfiguration::streams_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<int>("concurrency");
    QTest::addColumn<QString>("proxy");

    QTest::newRow("absent") << QByteArray() << 6 << "";
    QTest::newRow("0") << QByteArray("streams=0\n") << 6 << "";
    QTest::newRow("-3") << QByteArray("streams=-3\n") << 6 << "";
    QTest::newRow("abc") << QByteArray("streams=abc\n") << 6 << "";
    QTest::newRow("1") << QByteArray("streams=1\n") << 1 << "";
    QTest::newRow("50, proxy") << QByteArray("streams=50\nproxy=http://proxy:3128\n") << 50
                               << "http://proxy:3128";
}

void TstConfiguration::streams() {
    QFETCH(QByteArray, settings);
    QFETCH(int, concurrency);
    QFETCH(QString, proxy);

    QVERIFY(writeFile(install->filePath("update.ini"), "[update]\n" + settings));
    Configuration config;
    QCOMPARE(config.downloadConcurrency, concurrency);
    QCOMPARE(config.proxy, proxy);
}

void TstConfiguration::serverSetting() {
    const Configuration defaults;
    QCOMPARE(defaults.updateServer, QString("localhost"));
    QCOMPARE(defaults.versionQueryPort, quint16(17384));
    QCOMPARE(defaults.bannerQueryPort, quint16(2009));
    QVERIFY(
        writeFile(install->filePath("update.ini"),
                  "[update]\nserver=updates.example.org\nversionPort=4000\nbannerPort=70000\n"));
    const Configuration set;
    QCOMPARE(set.updateServer, QString("updates.example.org"));
    QCOMPARE(set.versionQueryPort, quint16(4000));
    // Out of range: the fixed port.
    QCOMPARE(set.bannerQueryPort, quint16(2009));
}

void TstConfiguration::downgradeAllowed_data() {
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("nothing set") << QByteArray() << false;
    QTest::newRow("allowDowngrade") << QByteArray("[update]\nallowDowngrade=true\n") << true;
    QTest::newRow("allowDowngrade=false")
        << QByteArray("[update]\nallowDowngrade=false\n") << false;
    QTest::newRow("alpha with alphaRevno")
        << QByteArray("[Channel]\nalpha=http://a/\nalphaRevno=120\n") << true;
    QTest::newRow("alpha asking the server") << QByteArray("[Channel]\nalpha=http://a/\n") << false;
    // Without an alpha address the channel is not alpha: its alphaRevno names no target.
    QTest::newRow("alphaRevno without alpha") << QByteArray("[Channel]\nalphaRevno=120\n") << false;
}

void TstConfiguration::downgradeAllowed() {
    QFETCH(QByteArray, settings);
    writeFile(install->filePath("update.ini"), settings);
    const Configuration config;
    QTEST(config.downgradeAllowed(), "allowed");
}

// Another user can take every predictable name beforehand; a random suffix cannot be taken.
void TstConfiguration::plantedNamesDoNotBlock() {
    QDir dir(tmp->path());
    for (int n = 0; n < 1000; ++n)
        QVERIFY(writeFile(dir.filePath(QString("quillon_temp_%1").arg(n)), QByteArray()));
    QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("quillon_temp_XXXXXX")));
    const TreeSnapshot before = snapshotTree(tmp->path());

    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QStringList made;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(config.createTempDir());
        const QFileInfo info(config.tempDir);
        QVERIFY2(
            QRegularExpression("^quillon_temp_[A-Za-z0-9]{6}$").match(info.fileName()).hasMatch(),
            qPrintable(config.tempDir));
        QCOMPARE(info.path(), tmp->path());
        QVERIFY(InstallLayout::isSessionDirectory(config.tempDir));
        made << info.fileName();
    }
    QVERIFY(made.at(0) != made.at(1));
    QCOMPARE(fatalSpy.size(), 0);
    // Nothing planted was followed or touched.
    for (const QString& name : made)
        QVERIFY(QDir(dir.filePath(name)).removeRecursively());
    QCOMPARE(snapshotTree(tmp->path()), before);
}

void TstConfiguration::tempDirModeIgnoresUmask() {
    for (const mode_t mask : {mode_t(0), mode_t(0277)}) {
        const mode_t old = ::umask(mask);
        Configuration config;
        const bool created = config.createTempDir();
        ::umask(old);
        QVERIFY(created);
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(config.tempDir), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
        QVERIFY(InstallLayout::isSessionDirectory(config.tempDir));
    }
}

void TstConfiguration::tempDirFailures() {
    // TMPDIR naming something below a plain file: no usable temporary directory at all.
    QVERIFY(writeFile(tmp->filePath("file"), "x"));
    qputenv("TMPDIR", QFile::encodeName(tmp->filePath("file") + "/sub"));
    Configuration config;
    QSignalSpy fatalSpy(&config, &Configuration::fatalError);
    QVERIFY(!config.createTempDir());

    // TMPDIR naming the plain file itself: nothing can be created in it.
    qputenv("TMPDIR", QFile::encodeName(tmp->filePath("file")));
    QVERIFY(!config.createTempDir());

    QCOMPARE(fatalSpy.size(), 2);
    QCOMPARE(fatalSpy.at(0).at(0).toString(), QString("Unable to get temp directory."));
    QCOMPARE(fatalSpy.at(1).at(0).toString(), QString("Unable to create temp directory."));
    QVERIFY(config.tempDir.isEmpty());
}

void TstConfiguration::initalizeStartKeepsGivenDirectory() {
    Configuration config;
    QVERIFY(config.initalizeStart("/some/earlier/dir"));
    QCOMPARE(config.tempDir, QString("/some/earlier/dir"));
    QVERIFY(!QFileInfo::exists("/some/earlier/dir"));
    QVERIFY(config.initalizeStart(QString()));
    QCOMPARE(QFileInfo(config.tempDir).path(), tmp->path());
    QVERIFY(InstallLayout::isSessionDirectory(config.tempDir));
}

void TstConfiguration::privateDirectory() {
    QDir dir(tmp->path());
    QVERIFY(dir.mkdir("private"));
    QVERIFY(QFile::setPermissions(dir.filePath("private"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(dir.mkdir("shared"));
    QVERIFY(::chmod(QFile::encodeName(dir.filePath("shared")), 0770) == 0);
    QVERIFY(dir.mkdir("open"));
    QVERIFY(::chmod(QFile::encodeName(dir.filePath("open")), 0703) == 0);
    QVERIFY(QFile::link(dir.filePath("private"), dir.filePath("link")));
    QVERIFY(writeFile(dir.filePath("file"), "x"));

    QVERIFY(InstallLayout::isPrivateDirectory(dir.filePath("private")));
    QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("shared")));
    QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("open")));
    QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("link")));
    QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("file")));
    QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("missing")));
    if (::geteuid() == 0) {
        QVERIFY(dir.mkdir("foreign"));
        QVERIFY(::chmod(QFile::encodeName(dir.filePath("foreign")), 0700) == 0);
        QVERIFY(::chown(QFile::encodeName(dir.filePath("foreign")), 65534, 65534) == 0);
        QVERIFY(!InstallLayout::isPrivateDirectory(dir.filePath("foreign")));
    }
}

QTEST_GUILESS_MAIN(TstConfiguration)
#include "tst_configuration.moc"
