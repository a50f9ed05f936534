#include "config/singleinstancechecker.h"
#include "support/testpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The CRC-16 of ISO 3309 (X.25), written out so that the name does not depend on Qt's choice.
quint16 crc16x25(const QByteArray& data) {
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

QString copyProbe(const QString& dir) {
    QDir().mkpath(dir);
    const QString target = dir + "/instanceprobe";
    if (!QFile::copy(binPath("instanceprobe"), target))
        return QString();
    return target;
}

QString probeName(const QString& program) {
    QProcess process;
    process.start(program, {"name"});
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool waitForLine(QProcess& process, const QByteArray& line) {
    QByteArray seen;
    while (!seen.contains(line + '\n')) {
        if (!process.waitForReadyRead(10000))
            return false;
        seen += process.readAllStandardOutput();
    }
    return true;
}

} // namespace

class TstSingleInstanceChecker : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void serverName();
    void secondProcessActivatesFirst();
    void otherPathsGetOtherNames();
    void messages_data();
    void messages();
    void silentConnectionIsDiscarded();
    void noInstanceListening();
    void staleSocketFileIsTakenOver();
    void foreignSocketFileIsNotTrusted();

private:
    QTemporaryDir dir;
};

void TstSingleInstanceChecker::initTestCase() {
    // Probes ended by SIGTERM leave their socket files behind: here, not in the shared /tmp.
    QVERIFY(dir.isValid());
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
}

void TstSingleInstanceChecker::serverName() {
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove('/').remove(':');
    const QString expected = "QLNClientUpdate" + QString::number(crc16x25(key.toUtf8()), 16);
    QCOMPARE(SingleInstanceChecker::getLocalServerName(), expected);
}

void TstSingleInstanceChecker::secondProcessActivatesFirst() {
    const QString program = copyProbe(dir.filePath("Quillon 3"));
    QVERIFY(!program.isEmpty());
    QProcess first;
    first.start(program, {"run"});
    QVERIFY(waitForLine(first, "listening"));

    QProcess second;
    second.start(program, {"run"});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(waitForLine(first, "message:#"));

    // Paths differing only in letter case are one installation to the guard.
    const QString upper = copyProbe(dir.filePath("QUILLON 3"));
    QVERIFY(!upper.isEmpty());
    QProcess third;
    third.start(upper, {"run", "hello"});
    QVERIFY(third.waitForFinished(10000));
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(waitForLine(first, "message:hello"));
    QVERIFY(first.state() == QProcess::Running);
    first.terminate();
    QVERIFY(first.waitForFinished(10000));
}

void TstSingleInstanceChecker::otherPathsGetOtherNames() {
    const QString a = copyProbe(dir.filePath("inst/a"));
    const QString b = copyProbe(dir.filePath("inst/b"));
    const QString upperA = copyProbe(dir.filePath("INST/A"));
    QVERIFY(!a.isEmpty() && !b.isEmpty() && !upperA.isEmpty());
    const QString nameA = probeName(a);
    QVERIFY(nameA.startsWith("QLNClientUpdate"));
    QCOMPARE(probeName(upperA), nameA);
    QVERIFY(probeName(b) != nameA);

    // Another installation does not send the first one away: both run.
    QProcess first;
    first.start(a, {"run"});
    QVERIFY(waitForLine(first, "listening"));
    QProcess other;
    other.start(b, {"run"});
    QVERIFY(waitForLine(other, "listening"));
    other.terminate();
    first.terminate();
    QVERIFY(other.waitForFinished(10000) && first.waitForFinished(10000));

    // Another home directory (another user) gets another name for the same executable.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir.path());
    QProcess withHome;
    withHome.setProcessEnvironment(env);
    withHome.start(a, {"name"});
    QVERIFY(withHome.waitForFinished(10000));
    const QString nameOtherHome = QString::fromUtf8(withHome.readAllStandardOutput()).trimmed();
    QVERIFY(nameOtherHome.startsWith("QLNClientUpdate"));
    QVERIFY(nameOtherHome != nameA);
}

void TstSingleInstanceChecker::messages_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("received");

    QTest::newRow("activate") << QByteArray("#") << "#";
    QTest::newRow("other word") << QByteArray("show") << "show";
    QTest::newRow("cut at zero") << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("latin-1") << QByteArray("\xe9") << "\u00e9";
}

void TstSingleInstanceChecker::messages() {
    QFETCH(QByteArray, sent);
    QFETCH(QString, received);

    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket client;
    client.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(client.waitForConnected(1000));
    client.write(sent);
    QVERIFY(client.waitForBytesWritten(1000));
    QTRY_COMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), received);
    // The connection is dropped after its message.
    QTRY_COMPARE(client.state(), QLocalSocket::UnconnectedState);
}

void TstSingleInstanceChecker::silentConnectionIsDiscarded() {
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket silent;
    silent.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(silent.waitForConnected(1000));
    QTRY_VERIFY(silent.state() == QLocalSocket::ConnectedState);
    QTest::qWait(50);

    QLocalSocket speaker;
    speaker.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(speaker.waitForConnected(1000));
    QTRY_COMPARE(silent.state(), QLocalSocket::UnconnectedState);
    // Too late: the first connection is no longer served.
    silent.write("late");
    speaker.write("#");
    QVERIFY(speaker.waitForBytesWritten(1000));
    QTRY_COMPARE(spy.size(), 1);
    QTest::qWait(100);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString("#"));
}

void TstSingleInstanceChecker::noInstanceListening() {
    QVERIFY(!SingleInstanceChecker::checkExistingInstance("#"));
    { SingleInstanceChecker checker; }
    // The name is free again once the checker is gone.
    QVERIFY(!SingleInstanceChecker::checkExistingInstance("#"));
}

void TstSingleInstanceChecker::staleSocketFileIsTakenOver() {
    // What a killed instance leaves behind: a socket file that nobody listens on.
    const QString path = QDir::tempPath() + "/" + SingleInstanceChecker::getLocalServerName();
    QFile::remove(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(path));

    QVERIFY(!SingleInstanceChecker::checkExistingInstance("#"));
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket client;
    client.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(client.waitForConnected(1000));
    client.write("#");
    QTRY_COMPARE(spy.size(), 1);
}

void TstSingleInstanceChecker::foreignSocketFileIsNotTrusted() {
    if (::geteuid() != 0)
        QSKIP("needs root to plant a file of another user");
    QLocalServer planted;
    QVERIFY(planted.listen(SingleInstanceChecker::getLocalServerName()));
    const QString path = QDir::tempPath() + "/" + SingleInstanceChecker::getLocalServerName();
    QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    QVERIFY(!SingleInstanceChecker::checkExistingInstance("#"));
    QVERIFY(!planted.hasPendingConnections());
}

QTEST_GUILESS_MAIN(TstSingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
