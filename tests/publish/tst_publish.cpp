#include "support/files.h"
#include "support/releasemaker.h"
#include "support/testpaths.h"
#include "verify/checksignaturetaskspecification.h"
#include "verify/releasemanifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {
using Ini = QMap<QString, QMap<QString, QString>>;

// The product ini exactly as the updater reads it.
Ini readIni(const QString& path) {
    Ini ini;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        settings.beginGroup(group);
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys)
            ini[group][key] = settings.value(key).toString();
        settings.endGroup();
    }
    return ini;
}

QByteArray gunzip(const QString& path) {
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "rb");
    if (!gz)
        return "<not gzip>";
    QByteArray out;
    char buffer[65536];
    int got;
    while ((got = gzread(gz, buffer, sizeof buffer)) > 0)
        out.append(buffer, got);
    gzclose(gz);
    return out;
}

// Entries of a directory, for "nothing was left behind" checks.
QStringList entries(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

int mode(const QString& path) {
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

bool checkSignature(const QString& path) {
    CheckSigFunc check(path, QString());
    return check.run();
}
} // namespace

class TstPublish : public QObject {
    Q_OBJECT

    // A second key pair, 1024 bits, made once.
    QTemporaryDir otherKey;

private slots:
    void initTestCase() {
        QVERIFY(runPublish({"keygen", "--private", otherKey.filePath("key"), "--public",
                            otherKey.filePath("pub"), "--bits", "1024"})
                    .ok);
    }

    // Every file of the build comes back, byte for byte, through the updater's ini reader: names
    // with the characters the reader escapes, in keys and in the fifth field.
    void releaseRoundTrip_data() {
        QTest::addColumn<qint64>("gzipMinSize");
        QTest::newRow("compress everything that shrinks") << qint64(0);
        QTest::newRow("default threshold") << qint64(-1);
        QTest::newRow("no compression") << (qint64(1) << 40);
    }
    void releaseRoundTrip() {
        QFETCH(qint64, gzipMinSize);
        QTemporaryDir tmp;
        const QString build = tmp.filePath(QStringLiteral("build"));
        const QMap<QString, QByteArray> files{
            {QStringLiteral("qlnclient"), QByteArray(300000, 'q')},
            {QStringLiteral("empty"), QByteArray()},
            {QStringLiteral(".hidden"), QByteArray("h")},
            {QStringLiteral("noise.bin"), noise(70000, 1)},
            {QStringLiteral("plugins/imageformats/libqjpeg.so"), QByteArray(5000, 'j')},
            {QStringLiteral("with space/and # hash.txt"), QByteArray(2000, 's')},
            {QStringLiteral("semi;colon=equals%percent,comma.txt"), QByteArray(3000, ',')},
            {QStringLiteral("ünïcödé/日本語.txt"), QByteArray(4000, 'u')},
            {QStringLiteral("leading and trailing /  blanks  "), QByteArray(1500, ' ')},
            {QStringLiteral("quote\"and'apostrophe"), QByteArray(1200, '"')},
            {QStringLiteral("dollar$ at@ [brackets] {braces}"), QByteArray(1100, '\n')},
            {QStringLiteral("small.txt"), QByteArray(800, 'm')},
            {QStringLiteral("data.txt"), QByteArray(9000, 'd')},
            // "data.txt" cannot become data.txt.gz while the build has a file of that name,
            // nor "lib" while there is a directory "lib.gz".
            {QStringLiteral("data.txt.gz"), noise(100, 2)},
            {QStringLiteral("lib"), QByteArray(5000, 'l')},
            {QStringLiteral("lib.gz/inside"), noise(10, 3)},
        };
        QVERIFY(writeTree(build, files));
        PublishOptions options;
        options.gzipMinSize = gzipMinSize;
        options.changelog = tmp.filePath(QStringLiteral("changes.txt"));
        QVERIFY(writeTree(tmp.path(), {{QStringLiteral("changes.txt"), "Version 12: fixes\n"}}));
        const PublishResult result =
            makeRelease(build, 12, tmp.filePath(QStringLiteral("mirror")), options);
        QVERIFY2(result.ok, qPrintable(result.stdErr));
        QVERIFY2(result.stdErr.isEmpty(), qPrintable(result.stdErr));

        const Ini ini = readIni(result.productIni);
        QCOMPARE(ini.keys(), QStringList{QStringLiteral("client")});
        QMap<QString, QByteArray> installed;
        int gzipped = 0;
        const auto& lines = ini[QStringLiteral("client")];
        for (auto it = lines.cbegin(); it != lines.cend(); ++it) {
            const QStringList fields = it.value().split(QStringLiteral("::"));
            const QString served = result.releaseDir + QStringLiteral("/client/") + it.key();
            const QByteArray body = readAll(served);
            QCOMPARE(fields.value(0), md5(body));
            QCOMPARE(fields.value(1), QString::number(body.size()));
            if (fields.size() == 5) {
                ++gzipped;
                const QByteArray unpacked = gunzip(served);
                QVERIFY2(body.size() < unpacked.size(), qPrintable(it.key()));
                QCOMPARE(it.key(), fields[4] + QStringLiteral(".gz"));
                QCOMPARE(fields[2], md5(unpacked));
                QCOMPARE(fields[3], QString::number(unpacked.size()));
                installed[fields[4]] = unpacked;
            } else {
                QCOMPARE(fields.size(), 2);
                installed[it.key()] = body;
            }
        }
        QCOMPARE(installed, files);
        // Never the empty, one-byte and noise files, nor data.txt; small.txt only without
        // threshold.
        if (gzipMinSize == 0)
            QCOMPARE(gzipped, 9);
        else if (gzipMinSize < 0)
            QCOMPARE(gzipped, 8);
        else
            QCOMPARE(gzipped, 0);

        QCOMPARE(readAll(result.releaseDir + QStringLiteral("/changelog_client.txt")),
                 QByteArray("Version 12: fixes\n"));
        QCOMPARE(QFileInfo(result.productIni + QStringLiteral(".sig")).size(), 384);
        QVERIFY(checkSignature(result.productIni));
        const PublishResult verified = runPublish({QStringLiteral("verify"), result.releaseDir});
        QVERIFY2(verified.exitCode == 0, qPrintable(verified.stdOut + verified.stdErr));
        QVERIFY2(verified.stdOut.contains(QStringLiteral("manifest valid")),
                 qPrintable(verified.stdOut));
        // Only the release itself: no staging directory or lock file left in the mirror root.
        QCOMPARE(entries(tmp.filePath(QStringLiteral("mirror"))),
                 QStringList{QStringLiteral("12")});
        QCOMPARE(entries(result.releaseDir),
                 (QStringList{QStringLiteral("changelog_client.txt"), QStringLiteral("client"),
                              QStringLiteral("client_linux_amd64.ini"),
                              QStringLiteral("client_linux_amd64.ini.sig"),
                              QStringLiteral("client_linux_amd64.manifest"),
                              QStringLiteral("client_linux_amd64.manifest.sig")}));
        // Readable by a web server running as another user.
        QCOMPARE(QFileInfo(result.releaseDir).permissions() & QFileDevice::ExeOther,
                 QFileDevice::ExeOther);
        QCOMPARE(QFileInfo(result.productIni).permissions() & QFileDevice::ReadOther,
                 QFileDevice::ReadOther);
    }

    void deleteSection() {
        QTemporaryDir tmp;
        const QString mirror = tmp.filePath(QStringLiteral("mirror"));
        QVERIFY(
            writeTree(tmp.filePath(QStringLiteral("v1")), {{"keep", "1"},
                                                           {"gone", "2"},
                                                           {"lib/old.so", QByteArray(5000, 'o')},
                                                           {"lib/stays.so", "3"},
                                                           {"plugin", "was a file"},
                                                           {"update", "the updater"}}));
        PublishOptions first;
        first.gzipMinSize = 0;
        first.updateType = QStringLiteral("client_other");
        first.section = QStringLiteral("files");
        const PublishResult v1 = makeRelease(tmp.filePath(QStringLiteral("v1")), 1, mirror, first);
        QVERIFY(v1.ok);
        QVERIFY(QFile::exists(mirror + QStringLiteral("/1/files/lib/old.so.gz")));

        QVERIFY(writeTree(tmp.filePath(QStringLiteral("v2")),
                          {{"keep", "1"}, {"lib/stays.so", "3"}, {"plugin/now-a-dir.so", "4"}}));
        PublishOptions second = first;
        second.previous = v1.productIni;
        const PublishResult v2 = makeRelease(tmp.filePath(QStringLiteral("v2")), 2, mirror, second);
        QVERIFY(v2.ok);
        // The installed name of a gzipped file is what goes, and "plugin" now holds a file.
        // The updater refuses to delete itself, so it is never listed.
        QCOMPARE(readIni(v2.productIni).value(QStringLiteral("delete")).keys(),
                 (QStringList{QStringLiteral("gone"), QStringLiteral("lib/old.so")}));
        QVERIFY2(v2.stdErr.contains(QStringLiteral("not listing update for deletion")),
                 qPrintable(v2.stdErr));

        // Deletions carry over, so that skipping version 2 still removes the files.
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("v3")), {{"keep", "changed"}}));
        PublishOptions third = first;
        third.previous = v2.productIni;
        const PublishResult v3 = makeRelease(tmp.filePath(QStringLiteral("v3")), 3, mirror, third);
        QVERIFY(v3.ok);
        QCOMPARE(
            readIni(v3.productIni).value(QStringLiteral("delete")).keys(),
            (QStringList{QStringLiteral("gone"), QStringLiteral("lib/old.so"),
                         QStringLiteral("lib/stays.so"), QStringLiteral("plugin/now-a-dir.so")}));
    }

    // Every bad input ends with exit code 2, one line on stderr and nothing in the mirror.
    void badInput_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        const QStringList base{"release", "--build", "@build", "--mirror",
                               "@mirror", "--key",   "@key"};
        QTest::newRow("no command") << QStringList() << "Usage: quillon-publish <command>";
        QTest::newRow("unknown command") << QStringList{"publish"} << "unknown command 'publish'";
        QTest::newRow("unknown option")
            << base + QStringList{"--version", "3", "--fast"} << "Unknown option 'fast'";
        QTest::newRow("missing option")
            << QStringList{"release", "--version", "3"} << "--build is required";
        QTest::newRow("stray argument")
            << base + QStringList{"--version", "3", "extra"} << "unexpected argument 'extra'";
        for (const char* version : {"0", "007", "-3", "3a", "99999999999", ""})
            QTest::addRow("version '%s'", version)
                << base + QStringList{"--version", version} << "version";
        QTest::newRow("existing version") << base + QStringList{"--version", "1"}
                                          << "/1 exists; a published release is never overwritten";
        QTest::newRow("missing build")
            << QStringList{"release", "--build", "@none",     "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "does not exist";
        QTest::newRow("build is a file")
            << QStringList{"release", "--build", "@key",      "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "is not a directory";
        QTest::newRow("empty build")
            << QStringList{"release", "--build", "@empty",    "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "contains no files";
        QTest::newRow("backslash in a file name")
            << QStringList{"release", "--build", "@backslash", "--mirror", "@mirror",
                           "--key",   "@key",    "--version",  "3"}
            << "contains a backslash";
        QTest::newRow("name that is not UTF-8")
            << QStringList{"release", "--build", "@badname",  "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "holds a name that is not valid UTF-8";
        QTest::newRow("control character in a file name")
            << QStringList{"release", "--build", "@ctrlname", "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "the updater would refuse this release: [client] new?line: contains a control "
               "character";
        QTest::newRow("name of a temporary sibling")
            << QStringList{"release", "--build", "@tmpname",  "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "[client] lib/.quillon_new_x: is named like a temporary file of the updater";
        QTest::newRow("dangling link in the build")
            << QStringList{"release", "--build", "@dangling", "--mirror", "@mirror",
                           "--key",   "@key",    "--version", "3"}
            << "is not a regular file";
        QTest::newRow("missing key")
            << QStringList{"release", "--build", "@build",    "--mirror", "@mirror",
                           "--key",   "@none",   "--version", "3"}
            << "does not exist";
        QTest::newRow("short key file")
            << QStringList{"release", "--build",   "@build",    "--mirror", "@mirror",
                           "--key",   "@shortkey", "--version", "3"}
            << "has 100 bytes; a key file has exactly 2048";
        QTest::newRow("garbage key file")
            << QStringList{"release", "--build",     "@build",    "--mirror", "@mirror",
                           "--key",   "@garbagekey", "--version", "3"}
            << "is not a key file (rsa_import: ";
        QTest::newRow("public key for signing")
            << QStringList{"release", "--build",    "@build",    "--mirror", "@mirror",
                           "--key",   "@publickey", "--version", "3"}
            << "holds a public key";
        QTest::newRow("mirror root is a file")
            << QStringList{"release", "--build", "@build",    "--mirror", "@key",
                           "--key",   "@key",    "--version", "3"}
            << "is not a directory";
        QTest::newRow("bad gzip size")
            << base + QStringList{"--version", "3", "--gzip-min-size", "lots"}
            << "bad --gzip-min-size 'lots'";
        QTest::newRow("missing previous")
            << base + QStringList{"--version", "3", "--previous", "@none"}
            << "is not a readable file";
        QTest::newRow("previous is not an ini")
            << base + QStringList{"--version", "3", "--previous", "@key"} << "is not a product ini";
        QTest::newRow("previous reaches outside")
            << base + QStringList{"--version", "3", "--previous", "@evilini"}
            << "leaves the installation directory";
        QTest::newRow("missing changelog")
            << base + QStringList{"--version", "3", "--changelog", "@none"}
            << "is not a readable file";
        QTest::newRow("reserved section")
            << base + QStringList{"--version", "3", "--section", "delete"} << "reserved";
        QTest::newRow("delta from a version not in the mirror")
            << base + QStringList{"--version", "3", "--delta-from", "77"} << "is not a directory";
        QTest::newRow("section named like the patches")
            << base + QStringList{"--version", "3", "--section", "patches", "--delta-from", "1"}
            << "bad section 'patches'";
        QTest::newRow("general section")
            << base + QStringList{"--version", "3", "--section", "General"} << "reserved";
        QTest::newRow("update type with a slash")
            << base + QStringList{"--version", "3", "--update-type", "../x"} << "bad update type";
        QTest::newRow("keygen over existing files")
            << QStringList{"keygen", "--private", "@newkey", "--public", "@publickey"}
            << "exists; use --force to replace it";
        QTest::newRow("keygen, one file for both")
            << QStringList{"keygen", "--private", "@newkey", "--public", "@newkey"}
            << "name the same file";
        QTest::newRow("sign over an existing signature")
            << QStringList{"sign", "@signed", "--key", "@key"} << "exists; refusing to overwrite";
        QTest::newRow("sign a missing file")
            << QStringList{"sign", "@none", "--key", "@key"} << "is not a readable file";
        QTest::newRow("verify without signature")
            << QStringList{"verify", "@key"} << "cannot read the signature file";
        QTest::newRow("verify with a short key")
            << QStringList{"verify", "@signed", "--public", "@shortkey"} << "has 100 bytes";
        QTest::newRow("verify a directory without release")
            << QStringList{"verify", "@empty"} << "holds no signed product ini";
        QTest::newRow("expiry of 0 days")
            << base + QStringList{"--version", "3", "--expires", "0"} << "bad --expires '0'";
        QTest::newRow("keygen, key too large for the key file")
            << QStringList{"keygen", "--private", "@k1", "--public", "@k2", "--bits", "4096"}
            << "bad --bits '4096'";
        QTest::newRow("manifest, directory not named after a version")
            << QStringList{"manifest", "@empty", "--key", "@key"} << "is not a release directory";
        QTest::newRow("manifest, key that did not sign the ini")
            << QStringList{"manifest", "@mirror/1", "--key", "@otherkey"}
            << "is not signed by this key";
    }
    void badInput() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        QTemporaryDir tmp;
        const QString mirror = tmp.filePath(QStringLiteral("mirror"));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("build")), {{"a", "a"}}));
        QVERIFY(makeRelease(tmp.filePath(QStringLiteral("build")), 1, mirror).ok);
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("empty"))));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("backslash")), {{"dir/a\\b", "x"}}));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("badname")), {{"sub/good", "g"}}));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("ctrlname")), {{"new\nline", "n"}}));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("tmpname")), {{"lib/.quillon_new_x", "t"}}));
        const QByteArray badName = QFile::encodeName(tmp.filePath("badname/sub/")) + "bad\xff";
        const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        // QTemporaryDir cannot see (nor remove) a name that is not UTF-8.
        const auto removeBadName = qScopeGuard([&] { ::unlink(badName.constData()); });
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("dangling"))));
        QVERIFY(QFile::link(tmp.filePath(QStringLiteral("nowhere")),
                            tmp.filePath(QStringLiteral("dangling/link"))));
        QVERIFY(writeTree(tmp.path(), {{"shortkey", QByteArray(100, 'k')},
                                       {"garbagekey", noise(2048, 3)},
                                       {"signed", "signed"},
                                       {"signed.sig", "whatever"},
                                       {"evilini", "[client]\n..\\etc\\passwd=00::1\n"}}));
        QVERIFY(QFile::copy(devPrivateKeyPath(), tmp.filePath(QStringLiteral("key"))));
        QVERIFY(QFile::copy(devPublicKeyPath(), tmp.filePath(QStringLiteral("publickey"))));
        QVERIFY(QFile::copy(devPublicKeyPath(), tmp.filePath(QStringLiteral("newkey"))));
        QVERIFY(QFile::copy(otherKey.filePath("key"), tmp.filePath(QStringLiteral("otherkey"))));
        for (QString& argument : arguments)
            if (argument.startsWith(u'@'))
                argument = tmp.filePath(argument.mid(1));
        const QStringList mirrorBefore = entries(mirror);
        const QStringList tmpBefore = entries(tmp.path());

        const PublishResult result = runPublish(arguments);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.stdErr.contains(expected), qPrintable(result.stdErr));
        if (!arguments.isEmpty())
            QCOMPARE(result.stdErr.count(u'\n'), 1);
        QCOMPARE(entries(mirror), mirrorBefore);
        QCOMPARE(entries(tmp.path()), tmpBefore);
    }

    // A write that fails half way (here: the file-size limit) leaves no release and no
    // staging directory behind.
    void failedWriteLeavesNothing() {
        QTemporaryDir tmp;
        const QString mirror = tmp.filePath(QStringLiteral("mirror"));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("build")),
                          {{"small", "s"}, {"large.bin", noise(3 << 20, 4)}}));
        QProcess process;
        // bash's ulimit counts 1024-byte blocks; an ignored SIGXFSZ makes write() fail with EFBIG.
        process.start(QStringLiteral("bash"),
                      {QStringLiteral("-c"),
                       QStringLiteral("trap '' XFSZ; ulimit -f 1024; exec \"$@\""),
                       QStringLiteral("bash"), binPath(QStringLiteral("quillon-publish")),
                       QStringLiteral("release"), QStringLiteral("--build"),
                       tmp.filePath(QStringLiteral("build")), QStringLiteral("--mirror"), mirror,
                       QStringLiteral("--version"), QStringLiteral("4"), QStringLiteral("--key"),
                       devPrivateKeyPath()});
        QVERIFY(process.waitForFinished(60000));
        const QString stdErr = QString::fromUtf8(process.readAllStandardError());
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(stdErr.contains(QStringLiteral("cannot write")), qPrintable(stdErr));
        QCOMPARE(entries(mirror), QStringList());
    }

    void keygenSignVerify() {
        QTemporaryDir tmp;
        const QString priv = tmp.filePath(QStringLiteral("my.key"));
        const QString pub = tmp.filePath(QStringLiteral("my.pub"));
        QVERIFY(runPublish({"keygen", "--private", priv, "--public", pub}).ok);
        QCOMPARE(QFileInfo(priv).size(), 2048);
        QCOMPARE(QFileInfo(pub).size(), 2048);
        QCOMPARE(mode(priv), 0600);
        QCOMPARE(mode(pub) & 0444, 0444);
        const QByteArray firstKey = readAll(priv);
        QVERIFY(runPublish({"keygen", "--private", priv, "--public", pub, "--force"}).ok);
        QVERIFY(readAll(priv) != firstKey);
        QCOMPARE(mode(priv), 0600);

        const QString file = tmp.filePath(QStringLiteral("payload"));
        QVERIFY(writeTree(tmp.path(), {{"payload", noise(100000, 5)}}));
        QVERIFY(runPublish({"sign", file, "--key", priv}).ok);
        QCOMPARE(QFileInfo(file + ".sig").size(), 384);
        QCOMPARE(runPublish({"verify", file, "--public", pub}).exitCode, 0);
        // The compiled-in key is another one.
        QCOMPARE(runPublish({"verify", file}).exitCode, 1);
        QVERIFY(!checkSignature(file));
        QVERIFY(runPublish({"sign", file, "--key", devPrivateKeyPath(), "--force"}).ok);
        QCOMPARE(runPublish({"verify", file}).exitCode, 0);
        QVERIFY(checkSignature(file));

        QByteArray changed = readAll(file);
        changed[500] = changed[500] ^ 1;
        QVERIFY(writeTree(tmp.path(), {{"payload", changed}}));
        const PublishResult invalid = runPublish({"verify", file});
        QCOMPARE(invalid.exitCode, 1);
        QVERIFY2(invalid.stdOut.contains(QStringLiteral("signature INVALID")),
                 qPrintable(invalid.stdOut));
        QVERIFY(writeTree(tmp.path(), {{"payload.sig", QByteArray(127, 's')}}));
        QCOMPARE(runPublish({"verify", file}).exitCode, 1);
        // A release signed with a key the updater does not carry: published, with a warning, and
        // refused by the updater's check.
        QVERIFY(writeTree(tmp.filePath("build"), {{"a", "a"}}));
        PublishOptions options;
        options.privateKey = priv;
        const PublishResult foreign =
            makeRelease(tmp.filePath("build"), 2, tmp.filePath("m"), options);
        QVERIFY(foreign.ok);
        QVERIFY2(foreign.stdErr.contains(QStringLiteral("does not match the public key compiled")),
                 qPrintable(foreign.stdErr));
        QVERIFY(!checkSignature(foreign.productIni));
        QCOMPARE(runPublish({"verify", foreign.releaseDir, "--public", pub}).exitCode, 0);
    }

    // verify on a release directory checks what the mirror serves, not only the signature.
    void verifyReleaseFindsTampering_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("file changed") << "client/plain";
        QTest::newRow("gzip replaced") << "client/packed.gz";
        QTest::newRow("file missing") << "-client/plain";
        QTest::newRow("ini changed") << "client_linux_amd64.ini";
        QTest::newRow("manifest changed") << "client_linux_amd64.manifest";
        QTest::newRow("manifest signature missing") << "-client_linux_amd64.manifest.sig";
        QTest::newRow("manifest expired") << "~client_linux_amd64.manifest";
        QTest::newRow("patch changed") << "patch";
        QTest::newRow("patch that does not apply, manifest re-signed") << "!patch";
        QTest::newRow("patch named outside patches/, manifest re-signed") << "!name";
    }
    void verifyReleaseFindsTampering() {
        QFETCH(QString, damage);
        QTemporaryDir tmp;
        // Release 9 carries a patch from 8, which verify applies.
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("base")),
                          {{"plain", "p"}, {"blob", noise(20000, 5)}}));
        QVERIFY(makeRelease(tmp.filePath(QStringLiteral("base")), 8, tmp.filePath("mirror")).ok);
        QByteArray blob = noise(20000, 5);
        blob.replace(5000, 100, noise(100, 6));
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("build")),
                          {{"plain", "p"}, {"packed", QByteArray(10000, 'z')}, {"blob", blob}}));
        PublishOptions options;
        options.deltaFrom = {QStringLiteral("8")};
        const PublishResult release =
            makeRelease(tmp.filePath(QStringLiteral("build")), 9, tmp.filePath("mirror"), options);
        QVERIFY(release.ok);
        const PublishResult sound = runPublish({"verify", release.releaseDir});
        QCOMPARE(sound.exitCode, 0);
        QVERIFY2(sound.stdOut.contains("1 patches apply"), qPrintable(sound.stdOut));
        const QString manifestPath = release.releaseDir + "/client_linux_amd64.manifest";
        ReleaseManifest manifest;
        QString error;
        QVERIFY(manifest.read(manifestPath, &error) && manifest.patches.size() == 1);
        const QString patch = release.releaseDir + "/" + manifest.patches[0].name;
        QString target = release.releaseDir + QLatin1Char('/') + damage.section(u'-', -1);
        if (damage.endsWith("patch"))
            target = patch;
        if (damage == "!name") {
            // A name is a path on the mirror and in the updater's temporary directory.
            QSettings(manifestPath, QSettings::IniFormat)
                .setValue("patches/1/name", "../client_linux_amd64.ini");
            QVERIFY(signManifestWithDevKey(manifestPath));
        } else if (damage == "!patch") {
            // Sound in the manifest's eyes, but made from other contents.
            QVERIFY(writeTree(tmp.path(), {{"other", noise(20000, 7)}}));
            QVERIFY(QFile::remove(patch));
            QVERIFY(QFile::copy(tmp.filePath("other"), patch));
            QVERIFY(sha256OfFile(patch, &manifest.patches[0].sha256, &manifest.patches[0].size));
            QVERIFY(QFile::remove(manifestPath) && manifest.write(manifestPath));
            QVERIFY(signManifestWithDevKey(manifestPath));
        } else if (damage.startsWith(u'-')) {
            QVERIFY(QFile::remove(target));
        } else if (damage.startsWith(u'~')) {
            const QString manifest = release.releaseDir + "/" + damage.mid(1);
            QSettings(manifest, QSettings::IniFormat)
                .setValue("release/expires", "2020-01-01T00:00:00Z");
            QVERIFY(signManifestWithDevKey(manifest));
        } else {
            QFile file(target);
            QVERIFY(file.open(QIODevice::Append));
            file.write("\n");
        }
        const PublishResult verified = runPublish({"verify", release.releaseDir});
        QCOMPARE(verified.exitCode, 1);
        QVERIFY(!verified.stdOut.isEmpty());
        if (damage == "!patch")
            QVERIFY2(verified.stdOut.contains("does not apply to release 8"),
                     qPrintable(verified.stdOut));
        if (damage == "!name")
            QVERIFY2(verified.stdOut.contains("malformed (bad patch entry 1)"),
                     qPrintable(verified.stdOut));
    }

    // A changed file gets a patch from each earlier version when it is under half its download;
    // the manifest lists it, verify applies it, and the report says what it saves.
    void deltaPatches_data() {
        QTest::addColumn<QByteArray>("oldData");
        QTest::addColumn<QByteArray>("newData");
        QTest::addColumn<qint64>("gzipMinSize");
        QTest::addColumn<bool>("fromBuild"); // --delta-from names a build directory
        QTest::addColumn<bool>("kept");

        const QByteArray base = noise(60000, 11);
        QByteArray changed = base;
        changed.replace(30000, 200, noise(200, 12));
        QByteArray text;
        for (int i = 0; text.size() < 200000; ++i)
            text += "line " + QByteArray::number(i) + " of a text that compresses well\n";
        QByteArray editedText = text;
        editedText.replace(100000, 10, "edited!!!!");
        QTest::newRow("small change: kept") << base << changed << qint64(-1) << false << true;
        QTest::newRow("from a build directory") << base << changed << qint64(-1) << true << true;
        QTest::newRow("every byte changed: not kept")
            << base << noise(60000, 13) << qint64(-1) << false << false;
        QTest::newRow("unchanged: no patch") << base << base << qint64(-1) << false << false;
        QTest::newRow("gzipped file: under half its gzip")
            << text << editedText << qint64(0) << false << true;
    }
    void deltaPatches() {
        QFETCH(QByteArray, oldData);
        QFETCH(QByteArray, newData);
        QFETCH(qint64, gzipMinSize);
        QFETCH(bool, fromBuild);
        QFETCH(bool, kept);
        QTemporaryDir tmp;
        const QString mirror = tmp.filePath("mirror");
        PublishOptions options;
        options.gzipMinSize = gzipMinSize;
        QVERIFY(writeTree(tmp.filePath("old"), {{"lib/file", oldData}, {"same", "s"}}));
        QVERIFY(makeRelease(tmp.filePath("old"), 3, mirror, options).ok);
        QVERIFY(writeTree(tmp.filePath("new"), {{"lib/file", newData}, {"same", "s"}}));
        options.deltaFrom = {fromBuild ? tmp.filePath("old") : QStringLiteral("3")};
        const PublishResult release = makeRelease(tmp.filePath("new"), 4, mirror, options);
        QVERIFY2(release.ok, qPrintable(release.stdErr));

        ReleaseManifest manifest;
        QString error;
        QVERIFY(manifest.read(release.releaseDir + "/client_linux_amd64.manifest", &error));
        QCOMPARE(manifest.patches.size(), kept ? 1 : 0);
        const QString label = fromBuild ? QStringLiteral("old") : QStringLiteral("3");
        QVERIFY2(release.stdOut.contains(
                     QStringLiteral("patches from %1: %2 files").arg(label).arg(kept ? 1 : 0)),
                 qPrintable(release.stdOut));
        if (!kept) {
            QVERIFY(!QFileInfo::exists(release.releaseDir + "/patches") ||
                    entries(release.releaseDir + "/patches").isEmpty());
            return;
        }
        const DeltaPatchEntry& patch = manifest.patches.first();
        QCOMPARE(patch.path, QStringLiteral("lib/file"));
        QCOMPARE(patch.baseMd5, md5(oldData));
        QCOMPARE(patch.resultMd5, md5(newData));
        const QByteArray body = readAll(release.releaseDir + "/" + patch.name);
        QCOMPARE(patch.size, body.size());
        QCOMPARE(patch.sha256, QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
        const QString served = release.releaseDir + "/client/lib/file" +
                               (gzipMinSize == 0 ? QStringLiteral(".gz") : QString());
        QVERIFY2(body.size() * 2 < QFileInfo(served).size(), qPrintable(served));
        if (!fromBuild) {
            const PublishResult verified = runPublish({"verify", release.releaseDir});
            QVERIFY2(verified.exitCode == 0 && verified.stdOut.contains("1 patches apply"),
                     qPrintable(verified.stdOut));
        }
    }

    // A signed ini can still break the updater's rules; verify names every such line.
    void verifyReportsEveryBrokenRule() {
        QTemporaryDir tmp;
        QVERIFY(writeTree(tmp.filePath(QStringLiteral("build")),
                          {{"app", "a"}, {"packed", QByteArray(10000, 'z')}}));
        const PublishResult release =
            makeRelease(tmp.filePath(QStringLiteral("build")), 9, tmp.filePath("mirror"));
        QVERIFY(release.ok);
        const QString good = md5("a") + "::1";
        const QList<QPair<QString, QString>> broken{
            {"empty-md5=::1", "[client] empty-md5: the MD5 is not 32 hexadecimal digits"},
            {"bad-size=" + md5("a") + "::-1",
             "[client] bad-size: the size is not a decimal number"},
            {"zagain=" + good + "::" + good + "::app",
             "[client] zagain: installs the same file as [client] app"},
            {"[delete]\napp=", "[delete] app: deletes a file that [client] app installs"},
            {"mirrors.ini=", "[delete] mirrors.ini: deletes a file the updater needs"},
            {"a%07b=", "[delete] a?b: contains a control character"},
        };
        QFile ini(release.productIni);
        QVERIFY(ini.open(QIODevice::Append));
        for (const auto& [text, reason] : broken)
            ini.write(text.toUtf8() + "\n");
        ini.close();
        QVERIFY(resignProductIni(release.productIni));

        const PublishResult verified = runPublish({"verify", release.releaseDir});
        QCOMPARE(verified.exitCode, 1);
        for (const auto& [text, reason] : broken)
            QVERIFY2(verified.stdOut.contains(release.productIni + ": " + reason),
                     qPrintable(verified.stdOut));
        // Each broken line once; the honest lines still match their files.
        QCOMPARE(verified.stdOut.count(u'\n'), broken.size());
    }

    // A release stored without a manifest gets one (here with a 1024-bit key, the size of keys
    // that signed stored releases), and a second run renews the expiry and keeps the name.
    void manifestForStoredRelease() {
        QTemporaryDir tmp;
        const QString key = otherKey.filePath("key"), pub = otherKey.filePath("pub");
        QVERIFY(writeTree(tmp.filePath("build"), {{"a", "a"}}));
        PublishOptions options;
        options.privateKey = key;
        const PublishResult release =
            makeRelease(tmp.filePath("build"), 7, tmp.filePath("m"), options);
        QVERIFY(release.ok);
        const QString manifest = release.releaseDir + "/client_linux_amd64.manifest";
        QVERIFY(QFile::remove(manifest) && QFile::remove(manifest + ".sig"));
        PublishResult verified = runPublish({"verify", release.releaseDir, "--public", pub});
        QCOMPARE(verified.exitCode, 0);
        QVERIFY2(verified.stdOut.contains("no release manifest"), qPrintable(verified.stdOut));

        QVERIFY(runPublish({"manifest", release.releaseDir, "--key", key, "--expires", "30",
                            "--version-name", "Quillon 7, final"})
                    .ok);
        QCOMPARE(QFileInfo(manifest + ".sig").size(), 128);
        ReleaseManifest first;
        QString error;
        QVERIFY2(first.read(manifest, &error), qPrintable(error));
        QCOMPARE(first.type, QStringLiteral("client_linux_amd64"));
        QCOMPARE(first.version, 7);
        QCOMPARE(first.versionName, QStringLiteral("Quillon 7, final"));
        QCOMPARE(first.published.daysTo(first.expires), 30);
        QVERIFY(qAbs(first.published.secsTo(QDateTime::currentDateTimeUtc())) < 600);
        verified = runPublish({"verify", release.releaseDir, "--public", pub});
        QVERIFY2(verified.exitCode == 0 && verified.stdOut.contains("manifest valid"),
                 qPrintable(verified.stdOut));

        QVERIFY(runPublish({"manifest", release.releaseDir, "--key", key, "--expires", "60"}).ok);
        ReleaseManifest renewed;
        QVERIFY(renewed.read(manifest, &error));
        QCOMPARE(renewed.versionName, first.versionName);
        QCOMPARE(renewed.published.daysTo(renewed.expires), 60);
        QCOMPARE(runPublish({"verify", release.releaseDir, "--public", pub}).exitCode, 0);
    }

    void help_data() {
        QTest::addColumn<QString>("command");
        for (const char* command : {"keygen", "release", "manifest", "sign", "verify"})
            QTest::newRow(command) << command;
    }
    void help() {
        QFETCH(QString, command);
        const PublishResult result = runPublish({command, QStringLiteral("--help")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.stdOut.startsWith(QStringLiteral("Usage: quillon-publish ") + command),
                 qPrintable(result.stdOut));
        QVERIFY(runPublish({QStringLiteral("--help")}).stdOut.contains(command));
    }
};

QTEST_GUILESS_MAIN(TstPublish)
#include "tst_publish.moc"
