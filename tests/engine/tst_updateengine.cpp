#include "config/configuration.h"
#include "engine/updateengine.h"
#include "engine/updateinidata.h"
#include "support/bannerpeer.h"
#include "support/faulthttpserver.h"
#include "support/treesnapshot.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeSettings(const QString& group, const QVariantMap& values) {
    QSettings settings(Configuration::getSettingsFilePath(), QSettings::IniFormat);
    settings.beginGroup(group);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
}

void touch(const QString& path, const QByteArray& content = "x") {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QStringList messagesOf(const QSignalSpy& spy) {
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace

// Every test gets a fresh installation directory and its own system temporary directory.
class TstUpdateEngine : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void proxy_data();
    void proxy();
    void initializeNeedsMirrorsIni();
    void recordedDirectory_data();
    void recordedDirectory();
    void recordOfOtherVersionIsWiped();
    void cleanupRemovesDirectoryAndRecord();
    void removeOldFilesTouchesOnlyPrefixedCopies();
    void sessionRecord();
    void bannerImageSizeCap_data();
    void bannerImageSizeCap();

private:
    std::unique_ptr<QTemporaryDir> install, tmp;
    std::unique_ptr<Configuration> configuration;
};

void TstUpdateEngine::init() {
    install = std::make_unique<QTemporaryDir>();
    tmp = std::make_unique<QTemporaryDir>();
    qputenv("TMPDIR", QFile::encodeName(tmp->path()));
    Configuration::setAppRootPath(install->path());
    configuration = std::make_unique<Configuration>();
    configuration->updateType = QStringLiteral("client_linux_amd64");
    configuration->clientVersion = 130;
}

void TstUpdateEngine::cleanup() {
    configuration.reset();
    Configuration::setAppRootPath({});
    install.reset();
    tmp.reset();
    qunsetenv("TMPDIR");
}

void TstUpdateEngine::proxy_data() {
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("fatal");
    QTest::newRow("none, not even the system's")
        << "" << int(QNetworkProxy::NoProxy) << "" << 0 << false;
    QTest::newRow("with port") << "http://proxy.example:8080" << int(QNetworkProxy::HttpProxy)
                               << "proxy.example" << 8080 << false;
    QTest::newRow("default port") << "http://proxy.example" << int(QNetworkProxy::HttpProxy)
                                  << "proxy.example" << 3128 << false;
    QTest::newRow("invalid") << "http://[::1" << int(QNetworkProxy::DefaultProxy) << "" << 0
                             << true;
}

void TstUpdateEngine::proxy() {
    QFETCH(QString, setting);
    writeSettings("update", {{"proxy", setting}});
    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy fatalErrors(&engine, &UpdateEngine::fatalError);
    const QNetworkProxy proxy = engine.findChild<QNetworkAccessManager*>()->proxy();
    QTEST(int(proxy.type()), "type");
    QTEST(proxy.hostName(), "host");
    QTEST(int(proxy.port()), "port");
    QFETCH(bool, fatal);
    // Reported after construction, when the window has connected to the engine.
    QCOMPARE(fatalErrors.size(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(fatalErrors.size(), fatal ? 1 : 0);
    if (fatal)
        QCOMPARE(fatalErrors.first().at(0).toString(),
                 QString("'http://[::1' is an invalid proxy specification"));
}

void TstUpdateEngine::initializeNeedsMirrorsIni() {
    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    QVERIFY(!engine.initialize());
    QCOMPARE(messagesOf(fatal), QStringList{"mirrors.ini is missing, cannot proceed."});
    QVERIFY(!engine.busy());
    QVERIFY(!QFile::exists(tmp->filePath("quillon_temp_0")));
}

void TstUpdateEngine::recordedDirectory_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("adopted");
    QTest::newRow("private directory") << "private" << true;
    QTest::newRow("symbolic link to a private directory") << "link" << false;
    QTest::newRow("group-writable directory") << "groupwritable" << false;
    QTest::newRow("directory of another owner") << "foreign" << false;
}

void TstUpdateEngine::recordedDirectory() {
    QFETCH(QString, kind);
    QFETCH(bool, adopted);
    touch(install->filePath("mirrors.ini"), "");
    QTemporaryDir elsewhere;
    const QString real = elsewhere.filePath("session");
    QVERIFY(QDir().mkdir(real));
    QVERIFY(::chmod(QFile::encodeName(real).constData(), 0700) == 0);
    touch(real + "/file.txt");
    QString recorded = real;
    if (kind == "link") {
        recorded = elsewhere.filePath("link");
        QVERIFY(QFile::link(real, recorded));
    } else if (kind == "groupwritable") {
        QVERIFY(::chmod(QFile::encodeName(real).constData(), 0770) == 0);
    } else if (kind == "foreign") {
        if (::geteuid() != 0)
            QSKIP("needs root to give the directory to another user");
        QVERIFY(::chown(QFile::encodeName(real).constData(), 65534, 65534) == 0);
    }
    UpdateIniData::modify(130, recorded, "client_linux_amd64");
    const TreeSnapshot before = snapshotTree(elsewhere.path());

    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(engine.state, int(UpdateEngine::EngineReady));
    if (adopted) {
        QCOMPARE(configuration->tempDir, recorded);
        QCOMPARE(messagesOf(messages), QStringList{"Previous update session for v. 130 found"});
    } else {
        QCOMPARE(configuration->tempDir, tmp->filePath("quillon_temp_0"));
        QVERIFY(messagesOf(messages).isEmpty());
        // Not ours to touch: left exactly as it was.
        QCOMPARE(snapshotTree(elsewhere.path()), before);
    }
    int version = 0;
    QString dir;
    QVERIFY(UpdateIniData::get(&version, nullptr, &dir));
    QCOMPARE(dir, configuration->tempDir);
}

void TstUpdateEngine::recordOfOtherVersionIsWiped() {
    touch(install->filePath("mirrors.ini"), "");
    const QString old = tmp->filePath("quillon_temp_0");
    QVERIFY(QDir().mkpath(old + "/client/sub"));
    QVERIFY(::chmod(QFile::encodeName(old).constData(), 0700) == 0);
    touch(old + "/.hidden");
    touch(old + "/client/sub/a.dll");
    UpdateIniData::modify(120, old, "client_linux_amd64");

    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(
        messagesOf(messages),
        (QStringList{QString("Cleanup previous session (v. 120, %1) files...").arg(old), "Ok"}));
    // The old directory went, so the first name is free again for the new run.
    QCOMPARE(configuration->tempDir, old);
    QVERIFY(QDir(old).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    int version = 0;
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 130);
}

void TstUpdateEngine::cleanupRemovesDirectoryAndRecord() {
    writeSettings("Channel", {{"beta", true}});
    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    engine.cleanup();
    const QStringList both{"Remove temporary files...", "Temporary files removed."};
    QCOMPARE(messagesOf(messages), both);

    QVERIFY(configuration->createTempDir());
    touch(configuration->tempDir + "/.partial");
    QVERIFY(QDir().mkpath(configuration->tempDir + "/client/deep"));
    UpdateIniData::modify(130, configuration->tempDir, "client_linux_amd64");
    messages.clear();
    engine.cleanup();
    QCOMPARE(messagesOf(messages), both);
    QVERIFY(!QFile::exists(configuration->tempDir));
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
    // The user's settings in the same file stay.
    QSettings settings(Configuration::getSettingsFilePath(), QSettings::IniFormat);
    QVERIFY(settings.value("Channel/beta").toBool());
    QVERIFY(!settings.childGroups().contains("current"));
}

void TstUpdateEngine::removeOldFilesTouchesOnlyPrefixedCopies() {
    const QDir dir(install->path());
    for (const char* name : {"libQtCore.so.4", "_old_libQtCore.so.4", "_old_update", "update",
                             "_old_other.so", "_old_libqjpeg.so.bak"})
        touch(dir.filePath(name));
    UpdateEngine::removeOldFiles(install->path());
    QStringList left = dir.entryList(QDir::Files);
    left.sort();
    QCOMPARE(left,
             (QStringList{"_old_libqjpeg.so.bak", "_old_other.so", "libQtCore.so.4", "update"}));
}

void TstUpdateEngine::sessionRecord() {
    QVERIFY(configuration->createTempDir());
    const QString dir = configuration->tempDir;
    UpdateIniData::modify(125, dir, "client_linux_amd64");
    int version = 1;
    QString type = "unchanged", gotDir;
    QVERIFY(UpdateIniData::get(&version, &type, &gotDir));
    QCOMPARE(version, 125);
    QCOMPARE(type, QString("client_linux_amd64"));
    QCOMPARE(gotDir, dir);

    // A version that is not a number, or a directory that went, makes the record absent and
    // leaves the outputs alone.
    writeSettings("current", {{"version", "abc"}});
    version = 7;
    QVERIFY(!UpdateIniData::get(&version, nullptr, &gotDir));
    QCOMPARE(version, 7);
    UpdateIniData::modify(125, dir, "client_linux_amd64");
    QVERIFY(QDir(dir).removeRecursively());
    QVERIFY(!UpdateIniData::get(&version, nullptr, nullptr));
}

void TstUpdateEngine::bannerImageSizeCap_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("kept");
    QTest::newRow("270000 announced") << 270000 << true << true;
    QTest::newRow("270001 announced") << 270001 << true << false;
    QTest::newRow("270000 unannounced") << 270000 << false << true;
    QTest::newRow("270001 unannounced") << 270001 << false << false;
}

void TstUpdateEngine::bannerImageSizeCap() {
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(bool, kept);
    FaultHttpServer http;
    QVERIFY(http.listen());
    FaultRule rule;
    rule.body = QByteArray(size, 'b');
    rule.sendContentLength = announced;
    http.setRule("/banner.png", rule);
    BannerPeer peer;
    peer.answer = (http.baseUrl() + "/banner.png,http://quillon.example/click").toLatin1();
    writeSettings("update", {{"server", "127.0.0.1"}, {"bannerPort", peer.port()}});

    UpdateEngine engine(*configuration, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    QTRY_COMPARE(http.requestCount("/banner.png"), 1);
    if (kept) {
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(found.first().at(0).toByteArray().size(), size);
        QCOMPARE(found.first().at(1).toString(), QString("http://quillon.example/click"));
    } else {
        QTRY_COMPARE(http.openResponses(), 0);
        QTest::qWait(200);
        QCOMPARE(found.size(), 0);
    }
}

QTEST_MAIN(TstUpdateEngine)
#include "tst_updateengine.moc"
