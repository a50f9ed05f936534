#include "config/configuration.h"
#include "install/makedownloadreplacelisttaskspecification.h"
#include "support/releasemaker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString md5(const QByteArray& data) {
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

// The value of a 2-field line describing content.
QString line(const QByteArray& content) {
    return md5(content) + "::" + QString::number(content.size());
}

void writeFile(const QString& path, const QByteArray& content) {
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    file.write(content);
}

// "path=content" pairs; content "<dir>" makes a directory.
using Files = QStringList;

void writeFiles(const QString& root, const Files& files) {
    for (const QString& file : files) {
        const qsizetype eq = file.indexOf('=');
        const QString path = root + '/' + file.left(eq);
        const QString content = file.mid(eq + 1);
        if (content == QLatin1String("<dir>"))
            QVERIFY(QDir().mkpath(path));
        else
            writeFile(path, content.toUtf8());
    }
}

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
    Configuration::setAppRootPath(root);
    configuration = std::make_unique<Configuration>();
    configuration->tempDir = temp->path();
    configuration->updateType = QStringLiteral("client_linux_amd64");
}

void TstMakeDownloadReplaceList::cleanup() {
    Configuration::setAppRootPath(QString());
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
    if (!QTest::qWaitFor([&] { return task.state != TaskSpecification::Running; }, 20000))
        qWarning("list building did not end");
    end = TaskSpecification::State(task.state);
    if (progress) {
        for (const QList<QVariant>& args : progressSpy)
            progress->append(args.at(0).toReal());
    }
    QStringList texts;
    for (const QList<QVariant>& args : messages)
        texts << args.at(0).toString();
    return texts;
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
    const QString libLine = "libx.so.gz=" + line(libGz) + "::" + md5(lib) + "::12::lib/libx.so\n";
    const QStringList none;

    QTest::newRow("current-files-on-no-list")
        << "[client]\n" + appLine + libLine << Files{"app=" + app, "lib/libx.so=" + lib} << Files{}
        << true << "" << none << none << none;
    QTest::newRow("changed-and-missing-files-downloaded")
        << "[client]\n" + appLine + libLine << Files{"app=" + appOld} << Files{} << true << ""
        << QStringList{"client/app", "client/libx.so.gz"}
        << QStringList{"client/app", "client/libx.so.gz"} << none;
    // The unpacked file is compared with field 3, the download under the key with field 1.
    QTest::newRow("verified-downloads-not-fetched-again")
        << "[client]\n" + appLine + libLine << Files{"lib/libx.so=" + libOld}
        << Files{"app=" + app, "libx.so.gz=" + libGz} << true << "" << none
        << QStringList{"client/app", "client/libx.so.gz"} << none;
    QTest::newRow("corrupt-earlier-download-fetched-again")
        << "[client]\n" + appLine << Files{} << Files{"app=" + appOld} << true << ""
        << QStringList{"client/app"} << QStringList{"client/app"} << none;
    QTest::newRow("sum-in-upper-case")
        << "[client]\napp=" + md5(app).toUpper() + "::12\n"
        << Files{"app=" + app} << Files{} << true << "" << none << none << none;
    QTest::newRow("empty-sum-never-matches")
        << "[client]\napp=::12\n"
        << Files{"app=" + app} << Files{"app=" + app} << true << "" << QStringList{"client/app"}
        << QStringList{"client/app"} << none;
    QTest::newRow("empty-fifth-field-is-plain")
        << "[client]\napp=" + line(app) + "::x::1::\n"
        << Files{"app=" + app} << Files{} << true << "" << none << none << none;
    QTest::newRow("sections-and-keys-in-reader-order")
        << "[zeta]\nb=" + line("b") + "\na/c=" + line("c") + "\n[alpha]\nz=" + line("z") + "\n"
        << Files{} << Files{} << true << "" << QStringList{"alpha/z", "zeta/a/c", "zeta/b"}
        << QStringList{"alpha/z", "zeta/a/c", "zeta/b"} << none;
    QTest::newRow("delete-section")
        << "[delete]\nold1=\nsub/old2=x\nmissing=\nsubdir=\n[client]\n" + appLine
        << Files{"app=" + app, "old1=1", "sub/old2=2", "subdir=<dir>"} << Files{} << true << ""
        << none << none << QStringList{"old1", "sub/old2", "subdir"};
    QTest::newRow("only-delete-section")
        << "[delete]\na=\nb=\nc=\n"
        << Files{"a=1", "c=3"} << Files{} << true << "" << none << none << QStringList{"a", "c"};
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

    const QString invalid = "Warning: product ini contains invalid line in section %1";
    QTest::newRow("three-fields") << "[client]\n" + appLine + "bad=abc::12::def\n"
                                  << Files{"app=" + appOld} << Files{} << false
                                  << invalid.arg("client") << none << none << none;
    QTest::newRow("one-field") << "[other]\nbad=abc\n"
                               << Files{} << Files{} << false << invalid.arg("other") << none
                               << none << none;
    QTest::newRow("six-fields") << "[client]\nbad=a::1::b::2::c::d\n"
                                << Files{} << Files{} << false << invalid.arg("client") << none
                                << none << none;
    QTest::newRow("key-climbs-out")
        << "[client]\n..%2Fevil=" + line("e") + "\n"
        << Files{} << Files{} << false << invalid.arg("client") << none << none << none;
    QTest::newRow("key-climbs-out-deeper")
        << "[client]\na%2F..%2F..%2Fevil=" + line("e") + "\n"
        << Files{} << Files{} << false << invalid.arg("client") << none << none << none;
    QTest::newRow("fifth-field-absolute")
        << "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::1::/tmp/evil\n"
        << Files{} << Files{} << false << invalid.arg("client") << none << none << none;
    QTest::newRow("fifth-field-climbs-out")
        << "[client]\nx.gz=" + line("e") + "::" + md5("e") + "::1::lib/../../evil\n"
        << Files{} << Files{} << false << invalid.arg("client") << none << none << none;
    QTest::newRow("delete-key-climbs-out")
        << "[delete]\n..%2Foutside=\n[client]\n" + appLine << Files{"app=" + app} << Files{}
        << false << invalid.arg("delete") << none << none << none;
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
    // Outside the installation: a traversal would find it.
    writeFile(base->filePath("outside"), "x");

    FileSpecifications specs;
    TaskSpecification::State end;
    const QStringList messages = build(ini, specs, end);

    QCOMPARE(end, ok ? TaskSpecification::Finished : TaskSpecification::ErrorCanceled);
    QStringList expectedMessages{"Compiling download and replace list"};
    if (!ok)
        expectedMessages << failure;
    QCOMPARE(messages, expectedMessages);

    QStringList downloadKeys, replaceKeys;
    for (const FileDownloadSpecification& d : std::as_const(specs.downloadList))
        downloadKeys << d.section + '/' + d.fileName;
    for (const FileReplaceSpecification& r : std::as_const(specs.replaceList))
        replaceKeys << r.section + '/' + r.fileName;
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
        writeFile(root + '/' + name, i % 5 == 0 ? QByteArray("changed") : content);
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
    specs.deleteList << "kept";
    TaskSpecification::State end;
    build("[client]\ngood=" + line("g") + "\nzbad=1::2::3\n", specs, end);
    QCOMPARE(end, TaskSpecification::ErrorCanceled);
    QCOMPARE(specs.deleteList, QStringList{"kept"});
    QVERIFY(specs.replaceList.isEmpty());

    // A successful run replaces all three lists.
    build("[client]\ngood=" + line("g") + "\n", specs, end);
    QCOMPARE(end, TaskSpecification::Finished);
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

QTEST_GUILESS_MAIN(TstMakeDownloadReplaceList)
#include "tst_makedownloadreplacelist.moc"
