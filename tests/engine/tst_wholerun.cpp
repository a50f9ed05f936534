// Whole update runs of the real updater (the headless runner) against real nginx mirrors, with
// releases made by quillon-publish.
#include "support/authproxy.h"
#include "support/downloadfixture.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"

#include <QDirIterator>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/stat.h>

namespace {

struct FileContent {
    QByteArray data;
    int mode = 0644;
};
using Tree = QMap<QString, FileContent>;

QByteArray filler(const QByteArray& seed, int size) {
    QByteArray out;
    for (int i = 0; out.size() < size; ++i)
        out += seed + ' ' + QByteArray::number(i) + " lorem ipsum dolor sit amet\n";
    out.truncate(size);
    return out;
}

// Version 120 and 130 of a small client: unchanged and changed files, a start script, a special
// file the running updater holds open, a plug-in, gzip-sized files, a file that goes and a new
// sub-directory that comes.
Tree clientTree(int version) {
    const QByteArray v = QByteArray::number(version);
    Tree tree;
    for (int i = 0; i < 20; ++i)
        tree.insert(QString("data/f%1.txt").arg(i, 2, 10, QChar('0')),
                    {"same " + QByteArray::number(i)});
    for (int i = 20; i < 32; ++i)
        tree.insert(QString("data/f%1.txt").arg(i),
                    {filler("v" + v + " f" + QByteArray::number(i), 20000)});
    tree.insert("qlnclient_runscript.sh",
                {"#!/bin/sh\necho " + v + " > \"$(dirname \"$0\")/started.txt\"\n", 0755});
    tree.insert("libQtCore.so.4", {filler("core " + v, 3000), 0755});
    tree.insert("plugins/x.so", {filler("plugin " + v, 3000), 0755});
    tree.insert("big.dat", {filler("big " + v, 400000)});
    if (version == 120)
        tree.insert("data/old.txt", {"obsolete"});
    else {
        // Does not compress: large on the wire whether gzipped or not.
        QByteArray clip(160000, Qt::Uninitialized);
        quint32 x = 12345;
        for (char& c : clip)
            c = char((x = x * 1103515245u + 12345u) >> 24);
        tree.insert("media/clip.bin", {clip});
        tree.insert("sub/new/deep.txt", {"new in " + v});
        tree.insert("sub/new/big2.dat", {filler("big2 " + v, 300000)});
    }
    return tree;
}

void writeClient(const QString& root, const Tree& tree) {
    QMap<QString, QByteArray> contents;
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        contents.insert(it.key(), it->data);
    QVERIFY(writeTree(root, contents));
    for (auto it = tree.cbegin(); it != tree.cend(); ++it)
        QVERIFY(::chmod(QFile::encodeName(root + "/" + it.key()).constData(), it->mode) == 0);
}

// What a run printed and how it ended.
struct RunResult {
    int exitCode = -1;
    bool killed = false;
    QStringList lines;
};

} // namespace

class TstWholeRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void updatesToTheRelease();
    void interruptedRunResumes();
    void killedRunResumesWithARange();
    void privateAuthority_data();
    void privateAuthority();
    void proxyCredentials_data();
    void proxyCredentials();
    void runToAnotherVersionWipesTheOldSession();
    void failureDuringReplacementRollsBack_data();
    void failureDuringReplacementRollsBack();
    void allMirrorsBad();
    void crashSafety();

private:
    // A fresh installation of version 120 with its settings.
    void makeInstallation(const QStringList& mirrorUrls, int streams = 6);
    // Runs the updater to the given version; onLine may return true to stop the run, with
    // SIGTERM (the user's cancel) or, when kill is set, SIGKILL.
    RunResult runUpdater(int version, const std::function<bool(const QString&)>& onLine = {},
                         bool kill = false);
    TreeSnapshot installed() const;
    QStringList tempDirs() const;
    QList<NginxRunner::AccessEntry> requestsSince(qsizetype from) const;

    QTemporaryDir work;
    QString builds, mirror, install, tmp;
    std::unique_ptr<NginxRunner> nginx;
    TreeSnapshot target, original;
};

void TstWholeRun::initTestCase() {
    ::umask(022);
    builds = work.filePath("builds");
    mirror = work.filePath("mirror");
    for (int version : {120, 130}) {
        const QString build = builds + "/" + QString::number(version);
        writeClient(build, clientTree(version));
        PublishOptions options;
        options.gzipMinSize = 100000;
        if (version == 130)
            options.previous = mirror + "/120/client_linux_amd64.ini";
        const PublishResult published = makeRelease(build, version, mirror, options);
        QVERIFY2(published.ok, qPrintable(published.stdErr));
    }
    target = snapshotTree(builds + "/130");
    original = snapshotTree(builds + "/120");
    QVERIFY(QFile::exists(mirror + "/130/client/big.dat.gz"));
}

void TstWholeRun::init() {
    install = work.filePath("install");
    tmp = work.filePath("tmp");
    QDir(install).removeRecursively();
    QDir(tmp).removeRecursively();
    QVERIFY(QDir().mkpath(tmp));
    nginx = std::make_unique<NginxRunner>(work.filePath("nginx"));
    QDir(work.filePath("nginx")).removeRecursively();
    QVERIFY(QDir().mkpath(work.filePath("nginx")));
}

void TstWholeRun::cleanup() {
    nginx.reset();
}

void TstWholeRun::makeInstallation(const QStringList& mirrorUrls, int streams) {
    writeClient(install, clientTree(120));
    QVERIFY(writeMirrorsIni(install + "/mirrors.ini", mirrorUrls));
    QSettings settings(install + "/update.ini", QSettings::IniFormat);
    settings.setValue("update/streams", streams);
}

RunResult TstWholeRun::runUpdater(int version, const std::function<bool(const QString&)>& onLine,
                                  bool kill) {
    RunResult result;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp);
    p.setProcessEnvironment(env);
    p.start(binPath("update-headless"),
            {install, "--nouser", "client_linux_amd64", QString::number(version)});
    if (!p.waitForStarted())
        return result;
    bool stopped = false;
    while (p.state() != QProcess::NotRunning || p.canReadLine()) {
        if (!p.canReadLine()) {
            p.waitForReadyRead(100);
            continue;
        }
        const QString line = QString::fromUtf8(p.readLine()).chopped(1);
        result.lines << line;
        if (!stopped && onLine && onLine(line)) {
            stopped = true;
            if (kill)
                p.kill();
            else
                p.terminate();
        }
    }
    result.killed = p.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.killed ? -1 : p.exitCode();
    return result;
}

TreeSnapshot TstWholeRun::installed() const {
    TreeSnapshot tree = snapshotTree(install);
    // The installation's own settings, and the start script's trace.
    for (const char* local : {"update.ini", "mirrors.ini", "started.txt"})
        tree.remove(local);
    return tree;
}

QStringList TstWholeRun::tempDirs() const {
    // Qt may put its own runtime directory there as well.
    return QDir(tmp).entryList({"quillon_temp_*"}, QDir::AllEntries | QDir::NoDotAndDotDot);
}

QList<NginxRunner::AccessEntry> TstWholeRun::requestsSince(qsizetype from) const {
    return nginx->accessLog().mid(from);
}

void TstWholeRun::updatesToTheRelease() {
    nginx->addServer(mirror);
    nginx->addServer(mirror);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0), nginx->baseUrl(1) + "/"});

    const RunResult run = runUpdater(130);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.lines.first(), QString("Starting update process"));
    QCOMPARE(run.lines.last(), QString("Update successfully finished"));
    // In order: download, lists, files, replacement, deletion, cleanup.
    QStringList milestones{"Download / check product ini", "Downloading files",
                           "Starting file updates",        "Starting deleting files",
                           "Remove temporary files...",    "Temporary files removed."};
    qsizetype at = 0;
    for (const QString& m : milestones) {
        const qsizetype found = run.lines.indexOf(m, at);
        QVERIFY2(found >= 0, qPrintable(m + " missing or out of order:\n" + run.lines.join('\n')));
        at = found;
    }

    TreeSnapshot tree = installed();
    // The special file was moved aside and stays until the next start.
    QVERIFY(tree.contains("_old_libQtCore.so.4"));
    QCOMPARE(tree.take("_old_libQtCore.so.4"), original.value("libQtCore.so.4"));
    QVERIFY2(tree == target, qPrintable(describeDifference(target, tree)));
    QVERIFY2(tempDirs().isEmpty(), qPrintable(tempDirs().join(" ")));
    QSettings settings(install + "/update.ini", QSettings::IniFormat);
    QVERIFY(!settings.childGroups().contains("current"));
    // Every file came once; nothing failed, so nothing was asked twice.
    QSet<QString> seen;
    for (const NginxRunner::AccessEntry& e : nginx->accessLog()) {
        QCOMPARE(e.status, 200);
        QVERIFY2(!seen.contains(e.path), qPrintable(e.path));
        seen.insert(e.path);
    }
}

void TstWholeRun::interruptedRunResumes() {
    // Slow mirrors, so that the cancel lands in the middle of the downloads.
    nginx->addServer(mirror, "limit_rate 400k;");
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)}, 2);

    int finishedDownloads = 0;
    const RunResult first = runUpdater(130, [&](const QString& line) {
        if (line.startsWith("Downloading ") && line.endsWith(" finished"))
            ++finishedDownloads;
        return finishedDownloads == 4;
    });
    QCOMPARE(first.exitCode, 3);
    QVERIFY(first.lines.contains("User aborted update"));
    QCOMPARE(installed(), snapshotTree(builds + "/120"));
    QCOMPARE(tempDirs().size(), 1);
    QSettings settings(install + "/update.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("current/version").toInt(), 130);

    // Files that arrived whole in the first run are not asked for again, nor is the product ini.
    QSet<QString> complete;
    for (const QString& line : first.lines) {
        if (line.startsWith("Downloading ") && line.endsWith(" finished"))
            complete.insert("/130/" + line.mid(12).chopped(9));
    }
    QVERIFY(complete.contains("/130/client_linux_amd64.ini"));
    const qsizetype firstRequests = nginx->accessLog().size();
    const RunResult second = runUpdater(130);
    QCOMPARE(second.exitCode, 0);
    QVERIFY(second.lines.contains("Previous update session for v. 130 found"));
    const QList<NginxRunner::AccessEntry> again = requestsSince(firstRequests);
    QVERIFY(!again.isEmpty());
    for (const NginxRunner::AccessEntry& e : again)
        QVERIFY2(!complete.contains(e.path), qPrintable(e.path + " fetched twice"));
    TreeSnapshot tree = installed();
    tree.remove("_old_libQtCore.so.4");
    QVERIFY2(tree == target, qPrintable(describeDifference(target, tree)));
    QVERIFY2(tempDirs().isEmpty(), qPrintable(tempDirs().join(" ")));
}

void TstWholeRun::killedRunResumesWithARange() {
    // The clip comes quickly up to 100 KiB, then trickles: the kill lands in its middle.
    nginx->addServer(mirror, "location ~ clip { limit_rate_after 100k; limit_rate 2k; }");
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)}, 2);
    const auto partSize = [this] {
        QDirIterator it(tmp, {"clip.bin*"}, QDir::Files, QDirIterator::Subdirectories);
        return it.hasNext() ? QFileInfo(it.next()).size() : qint64(-1);
    };
    const RunResult first = runUpdater(
        130,
        [&](const QString& line) {
            return line.startsWith("Downloading client/media/clip.bin") &&
                   QTest::qWaitFor([&] { return partSize() >= 40000; }, 20000);
        },
        true);
    QVERIFY(first.killed);
    const qint64 held = partSize();
    QVERIFY2(held >= 40000, qPrintable(QString::number(held)));

    // nginx logs the cut request once it notices the client gone.
    const auto clipLogged = [this] {
        const QList<NginxRunner::AccessEntry> log = nginx->accessLog();
        return std::any_of(log.cbegin(), log.cend(),
                           [](const auto& e) { return e.path.contains("clip.bin"); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(clipLogged(), 10000);
    const qsizetype before = nginx->accessLog().size();
    const RunResult second = runUpdater(130);
    QVERIFY2(second.exitCode == 0, qPrintable(second.lines.join('\n')));
    QList<NginxRunner::AccessEntry> clipRequests;
    for (const NginxRunner::AccessEntry& e : requestsSince(before)) {
        if (e.path.contains("clip.bin"))
            clipRequests << e;
    }
    QCOMPARE(clipRequests.size(), 1);
    QCOMPARE(clipRequests.first().range, QString("bytes=%1-").arg(held));
    QCOMPARE(clipRequests.first().status, 206);
    QCOMPARE(clipRequests.first().bytes + held,
             QFileInfo(mirror + clipRequests.first().path).size());
    TreeSnapshot tree = installed();
    tree.remove("_old_libQtCore.so.4");
    QVERIFY2(tree == target, qPrintable(describeDifference(target, tree)));
}

void TstWholeRun::privateAuthority_data() {
    QTest::addColumn<bool>("trusted");
    QTest::newRow("trusted-through-key") << true;
    QTest::newRow("without-key") << false;
}

void TstWholeRun::privateAuthority() {
    QFETCH(bool, trusted);
    // An authority of the test's own, and a certificate from it for the mirror's address.
    const QString dir = work.filePath("ca");
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(dir));
    const auto openssl = [&](const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir);
        p.start("openssl", args);
        return p.waitForFinished(30000) && p.exitCode() == 0;
    };
    const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    QVERIFY(openssl(QStringList{"req", "-x509"} + ec +
                    QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                                "/CN=Quillon Test Authority", "-addext",
                                "basicConstraints=critical,CA:TRUE", "-addext",
                                "keyUsage=critical,keyCertSign,cRLSign"}));
    QVERIFY(openssl(
        QStringList{"req"} + ec +
        QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"}));
    QFile ext(dir + "/server.ext");
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n");
    ext.close();
    QVERIFY(
        openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.pem"}));

    nginx->addHttpsServer(mirror, dir + "/server.pem", dir + "/server.key");
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)});
    if (trusted) {
        QSettings settings(install + "/update.ini", QSettings::IniFormat);
        settings.setValue("update/caCertificates", dir + "/ca.pem");
    }
    const RunResult run = runUpdater(130);
    if (trusted) {
        QVERIFY2(run.exitCode == 0, qPrintable(run.lines.join('\n')));
        TreeSnapshot tree = installed();
        tree.remove("_old_libQtCore.so.4");
        QVERIFY2(tree == target, qPrintable(describeDifference(target, tree)));
        return;
    }
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(installed(), original);
    const QString refused = QString("Certificate of mirror mirror1 (%1").arg(nginx->baseUrl(0));
    QVERIFY2(std::any_of(run.lines.cbegin(), run.lines.cend(),
                         [&](const QString& line) {
                             return line.startsWith(refused) && line.contains("issuer certificate");
                         }),
             qPrintable(run.lines.join('\n')));
}

void TstWholeRun::proxyCredentials_data() {
    QTest::addColumn<QString>("login");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("credentials-in-file") << "u:secret@" << 0;
    QTest::newRow("wrong-credentials-unattended") << "u:wrong@" << 3;
    QTest::newRow("no-credentials-unattended") << "" << 3;
}

void TstWholeRun::proxyCredentials() {
    QFETCH(QString, login);
    QFETCH(int, exitCode);
    AuthProxy proxy("u", "secret");
    QVERIFY(proxy.listen());
    nginx->addServer(mirror);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)});
    const QString address = QString("127.0.0.1:%1").arg(proxy.port());
    {
        QSettings settings(install + "/update.ini", QSettings::IniFormat);
        settings.setValue("update/proxy", "http://" + login + address);
    }
    const RunResult run = runUpdater(130);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.lines.join('\n')));
    const QString advice = QString("The proxy %1 wants a valid user name and password: set "
                                   "proxy=http://USER:PASSWORD@%1 in the [update] section of "
                                   "%2/update.ini")
                               .arg(address, install);
    if (exitCode == 0) {
        QVERIFY(proxy.forwarded > 0);
        QVERIFY(!run.lines.contains(advice));
        TreeSnapshot tree = installed();
        tree.remove("_old_libQtCore.so.4");
        QVERIFY2(tree == target, qPrintable(describeDifference(target, tree)));
        return;
    }
    QCOMPARE(proxy.forwarded.load(), 0);
    QCOMPARE(run.lines.count(advice), 1);
    // The password of the setting is never shown.
    QVERIFY(!run.lines.join('\n').contains("wrong"));
    QCOMPARE(installed(), original);
}

void TstWholeRun::runToAnotherVersionWipesTheOldSession() {
    nginx->addServer(mirror, "limit_rate 400k;");
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)}, 2);
    const RunResult first =
        runUpdater(130, [](const QString& line) { return line.endsWith(" finished"); });
    QCOMPARE(first.exitCode, 3);
    const QStringList left = tempDirs();
    QCOMPARE(left.size(), 1);
    const QString oldDir = tmp + "/" + left.first();

    const RunResult second = runUpdater(120);
    QCOMPARE(second.exitCode, 0);
    const qsizetype wipe =
        second.lines.indexOf(QString("Cleanup previous session (v. 130, %1) files...").arg(oldDir));
    QVERIFY2(wipe >= 0, qPrintable(second.lines.join('\n')));
    QCOMPARE(second.lines.value(wipe + 1), QString("Ok"));
    QVERIFY(wipe < second.lines.indexOf("Starting update process"));
    QCOMPARE(installed(), original);
    QVERIFY2(tempDirs().isEmpty(), qPrintable(tempDirs().join(" ")));
}

void TstWholeRun::failureDuringReplacementRollsBack_data() {
    // A directory made in the installation, and a gzipped file whose listed unpacked size is
    // cut to 1000 bytes in a hand-edited, re-signed product ini.
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<QString>("bomb");
    QTest::addColumn<QString>("causeEnding");
    // Where a late file's leftover old copy would be: it cannot be removed as a file, so that
    // file fails after earlier ones were replaced.
    QTest::newRow("undeletable-old-copy") << "data/_old_f30.txt/blocker"
                                          << ""
                                          << "/data/_old_f30.txt'";
    QTest::newRow("gzip-bomb") << ""
                               << "big.dat.gz"
                               << "/big.dat.gz' unpacks to more than its listed size of 1000 bytes";
}

void TstWholeRun::failureDuringReplacementRollsBack() {
    QFETCH(QString, blocker);
    QFETCH(QString, bomb);
    QFETCH(QString, causeEnding);
    QString served = mirror;
    if (!bomb.isEmpty()) {
        served = work.filePath("bomb");
        QDir(served).removeRecursively();
        QVERIFY(QDir().mkpath(served));
        QCOMPARE(QProcess::execute("cp", {"-a", mirror + "/130", served + "/130"}), 0);
        const QString ini = served + "/130/client_linux_amd64.ini";
        QFile file(ini);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        file.close();
        bool edited = false;
        for (QString& line : lines) {
            QStringList fields = line.split("::");
            if (line.startsWith(bomb + '=') && fields.size() == 5) {
                fields[3] = "1000";
                line = fields.join("::");
                edited = true;
            }
        }
        QVERIFY(edited);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(lines.join('\n').toUtf8());
        file.close();
        QVERIFY(signWithDevKey(ini));
    }
    nginx->addServer(served);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)});
    if (!blocker.isEmpty())
        QVERIFY(QDir().mkpath(install + "/" + blocker));
    const TreeSnapshot before = installed();

    const RunResult run = runUpdater(130);
    QCOMPARE(run.exitCode, 3);
    QVERIFY(run.lines.contains("add/replace data/f20.txt"));
    QVERIFY2(run.lines.contains("rolling back file updates"), qPrintable(run.lines.join('\n')));
    QCOMPARE(run.lines.filter(causeEnding).size(), 1);
    QVERIFY(run.lines.filter(causeEnding).first().endsWith(causeEnding));
    QVERIFY(!run.lines.contains("Starting deleting files"));
    const TreeSnapshot after = installed();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
}

void TstWholeRun::allMirrorsBad() {
    QTemporaryDir empty;
    nginx->addServer(empty.path());
    nginx->addServer(empty.path());
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0), nginx->baseUrl(1)});
    const TreeSnapshot before = installed();

    const RunResult run = runUpdater(130);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.lines.count("There are no (more) known working mirrors available"), 1);
    QCOMPARE(installed(), before);
}

void TstWholeRun::crashSafety() {
    nginx->addServer(mirror);
    nginx->addServer(mirror);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    const QStringList urls{nginx->baseUrl(0), nginx->baseUrl(1)};

    // A reference run shows which lines mark the download, replace and delete steps.
    makeInstallation(urls, 2);
    const RunResult reference = runUpdater(130);
    QCOMPARE(reference.exitCode, 0);
    const qsizetype from = reference.lines.indexOf("Downloading files");
    const qsizetype to = reference.lines.indexOf("Remove temporary files...");
    QVERIFY(from > 0 && to > from);

    const Tree before = clientTree(120), after = clientTree(130);
    for (int point = 0; point < 10; ++point) {
        QDir(install).removeRecursively();
        QDir(tmp).removeRecursively();
        QDir().mkpath(tmp);
        makeInstallation(urls, 2);
        const QString killAt = reference.lines.at(from + (to - 1 - from) * point / 9);
        const RunResult killed = runUpdater(
            130, [&](const QString& line) { return line == killAt; }, true);
        QVERIFY2(killed.killed, qPrintable("not killed at " + killAt));
        qInfo("kill %d after \"%s\" (last line seen: \"%s\")", point, qPrintable(killAt),
              qPrintable(killed.lines.last()));

        // Nothing of the old installation is lost: each file, or its moved-aside copy, holds the
        // old or the new content.
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            if (!after.contains(it.key()))
                continue;
            const QFileInfo info(install + "/" + it.key());
            const QString old = info.path() + "/_old_" + info.fileName();
            bool kept = false;
            for (const QString& candidate : {info.filePath(), old}) {
                QFile f(candidate);
                if (f.open(QIODevice::ReadOnly)) {
                    const QByteArray data = f.readAll();
                    kept = kept || data == it->data || data == after.value(it.key()).data;
                }
            }
            QVERIFY2(kept, qPrintable(it.key() + " lost after the kill at " + killAt));
        }

        const RunResult resumed = runUpdater(130);
        QVERIFY2(resumed.exitCode == 0, qPrintable(resumed.lines.join('\n')));
        TreeSnapshot tree = installed();
        tree.remove("_old_libQtCore.so.4");
        QVERIFY2(tree == target, qPrintable("after the kill at " + killAt + ":\n" +
                                            describeDifference(target, tree)));
        QVERIFY2(tempDirs().isEmpty(), qPrintable(tempDirs().join(" ")));
    }
}

QTEST_GUILESS_MAIN(TstWholeRun)
#include "tst_wholerun.moc"
