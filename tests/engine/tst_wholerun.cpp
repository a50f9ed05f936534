// Whole update runs of the real updater (the headless runner) against real nginx mirrors, with
// releases made by quillon-publish.
#include "install/deltapatch.h"
#include "support/authproxy.h"
#include "support/childprocess.h"
#include "support/downloadfixture.h"
#include "support/files.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"
#include "verify/releasemanifest.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
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

QByteArray noise(int size, quint32 x) {
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data)
        c = char((x = x * 1103515245u + 12345u) >> 24);
    return data;
}

// The base of the delta releases: version 120, a file that changes completely and one whose
// patch is large enough to be interrupted.
Tree deltaBaseTree() {
    Tree tree = clientTree(120);
    tree.insert("data/noise.bin", {noise(30000, 120)});
    tree.insert("data/mostly.bin", {noise(200000, 7)});
    return tree;
}

// "mixed": version 130, whose files come as patches, whole (no patch pays for the new noise),
// gzipped or new. "all": every file of the base of 1000 bytes or more changed a little.
Tree deltaTree(const QString& release) {
    if (release == "mixed") {
        Tree tree = clientTree(130);
        tree.insert("data/noise.bin", {noise(30000, 130)});
        tree.insert("data/mostly.bin", {noise(200000, 7).replace(100000, 30000, noise(30000, 8))});
        return tree;
    }
    Tree tree = deltaBaseTree();
    for (FileContent& file : tree) {
        if (file.data.size() >= 1000)
            file.data.insert(file.data.size() / 2, "changed in 130");
    }
    return tree;
}

// A small release for the fault campaign: the updater itself (the real program, so that it can
// be started from the installation; 120 carries a trailer, which does not stop it from running),
// a special library, a gzipped file, a file that goes, one that comes in a new directory, and a
// last file alone in its directory.
Tree campaignTree(int version) {
    const QByteArray v = QByteArray::number(version);
    QByteArray binary = readAll(binPath("update"));
    if (version == 120)
        binary += "\n120\n";
    Tree tree;
    tree.insert("update", {binary, 0755});
    tree.insert("libQtCore.so.4", {filler("core " + v, 3000), 0755});
    tree.insert("data/same.txt", {"same"});
    tree.insert("data/changed.txt", {"changed in " + v});
    tree.insert("big.dat", {filler("big " + v, 200000)});
    tree.insert("zz/last.txt", {"last of " + v});
    if (version == 120)
        tree.insert("data/old.txt", {"obsolete"});
    else
        tree.insert("sub/new/deep.txt", {"new in " + v});
    return tree;
}

// What a killed run left broken, or empty: a path of either version that holds neither its old
// nor its new content (a path of both versions must exist), or an updater that cannot run.
QString damage(const QString& root, const Tree& before, const Tree& after) {
    QStringList paths = before.keys() + after.keys();
    paths.removeDuplicates();
    for (const QString& path : std::as_const(paths)) {
        QFile file(root + "/" + path);
        if (!file.open(QIODevice::ReadOnly)) {
            if (before.contains(path) && after.contains(path))
                return path + " is missing";
            continue;
        }
        const QByteArray data = file.readAll();
        if (!(before.contains(path) && data == before.value(path).data) &&
            !(after.contains(path) && data == after.value(path).data))
            return path + " holds neither its old nor its new content";
    }
    if (!QFileInfo(root + "/update").isExecutable())
        return "update is not executable";
    return {};
}

// The set-aside copies of special files stay until the next start; they must hold the old
// content. Takes them out of tree; false if one holds anything else.
bool takeSetAside(TreeSnapshot& tree, const TreeSnapshot& original) {
    for (const QString special : {"update", "libQtCore.so.4"}) {
        if (tree.contains("_old_" + special) &&
            tree.take("_old_" + special) != original.value(special))
            return false;
    }
    return true;
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
    void allMirrorsBad_data();
    void allMirrorsBad();
    void crashSafety();
    void releaseManifestGuards_data();
    void releaseManifestGuards();
    void killedAtEveryFileOperation_data();
    void killedAtEveryFileOperation();
    void secondStartDuringRollback();
    void deltaUpdates_data();
    void deltaUpdates();

private:
    // A fresh installation of version 120 (by default the client tree) with its settings.
    void makeInstallation(const QStringList& mirrorUrls, int streams = 6,
                          const Tree& client = clientTree(120));
    // Runs the updater to the given version (0: the version the update server names); onLine may
    // return true to stop the run, with SIGTERM (the user's cancel) or, when kill is set, SIGKILL.
    // environment adds NAME=value entries.
    RunResult runUpdater(int version, const std::function<bool(const QString&)>& onLine = {},
                         bool kill = false, const QStringList& environment = {});
    // The environment that preloads the file operation faults into a program, for operations
    // below root (default: the installation); faults are the library's FILEOP_ settings.
    QStringList fileOpFaults(const QStringList& faults, const QString& root = {}) const;
    // Publishes the campaign's releases 120 and 130 once; serves them from the first server.
    void startCampaignMirror();
    // Publishes, once, the delta base as 120 and each delta tree as 130 with patches from it;
    // the mirror root of the release.
    QString deltaMirror(const QString& release);
    TreeSnapshot installed() const;
    QStringList tempDirs() const;
    QList<NginxRunner::AccessEntry> requestsSince(qsizetype from) const;

    QTemporaryDir work;
    QString builds, mirror, install, tmp;
    std::unique_ptr<NginxRunner> nginx;
    TreeSnapshot target, original;
    QString campaignMirror;
    TreeSnapshot campaignTarget, campaignOriginal;
    QMap<QString, QString> deltaMirrors;
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
    // The same build as another update type, for a mirror that mixes the two.
    PublishOptions x86;
    x86.updateType = "client_linux_x86";
    QVERIFY(makeRelease(builds + "/130", 130, work.filePath("mirror-x86"), x86).ok);
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

void TstWholeRun::makeInstallation(const QStringList& mirrorUrls, int streams, const Tree& client) {
    writeClient(install, client);
    QVERIFY(writeMirrorsIni(install + "/mirrors.ini", mirrorUrls));
    QSettings settings(install + "/update.ini", QSettings::IniFormat);
    settings.setValue("update/streams", streams);
}

RunResult TstWholeRun::runUpdater(int version, const std::function<bool(const QString&)>& onLine,
                                  bool kill, const QStringList& environment) {
    RunResult result;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp);
    for (const QString& entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    p.setProcessEnvironment(env);
    p.start(binPath("update-headless"),
            version == 0
                ? QStringList{install, "--nouser"}
                : QStringList{install, "--nouser", "client_linux_amd64", QString::number(version)});
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
    // The last lines may still be in the pipe when the state changes.
    p.waitForFinished();
    for (const QByteArray& line : p.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            result.lines << QString::fromUtf8(line);
    result.killed = p.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.killed ? -1 : p.exitCode();
    return result;
}

QStringList TstWholeRun::fileOpFaults(const QStringList& faults, const QString& root) const {
    // The sanitizer runtime wants to be loaded first; the preloaded library carries none.
    const QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    return QStringList{"LD_PRELOAD=" + binPath("libfileopfaults.so"),
                       "FILEOP_ROOT=" + (root.isEmpty() ? install : root),
                       "ASAN_OPTIONS=" + asan + (asan.isEmpty() ? "" : ":") +
                           "verify_asan_link_order=0"} +
           faults;
}

void TstWholeRun::startCampaignMirror() {
    if (campaignMirror.isEmpty()) {
        const QString mirrorRoot = work.filePath("campaign-mirror");
        for (int version : {120, 130}) {
            const QString build = work.filePath("campaign-builds/" + QString::number(version));
            writeClient(build, campaignTree(version));
            PublishOptions options;
            options.gzipMinSize = 100000;
            if (version == 130)
                options.previous = mirrorRoot + "/120/client_linux_amd64.ini";
            const PublishResult published = makeRelease(build, version, mirrorRoot, options);
            QVERIFY2(published.ok, qPrintable(published.stdErr));
        }
        QVERIFY(QFile::exists(mirrorRoot + "/130/client/update.gz"));
        campaignTarget = snapshotTree(work.filePath("campaign-builds/130"));
        campaignOriginal = snapshotTree(work.filePath("campaign-builds/120"));
        campaignMirror = mirrorRoot;
    }
    nginx->addServer(campaignMirror);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
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
    QCOMPARE(settings.value("installed/version").toInt(), 130);
    QCOMPARE(settings.value("installed/type").toString(), QString("client_linux_amd64"));
    QCOMPARE(settings.value("installed/manifest").toBool(), true);
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
    QVERIFY2(first.lines.contains("User aborted update"), qPrintable(first.lines.join('\n')));
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
        QStringList lines = QString::fromUtf8(readAll(ini)).split('\n');
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
        QVERIFY(writeFile(ini, lines.join('\n').toUtf8()));
        QVERIFY(resignProductIni(ini));
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

// Mirrors that have no release, or that answer what no honest mirror sends: the run ends with
// the message once, nothing is touched, and what each request fetched stays within its bound.
void TstWholeRun::allMirrorsBad_data() {
    QTest::addColumn<QString>("served");   // the file of release 130 that is replaced
    QTest::addColumn<qint64>("size");      // by a sparse file of this size; 0: no release
    QTest::addColumn<QString>("expected"); // a line of the run contains it
    QTest::addColumn<qint64>("boundPerRequest");

    // What nginx counts as sent includes what the kernel buffers on both ends of the connection
    // once the updater reads no further: up to the largest send and receive buffers, plus the
    // updater's own read-ahead of 1 MiB.
    qint64 socketSlack = qint64(1) << 20;
    for (const char* sysctl : {"/proc/sys/net/ipv4/tcp_rmem", "/proc/sys/net/ipv4/tcp_wmem"}) {
        QFile file(sysctl);
        const QList<QByteArray> fields = file.open(QIODevice::ReadOnly)
                                             ? file.readAll().simplified().split(' ')
                                             : QList<QByteArray>();
        socketSlack += fields.size() == 3 ? fields.at(2).toLongLong() : qint64(32) << 20;
    }
    const qint64 gib = qint64(1) << 30;
    QTest::newRow("no release") << "" << qint64(0) << "" << qint64(1024);
    QTest::newRow("endless product ini")
        << "client_linux_amd64.ini" << gib << "client_linux_amd64.ini sent more than"
        << (qint64(16) << 20) + socketSlack;
    QTest::newRow("huge signature") << "client_linux_amd64.ini.sig" << gib
                                    << "client_linux_amd64.ini.sig sent more than" << socketSlack;
    QTest::newRow("bad signature") << "client_linux_amd64.ini.sig" << qint64(384)
                                   << "failed verification, removing mirror" << (qint64(1) << 20);
}

void TstWholeRun::allMirrorsBad() {
    QFETCH(QString, served);
    QFETCH(qint64, size);
    QFETCH(QString, expected);
    QFETCH(qint64, boundPerRequest);

    QTemporaryDir empty;
    QString root = empty.path();
    if (size > 0) {
        root = work.filePath("mirror-hostile");
        QDir(root).removeRecursively();
        QCOMPARE(QProcess::execute("cp", {"-a", mirror, root}), 0);
        QFile file(root + "/130/" + served);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size));
    }
    nginx->addServer(root);
    nginx->addServer(root);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0), nginx->baseUrl(1)});
    const TreeSnapshot before = installed();

    const RunResult run = runUpdater(130);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.lines.count("There are no (more) known working mirrors available"), 1);
    QVERIFY2(run.lines.join('\n').contains(expected), qPrintable(run.lines.join('\n')));
    QCOMPARE(installed(), before);
    const QList<NginxRunner::AccessEntry> requests = nginx->accessLog();
    QVERIFY(!requests.isEmpty() && requests.size() <= 20);
    for (const NginxRunner::AccessEntry& request : requests) {
        QVERIFY2(request.bytes <= boundPerRequest,
                 qPrintable(request.path + ": " + QString::number(request.bytes)));
        QVERIFY2(!request.path.contains("/client/"), qPrintable(request.path));
    }
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

// Each row changes a copy of the mirror tree or the installation's record, then runs the updater.
// A refusal must name its cause, fetch no file of the release and leave the installation as it
// was; an accepted release must end installed and recorded.
void TstWholeRun::releaseManifestGuards_data() {
    QTest::addColumn<QString>("mirrorChange");
    QTest::addColumn<int>("target");           // 0: the update server answers 120
    QTest::addColumn<int>("installedVersion"); // the [installed] record; 0: none
    QTest::addColumn<QString>("settings");     // key=value added to update.ini
    QTest::addColumn<QString>("expected");     // a line of the run contains it
    QTest::addColumn<int>("endsAt");           // version installed at the end; 0: refused
    QTest::addColumn<bool>("recordsManifest");

    QTest::newRow("rollback: release 120 replayed at the path of 130")
        << "replay 120" << 130 << 0 << ""
        << "The release manifest is for version 120, not 130." << 0 << false;
    QTest::newRow("wrong software: another build type's ini and manifest")
        << "other type" << 130 << 0 << ""
        << "for the update type client_linux_x86, not client_linux_amd64." << 0 << false;
    QTest::newRow("mix and match: release 120's ini with the manifest of 130")
        << "mix" << 130 << 0 << ""
        << "The product ini does not match the release manifest" << 0 << false;
    QTest::newRow("downgrade: version answer below the installed version")
        << "" << 0 << 130 << ""
        << "Version 120 is older than the installed version 130" << 0 << false;
    QTest::newRow("freeze: expired manifest")
        << "expire" << 130 << 0 << ""
        << "The update information for version 130 is out of date" << 0 << false;
    QTest::newRow("tampered manifest")
        << "tamper" << 130 << 0 << ""
        << "The release manifest of version 130 has an invalid " << 0 << false;
    QTest::newRow("endless manifest")
        << "oversize" << 130 << 0 << ""
        << QString("client_linux_amd64.manifest sent more than the allowed %1 bytes")
               .arg(ReleaseManifest::MaxFileSize)
        << 0 << false;
    QTest::newRow("manifest removed after one has been seen")
        << "remove" << 130 << 120 << ""
        << "Version 130 has no release manifest, but this " << 0 << false;
    QTest::newRow("old release without manifest on a fresh installation")
        << "remove" << 130 << 0 << ""
        << "Warning: version 130 has no release manifest; it is not bound to its version" << 130
        << false;
    QTest::newRow("allowDowngrade") << "" << 120 << 130 << "update/allowDowngrade=true"
                                    << "Release manifest of version 120" << 120 << true;
    QTest::newRow("alpha channel with an explicit alphaRevno")
        << "" << 130 << 130 << "Channel/alphaRevno=120"
        << "Release manifest of version 120" << 120 << true;
}

void TstWholeRun::releaseManifestGuards() {
    QFETCH(QString, mirrorChange);
    QFETCH(int, target);
    QFETCH(int, installedVersion);
    QFETCH(QString, settings);
    QFETCH(QString, expected);
    QFETCH(int, endsAt);
    QFETCH(bool, recordsManifest);

    const QString served = work.filePath("mirror-row");
    QDir(served).removeRecursively();
    QCOMPARE(QProcess::execute("cp", {"-a", mirror, served}), 0);
    const QString release = served + "/130/client_linux_amd64";
    if (mirrorChange == "replay 120") {
        QVERIFY(QDir(served + "/130").removeRecursively());
        QCOMPARE(QProcess::execute("cp", {"-a", mirror + "/120", served + "/130"}), 0);
    } else if (mirrorChange == "other type") {
        for (const char* suffix : {".ini", ".ini.sig", ".manifest", ".manifest.sig"}) {
            QVERIFY(QFile::remove(release + suffix));
            QVERIFY(QFile::copy(work.filePath("mirror-x86/130/client_linux_x86") + suffix,
                                release + suffix));
        }
    } else if (mirrorChange == "mix") {
        for (const char* suffix : {".ini", ".ini.sig"}) {
            QVERIFY(QFile::remove(release + suffix));
            QVERIFY(QFile::copy(mirror + "/120/client_linux_amd64" + suffix, release + suffix));
        }
    } else if (mirrorChange == "expire") {
        {
            QSettings manifest(release + ".manifest", QSettings::IniFormat);
            manifest.setValue("release/expires", "2020-01-01T00:00:00Z");
        }
        QVERIFY(signManifestWithDevKey(release + ".manifest"));
    } else if (mirrorChange == "tamper") {
        QFile manifest(release + ".manifest");
        QVERIFY(manifest.open(QIODevice::Append));
        manifest.write("\n");
    } else if (mirrorChange == "oversize") {
        QVERIFY(writeTree(served, {{"130/client_linux_amd64.manifest",
                                    QByteArray(ReleaseManifest::MaxFileSize + 5000, '#')}}));
    } else if (mirrorChange == "remove") {
        QVERIFY(QFile::remove(release + ".manifest") && QFile::remove(release + ".manifest.sig"));
    }

    nginx->addServer(served);
    QString error;
    QVERIFY2(nginx->start(&error), qPrintable(error));
    makeInstallation({nginx->baseUrl(0)}, 6,
                     clientTree(installedVersion == 0 ? 120 : installedVersion));
    QProcess server;
    {
        QSettings ini(install + "/update.ini", QSettings::IniFormat);
        if (installedVersion != 0) {
            ini.setValue("installed/type", "client_linux_amd64");
            ini.setValue("installed/version", installedVersion);
            ini.setValue("installed/manifest", true);
        }
        if (!settings.isEmpty())
            ini.setValue(settings.section('=', 0, 0), settings.section('=', 1));
        if (settings.startsWith("Channel/"))
            ini.setValue("Channel/alpha", nginx->baseUrl(0));
        if (target == 0) {
            QFile config(work.filePath("update-server.ini"));
            QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
            config.write("[server]\naddress = 127.0.0.1\nversionPort = 0\nbannerPort = 0\n"
                         "[stable]\nversion = 120\nname = 1.2.0\n");
            config.close();
            server.start(binPath("quillon-update-server"), {config.fileName()});
            QVERIFY(server.waitForStarted());
            QRegularExpressionMatch port;
            QString out;
            for (int i = 0; i < 100 && !port.hasMatch(); ++i) {
                server.waitForReadyRead(100);
                out += QString::fromUtf8(server.readAllStandardError());
                port = QRegularExpression(":(\\d+) \\(version query\\)").match(out);
            }
            QVERIFY2(port.hasMatch(), qPrintable(out));
            ini.setValue("update/server", "127.0.0.1");
            ini.setValue("update/versionPort", port.captured(1));
        }
    }
    const TreeSnapshot before = installed();

    const RunResult run = runUpdater(target);
    server.terminate();
    server.waitForFinished();
    const QString log = run.lines.join('\n');
    QVERIFY2(log.contains(expected), qPrintable(log));
    QSettings record(install + "/update.ini", QSettings::IniFormat);
    if (endsAt == 0) {
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(installed() == before, qPrintable(describeDifference(before, installed())));
        QCOMPARE(record.value("installed/version").toInt(), installedVersion);
        // Refused before any file of the release was fetched.
        for (const NginxRunner::AccessEntry& e : nginx->accessLog())
            QVERIFY2(!e.path.contains("/client/"), qPrintable(e.path));
        return;
    }
    QVERIFY2(run.exitCode == 0, qPrintable(log));
    const TreeSnapshot wanted = snapshotTree(builds + "/" + QString::number(endsAt));
    const TreeSnapshot tree = installed();
    for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
        QVERIFY2(tree.value(it.key()) == it.value(), qPrintable(it.key()));
    QCOMPARE(record.value("installed/version").toInt(), endsAt);
    QCOMPARE(record.value("installed/manifest").toBool(), recordsManifest);
}

void TstWholeRun::killedAtEveryFileOperation_data() {
    QTest::addColumn<bool>("inTemp"); // operations in the temporary directory, not the installation
    QTest::addColumn<QString>("failWrite"); // the run fails to write a path containing this
    QTest::addColumn<int>("exitCode");
    QTest::newRow("whole run") << false << QString() << 0;
    QTest::newRow("rollback after a failed write") << false << QString("/zz/") << 3;
    QTest::newRow("downloads and temporary files") << true << QString() << 0;
}

void TstWholeRun::killedAtEveryFileOperation() {
    QFETCH(bool, inTemp);
    QFETCH(QString, failWrite);
    QFETCH(int, exitCode);
    const QString root = inTemp ? tmp : install;
    startCampaignMirror();
    const Tree before = campaignTree(120), after = campaignTree(130);
    const QStringList failing =
        failWrite.isEmpty() ? QStringList() : QStringList{"FILEOP_FAIL=" + failWrite};

    // A reference run counts the operations on the installation: every open for writing,
    // rename, link and removal. A failing run is killed only after its failure.
    makeInstallation({nginx->baseUrl(0)}, 2, before);
    const QString logPath = work.filePath("fileops.log");
    QFile::remove(logPath);
    const RunResult reference = runUpdater(
        130, {}, false, fileOpFaults(failing + QStringList{"FILEOP_LOG=" + logPath}, root));
    QVERIFY2(reference.exitCode == exitCode, qPrintable(reference.lines.join('\n')));
    QVERIFY(QFile::exists(logPath));
    const QStringList operations =
        QString::fromUtf8(readAll(logPath)).split('\n', Qt::SkipEmptyParts);
    int first = 1;
    if (!failWrite.isEmpty()) {
        while (first <= operations.size() && !operations.at(first - 1).contains(failWrite))
            ++first;
        ++first;
    }
    QVERIFY2(operations.size() - first >= 4, qPrintable(operations.join('\n')));
    qInfo("%d kill points", int(operations.size()) - first + 1);

    for (int point = first; point <= operations.size(); ++point) {
        const QString at = operations.at(point - 1);
        QDir(install).removeRecursively();
        QDir(tmp).removeRecursively();
        QVERIFY(QDir().mkpath(tmp));
        makeInstallation({nginx->baseUrl(0)}, 2, before);
        const RunResult killed = runUpdater(
            130, {}, false,
            fileOpFaults(failing + QStringList{"FILEOP_KILL=" + QString::number(point)}, root));
        QVERIFY2(killed.killed, qPrintable("not killed at " + at));
        const QString broken = damage(install, before, after);
        QVERIFY2(broken.isEmpty(), qPrintable(broken + ", killed before " + at));

        // A kill between creating the temporary directory and recording it orphans it; one at
        // the recorded directory's very last step leaves it empty. The rerun must leave neither
        // one of its own nor anything in the recorded one.
        const QStringList orphans = tempDirs();
        const QString recorded = QSettings(install + "/update.ini", QSettings::IniFormat)
                                     .value("current/dir")
                                     .toString();
        const RunResult rerun = runUpdater(130);
        QVERIFY2(rerun.exitCode == 0,
                 qPrintable("killed before " + at + ":\n" + rerun.lines.join('\n')));
        TreeSnapshot tree = installed();
        // QSettings links its new file under a temporary name before the rename; a kill in
        // between leaves that copy of the settings behind.
        tree.removeIf([](const auto& entry) { return entry.key().startsWith("update.ini."); });
        QVERIFY2(takeSetAside(tree, campaignOriginal), qPrintable("killed before " + at));
        QVERIFY2(tree == campaignTarget, qPrintable("killed before " + at + ":\n" +
                                                    describeDifference(campaignTarget, tree) +
                                                    "rerun:\n" + rerun.lines.join('\n')));
        for (const QString& left : tempDirs())
            QVERIFY2(orphans.contains(left) &&
                         (tmp + "/" + left != recorded ||
                          QDir(recorded).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                 QDir::NoDotAndDotDot)),
                     qPrintable(left + " left, killed before " + at));
    }
}

void TstWholeRun::secondStartDuringRollback() {
    startCampaignMirror();
    makeInstallation({nginx->baseUrl(0)}, 2, campaignTree(120));
    {
        // No update server: the banner query goes to a port nobody answers on.
        QSettings settings(install + "/update.ini", QSettings::IniFormat);
        settings.setValue("update/server", "127.0.0.1");
        settings.setValue("update/bannerPort", 9);
    }
    const TreeSnapshot before = installed();

    // The real updater replaces itself, then cannot write the last file and rolls back; it
    // holds still right before it puts its own old copy back.
    const QString paused = work.filePath("paused");
    QFile::remove(paused);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", tmp);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcessEnvironment faultEnv = env;
    for (const QString& entry :
         fileOpFaults({"FILEOP_FAIL=/zz/", "FILEOP_PAUSE=" + paused,
                       "FILEOP_PAUSE_AT=rename " + install + "/_old_update "}))
        faultEnv.insert(entry.section('=', 0, 0), entry.section('=', 1));
    QProcess first;
    first.setProcessEnvironment(faultEnv);
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(install + "/update", {"--nouser", "client_linux_amd64", "130"});
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(paused) || first.state() == QProcess::NotRunning, 30000);
    QVERIFY2(QFile::exists(paused), "the run never rolled the updater back");

    // A second start meanwhile must leave the set-aside updater to the rollback.
    QProcess second;
    second.setProcessEnvironment(env);
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    second.start(install + "/update");
    const bool started = second.waitForStarted(5000);
    const bool ended = started && second.waitForFinished(10000);
    QFile::remove(paused);
    stopChild(second);
    QVERIFY2(started, qPrintable("no updater to start: " + second.errorString()));
    QVERIFY(ended);
    QCOMPARE(second.exitCode(), 0);

    QTRY_VERIFY2_WITH_TIMEOUT(installed() == before,
                              qPrintable(describeDifference(before, installed())), 20000);
    stopChild(first);
    const QString broken = damage(install, campaignTree(120), campaignTree(130));
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
}

QString TstWholeRun::deltaMirror(const QString& release) {
    if (deltaMirrors.contains(release))
        return deltaMirrors.value(release);
    PublishOptions options;
    options.gzipMinSize = 100000;
    const QString base = work.filePath("delta-base");
    if (!QFileInfo::exists(base + "/120")) {
        writeClient(work.filePath("delta-builds/120"), deltaBaseTree());
        if (!makeRelease(work.filePath("delta-builds/120"), 120, base, options).ok)
            return {};
    }
    const QString build = work.filePath("delta-builds/" + release);
    writeClient(build, deltaTree(release));
    options.deltaFrom = {base + "/120"};
    options.previous = base + "/120/client_linux_amd64.ini";
    const PublishResult published =
        makeRelease(build, 130, work.filePath("delta-" + release), options);
    if (!published.ok || !published.stdOut.contains("patches from 120:"))
        return {};
    deltaMirrors.insert(release, work.filePath("delta-" + release));
    return deltaMirrors.value(release);
}

// Updates from the delta base to a release with patches: what comes as a patch and what whole,
// the one line and the fallback when a patch is bad, a resumed patch, and a rollback.
void TstWholeRun::deltaUpdates_data() {
    QTest::addColumn<QString>("release");
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");    // a line contains it
    QTest::addColumn<int>("fallbacks");       // lines about a patch not used
    QTest::addColumn<QStringList>("whole");   // installed paths fetched whole
    QTest::addColumn<QStringList>("patched"); // installed paths never fetched whole

    const QString saved = "files come as patches: ";
    QTest::newRow("every file patched")
        << "all"
        << "" << 0 << saved << 0 << QStringList()
        << QStringList{"big.dat",        "data/f20.txt",   "data/f31.txt", "data/mostly.bin",
                       "data/noise.bin", "libQtCore.so.4", "plugins/x.so"};
    QTest::newRow("mixed release: patched, whole, gzip and new files")
        << "mixed"
        << "" << 0 << saved << 0
        << QStringList{"data/noise.bin", "media/clip.bin", "sub/new/deep.txt", "sub/new/big2.dat"}
        << QStringList{"big.dat", "data/f20.txt", "data/f31.txt", "data/mostly.bin"};
    QTest::newRow("installed file differs from every patch base")
        << "mixed"
        << "installed differs" << 0 << saved << 0 << QStringList{"data/f20.txt"}
        << QStringList{"big.dat", "data/f21.txt"};
    QTest::newRow("corrupt patch: falls back, its mirror dropped")
        << "mixed"
        << "corrupt patch" << 0 << "served a corrupt patch, removing mirror" << 1
        << QStringList{"data/f20.txt"} << QStringList{"big.dat", "data/f21.txt"};
    QTest::newRow("patch with a wrong result: falls back")
        << "mixed"
        << "wrong result" << 0 << "its result does not match the product ini" << 1
        << QStringList{"data/f20.txt"} << QStringList{"big.dat", "data/f21.txt"};
    QTest::newRow("interrupted run resumes with its patches")
        << "mixed"
        << "interrupted" << 0 << saved << 0 << QStringList()
        << QStringList{"big.dat", "data/f20.txt", "data/f31.txt", "data/mostly.bin"};
    QTest::newRow("failure during the replacement rolls back")
        << "mixed"
        << "replacement fails" << 3 << "rolling back file updates" << 0 << QStringList()
        << QStringList{"big.dat", "data/f20.txt"};
}

void TstWholeRun::deltaUpdates() {
    QFETCH(QString, release);
    QFETCH(QString, change);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    QFETCH(int, fallbacks);
    QFETCH(QStringList, whole);
    QFETCH(QStringList, patched);
    const QString published = deltaMirror(release);
    QVERIFY(!published.isEmpty());
    QString served = published;
    ReleaseManifest manifest;
    QString error;
    QVERIFY2(manifest.read(published + "/130/client_linux_amd64.manifest", &error),
             qPrintable(error));
    const auto patchOf = [&](const QString& path) {
        for (const DeltaPatchEntry& p : std::as_const(manifest.patches))
            if (p.path == path)
                return p;
        return DeltaPatchEntry();
    };
    for (const QString& path : patched)
        QVERIFY2(!patchOf(path).name.isEmpty(), qPrintable(path + " has no patch"));

    const DeltaPatchEntry f20 = patchOf("data/f20.txt");
    const DeltaPatchEntry large = patchOf("data/mostly.bin");
    if (change == "corrupt patch" || change == "wrong result") {
        served = work.filePath("delta-row");
        QDir(served).removeRecursively();
        QCOMPARE(QProcess::execute("cp", {"-a", published, served}), 0);
        const QString patchFile = served + "/130/" + f20.name;
        if (change == "corrupt patch") {
            QFile file(patchFile);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray data = file.readAll();
            data[data.size() / 2] = char(data[data.size() / 2] ^ 0x55);
            QVERIFY(file.seek(0) && file.write(data) == data.size());
        } else {
            // A sound, signed patch of another content of the same size.
            QByteArray other = deltaTree(release).value("data/f20.txt").data;
            other[100] = '#';
            QVERIFY(writeTree(work.filePath("delta-other"), {{"f20.txt", other}}));
            QFile out(patchFile);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            const DeltaPatch::Made made = DeltaPatch::make(
                work.filePath("delta-builds/120/data/f20.txt"),
                work.filePath("delta-other/f20.txt"), 1 << 20,
                [&](const char* data, size_t size) { return out.write(data, qint64(size)) > 0; },
                &error);
            QCOMPARE(int(made), int(DeltaPatch::Made::Patch));
            out.close();
            const QString manifestPath = served + "/130/client_linux_amd64.manifest";
            ReleaseManifest edited;
            QVERIFY(edited.read(manifestPath, &error));
            for (DeltaPatchEntry& p : edited.patches)
                if (p.path == "data/f20.txt")
                    QVERIFY(sha256OfFile(patchFile, &p.sha256, &p.size));
            QVERIFY(QFile::remove(manifestPath) && edited.write(manifestPath));
            QVERIFY(signManifestWithDevKey(manifestPath));
        }
    }
    if (change == "interrupted")
        nginx->addServer(served, "location ~ /patches/ { limit_rate_after 1k; limit_rate 3k; }");
    else
        nginx->addServer(served);
    nginx->addServer(served);
    QString startError;
    QVERIFY2(nginx->start(&startError), qPrintable(startError));
    // One transfer at a time where the order of requests shows which mirror was dropped.
    makeInstallation(change == "interrupted" ? QStringList{nginx->baseUrl(0)}
                                             : QStringList{nginx->baseUrl(0), nginx->baseUrl(1)},
                     change == "corrupt patch" ? 1 : 2, deltaBaseTree());
    if (change == "installed differs")
        QVERIFY(writeTree(install, {{"data/f20.txt", "edited by the user"}}));
    if (change == "replacement fails")
        QVERIFY(QDir().mkpath(install + "/data/_old_f30.txt/blocker"));
    const TreeSnapshot before = installed();

    qsizetype firstRequests = 0;
    QSet<QString> appliedBefore;
    QString partial;
    qint64 held = 0;
    if (change == "interrupted") {
        // Killed while the large patch trickles in; what was applied by then stays in the
        // temporary directory, and the partial patch is continued with a range.
        QVERIFY(large.size > 20000);
        const auto partialPatch = [&] {
            QDirIterator it(tmp, {QFileInfo(large.name).fileName()}, QDir::Files,
                            QDirIterator::Subdirectories);
            if (!it.hasNext())
                return false;
            partial = it.next();
            return QFileInfo(partial).size() >= 10000;
        };
        const RunResult first = runUpdater(
            130,
            [&](const QString& line) {
                return line.startsWith("Downloading patches/") &&
                       QTest::qWaitFor(partialPatch, 20000);
            },
            true);
        QVERIFY(first.killed);
        held = QFileInfo(partial).size();
        QVERIFY2(held >= 10000 && held < large.size, qPrintable(partial));
        const QString temp = tmp + "/" + tempDirs().value(0);
        const Tree target = deltaTree(release);
        for (auto it = target.cbegin(); it != target.cend(); ++it) {
            QFile result(temp + "/" + it.key());
            if (result.open(QIODevice::ReadOnly) && result.readAll() == it->data)
                appliedBefore.insert(patchOf(it.key()).name);
        }
        appliedBefore.remove(QString());
        QTRY_VERIFY_WITH_TIMEOUT(nginx->accessLog().size() > 0, 10000);
        QTest::qWait(1000);
        firstRequests = nginx->accessLog().size();
    }

    const RunResult run = runUpdater(130);
    const QString log = run.lines.join('\n');
    QVERIFY2(run.exitCode == exitCode, qPrintable(log));
    QVERIFY2(log.contains(expected), qPrintable(log));
    QCOMPARE(run.lines.filter(QRegularExpression("^Patch for .* not used")).size(), fallbacks);
    if (exitCode != 0) {
        QVERIFY2(installed() == before, qPrintable(describeDifference(before, installed())));
        return;
    }
    TreeSnapshot tree = installed();
    tree.remove("_old_libQtCore.so.4");
    const TreeSnapshot wanted = snapshotTree(work.filePath("delta-builds/" + release));
    QVERIFY2(tree == wanted, qPrintable(describeDifference(wanted, tree)));
    QVERIFY2(tempDirs().isEmpty(), qPrintable(tempDirs().join(" ")));

    const QList<NginxRunner::AccessEntry> requests = requestsSince(firstRequests);
    const auto fetchedWhole = [&](const QString& path) {
        return std::any_of(requests.cbegin(), requests.cend(), [&](const auto& e) {
            return e.path == "/130/client/" + path || e.path == "/130/client/" + path + ".gz";
        });
    };
    for (const QString& path : whole)
        QVERIFY2(fetchedWhole(path), qPrintable(path + " not fetched whole"));
    for (const QString& path : patched)
        QVERIFY2(!fetchedWhole(path), qPrintable(path + " fetched whole"));
    if (release == "all") {
        for (const NginxRunner::AccessEntry& e : requests)
            QVERIFY2(!e.path.startsWith("/130/client/"), qPrintable(e.path));
    }
    if (change == "corrupt patch") {
        // The mirror that served the corrupt patch serves nothing after it.
        const QRegularExpressionMatch dropped =
            QRegularExpression("mirror (mirror\\d) served a corrupt patch").match(log);
        QVERIFY(dropped.hasMatch());
        const quint16 badPort = nginx->port(dropped.captured(1) == "mirror1" ? 0 : 1);
        qsizetype at = -1;
        for (qsizetype i = 0; i < requests.size(); ++i)
            if (requests[i].path.endsWith(f20.name))
                at = i;
        QVERIFY(at >= 0);
        QCOMPARE(requests[at].port, badPort);
        for (qsizetype i = at + 1; i < requests.size(); ++i)
            QVERIFY2(requests[i].port != badPort, qPrintable(requests[i].path));
    }
    if (change == "interrupted") {
        for (const NginxRunner::AccessEntry& e : requests) {
            QVERIFY2(!appliedBefore.contains(e.path.mid(5)), qPrintable(e.path + " fetched again"));
            if (e.path.endsWith(QFileInfo(partial).fileName())) {
                QCOMPARE(e.range, QString("bytes=%1-").arg(held));
                QCOMPARE(e.status, 206);
            }
        }
        QVERIFY(!appliedBefore.isEmpty());
        QVERIFY(std::any_of(requests.cbegin(), requests.cend(), [&](const auto& e) {
            return e.path.endsWith(large.name) && e.status == 206;
        }));
    }
}

QTEST_GUILESS_MAIN(TstWholeRun)
#include "tst_wholerun.moc"
