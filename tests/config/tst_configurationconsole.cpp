#include "config/configuration.h"
#include "config/installlayout.h"
#include "support/datagrampeer.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// A console program (the headless runner) has no window to ask Retry or Abort: with nobody
// connected to versionQueryFailed(), a failed version query ends the parse like Abort.
class TstConfigurationConsole : public QObject {
    Q_OBJECT

private slots:
    void failedQueryWithoutWidgets() {
        QTemporaryDir install;
        quint16 port;
        {
            DatagramPeer closed;
            port = closed.port();
        }
        QFile ini(install.filePath("update.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[update]\nserver=127.0.0.1\nversionPort=" + QByteArray::number(port) + "\n");
        ini.close();
        InstallLayout::setAppRootPath(install.path());

        Configuration config;
        config.versionQueryTimeoutMs = 200;
        QSignalSpy fatalSpy(&config, &Configuration::fatalError);
        QVERIFY(!config.parseCommandLineOptions({"update", "--nouser"}));
        QCOMPARE(fatalSpy.size(), 0);
        QCOMPARE(config.clientVersion, 0);
        QCOMPARE(config.noUserMode, 0);
        InstallLayout::setAppRootPath(QString());
    }
};

QTEST_GUILESS_MAIN(TstConfigurationConsole)
#include "tst_configurationconsole.moc"
