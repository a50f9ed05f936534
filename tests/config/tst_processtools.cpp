#include "config/configuration.h"
#include "config/installlayout.h"
#include "config/processtools.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TstProcessTools : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { InstallLayout::setAppRootPath(QString()); }
    void startsScriptInPathWithBlanks();
};

void TstProcessTools::startsScriptInPathWithBlanks() {
    QTemporaryDir base;
    const QString install = base.filePath("Quillon 3/client dir");
    QVERIFY(QDir().mkpath(install));
    InstallLayout::setAppRootPath(install);
    const QString marker = base.filePath("started");

    // No script yet: nothing happens and nothing is reported.
    ProcessTools::startQlnClient();

    const QString script = install + "/qlnclient_runscript.sh";
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nprintf '%s\\n%s\\n' \"$#\" \"$(pwd -P)\" > \"$QLN_MARKER.tmp\"\n"
               "mv \"$QLN_MARKER.tmp\" \"$QLN_MARKER\"\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // The client inherits the updater's environment and working directory.
    qputenv("QLN_MARKER", QFile::encodeName(marker));
    QVERIFY(!QFileInfo::exists(marker));

    ProcessTools::startQlnClient();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 10000);
    QFile result(marker);
    QVERIFY(result.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(result.readAll()).split('\n');
    QCOMPARE(lines.value(0), QString("0"));
    QCOMPARE(lines.value(1), QDir::current().canonicalPath());
}

QTEST_GUILESS_MAIN(TstProcessTools)
#include "tst_processtools.moc"
