#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/filedeletelisttaskspecification.h"
#include "install/filereplacelisttaskspecification.h"
#include "install/posixfile.h"
#include "support/files.h"
#include "support/gzipdata.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

FileReplaceSpecification copyEntry(const QString& key) {
    return {QStringLiteral("client"), key, {}, 0, {}};
}

FileReplaceSpecification unzipEntry(const QString& key, const QByteArray& unpacked,
                                    const QString& dest) {
    return {QStringLiteral("client"), key, md5(unpacked), quint64(unpacked.size()), dest};
}

// An installation, the downloads waiting in the temporary directory, and the
// replace list.
struct Scenario {
    QMap<QString, QByteArray> installed;
    QMap<QString, int> installedModes;
    QStringList installedDirs;
    // Symbolic links in the installation, to names in a directory outside it.
    QMap<QString, QString> installedLinks;
    QMap<QString, QByteArray> downloads;
    // Downloads that are symbolic links, to names in the directory outside.
    QMap<QString, QString> downloadLinks;
    QList<FileReplaceSpecification> replace;
    // A file-size limit: the step then runs in a child process.
    qint64 fileSizeLimit = 0;
    // The downloads on another file system (/dev/shm), so that their bytes are copied.
    bool downloadsElsewhere = false;
};

struct Outcome {
    int state = -1;
    QStringList messages;
    QStringList deleteList;
};

// Five files, the third of which the failure table changes: a plain
// replacement, a dangling link replaced by a copy, the third, a link to a file
// outside replaced by an unpacked file, and a new file in directories that do
// not exist yet.
Scenario baseScenario() {
    Scenario s;
    s.installed = {
        {"bin/app1", "old one"}, {"lib/libthird.so", "old three"}, {"untouched.txt", "stays"}};
    s.installedModes = {{"bin/app1", 0755}};
    s.installedLinks = {{"bin/app2", "missing"}, {"lib/libfour.so", "existing"}};
    s.downloads = {{"bin/app1", "new one"},
                   {"bin/app2", "new two"},
                   {"lib/libthird.so", "new three"},
                   {"gz/libfour.so.gz", gzipData("new four")},
                   {"newdir/a/b/new.txt", "brand new"}};
    s.replace = {copyEntry("bin/app1"), copyEntry("bin/app2"), copyEntry("lib/libthird.so"),
                 unzipEntry("gz/libfour.so.gz", "new four", "lib/libfour.so"),
                 copyEntry("newdir/a/b/new.txt")};
    return s;
}

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TstFileReplaceList : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void failureUndoesEverything_data();
    void failureUndoesEverything();
    void userCancelUndoesEverything();
    void successLeavesTheTargetTree_data();
    void successLeavesTheTargetTree();
    void staleSiblingsAreSwept();
    void resetUndoesAFinishedStep();
    void emptyListsFinishAtOnce();

private:
    void setUp(const Scenario& s);
    Outcome run(const Scenario& s, const QString& cancelAt = {});
    Outcome runInChild(const Scenario& s);
    // The downloads that are no longer in the temporary directory as they were written.
    QStringList downloadsLost(const Scenario& s) const;
    QString r(const QString& rel) const { return root->path() + '/' + rel; }
    QString t(const QString& rel) const { return temp->path() + '/' + rel; }
    QString o(const QString& rel) const { return outside->path() + '/' + rel; }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<QTemporaryDir> temp;
    // What links in the installation point to; nothing may be written here.
    std::unique_ptr<QTemporaryDir> outside;
    std::unique_ptr<Configuration> configuration;
};

void TstFileReplaceList::initTestCase() {
    // Modes of created files are part of the compared trees.
    umask(022);
}

void TstFileReplaceList::init() {
    root = std::make_unique<QTemporaryDir>();
    temp = std::make_unique<QTemporaryDir>();
    outside = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid() && temp->isValid() && outside->isValid());
    QVERIFY(writeFile(o("existing"), "outside"));
    QVERIFY(writeFile(o("tool"), "outside tool", 0755));
    InstallLayout::setAppRootPath(root->path());
    configuration = std::make_unique<Configuration>();
    configuration->tempDir = temp->path();
}

void TstFileReplaceList::cleanup() {
    InstallLayout::setAppRootPath(QString());
}

void TstFileReplaceList::setUp(const Scenario& s) {
    for (const QString& dir : s.installedDirs)
        QVERIFY(QDir().mkpath(r(dir)));
    for (auto it = s.installed.cbegin(); it != s.installed.cend(); ++it)
        QVERIFY(writeFile(r(it.key()), it.value(), s.installedModes.value(it.key(), 0644)));
    for (auto it = s.installedLinks.cbegin(); it != s.installedLinks.cend(); ++it) {
        QVERIFY(QDir().mkpath(QFileInfo(r(it.key())).path()));
        QVERIFY(QFile::link(o(it.value()), r(it.key())));
    }
    for (auto it = s.downloads.cbegin(); it != s.downloads.cend(); ++it)
        QVERIFY(writeFile(t(it.key()), it.value()));
    for (auto it = s.downloadLinks.cbegin(); it != s.downloadLinks.cend(); ++it) {
        QVERIFY(QDir().mkpath(QFileInfo(t(it.key())).path()));
        QVERIFY(QFile::link(o(it.value()), t(it.key())));
    }
}

Outcome TstFileReplaceList::run(const Scenario& s, const QString& cancelAt) {
    if (s.fileSizeLimit > 0)
        return runInChild(s);
    Outcome outcome;
    QList<FileReplaceSpecification> replaceList = s.replace;
    FileReplaceListTaskSpecification task(&replaceList, &outcome.deleteList, configuration.get(),
                                          nullptr, 0.4);
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        outcome.messages << text;
        if (text == cancelAt)
            task.userCanceled();
    });
    task.execute();
    if (!QTest::qWaitFor([&] { return task.state() > TaskSpecification::Running; }, 20000))
        qWarning("replace step did not end");
    outcome.state = int(task.state());
    return outcome;
}

Outcome TstFileReplaceList::runInChild(const Scenario& s) {
    Outcome outcome;
    QTemporaryDir listDir;
    QFile list(listDir.filePath("list"));
    if (!list.open(QIODevice::WriteOnly))
        return outcome;
    for (const FileReplaceSpecification& e : s.replace)
        list.write(QStringList{e.section, e.fileName, e.unzipMd5, QString::number(e.unzipSize),
                               e.unzipFileName}
                       .join('\t')
                       .toUtf8() +
                   '\n');
    list.close();
    QProcess child;
    child.start(binPath("replacerunner"),
                {root->path(), temp->path(), list.fileName(), QString::number(s.fileSizeLimit)});
    if (!child.waitForFinished(60000))
        return outcome;
    const QByteArray errors = child.readAllStandardError();
    if (!errors.isEmpty())
        qWarning("replacerunner: %s", errors.constData());
    outcome.messages = QString::fromUtf8(child.readAllStandardOutput()).split('\n');
    outcome.messages.removeAll(QString());
    if (!outcome.messages.isEmpty() && outcome.messages.last().startsWith("end "))
        outcome.state = outcome.messages.takeLast().mid(4).toInt();
    return outcome;
}

QStringList TstFileReplaceList::downloadsLost(const Scenario& s) const {
    QStringList lost;
    for (auto it = s.downloads.cbegin(); it != s.downloads.cend(); ++it)
        if (readAll(t(it.key())) != it.value())
            lost << it.key();
    return lost;
}

void TstFileReplaceList::failureUndoesEverything_data() {
    QTest::addColumn<Scenario>("scenario");
    // %R and %T stand for the installation and the temporary directory, * for any text (a
    // sibling's random part).
    QTest::addColumn<QString>("failure");

    const QByteArray big = noise(600000, 3);
    Scenario s = baseScenario();
    s.downloads.remove("lib/libthird.so");
    QTest::newRow("missing-source")
        << s << "Could not copy '%T/lib/libthird.so' to '%R/lib/libthird.so'";

    // Neither installed nor followed: its target would get the mode of an executable.
    s = baseScenario();
    s.downloads.remove("lib/libthird.so");
    s.downloadLinks.insert("lib/libthird.so", "existing");
    QTest::newRow("download-is-a-link")
        << s << "Could not copy '%T/lib/libthird.so' to '%R/lib/libthird.so'";

    s = baseScenario();
    s.installed.insert("blocked", "a plain file where a directory should be");
    s.downloads.insert("blocked/x.so", "x");
    s.replace[2] = copyEntry("blocked/x.so");
    QTest::newRow("directory-refuses-writes")
        << s << "Could not copy '%T/blocked/x.so' to '%R/blocked/x.so'";

    s = baseScenario();
    s.installed.insert("blocked", "a plain file where a directory should be");
    s.downloads.insert("blocked/sub/x.so", "x");
    s.replace[2] = copyEntry("blocked/sub/x.so");
    QTest::newRow("directory-cannot-be-created")
        << s
        << "Could not create dir '%R/blocked' because it already exists and is "
           "not a dir";

    s = baseScenario();
    s.downloads["lib/libthird.so"] = big;
    s.fileSizeLimit = 400000;
    s.downloadsElsewhere = true;
    QTest::newRow("file-size-limit-copy")
        << s << "Could not copy '%T/lib/libthird.so' to '%R/lib/libthird.so'";

    s = baseScenario();
    s.downloads.insert("gz/third.gz", gzipData(big));
    s.replace[2] = unzipEntry("gz/third.gz", big, "lib/libthird.so");
    s.fileSizeLimit = 400000;
    QTest::newRow("file-size-limit-unzip")
        << s << "Could not unzip '%T/gz/third.gz' to '%R/lib/libthird.so'";

    s = baseScenario();
    const QByteArray packed = gzipData(big);
    s.downloads.insert("gz/third.gz", packed.left(packed.size() - 100));
    s.replace[2] = unzipEntry("gz/third.gz", big, "lib/libthird.so");
    QTest::newRow("corrupt-gzip") << s
                                  << "Could not unzip '%T/gz/third.gz' to '%R/lib/libthird.so'";

    s = baseScenario();
    s.downloads.insert("gz/third.gz", gzipData("new three"));
    s.replace[2] = unzipEntry("gz/third.gz", "something else", "lib/libthird.so");
    QTest::newRow("unpacked-md5-differs") << s << "Signature check failed for %R/lib/libthird.so";

    // Stopped by the updater, before the child's file-size limit would stop it.
    s = baseScenario();
    s.downloads.insert("gz/third.gz", gzipData(big));
    s.replace[2] = unzipEntry("gz/third.gz", big, "lib/libthird.so");
    s.replace[2].unzipSize = 100000;
    s.fileSizeLimit = 100000 + 65536;
    QTest::newRow("gzip-bomb") << s
                               << "'%T/gz/third.gz' unpacks to more than its listed size of "
                                  "100000 bytes";

    s = baseScenario();
    s.installed.remove("lib/libthird.so");
    s.installed.insert("lib/libthird.so/inside", "a directory is never moved aside");
    s.installed.insert("lib/_old_libthird.so", "nor is its old name's leftover removed");
    QTest::newRow("installed-path-is-a-directory")
        << s << "Could not rename '%R/lib/.quillon_new_*_libthird.so' to '%R/lib/libthird.so'";

    // The listing saw no moved-aside copy, so none is looked for; the one made since is kept.
    s = baseScenario();
    s.installed.insert("lib/_old_libthird.so", "appeared after the listing");
    s.replace[2].oldMayExist = false;
    QTest::newRow("old-copy-appeared-after-listing")
        << s << "Could not rename '%R/lib/libthird.so' to '%R/lib/_old_libthird.so'";

    s = baseScenario();
    s.installed.insert("lib/_old_libthird.so/inside", "makes the old name undeletable");
    QTest::newRow("undeletable-old-copy") << s << "Could not delete '%R/lib/_old_libthird.so'";
}

void TstFileReplaceList::failureUndoesEverything() {
    QFETCH(Scenario, scenario);
    QFETCH(QString, failure);
    if (scenario.downloadsElsewhere) {
        temp =
            std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/tst_filereplacelist-XXXXXX"));
        if (!temp->isValid() || deviceOf(temp->path()) == deviceOf(root->path()))
            QSKIP("needs /dev/shm on another file system than the temporary directory");
        configuration->tempDir = temp->path();
    }
    setUp(scenario);
    const TreeSnapshot before = snapshotTree(root->path());
    const TreeSnapshot outsideBefore = snapshotTree(outside->path());

    const Outcome outcome = run(scenario);

    const TreeSnapshot after = snapshotTree(root->path());
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QCOMPARE(snapshotTree(outside->path()), outsideBefore);
    // Also those already moved into place are back, for a resumed run.
    QCOMPARE(downloadsLost(scenario), QStringList());
    QCOMPARE(outcome.state, int(TaskSpecification::ErrorCanceled));
    failure.replace("%R", root->path()).replace("%T", temp->path());
    const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(failure));
    QCOMPARE(outcome.messages.filter(pattern).size(), 1);
    QCOMPARE(outcome.messages.value(0), QStringLiteral("Starting file updates"));
    QCOMPARE(outcome.messages.last(), QStringLiteral("rolling back file updates"));
    QVERIFY(outcome.messages.indexOf(pattern) < outcome.messages.size() - 1);
    for (const QString& m : outcome.messages)
        QVERIFY2(!m.startsWith("warning:"), qPrintable(m));
}

void TstFileReplaceList::userCancelUndoesEverything() {
    const Scenario s = baseScenario();
    setUp(s);
    const TreeSnapshot before = snapshotTree(root->path());
    const Outcome outcome = run(s, QStringLiteral("add/replace lib/libthird.so"));
    const TreeSnapshot after = snapshotTree(root->path());
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    QCOMPARE(downloadsLost(s), QStringList());
    QCOMPARE(outcome.state, int(TaskSpecification::UserCanceled));
    QCOMPARE(outcome.messages.last(), QStringLiteral("rolling back file updates"));
    QVERIFY(!outcome.messages.contains("add/replace newdir/a/b/new.txt"));
    for (const QString& m : outcome.messages)
        QVERIFY2(!m.startsWith("warning:"), qPrintable(m));
}

void TstFileReplaceList::successLeavesTheTargetTree_data() {
    // Modes are set explicitly, whatever the umask of the run.
    QTest::addColumn<int>("runUmask");
    QTest::newRow("umask-022") << 022;
    QTest::newRow("umask-000") << 0;
    QTest::newRow("umask-077") << 077;
}

void TstFileReplaceList::successLeavesTheTargetTree() {
    QFETCH(int, runUmask);
    // 244 bytes: its sibling's name (an unpacked file's) must be cut to fit, its old name just
    // fits.
    const QString longName = "data/" + QString(120, QChar(0xfc)) + ".txt";
    Scenario s;
    s.installed = {{"bin/app", "app old"},          {"bin/_old_app", "left over by an earlier run"},
                   {"libQtCore.so.4", "qt old"},    {"update", "updater old"},
                   {"plugins/x.so", "x old"},       {"lib/libfoo.so.4.8.1", "foo old"},
                   {"obsolete.txt", "obsolete"},    {"untouched.txt", "stays"},
                   {"bin/qlnclient", "client old"}, {longName, "long old"}};
    s.installedModes = {{"update", 0755}, {"bin/app", 0700}, {"bin/qlnclient", 0755}};
    // Links are replaced, never followed: neither the missing target is created nor the
    // existing one changed.
    s.installedLinks = {{"data/dangling.txt", "missing"},
                        {"plugins/y.so", "missing-too"},
                        {"data/linked.txt", "existing"},
                        {"bin/linked-tool", "tool"}};
    s.downloads = {{"bin/app", "app new"},
                   {"bin/qlnclient", "client new"},
                   {"bin/linked-tool", "tool new"},
                   {"gz/long.gz", gzipData("long new")},
                   {"data/dangling.txt", "dangling new"},
                   {"data/linked.txt", "linked new"},
                   {"gz/y.so.gz", gzipData("y new")},
                   {"libQtCore.so.4", "qt new"},
                   {"update", "updater new"},
                   {"qlnclient_runscript.sh", "#!/bin/sh\n"},
                   {"gz/x.so.gz", gzipData("x new")},
                   {"lib/libfoo.so.4.8.1", "foo new"},
                   {"newdir/a/b/new.txt", "brand new"}};
    s.replace = {copyEntry("bin/app"),
                 copyEntry("bin/qlnclient"),
                 copyEntry("bin/linked-tool"),
                 unzipEntry("gz/long.gz", "long new", longName),
                 copyEntry("data/dangling.txt"),
                 copyEntry("data/linked.txt"),
                 unzipEntry("gz/y.so.gz", "y new", "plugins/y.so"),
                 copyEntry("libQtCore.so.4"),
                 copyEntry("update"),
                 copyEntry("qlnclient_runscript.sh"),
                 unzipEntry("gz/x.so.gz", "x new", "plugins/x.so"),
                 copyEntry("lib/libfoo.so.4.8.1"),
                 copyEntry("newdir/a/b/new.txt")};
    setUp(s);
    const TreeSnapshot outsideBefore = snapshotTree(outside->path());
    const qint64 appDownload = inodeOf(t("bin/app"));

    QList<FileReplaceSpecification> replaceList = s.replace;
    // The list building lists a copy that a killed run left; it is listed once all the same.
    QList<QString> deleteList{"obsolete.txt", "bin/_old_app"};
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, configuration.get(),
                                             nullptr, 0.4);
    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 0.05);
    QSignalSpy replaceMessages(&replace, &TaskSpecification::message);
    const mode_t testUmask = umask(mode_t(runUmask));
    replace.execute();
    (void)QTest::qWaitFor([&] { return replace.state() > TaskSpecification::Running; }, 20000);
    umask(testUmask);
    QCOMPARE(replace.state(), TaskSpecification::Finished);
    QCOMPARE(replace.progressValue(), 0.4);
    for (const QList<QVariant>& args : replaceMessages)
        QVERIFY2(!args.at(0).toString().startsWith("warning"), qPrintable(args.at(0).toString()));

    // Special files keep their old copies for the next start.
    QStringList expectedDeletes{"obsolete.txt",
                                "bin/_old_app",
                                "bin/_old_qlnclient",
                                "bin/_old_linked-tool",
                                "data/_old_dangling.txt",
                                "data/_old_linked.txt",
                                "plugins/_old_y.so",
                                "plugins/_old_x.so",
                                "lib/_old_libfoo.so.4.8.1",
                                QFileInfo(longName).path() + "/_old_" +
                                    QFileInfo(longName).fileName()};
    QCOMPARE(deleteList.first(), QStringLiteral("obsolete.txt"));
    QStringList sortedDeletes = deleteList;
    sortedDeletes.sort();
    expectedDeletes.sort();
    QCOMPARE(sortedDeletes, expectedDeletes);

    // One file system: a replaced file is its download, moved; a new one its second name.
    QCOMPARE(inodeOf(r("bin/app")), appDownload);
    QCOMPARE(inodeOf(t("bin/app")), qint64(-1));
    QCOMPARE(inodeOf(r("newdir/a/b/new.txt")), inodeOf(t("newdir/a/b/new.txt")));

    remove.execute();
    QTRY_VERIFY(remove.state() > TaskSpecification::Running);
    QCOMPARE(remove.state(), TaskSpecification::Finished);

    QTemporaryDir expected;
    const QString e = expected.path() + '/';
    // Replacing a file with an x bit keeps it executable.
    QVERIFY(writeFile(e + "bin/app", "app new", 0755));
    QVERIFY(writeFile(e + "bin/qlnclient", "client new", 0755));
    // So does replacing a link to an executable.
    QVERIFY(writeFile(e + "bin/linked-tool", "tool new", 0755));
    QVERIFY(writeFile(e + longName, "long new"));
    QVERIFY(writeFile(e + "data/dangling.txt", "dangling new"));
    QVERIFY(writeFile(e + "data/linked.txt", "linked new"));
    QVERIFY(writeFile(e + "plugins/y.so", "y new", 0755));
    QVERIFY(writeFile(e + "libQtCore.so.4", "qt new", 0755));
    QVERIFY(writeFile(e + "_old_libQtCore.so.4", "qt old"));
    QVERIFY(writeFile(e + "update", "updater new", 0755));
    QVERIFY(writeFile(e + "_old_update", "updater old", 0755));
    QVERIFY(writeFile(e + "qlnclient_runscript.sh", "#!/bin/sh\n", 0755));
    QVERIFY(writeFile(e + "plugins/x.so", "x new", 0755));
    // The complete suffix is "so.4.8.1", which is not an executable suffix.
    QVERIFY(writeFile(e + "lib/libfoo.so.4.8.1", "foo new"));
    QVERIFY(writeFile(e + "newdir/a/b/new.txt", "brand new"));
    QVERIFY(writeFile(e + "untouched.txt", "stays"));
    const TreeSnapshot want = snapshotTree(expected.path());
    const TreeSnapshot have = snapshotTree(root->path());
    QVERIFY2(have == want, qPrintable(describeDifference(want, have)));
    QCOMPARE(snapshotTree(outside->path()), outsideBefore);
}

void TstFileReplaceList::staleSiblingsAreSwept() {
    // Siblings a killed run left at any depth, hidden directories included; links are neither
    // followed nor descended into.
    const QStringList stale{".quillon_new_0123456789abcdef_update", "lib/.quillon_new_x",
                            "a/.hidden/b/.quillon_new_0011223344556677_c.so"};
    const QStringList kept{"quillon_new_x", "lib/x.quillon_new_", "lib/_old_.quillon_new_x"};
    for (const QString& rel : stale + kept)
        QVERIFY(writeFile(r(rel), "x"));
    QVERIFY(writeFile(o("sub/.quillon_new_outside"), "x"));
    QVERIFY(QFile::link(o("sub"), r("linkeddir")));
    QVERIFY(QFile::link(o("missing"), r("lib/.quillon_new_link")));
    const TreeSnapshot outsideBefore = snapshotTree(outside->path());

    PosixFile::removeStaleSiblings(root->path());

    for (const QString& rel : stale + QStringList{"lib/.quillon_new_link"})
        QVERIFY2(!PosixFile::entry(r(rel)).exists, qPrintable(rel));
    for (const QString& rel : kept)
        QVERIFY2(QFileInfo::exists(r(rel)), qPrintable(rel));
    QCOMPARE(snapshotTree(outside->path()), outsideBefore);
}

void TstFileReplaceList::resetUndoesAFinishedStep() {
    const Scenario s = baseScenario();
    setUp(s);
    const TreeSnapshot before = snapshotTree(root->path());
    QList<FileReplaceSpecification> replaceList = s.replace;
    QList<QString> deleteList;
    FileReplaceListTaskSpecification task(&replaceList, &deleteList, configuration.get(), nullptr,
                                          1.0);
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(task.state() > TaskSpecification::Running, 20000);
    QCOMPARE(task.state(), TaskSpecification::Finished);
    QVERIFY(snapshotTree(root->path()) != before);
    task.reset();
    QCOMPARE(task.state(), TaskSpecification::Ready);
    QCOMPARE(snapshotTree(root->path()), before);

    // And it runs again from scratch.
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(task.state() > TaskSpecification::Running, 20000);
    QCOMPARE(task.state(), TaskSpecification::Finished);
    QCOMPARE(readAll(r("lib/libthird.so")), QByteArray("new three"));
}

void TstFileReplaceList::emptyListsFinishAtOnce() {
    QList<FileReplaceSpecification> replaceList;
    QList<QString> deleteList;
    FileReplaceListTaskSpecification replace(&replaceList, &deleteList, configuration.get(),
                                             nullptr, 1.0);
    QSignalSpy finished(&replace, &TaskSpecification::finished);
    replace.execute();
    QCOMPARE(finished.count(), 1);
    QVERIFY(replace.rollbackData.isEmpty());

    FileDeleteListTaskSpecification remove(&deleteList, nullptr, 1.0);
    QSignalSpy removed(&remove, &TaskSpecification::finished);
    remove.execute();
    QCOMPARE(removed.count(), 1);

    // Missing files and directories are skipped silently.
    QVERIFY(QDir().mkpath(r("adir")));
    QVERIFY(writeFile(r("afile"), "x"));
    deleteList = {"missing", "adir", "afile"};
    FileDeleteListTaskSpecification skip(&deleteList, nullptr, 1.0);
    QSignalSpy skipMessages(&skip, &TaskSpecification::message);
    skip.execute();
    QTRY_VERIFY(skip.state() > TaskSpecification::Running);
    QCOMPARE(skip.state(), TaskSpecification::Finished);
    QCOMPARE(skipMessages.count(), 1); // "Starting deleting files"
    QVERIFY(QFileInfo(r("adir")).isDir());
    QVERIFY(!QFileInfo::exists(r("afile")));
}

QTEST_GUILESS_MAIN(TstFileReplaceList)
#include "tst_filereplacelist.moc"
