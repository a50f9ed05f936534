#include "install/filespecifications.h"

#include <QTest>

class TstFileSpecifications : public QObject {
    Q_OBJECT

private slots:
    void destFileName_data();
    void destFileName();
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

QTEST_APPLESS_MAIN(TstFileSpecifications)
#include "tst_filespecifications.moc"
