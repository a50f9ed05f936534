#include "config/configuration.h"
#include "config/installlayout.h"
#include "install/makedownloadreplacelisttaskspecification.h"
#include "support/files.h"
#include "support/nginxrunner.h"
#include "support/releasemaker.h"
#include "support/samplesite.h"
#include "support/tasklog.h"
#include "support/testpaths.h"
#include "support/treesnapshot.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The value of a 2-field line describing content.
QString line(const QByteArray& content) {
    return md5(content) + "::" + QString::number(content.size());
}

// "path=content" pairs; content "<dir>" makes a directory, "->target" a symbolic link.
using Files = QStringList;

void writeFiles(const QString& root, const Files& files) {
    for (const QString& file : files) {
        const qsizetype eq = file.indexOf('=');
        const QString path = root + '/' + file.left(eq);
        const QString content = file.mid(eq + 1);
        if (content == QLatin1String("<dir>"))
            QVERIFY(QDir().mkpath(path));
        else if (content.startsWith(QLatin1String("->")))
            QVERIFY(QDir().mkpath(QFileInfo(path).path()) && QFile::link(content.mid(2), path));
        else
            QVERIFY(writeFile(path, content.toUtf8()));
    }
}

// Bytes this process has read so far, by every thread.
qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& row : io.readAll().split('\n'))
        if (row.startsWith("rchar:"))
            return row.mid(6).trimmed().toLongLong();
    return -1;
}

// Installed in every row and listed by the refused ones: hashing it would read it whole.
const QByteArray bulk(4 << 20, 'b');

// The gzip form of "new lib" is faked: the list building never unpacks, it only compares sums.
const QByteArray lib = "lib contents";
const QByteArray libGz = "pretend gzip of lib";
const QByteArray libOld = "an older lib";
const QByteArray app = "app contents";
const QByteArray appOld = "older app";

} // namespace

class TstMakeDownloadReplaceList : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lists_data();
    void lists();
    void progressIsInKeyOrder();
    void failureKeepsTheRunsLists();
    void publishedRelease();
    void refusedReleaseChangesNothing_data();
    void refusedReleaseChangesNothing();

private:
    // Runs the task over the product ini text; returns its messages.
    QStringList build(const QString& ini, FileSpecifications& specs, TaskSpecification::State& end,
                      QList<qreal>* progress = nullptr);
    // The installation is base/install, so that a path climbing out of it stays in base.
    std::unique_ptr<QTemporaryDir> base;
    QString root;
    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<Configuration> configuration;
};

void TstMakeDownloadReplaceList::init() {
    base = std::make_unique<QTemporaryDir>();
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(base->isValid() && temp->isValid());
    root = base->filePath("install");
    QVERIFY(QDir().mkdir(root));
    InstallLayout::setAppRootPath(root);
    configuration = std::make_unique<Configuration>();
    configuration->tempDir = temp->path();
    configuration->updateType = QStringLiteral("client_linux_amd64");
}

void TstMakeDownloadReplaceList::cleanup() {
    InstallLayout::setAppRootPath(QString());
}

QStringList TstMakeDownloadReplaceList::build(const QString& ini, FileSpecifications& specs,
                                              TaskSpecification::State& end,
                                              QList<qreal>* progress) {
    QFile file(temp->filePath("client_linux_amd64.ini"));
    if (!ini.isNull()) {
        file.open(QIODevice::WriteOnly);
        file.write(ini.toUtf8());
        file.close();
    }
    MakeDownloadReplaceListTaskSpecification task(configuration.get(), specs, nullptr, 0.5);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy progressSpy(&task, &TaskSpecification::updateProgress);
    task.execute();
    if (!QTest::qWaitFor([&] { return task.state() != TaskSpecification::Running; }, 20000))
        qWarning("list building did not end");
    end = TaskSpecification::State(task.state());
    if (progress) {
        for (const QList<QVariant>& args : progressSpy)
            progress->append(args.at(0).toReal());
    }
    return texts(messages);
}

void TstMakeDownloadReplaceList::lists_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<Files>("installed");
    QTest::addColumn<Files>("downloaded");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("failure");
    // Keys as "section/key"; the delete list as its entries.
    QTest::addColumn<QStringList>("download");
    QTest::addColumn<QStringList>("replace");
    QTest::addColumn<QStringList>("deleted");

    const QString appLine = "app=" + line(app) + "\n";
    const QString bulkLine = "bulk=" + line(bulk) + "\n";
    const QString libLine = "libx.so.gz=" + line(libGz) + "::" + md5(lib) + "::12::lib/libx.so\n";
    const QStringList none;

    QTest::newRow("current-files-on-no-list")
        << "[client]\n" + appLine + libLine + bulkLine << Files{"app=" + app, "lib/libx.so=" + lib}
        << Files{} << true << "" << none << none << none;
    QTest::newRow("changed-and-missing-files-downloaded")
        << "[client]\n" + appLine + libLine << Files{"app=" + appOld} << Files{} << true << ""
        << QStringList{"client/app", "client/libx.so.gz"}
        << QStringList{"client/app", "client/libx.so.gz"} << none;
    // The unpacked file is compared with field 3, the download under the key with field 1.
    QTest::newRow("verified-downloads-not-fetched-again")
        << "[client]\n" + appLine + libLine << Files{"lib/libx.so=" + libOld}
        << Files{"app=" + app, "libx.so.gz=" + libGz} << true << "" << none
        << QStringList{"client/app", "client/libx.so.gz"} << none;
    // Only the temporary directory's own subdirectories are looked into, at every depth.
    QTest::newRow("verified-downloads-in-subdirectories")
        << "[client]\nsub/app=" + line(app) + "\nsub/deep/b=" + line("b") + "\nc/d=" + line("d") +
               "\n"
        << Files{} << Files{"sub/app=" + app, "sub/deep/b=b"} << true << ""
        << QStringList{"client/c/d"}
        << QStringList{"client/c/d", "client/sub/app", "client/sub/deep/b"} << none;
    QTest::newRow("corrupt-earlier-download-fetched-again")
        << "[client]\n" + appLine << Files{} << Files{"app=" + appOld} << true << ""
        << QStringList{"client/app"} << QStringList{"client/app"} << none;
    QTest::newRow("sum-in-upper-case")
        << "[client]\napp=" + md5(app).toUpper() + "::12\n"
        << Files{"app=" + app} << Files{} << true << "" << none << none << none;
    QTest::newRow("empty-fifth-field-is-plain")
        << "[client]\napp=" + line(app) + "::x::1::\n"
        << Files{"app=" + app} << Files{} << true << "" << none << none << none;
    QTest::newRow("sections-and-keys-in-reader-order")
        << "[zeta]\nb=" + line("b") + "\na/c=" + line("c") + "\n[alpha]\nz=" + line("z") + "\n"
        << Files{} << Files{} << true << "" << QStringList{"alpha/z", "zeta/a/c", "zeta/b"}
        << QStringList{"alpha/z", "zeta/a/c", "zeta/b"} << none;
    // An installed link counts as the file it points to.
    QTest::newRow("links-count-as-their-targets")
        << "[client]\n" + appLine + "x=" + line("x") + "\ny=" + line("y") + "\n"
        << Files{"real/app=" + app, "app=->real/app", "real/x=x0", "x=->real/x", "y=->nowhere"}
        << Files{} << true << "" << QStringList{"client/x", "client/y"}
        << QStringList{"client/x", "client/y"} << none;
    QTest::newRow("delete-section")
        << "[delete]\nold1=\nsub/old2=x\nmissing=\nlink=\n[client]\n" + appLine
        << Files{"app=" + app, "old1=1", "sub/old2=2", "subdir=<dir>", "link=->subdir"} << Files{}
        << true << "" << none << none << QStringList{"link", "old1", "sub/old2"};
    QTest::newRow("only-delete-section")
        << "[delete]\na=\nb=\nc=\n"
        << Files{"a=1", "c=3"} << Files{} << true << "" << none << none << QStringList{"a", "c"};
    // Only the updater's own files are protected, by their exact names.
    QTest::newRow("delete-names-close-to-protected-ones")
        << "[delete]\nUpdate=\n_old_update=\nlibQtCore.so.4.bak=\nsub/update.ini=\n"
        << Files{"Update=1", "_old_update=2", "libQtCore.so.4.bak=3", "sub/update.ini=4"} << Files{}
        << true << "" << none << none
        << QStringList{"Update", "_old_update", "libQtCore.so.4.bak", "sub/update.ini"};
    // Copies moved aside by a killed run: removed unless they belong to a special file or are
    // themselves files of the build.
    QTest::newRow("leftover-old-copies")
        << "[client]\n" + appLine + libLine + "libQtCore.so.4=" + line("qt") +
               "\n_old_x=" + line("keep") + "\nx=" + line("x") + "\nnew=" + line("new") + "\n"
        << Files{"app=" + app,
                 "_old_app=" + appOld,
                 "lib/_old_libx.so=" + libOld,
                 "libQtCore.so.4=qt0",
                 "_old_libQtCore.so.4=qt-1",
                 "_old_x=keep",
                 "x=x",
                 "_old_new=stale"}
        << Files{} << true << ""
        << QStringList{"client/libQtCore.so.4", "client/libx.so.gz", "client/new"}
        << QStringList{"client/libQtCore.so.4", "client/libx.so.gz", "client/new"}
        << QStringList{"_old_app", "lib/_old_libx.so", "_old_new"};

    // The whole ini is refused before anything is hashed: every row also lists the installed
    // bulk file, whose hashing would show in the bytes read.
    const auto refused = [](const QString& section, const QString& key, const QString& reason) {
        return QStringLiteral("Warning: product ini contains invalid line in section %1\n"
                              "client_linux_amd64.ini: [%1] %2: %3")
            .arg(section, key, reason);
    };
    const auto addRefused = [&](const QByteArray& name, const QString& ini, const Files& installed,
                                const QString& failure) {
        QTest::newRow(name.constData()) << "[bulk]\n" + bulkLine + ini << installed << Files{}
                                        << false << failure << none << none << none;
    };
    const QString fields = "has neither 2 nor 5 fields";
    addRefused("three-fields", "[client]\n" + appLine + "bad=abc::12::def\n", {"app=" + appOld},
               refused("client", "bad", fields));
    addRefused("one-field", "[other]\nbad=abc\n", {}, refused("other", "bad", fields));
    addRefused("six-fields", "[client]\nbad=" + line("x") + "::b::2::c::d\n", {},
               refused("client", "bad", fields));
    const QString leaves = "leaves the installation directory";
    addRefused("key-climbs-out", "[client]\n..%2Fevil=" + line("e") + "\n", {},
               refused("client", "../evil", leaves));
    addRefused("key-climbs-out-deeper", "[client]\na%2F..%2F..%2Fevil=" + line("e") + "\n", {},
               refused("client", "a/../../evil", leaves));
    const QString outside = "unpacks outside the installation directory";
    addRefused("fifth-field-absolute",
               "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::1::/tmp/evil\n", {},
               refused("client", "x.gz", outside));
    addRefused("fifth-field-climbs-out",
               "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::1::lib/../../evil\n", {},
               refused("client", "x.gz", outside));
    addRefused("delete-key-climbs-out", "[delete]\n..%2Foutside=\n[client]\n" + appLine,
               {"app=" + app}, refused("delete", "../outside", leaves));

    // An empty MD5 once switched the check into signature mode.
    const QString badMd5 = "the MD5 is not 32 hexadecimal digits";
    addRefused("md5-empty", "[client]\napp=::12\n", {"app=" + app},
               refused("client", "app", badMd5));
    addRefused("md5-short", "[client]\napp=abc::12\n", {}, refused("client", "app", badMd5));
    addRefused("md5-not-hex", "[client]\napp=" + md5(app).replace(0, 1, "g") + "::12\n", {},
               refused("client", "app", badMd5));
    addRefused("unpacked-md5-empty", "[client]\nx.gz=" + line("e") + "::::1::x\n", {},
               refused("client", "x.gz", "the unpacked MD5 is not 32 hexadecimal digits"));
    // Garbage and negative sizes once became 0, which sets no bound on the download.
    const QString badSize = "the size is not a decimal number";
    for (const char* size : {"", "12abc", "-1", "+12", "0x10", "1e3", "18446744073709551616"})
        addRefused("size '" + QByteArray(size) + "'",
                   "[client]\napp=" + md5(app) + "::" + size + "\n", {},
                   refused("client", "app", badSize));
    addRefused("unpacked-size-negative",
               "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::-5::x\n", {},
               refused("client", "x.gz", "the unpacked size is not a decimal number"));

    addRefused("same-key-in-two-sections", "[client]\n" + appLine + "[extra]\n" + appLine, {},
               refused("extra", "app", "installs the same file as [client] app"));
    addRefused("plain-and-gzip-to-one-file",
               "[client]\n" + appLine + libLine + "lib/libx.so=" + line(lib) + "\n", {},
               refused("client", "libx.so.gz", "installs the same file as [client] lib/libx.so"));
    addRefused("one-file-spelled-twice",
               "[client]\n" + appLine + "x.gz=" + line("e") + "::" + md5(app) + "::12::./app\n", {},
               refused("client", "x.gz", "installs the same file as [client] app"));
    addRefused("downloads-to-one-file",
               "[a]\nx.gz=" + line("e") + "::" + md5("e") + "::1::one\n[b]\nx.gz=" + line("e") +
                   "::" + md5("e") + "::1::two\n",
               {}, refused("b", "x.gz", "downloads to the same file as [a] x.gz"));
    addRefused("installed-and-deleted", "[client]\n" + appLine + "[delete]\napp=\n",
               {"app=" + appOld},
               refused("delete", "app", "deletes a file that [client] app installs"));
    addRefused(
        "unpacked-and-deleted", "[client]\n" + libLine + "[delete]\nlib/libx.so=\n",
        {"lib/libx.so=" + libOld},
        refused("delete", "lib/libx.so", "deletes a file that [client] libx.so.gz installs"));
    for (const char* own : {"update", "update.ini", "mirrors.ini", "qlnclient_runscript.sh",
                            "libQtCore.so.4", "plugins/imageformats/libqjpeg.so"})
        addRefused("delete '" + QByteArray(own) + "'", "[delete]\n" + QString(own) + "=\n",
                   {QString(own) + "=1"},
                   refused("delete", own, "deletes a file the updater needs"));
    addRefused("delete-directory", "[delete]\nsubdir=\nold=\n", {"subdir/keep=k", "old=o"},
               refused("delete", "subdir", "deletes a directory"));
    // A file outside the installation, reached through a linked directory, must survive.
    addRefused("delete-through-linked-directory", "[delete]\nlinked/victim=\n",
               {"../elsewhere/victim=precious", "linked=->../elsewhere"},
               refused("delete", "linked/victim", "goes through the symbolic link linked"));
    addRefused(
        "delete-through-deeper-link", "[delete]\nsub/linked/deeper/victim=\n",
        {"../elsewhere/deeper/victim=precious", "sub/linked=->../../elsewhere"},
        refused("delete", "sub/linked/deeper/victim", "goes through the symbolic link sub/linked"));
    addRefused("file-over-directory", "[client]\n" + appLine, {"app/inside=i"},
               refused("client", "app", "installs over a directory"));
    const QString temporary = "is named like a temporary file of the updater";
    addRefused("temporary-sibling-name", "[client]\n.quillon_new_app=" + line(app) + "\n", {},
               refused("client", ".quillon_new_app", temporary));
    addRefused("temporary-sibling-unpacked",
               "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::1::lib/.quillon_new_x\n", {},
               refused("client", "x.gz", temporary));
    addRefused("temporary-sibling-deleted", "[delete]\nlib/.quillon_new_x=\n",
               {"lib/.quillon_new_x=x"}, refused("delete", "lib/.quillon_new_x", temporary));
    const QString control = "contains a control character";
    addRefused("newline-in-key", "[client]\na%0Ab=" + line("e") + "\n", {},
               refused("client", "a?b", control));
    addRefused("nul-in-key", "[client]\na%00b=" + line("e") + "\n", {},
               refused("client", "a?b", control));
    addRefused("control-in-section", "[cl%01ient]\napp=" + line(app) + "\n", {},
               refused("cl?ient", "app", control));
    addRefused("tab-in-size", "[client]\napp=\"" + md5(app) + "::1\\t2\"\n", {},
               refused("client", "app", control));
    addRefused("escape-in-delete-value", "[delete]\nold=\"\\x1b[2J\"\n", {"old=o"},
               refused("delete", "old", control));
    QTest::newRow("no-files") << "[client]\n[delete]\n"
                              << Files{} << Files{} << false << "No files in product ini" << none
                              << none << none;
    QTest::newRow("no-product-ini") << QString() << Files{} << Files{} << false
                                    << "No files in product ini" << none << none << none;
}

void TstMakeDownloadReplaceList::lists() {
    QFETCH(QString, ini);
    QFETCH(Files, installed);
    QFETCH(Files, downloaded);
    QFETCH(bool, ok);
    QFETCH(QString, failure);
    QFETCH(QStringList, download);
    QFETCH(QStringList, replace);
    QFETCH(QStringList, deleted);

    writeFiles(root, installed);
    writeFiles(temp->path(), downloaded);
    QVERIFY(writeFile(root + "/bulk", bulk));
    // Outside the installation: a traversal would find it.
    QVERIFY(writeFile(base->filePath("outside"), "x"));
    const TreeSnapshot before = snapshotTree(base->path());

    FileSpecifications specs;
    TaskSpecification::State end;
    const qint64 readBefore = bytesRead();
    const QStringList messages = build(ini, specs, end);
    const qint64 read = bytesRead() - readBefore;

    QCOMPARE(end, ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QStringList expectedMessages{"Compiling download and replace list"};
    if (!ok)
        expectedMessages << failure.split('\n');
    QCOMPARE(messages, expectedMessages);
    QVERIFY(readBefore >= 0);
    if (!ok)
        QVERIFY2(read < bulk.size() / 2, qPrintable(QString::number(read)));
    else if (ini.contains("bulk="))
        QVERIFY2(read >= bulk.size(), qPrintable(QString::number(read)));
    const TreeSnapshot after = snapshotTree(base->path());
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath() + '/';
    for (const QString& path : std::as_const(specs.deleteList))
        QVERIFY2((QFileInfo(root + '/' + path).canonicalPath() + '/').startsWith(canonicalRoot),
                 qPrintable(path));

    QStringList downloadKeys, replaceKeys;
    for (const FileDownloadSpecification& d : std::as_const(specs.downloadList))
        downloadKeys << d.section + '/' + d.fileName;
    for (const FileReplaceSpecification& r : std::as_const(specs.replaceList)) {
        replaceKeys << r.section + '/' + r.fileName;
        // The replacement looks for a moved-aside copy exactly where the listing saw one (a
        // special file's copy is not looked for here).
        const bool special =
            InstallLayout::isSpecialFileName(QFileInfo(r.pureDestFilePath()).fileName());
        QCOMPARE(r.oldMayExist, special || QFileInfo::exists(root + '/' + r.oldDestFileName()));
    }
    QCOMPARE(downloadKeys, download);
    QCOMPARE(replaceKeys, replace);
    QCOMPARE(specs.deleteList, deleted);
    QVERIFY(QFileInfo::exists(base->filePath("outside")));
}

void TstMakeDownloadReplaceList::progressIsInKeyOrder() {
    // Enough files of mixed sizes that hashing on several threads finishes them out of order.
    QString ini = "[delete]\ngone=\n[files]\n";
    Files installed;
    for (int i = 0; i < 60; ++i) {
        const QByteArray content = QByteArray(i % 7 == 0 ? 3000000 : 100 + i, char('a' + i % 26));
        const QString name = QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0'));
        ini += name + "=" + line(content) + "\n";
        QVERIFY(writeFile(root + '/' + name, i % 5 == 0 ? QByteArray("changed") : content));
    }
    FileSpecifications specs;
    TaskSpecification::State end;
    QList<qreal> progress;
    build(ini, specs, end, &progress);
    QCOMPARE(end, TaskSpecification::Finished);

    // updateProgress carries the weight 0.5; the last value comes from finish().
    QCOMPARE(progress.size(), 61 + 1);
    for (int k = 1; k <= 61; ++k)
        QCOMPARE(progress.at(k - 1), 0.5 * k / 61);
    QCOMPARE(progress.last(), 0.5);
    QCOMPARE(specs.replaceList.size(), 12);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(specs.replaceList.at(i).fileName,
                 QStringLiteral("f%1").arg(i * 5, 3, 10, QLatin1Char('0')));
    QCOMPARE(specs.downloadList.size(), 12);
    QVERIFY(specs.deleteList.isEmpty());
}

void TstMakeDownloadReplaceList::failureKeepsTheRunsLists() {
    FileSpecifications specs;
    specs.downloadList.append({"client", "kept", md5("k"), 1});
    specs.replaceList.append({"client", "kept", {}, 0, {}});
    specs.deleteList << "kept";
    TaskSpecification::State end;
    build("[client]\ngood=" + line("g") + "\nzbad=1::2::3\n", specs, end);
    QCOMPARE(end, TaskSpecification::ErrorCanceled);
    QCOMPARE(specs.deleteList, QStringList{"kept"});
    QCOMPARE(specs.replaceList.size(), 1);
    QCOMPARE(specs.replaceList.first().fileName, QString("kept"));
    QCOMPARE(specs.downloadList.size(), 1);
    QCOMPARE(specs.downloadList.first().fileName, QString("kept"));

    // A successful run replaces all three lists.
    build("[client]\ngood=" + line("g") + "\n", specs, end);
    QCOMPARE(end, TaskSpecification::Finished);
    QVERIFY(specs.deleteList.isEmpty());
    QCOMPARE(specs.replaceList.size(), 1);
    QCOMPARE(specs.replaceList.first().fileName, QString("good"));
    QCOMPARE(specs.downloadList.size(), 1);
    QCOMPARE(specs.downloadList.first().fileName, QString("good"));

    // The same task run again after a reset starts from empty lists.
    QVERIFY(writeFile(root + "/old", "o"));
    MakeDownloadReplaceListTaskSpecification task(configuration.get(), specs, nullptr, 0.5);
    for (const QString& ini :
         {"[client]\nx=" + line("x") + "\ny=" + line("y") + "\n[delete]\nold=\n",
          "[client]\ngood=" + line("g") + "\n"}) {
        QVERIFY(writeFile(temp->filePath("client_linux_amd64.ini"), ini.toUtf8()));
        task.reset();
        task.execute();
        QTRY_VERIFY(task.state() != TaskSpecification::Running);
        QCOMPARE(task.state(), TaskSpecification::Finished);
    }
    QVERIFY(specs.deleteList.isEmpty());
    QCOMPARE(specs.replaceList.size(), 1);
    QCOMPARE(specs.downloadList.size(), 1);
    QCOMPARE(specs.downloadList.first().size, quint64(1));
    QCOMPARE(specs.downloadList.first().md5, md5("g"));
}

void TstMakeDownloadReplaceList::publishedRelease() {
    // Version 10 is installed; version 11 changes the gzipped library, adds a file in a new
    // directory and drops one. The changed library's download already waits in the temporary
    // directory from an interrupted run.
    QTemporaryDir work;
    const QByteArray bigOld(5000, 'a'), bigNew(6000, 'b');
    const QMap<QString, QByteArray> v10{
        {"app", app}, {"lib/libbig.so", bigOld}, {"obsolete.txt", "x"}};
    const QMap<QString, QByteArray> v11{
        {"app", app}, {"lib/libbig.so", bigNew}, {"data/new dir/new.txt", "new"}};
    QVERIFY(writeTree(work.filePath("b10"), v10));
    QVERIFY(writeTree(work.filePath("b11"), v11));
    const PublishResult r10 = makeRelease(work.filePath("b10"), 10, work.filePath("mirror"));
    QVERIFY2(r10.ok, qPrintable(r10.stdErr));
    PublishOptions options;
    options.previous = r10.productIni;
    const PublishResult r11 =
        makeRelease(work.filePath("b11"), 11, work.filePath("mirror"), options);
    QVERIFY2(r11.ok, qPrintable(r11.stdErr));

    QVERIFY(writeTree(root, v10));
    QVERIFY(QDir().mkpath(temp->filePath("lib")));
    QVERIFY(QFile::copy(r11.releaseDir + "/client/lib/libbig.so.gz",
                        temp->filePath("lib/libbig.so.gz")));
    QFile ini(r11.productIni);
    QVERIFY(ini.open(QIODevice::ReadOnly));

    FileSpecifications specs;
    TaskSpecification::State end;
    build(QString::fromUtf8(ini.readAll()), specs, end);
    QCOMPARE(end, TaskSpecification::Finished);

    QCOMPARE(specs.replaceList.size(), 2);
    const FileReplaceSpecification& newFile = specs.replaceList.at(0);
    QCOMPARE(newFile.section, QStringLiteral("client"));
    QCOMPARE(newFile.pureDestFilePath(), QStringLiteral("data/new dir/new.txt"));
    const FileReplaceSpecification& lib = specs.replaceList.at(1);
    QCOMPARE(lib.fileName, QStringLiteral("lib/libbig.so.gz"));
    QVERIFY(lib.hasUnzip());
    QCOMPARE(lib.pureDestFilePath(), QStringLiteral("lib/libbig.so"));
    QCOMPARE(lib.unzipMd5, md5(bigNew));
    QCOMPARE(lib.unzipSize, quint64(bigNew.size()));
    QCOMPARE(specs.downloadList.size(), 1);
    QCOMPARE(specs.downloadList.first().fileName, newFile.fileName);
    QCOMPARE(specs.downloadList.first().md5, md5("new"));
    QCOMPARE(specs.downloadList.first().size, quint64(3));
    QCOMPARE(specs.deleteList, QStringList{"obsolete.txt"});
}

void TstMakeDownloadReplaceList::refusedReleaseChangesNothing_data() {
    // One line set into the published, signed product ini, which is then signed again.
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("reason");
    QTest::newRow("delete-through-linked-directory") << "delete"
                                                     << "linked/victim"
                                                     << ""
                                                     << "goes through the symbolic link linked";
    QTest::newRow("installed-and-deleted") << "delete"
                                           << "bin/qlnclient"
                                           << ""
                                           << "deletes a file that [client] bin/qlnclient installs";
    QTest::newRow("delete-updater") << "delete"
                                    << "update"
                                    << ""
                                    << "deletes a file the updater needs";
    QTest::newRow("garbage-size") << "client"
                                  << "share/version.txt" << md5("130\n") + "::4x"
                                  << "the size is not a decimal number";
}

void TstMakeDownloadReplaceList::refusedReleaseChangesNothing() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, reason);
    // The whole program on a release made by quillon-publish: refused after the product ini,
    // so nothing else is fetched and nothing is touched, not even through a linked directory.
    SampleSite::Site site;
    QVERIFY(SampleSite::make(base->filePath("site"), &site));
    const QString productIni = site.mirrorRoot + "/130/client_linux_amd64.ini";
    {
        QSettings ini(productIni, QSettings::IniFormat);
        ini.setValue(section + '/' + key, value);
    }
    QVERIFY(resignProductIni(productIni));
    NginxRunner nginx(base->filePath("nginx"));
    QVERIFY(QDir().mkpath(nginx.prefix()));
    nginx.addServer(site.mirrorRoot);
    QString error;
    QVERIFY2(nginx.start(&error), qPrintable(error));
    const QString install = base->filePath("client/install");
    QVERIFY(SampleSite::install(site, install, {nginx.baseUrl(0)}));
    writeFiles(install, {"../elsewhere/victim=precious", "linked=->../elsewhere"});
    const auto snapshot = [&] {
        TreeSnapshot tree = snapshotTree(base->filePath("client"));
        tree.remove("install/update.ini"); // the record of the unfinished run
        return tree;
    };
    const TreeSnapshot before = snapshot();

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", temp->path());
    updater.setProcessEnvironment(env);
    updater.start(binPath("update-headless"), {install, "--nouser", "client_linux_amd64", "130"});
    QVERIFY(updater.waitForFinished(60000));
    const QString output = QString::fromUtf8(updater.readAllStandardOutput());
    QCOMPARE(updater.exitCode(), 3);
    QVERIFY2(output.contains(QString("Warning: product ini contains invalid line in section %1\n"
                                     "client_linux_amd64.ini: [%1] %2: %3\n")
                                 .arg(section, key, reason)),
             qPrintable(output));
    const TreeSnapshot after = snapshot();
    QVERIFY2(after == before, qPrintable(describeDifference(before, after)));
    // Nothing past the release's signed description: no file of the release is fetched.
    for (const NginxRunner::AccessEntry& request : nginx.accessLog())
        QVERIFY2(!request.path.contains("/client/"), qPrintable(request.path));
}

QTEST_GUILESS_MAIN(TstMakeDownloadReplaceList)
#include "tst_makedownloadreplacelist.moc"
