#include "config/installlayout.h"
#include "install/filespecifications.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

class TstFileSpecifications : public QObject {
    Q_OBJECT

private slots:
    void destFileName_data();
    void destFileName();
    void pathsAsQtMakesThem();
};

void TstFileSpecifications::destFileName_data() {
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipFileName");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain-no-prefix") << "plugins/libx.so"
                                     << ""
                                     << ""
                                     << "plugins/libx.so";
    QTest::newRow("plain-old") << "plugins/libx.so"
                               << ""
                               << "_old_"
                               << "plugins/_old_libx.so";
    QTest::newRow("top-level-old") << "libx.so"
                                   << ""
                                   << "_old_"
                                   << "_old_libx.so";
    QTest::newRow("deep-old") << "a/b/c.so"
                              << ""
                              << "_old_"
                              << "a/b/_old_c.so";
    // A gzip download is installed under its fifth field, not under its key.
    QTest::newRow("unzip-no-prefix") << "gz/libx.so.gz"
                                     << "lib/libx.so"
                                     << ""
                                     << "lib/libx.so";
    QTest::newRow("unzip-old") << "gz/libx.so.gz"
                               << "libx.so"
                               << "_old_"
                               << "_old_libx.so";
    QTest::newRow("dotted-name") << "lib/libQtCore.so.4"
                                 << ""
                                 << "_old_"
                                 << "lib/_old_libQtCore.so.4";
}

void TstFileSpecifications::destFileName() {
    QFETCH(QString, fileName);
    QFETCH(QString, unzipFileName);
    QFETCH(QString, prefix);
    QFETCH(QString, expected);

    FileReplaceSpecification spec;
    spec.section = QStringLiteral("client");
    spec.fileName = fileName;
    spec.unzipFileName = unzipFileName;
    QCOMPARE(spec.hasUnzip(), !unzipFileName.isEmpty());
    QCOMPARE(spec.destFileName(prefix), expected);
    if (prefix == QLatin1String("_old_"))
        QCOMPARE(spec.oldDestFileName(), expected);
}

// The paths are made by hand for speed; they must be the strings Qt's path classes made, odd
// names included, so that undo records, messages and lists stay the same.
void TstFileSpecifications::pathsAsQtMakesThem() {
    const QStringList names{"x",     "a/b/c.so", "./x",     "a//b",   "/abs",
                            ".hide", "a/.b.so",  "a/./b/x", "../up/x"};
    for (const QString& dir : QStringList{"/opt/q", "/opt/q/", "//", "/", "rel/d", "", "/a/./b"})
        for (const QString& name : names)
            QCOMPARE(InstallLayout::joinPath(dir, name), QFileInfo(QDir(dir), name).filePath());
    for (const QString& name : names) {
        FileReplaceSpecification spec;
        spec.fileName = name;
        const QFileInfo info(name);
        const QString old = "_old_" + info.fileName();
        QCOMPARE(spec.oldDestFileName(),
                 info.path() == QLatin1String(".") ? old : info.path() + '/' + old);
        QCOMPARE(spec.replacesSpecialFile(), InstallLayout::isSpecialFileName(info.fileName()));
    }
    FileReplaceSpecification special;
    special.fileName = "plugins/x.so.gz";
    special.unzipFileName = "lib/" + InstallLayout::getSpecialFileNames().first();
    QVERIFY(special.replacesSpecialFile());
}

QTEST_APPLESS_MAIN(TstFileSpecifications)
#include "tst_filespecifications.moc"
